// The SOAP AddPortMapping request of the WAN IP / WAN PPP connection service, and its fault.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

namespace upnp {

// Lease durations of a mapping request, in seconds.
inline constexpr int FirstLeaseSeconds = 3600;
// Asked for once more after error 725 (OnlyPermanentLeasesSupported): a permanent mapping.
inline constexpr int PermanentLeaseSeconds = 0;

// The value of the SOAPAction header, quotes included.
QByteArray soapAction(const QString &serviceType);

// The mapping description with &, <, > and " replaced by their HTML entities.
QString escapedDescription(const QString &description);

// The one-line UTF-8 request body mapping UDP port to the same port on internalClient.
QByteArray addPortMappingBody(const QString &serviceType, quint16 port,
                              const QHostAddress &internalClient, const QString &description,
                              int leaseSeconds);

// True when an error body holds the exact element <errorCode>725</errorCode>.
bool isOnlyPermanentLeasesFault(const QByteArray &body);

// The SOAPAction header value of GetExternalIPAddress, quotes included.
QByteArray externalAddressAction(const QString &serviceType);

// The one-line UTF-8 request body of GetExternalIPAddress (no arguments); it only reads.
QByteArray externalAddressBody(const QString &serviceType);

// The IPv4 address in the NewExternalIPAddress element of a GetExternalIPAddress answer
// (surrounding blanks allowed), or a null address when the answer holds none, holds
// something else there, or is not well-formed up to that element.
QHostAddress externalAddressFromAnswer(const QByteArray &body);

} // namespace upnp
