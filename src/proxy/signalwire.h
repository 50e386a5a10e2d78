// Datagrams exchanged with the rendezvous server ("type/field/field"), and the values the
// proxy derives from the quark. No sockets, no event loop.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

namespace signalwire {

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

} // namespace signalwire
