// Wire format of the rendezvous server: fields joined by "/", no terminator.
// Free functions only, so tests drive them without sockets.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtGlobal>

#include <optional>

namespace rendezvous {

enum class ClientMessageType { Register, PeerAck, UdpReady, UdpFailed };

// One datagram a proxy sends to the server. For Register, UdpReady and UdpFailed the
// fields matchId and side are set; for PeerAck matchId, host and port.
struct ClientMessage
{
    ClientMessageType type = ClientMessageType::Register;
    QByteArray matchId;
    int side = 0;
    QHostAddress host;
    quint16 port = 0;
};

// Longest datagram and match identifier the server takes at all; longer input is not
// a proxy's and is dropped before parsing.
constexpr int MaxDatagramBytes = 512;
constexpr int MaxMatchIdBytes = 200;

// Parses one client datagram strictly (exact type word, exact field count, canonical
// decimal numbers, printable match identifier). Anything else gives no value.
std::optional<ClientMessage> parseClientMessage(const QByteArray &datagram);

// True when text is a number as the proxies write it: decimal, no plus sign, no leading
// zeros, "-" only for negatives, fits an int.
bool parseCanonicalInt(const QByteArray &text, int *value);

QByteArray registeredMessage(const QByteArray &matchId, int side);
QByteArray readyAckMessage(const QByteArray &matchId, int side);
QByteArray failureAckMessage(const QByteArray &matchId, int side);
QByteArray peerMessage(const QByteArray &matchId, const QHostAddress &address, quint16 port);

} // namespace rendezvous
