#include "upnp/devicedescription.h"

#include <QXmlStreamReader>

namespace upnp {
namespace {

// Exact case; the version after the last colon is not looked at.
const QLatin1String WanIpPrefix("urn:schemas-upnp-org:service:WANIPConnection:");
const QLatin1String WanPppPrefix("urn:schemas-upnp-org:service:WANPPPConnection:");
// A real description is a few kilobytes; this bounds the scan of a hostile one (tokens).
constexpr int MaxTokens = 1000000;

// The type goes unescaped into the SOAPAction header and an XML attribute: it must be
// plain visible ASCII without quotes or markup, or it could break (or inject into) both.
bool isWireSafe(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x21 || u > 0x7e || u == '"' || u == '<' || u == '>' || u == '&')
            return false;
    }
    return true;
}

} // namespace

bool isUsableServiceType(const QString &serviceType)
{
    return (serviceType.startsWith(WanIpPrefix) || serviceType.startsWith(WanPppPrefix))
           && isWireSafe(serviceType);
}

WanService findWanService(const QByteArray &description, const QUrl &descriptionUrl)
{
    QUrl baseUrl = descriptionUrl;
    QString currentServiceType;
    QString currentControlUrl;
    QXmlStreamReader reader(description);
    for (int tokens = 0; !reader.atEnd() && !reader.hasError() && tokens < MaxTokens; ++tokens) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = reader.name();
        if (name == QLatin1String("URLBase")) {
            const QUrl url(reader.readElementText().trimmed(), QUrl::TolerantMode);
            // A relative URLBase would make every control URL relative and so unreachable:
            // it is taken relative to the description's own location.
            if (url.isValid() && !url.isEmpty())
                baseUrl = descriptionUrl.resolved(url);
        } else if (name == QLatin1String("service")) {
            currentServiceType.clear();
            currentControlUrl.clear();
        } else if (name == QLatin1String("serviceType")) {
            currentServiceType = reader.readElementText().trimmed();
        } else if (name == QLatin1String("controlURL")) {
            currentControlUrl = reader.readElementText().trimmed();
            if (isUsableServiceType(currentServiceType) && !currentControlUrl.isEmpty()) {
                const QUrl control = baseUrl.resolved(QUrl(currentControlUrl, QUrl::TolerantMode));
                // A control URL that cannot be posted to is passed over like an empty one.
                if (control.isValid() && !control.host().isEmpty())
                    return {currentServiceType, control};
            }
        }
    }
    return {};
}

} // namespace upnp
