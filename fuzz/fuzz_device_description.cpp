// The device description is XML from whatever answered the SSDP search: any body must parse
// without fault or hang, and a service taken from it must be safe to put into the request.
#include "fuzzcheck.h"
#include "soapcheck.h"
#include "upnp/devicedescription.h"

#include <QByteArray>
#include <QUrl>

#include <cstddef>
#include <cstdint>

namespace {

void checkDescription(const QByteArray &body, const QUrl &location)
{
    const upnp::WanService service = upnp::findWanService(body, location);
    if (service.controlUrl.isEmpty())
        return;
    // An unparsable controlURL (a bad host) must not be taken as the service's address.
    FUZZ_CHECK(service.controlUrl.isValid(), "the control URL is valid");
    // A relative URLBase ("not a url" parses as a relative path) must not replace the absolute
    // location as the base, or the request would go nowhere.
    FUZZ_CHECK(!service.controlUrl.isRelative(), "the control URL is absolute");
    FUZZ_CHECK(upnp::isUsableServiceType(service.serviceType), "the service type is one we can send");
    soapcheck::checkRequest(service.serviceType, 6006, QStringLiteral("Sarnolix UDP"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    checkDescription(body, QUrl(QStringLiteral("http://192.168.1.1:5000/rootDesc.xml")));
    checkDescription(body, QUrl(QStringLiteral("http://10.0.0.138/")));
    return 0;
}
