#include "upnp/ssdp.h"

#include <QList>

namespace upnp {
namespace {

// Fixed head of every search; one blank after each colon, CRLF line ends.
constexpr char SearchHead[] = "M-SEARCH * HTTP/1.1\r\n"
                              "HOST: 239.255.255.250:1900\r\n"
                              "MAN: \"ssdp:discover\"\r\n"
                              "MX: 2\r\n"
                              "ST: ";

} // namespace

const QHostAddress SsdpAddress(QStringLiteral("239.255.255.250"));

QByteArray discoveryRequest(const char *searchTarget)
{
    QByteArray datagram(SearchHead);
    datagram.append(searchTarget);
    datagram.append("\r\n\r\n");
    return datagram;
}

QUrl discoveryLocation(const QByteArray &datagram)
{
    const QList<QByteArray> lines = datagram.split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        if (line.left(colon).trimmed().toLower() != "location")
            continue;
        // The first location line decides, whatever its value: no second one is tried.
        const QUrl url(QString::fromLatin1(line.mid(colon + 1).trimmed()), QUrl::TolerantMode);
        if (url.isValid() && url.scheme() == QLatin1String("http"))
            return url;
        return {};
    }
    return {};
}

} // namespace upnp
