#include "upnp/soap.h"

namespace upnp {
namespace {

constexpr char BodyHead[] =
    "<?xml version=\"1.0\"?>"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
    "<s:Body><u:AddPortMapping xmlns:u=\"";
// UPnP IGD error OnlyPermanentLeasesSupported.
constexpr char OnlyPermanentLeasesElement[] = "<errorCode>725</errorCode>";

} // namespace

QByteArray soapAction(const QString &serviceType)
{
    return QStringLiteral("\"%1#AddPortMapping\"").arg(serviceType).toLatin1();
}

QString escapedDescription(const QString &description)
{
    return description.toHtmlEscaped();
}

QByteArray addPortMappingBody(const QString &serviceType, quint16 port,
                              const QHostAddress &internalClient, const QString &description,
                              int leaseSeconds)
{
    // Built in one pass, so a '%' in the service type or the description is never taken
    // for a placeholder of a later substitution.
    const QString portText = QString::number(port);
    QString body = QLatin1String(BodyHead);
    body += serviceType;
    body += QLatin1String("\"><NewRemoteHost></NewRemoteHost><NewExternalPort>");
    body += portText;
    body += QLatin1String("</NewExternalPort><NewProtocol>UDP</NewProtocol><NewInternalPort>");
    body += portText;
    body += QLatin1String("</NewInternalPort><NewInternalClient>");
    body += internalClient.toString();
    body += QLatin1String("</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>");
    body += escapedDescription(description);
    body += QLatin1String("</NewPortMappingDescription><NewLeaseDuration>");
    body += QString::number(leaseSeconds);
    body += QLatin1String("</NewLeaseDuration></u:AddPortMapping></s:Body></s:Envelope>");
    return body.toUtf8();
}

bool isOnlyPermanentLeasesFault(const QByteArray &body)
{
    return body.contains(OnlyPermanentLeasesElement);
}

} // namespace upnp
