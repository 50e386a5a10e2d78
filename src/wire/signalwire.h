// Datagrams between a proxy and the rendezvous server ("type/field/field"), both directions and
// both ends: what the proxy sends and reads, what the server reads and answers, and the values
// the proxy derives from the quark. No sockets, no event loop.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace wire::signalling {

// ---- The proxy's side ----

enum class SignalKind
{
    Other, // not one we accept, or too few fields: ignored
    Registered,
    ReadyAck,
    FailureAck,
    Peer,
};

struct SignalMessage
{
    SignalKind kind = SignalKind::Other;
    QString matchId;
    int side = 0;          // acknowledgements only; 0 when field 3 is not a number
    QHostAddress address;  // "peer" only; null unless field 3 is an address literal
    quint16 port = 0;      // "peer" only; 0 unless field 4 is 1..65535
};

// type + "/" + payload + "/" + value in decimal.
QByteArray signalMessage(const char *type, const QByteArray &payload, int value);

// "register", "udp_ready" and "udp_failed" with the match identifier and the side.
QByteArray registerMessage(const QByteArray &matchId, int side);
QByteArray readyMessage(const QByteArray &matchId, int side);
QByteArray failedMessage(const QByteArray &matchId, int side);

// "peer_ack/<matchId>/<address text>/<port>".
QByteArray peerAckMessage(const QString &matchId, const QHostAddress &address, quint16 port);

// Splits one server datagram. Field 1 must match a known type exactly (case and length).
SignalMessage parseSignalMessage(const QByteArray &datagram);

// Text before the last '.', or the whole quark when there is none.
QString matchIdFromQuark(const QString &quark);

// Integer after the last '.'; 0 when there is no '.', or it is not an int.
int sideFromQuark(const QString &quark);

// "4" + the run after the first '-' up to the next '.', read as a port; 0 when it is none.
int derivedPortFromQuark(const QString &quark);

// ---- The server's side ----

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

// The server's answers, as parseSignalMessage reads them.
QByteArray registeredMessage(const QByteArray &matchId, int side);
QByteArray readyAckMessage(const QByteArray &matchId, int side);
QByteArray failureAckMessage(const QByteArray &matchId, int side);
QByteArray peerMessage(const QByteArray &matchId, const QHostAddress &address, quint16 port);

} // namespace wire::signalling
