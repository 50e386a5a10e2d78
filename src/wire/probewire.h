// Latency probe and input-delay datagrams between two proxies ("KVRA ping|pong|delay a b"),
// and the rules that turn round-trip samples into an input delay. No sockets, no event loop.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace wire::probe {

enum class ProbeKind
{
    NotProbe,  // not one of ours: the caller treats it as other traffic
    Malformed, // ours, but not exactly four fields: consumed and ignored
    Ping,
    Pong,
    Delay,
    Other,     // four fields with an unknown kind: consumed and ignored
};

struct ProbeMessage
{
    ProbeKind kind = ProbeKind::NotProbe;
    QByteArray field3;
    QByteArray field4;
};

// True for 6..64 bytes starting with "KVRA ".
bool isProbeDatagram(const char *data, qint64 size);

// Classifies a datagram and splits out fields 3 and 4.
ProbeMessage parseProbeDatagram(const char *data, qint64 size);

QByteArray pingDatagram(int probeNumber, qint64 sendTimeMs);
// Fields copied unchanged from the ping.
QByteArray pongDatagram(const QByteArray &field3, const QByteArray &field4);
QByteArray delayDatagram(int delay, int side);

// Round trip of a pong whose echoed send time is field4, received at nowMs. Returns false
// when the field is not a number or the round trip lies outside 0..5000 ms.
bool roundTripFromPong(const QByteArray &field4, qint64 nowMs, int *rttMs);

// The upper median (element n/2 of the sorted samples); -1 when there are none.
int medianRtt(const QList<int> &samples);

// Pongs and delay proposals count only from the peer; a ping is answered to anyone.
bool countsOnlyFromPeer(ProbeKind kind);

// The round trips of one probe round, with the answers a busy peer released together taken
// out: pings leave 100 ms apart, so pongs that arrive within a few ms of a pong for a later
// ping waited at the peer, and their samples measure that wait, not the path.
struct PathSamples
{
    QList<int> rtts;   // what the median is taken of
    int held = 0;      // samples taken out
    int steady = 0;    // samples whose pong arrived alone (no other within the window)
};
PathSamples pathSamples(const QList<int> &rtts, const QList<qint64> &receivedMs);

// Whether a round was spoilt by a busy peer badly enough to ping once more.
bool needsAnotherRound(const PathSamples &samples);

// 2 above 80 ms, 1 above 50 ms, 0 otherwise.
int delayForRtt(int rttMs);

// The peer's proposal (field 3 of a delay datagram) clamped to 0..2; false when not a number.
bool parseRemoteDelay(const QByteArray &field3, int *delay);

} // namespace wire::probe
