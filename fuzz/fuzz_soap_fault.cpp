// The router's error body decides whether a permanent lease is asked for; any body must be
// read without fault. The same bytes also serve as a service type and a description, which
// must never change the structure of the request they are put into.
#include "fuzzcheck.h"
#include "soapcheck.h"
#include "upnp/devicedescription.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    FUZZ_CHECK(upnp::isOnlyPermanentLeasesFault(body) == body.contains("<errorCode>725</errorCode>"),
               "error 725 is the exact element, nothing else");

    const QString text = QString::fromUtf8(body);
    if (upnp::isUsableServiceType(text))
        soapcheck::checkRequest(text, 6004, QStringLiteral("Sarnolix UDP"));
    if (soapcheck::isXmlText(text))
        soapcheck::checkRequest(QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:1"),
                                quint16(size), text);
    return 0;
}
