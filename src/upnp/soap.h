// The SOAP actions of the WAN IP / WAN PPP connection service: AddPortMapping and its fault,
// GetExternalIPAddress and its answer. The bytes are pure functions; a call (headers, body,
// reply size cap) is built and posted by one function per action, which the port mapper and
// kivra-netcheck both use.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkRequest>
#include <QString>
#include <QtGlobal>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

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

// One router action, ready to post to the service's control URL.
struct SoapCall
{
    QNetworkRequest request; // the control URL with the Content-Type and SOAPAction headers
    QByteArray body;
    qint64 maxReplyBytes = 0; // a reply body that grows past this is aborted
};

// AddPortMapping of UDP port to the same port on internalClient.
SoapCall addPortMappingCall(const QUrl &controlUrl, const QString &serviceType, quint16 port,
                            const QHostAddress &internalClient, const QString &description, int leaseSeconds);
// GetExternalIPAddress; it only reads.
SoapCall externalAddressCall(const QUrl &controlUrl, const QString &serviceType);

// Posts the call; a reply whose body grows past the call's cap is aborted and then ends as an
// error reply. The caller owns the reply.
QNetworkReply *post(QNetworkAccessManager &network, const SoapCall &call);

// Aborts the reply once its body grows past maxBytes; it then ends as an error reply.
void limitReplySize(QNetworkReply *reply, qint64 maxBytes);

// What a finished GetExternalIPAddress reply says: its address, or null when the reply
// failed or names none.
QHostAddress externalAddressFromReply(QNetworkReply *reply);
// Whether a failed AddPortMapping reply is the fault that asks for a permanent lease.
bool isOnlyPermanentLeasesReply(QNetworkReply *reply);

} // namespace upnp
