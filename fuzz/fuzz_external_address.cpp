// A GetExternalIPAddress answer comes from whatever answered SSDP on the local network: any
// body must be read without fault, and only a canonical IPv4 literal may come out of it. The
// same bytes as a service type must never change the structure of the request.
#include "fuzzcheck.h"
#include "upnp/soap.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QXmlStreamReader>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const QHostAddress address = upnp::externalAddressFromAnswer(body);
    if (!address.isNull()) {
        FUZZ_CHECK(address.protocol() == QAbstractSocket::IPv4Protocol, "only IPv4 comes out");
        FUZZ_CHECK(body.contains("NewExternalIPAddress"), "the address comes from its element");
    }

    const QString serviceType = QString::fromUtf8(body);
    const QByteArray request = upnp::externalAddressBody(serviceType);
    QXmlStreamReader reader(request);
    int actions = 0;
    int elements = 0;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        ++elements;
        if (reader.name() == QLatin1String("GetExternalIPAddress"))
            ++actions;
    }
    // Characters XML cannot carry at all make the request malformed, which the router refuses;
    // anything else must keep the three elements of the request.
    if (!reader.hasError())
        FUZZ_CHECK(actions == 1 && elements == 3, "one action with no arguments");
    const QByteArray action = upnp::externalAddressAction(serviceType);
    FUZZ_CHECK(action.endsWith("#GetExternalIPAddress\""), "SOAPAction names the action");
    return 0;
}
