// Checks a built AddPortMapping request as the router's XML parser will see it. Shared by the
// device-description and SOAP targets.
#pragma once

#include "fuzzcheck.h"
#include "upnp/soap.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QXmlStreamReader>

namespace soapcheck {

// XML text content keeps every character we can put there except that line ends are
// normalised to "\n".
inline QString asXmlReadsIt(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// Characters a well-formed XML 1.0 document may hold.
inline bool isXmlText(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != 0x09 && u != 0x0a && u != 0x0d) || u == 0xfffe || u == 0xffff || c.isSurrogate())
            return false;
    }
    return true;
}

// The request must be well-formed, address the service's namespace and carry the
// description unchanged, so that no router-supplied or user text can change its meaning.
inline void checkRequest(const QString &serviceType, quint16 port, const QString &description)
{
    const QHostAddress client(QStringLiteral("192.168.1.23"));
    const QByteArray body =
        upnp::addPortMappingBody(serviceType, port, client, description, upnp::FirstLeaseSeconds);
    QXmlStreamReader reader(body);
    int actions = 0;
    int descriptions = 0;
    int ports = 0;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (reader.name() == QLatin1String("AddPortMapping")) {
            ++actions;
            FUZZ_CHECK(reader.namespaceUri() == serviceType, "the action is in the service's namespace");
        } else if (reader.name() == QLatin1String("NewPortMappingDescription")) {
            ++descriptions;
            FUZZ_CHECK(reader.readElementText() == asXmlReadsIt(description), "description arrives unchanged");
        } else if (reader.name() == QLatin1String("NewExternalPort")
                   || reader.name() == QLatin1String("NewInternalPort")) {
            ++ports;
            FUZZ_CHECK(reader.readElementText() == QString::number(port), "the port is the one asked for");
        }
    }
    FUZZ_CHECK(!reader.hasError(), "the request is well-formed XML");
    FUZZ_CHECK(actions == 1 && descriptions == 1 && ports == 2, "one action with its own elements only");

    const QByteArray action = upnp::soapAction(serviceType);
    FUZZ_CHECK(action == "\"" + serviceType.toLatin1() + "#AddPortMapping\"", "SOAPAction names the service");
    FUZZ_CHECK(!action.contains('\r') && !action.contains('\n') && !action.contains('\0'),
               "SOAPAction cannot split the HTTP header");
}

} // namespace soapcheck
