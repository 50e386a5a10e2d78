// SSDP (UPnP discovery) wire formats: the M-SEARCH request and the location of one answer.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QUrl>

namespace upnp {

// The SSDP multicast group, built at program start.
extern const QHostAddress SsdpAddress;
// The SSDP port (UDP).
inline constexpr quint16 SsdpPort = 1900;

// One M-SEARCH datagram for the given search target.
QByteArray discoveryRequest(const char *searchTarget);

// The device-description location named by one SSDP answer, or an empty URL when the answer
// is to be dropped. Only the first "location" line counts; it must hold a valid http URL.
QUrl discoveryLocation(const QByteArray &datagram);

} // namespace upnp
