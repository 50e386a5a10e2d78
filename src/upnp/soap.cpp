#include "upnp/soap.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QUrl>
#include <QXmlStreamReader>

namespace upnp {
namespace {

constexpr char EnvelopeHead[] =
    "<?xml version=\"1.0\"?>"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
constexpr char BodyHead[] =
    "<?xml version=\"1.0\"?>"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
    "<s:Body><u:AddPortMapping xmlns:u=\"";
constexpr char ExternalAddressElement[] = "NewExternalIPAddress";
// An answer is a few hundred bytes; a router's answer past this is not read (bytes).
constexpr qsizetype MaxAnswerBytes = 64 * 1024;
// Elements read before giving up on an answer that never names the address (count).
constexpr int MaxAnswerElements = 1000;
// "255.255.255.255" with generous room for blanks around it (characters).
constexpr qsizetype MaxAddressTextChars = 64;
// UPnP IGD error OnlyPermanentLeasesSupported.
constexpr char OnlyPermanentLeasesElement[] = "<errorCode>725</errorCode>";
// A fault body is a few hundred bytes; a router that streams without end would otherwise
// grow our memory without bound (bytes).
constexpr qint64 MaxFaultBytes = 1024 * 1024;
// The headers every action is posted with.
constexpr char SoapContentType[] = "text/xml; charset=\"utf-8\"";

QNetworkRequest soapRequest(const QUrl &controlUrl, const QByteArray &action)
{
    QNetworkRequest request(controlUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QString::fromLatin1(SoapContentType));
    request.setRawHeader("SOAPAction", action);
    return request;
}

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

QByteArray externalAddressAction(const QString &serviceType)
{
    return QStringLiteral("\"%1#GetExternalIPAddress\"").arg(serviceType).toLatin1();
}

QByteArray externalAddressBody(const QString &serviceType)
{
    QString body = QLatin1String(EnvelopeHead);
    body += QLatin1String("<s:Body><u:GetExternalIPAddress xmlns:u=\"");
    // The service type goes into an attribute value: escape it so it cannot end the quote.
    body += serviceType.toHtmlEscaped();
    body += QLatin1String("\"></u:GetExternalIPAddress></s:Body></s:Envelope>");
    return body.toUtf8();
}

QHostAddress externalAddressFromAnswer(const QByteArray &body)
{
    if (body.size() > MaxAnswerBytes)
        return {};
    QXmlStreamReader reader(body);
    for (int elements = 0; elements < MaxAnswerElements && !reader.atEnd();) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        ++elements;
        if (reader.name() != QLatin1String(ExternalAddressElement))
            continue;
        const QString text = reader.readElementText().trimmed();
        if (reader.hasError() || text.isEmpty() || text.size() > MaxAddressTextChars)
            return {};
        // Only a dotted IPv4 literal: no name is looked up, no IPv6 form taken.
        const QHostAddress address(text);
        if (address.protocol() != QAbstractSocket::IPv4Protocol || address.toString() != text)
            return {};
        return address;
    }
    return {};
}

SoapCall addPortMappingCall(const QUrl &controlUrl, const QString &serviceType, quint16 port,
                            const QHostAddress &internalClient, const QString &description, int leaseSeconds)
{
    return {soapRequest(controlUrl, soapAction(serviceType)),
            addPortMappingBody(serviceType, port, internalClient, description, leaseSeconds), MaxFaultBytes};
}

SoapCall externalAddressCall(const QUrl &controlUrl, const QString &serviceType)
{
    return {soapRequest(controlUrl, externalAddressAction(serviceType)), externalAddressBody(serviceType),
            MaxAnswerBytes};
}

void limitReplySize(QNetworkReply *reply, qint64 maxBytes)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBytes](qint64 received, qint64) {
        if (received > maxBytes)
            reply->abort();
    });
}

QNetworkReply *post(QNetworkAccessManager &network, const SoapCall &call)
{
    QNetworkReply *reply = network.post(call.request, call.body);
    limitReplySize(reply, call.maxReplyBytes);
    return reply;
}

QHostAddress externalAddressFromReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return {};
    return externalAddressFromAnswer(reply->read(MaxAnswerBytes));
}

bool isOnlyPermanentLeasesReply(QNetworkReply *reply)
{
    return isOnlyPermanentLeasesFault(reply->read(MaxFaultBytes));
}

} // namespace upnp
