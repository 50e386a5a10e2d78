// Hole-punch datagrams ("<own token> <peer token|_>[ ok]"), token acceptance and the order in
// which the punch sequence walks the ports around the peer's. No sockets, no event loop.
#pragma once

#include <QByteArray>

namespace wire::punch {

// Placeholder for a token not learned yet.
inline constexpr char UnknownToken[] = "_";

// "_", anything starting with "0.", or a non-empty run of hexadecimal digits.
bool isAcceptedToken(const QByteArray &field);

// Two accepted tokens, optionally followed by exactly "ok".
bool isPunchDatagram(const QByteArray &data);

struct PunchFields
{
    bool valid = false;        // a punch datagram; the rest is empty otherwise
    QByteArray senderToken;    // field 1: the sender's own token
    QByteArray quotedToken;    // field 2: what it learned from us, or "_"
    bool acknowledged = false; // field 3 "ok": it has heard us
};

// The one parse of a punch datagram.
PunchFields parsePunchDatagram(const QByteArray &data);

// Field 2 of a punch datagram when it is a learned token (not "_"), else empty: what the
// sender has heard from us.
QByteArray echoedToken(const QByteArray &data);

// Own token: "0." and 16 decimal digits, from a random value in [0, 1).
QByteArray tokenFromRandom(double value);

// "<own> <peer>", with " ok" appended once the peer's token is known.
QByteArray punchDatagram(const QByteArray &ownToken, const QByteArray &peerToken);

// One wrap into 1..65535: <= 0 gets 65535 added, > 65535 gets 65535 taken off.
int wrapPort(int port);

// Ports the peer is never retargeted to, nor moved to by the relay's port follower.
bool isReservedSourcePort(int port);

// Ports around which no scan is made (the proxy's own default peer ports): a burst instead.
bool isScanExempt(int port);

// Port of step `index` of a scan around `centre` that starts at offset `firstOffset`:
// centre + k, then centre - k, for k = firstOffset, firstOffset + 1, ...; wrapped.
int scanPort(int centre, int firstOffset, int index);

} // namespace wire::punch
