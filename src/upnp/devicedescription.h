// Reading a UPnP device description: the first usable WAN IP / WAN PPP connection service.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace upnp {

struct WanService
{
    QString serviceType; // the service type URN, as written
    QUrl controlUrl;     // absolute; empty when the description holds no usable service
};

// Scans the description in document order (at any device depth) and returns the first
// service whose serviceType starts with a WAN IP or WAN PPP connection prefix and whose
// controlURL is not empty. A relative control URL is resolved against the last valid URLBase
// seen before it, or else against descriptionUrl.
WanService findWanService(const QByteArray &description, const QUrl &descriptionUrl);

// True when the type names a WAN IP or WAN PPP connection service we can put on the wire.
bool isUsableServiceType(const QString &serviceType);

} // namespace upnp
