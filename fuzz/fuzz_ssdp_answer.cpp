// SSDP answers come from anyone on the local network: any datagram must parse without fault,
// and only a valid plain-HTTP location from the first location line may come out of it.
#include "fuzzcheck.h"
#include "upnp/ssdp.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <cstddef>
#include <cstdint>

namespace {

// Index of the first line whose header name is "location" (any case, blanks around), or -1.
qsizetype firstLocationLine(const QList<QByteArray> &lines)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0 && lines.at(i).left(colon).trimmed().toLower() == "location")
            return i;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    const QUrl location = upnp::discoveryLocation(datagram);
    const QList<QByteArray> lines = datagram.split('\n');
    const qsizetype line = firstLocationLine(lines);
    if (line < 0) {
        FUZZ_CHECK(location.isEmpty(), "no location line: nothing to fetch");
        return 0;
    }
    if (location.isEmpty())
        return 0;
    FUZZ_CHECK(location.isValid(), "a location is a valid URL");
    FUZZ_CHECK(location.scheme() == QLatin1String("http"), "only plain HTTP is fetched");
    FUZZ_CHECK(!location.isRelative(), "a location is absolute");
    const QByteArray &text = lines.at(line);
    const QUrl expected(QString::fromLatin1(text.mid(text.indexOf(':') + 1).trimmed()), QUrl::TolerantMode);
    FUZZ_CHECK(location == expected, "the first location line decides");
    return 0;
}
