#include "wire/probewire.h"

#include <algorithm>
#include <cstdlib>

namespace wire::probe {
namespace {

const QByteArray ProbePrefix = QByteArrayLiteral("KVRA ");
const QByteArray PingKind = QByteArrayLiteral("ping");
const QByteArray PongKind = QByteArrayLiteral("pong");
const QByteArray DelayKind = QByteArrayLiteral("delay");
constexpr qint64 MinProbeBytes = 6;   // bytes: the prefix and at least one more
constexpr qint64 MaxProbeBytes = 64;  // bytes: longer datagrams are game traffic
constexpr int ProbeFieldCount = 4;    // "KVRA", kind, field 3, field 4
constexpr qint64 MaxRttMs = 5000;     // ms: a larger round trip is a stale or forged pong
constexpr int MaxDelay = 2;           // frames
constexpr int HighRttMs = 80;         // ms: above it, two frames of delay
constexpr int MediumRttMs = 50;       // ms: above it, one frame
// ms: pings leave 100 ms apart, so a steady path returns their pongs about 100 ms apart;
// pongs closer than this were released together by a peer (or a loop) that held them.
constexpr qint64 ReleasedTogetherMs = 20;
// Steady samples a round needs before its median is trusted as it is: half the pings.
constexpr int MinSteadySamples = 5;

} // namespace

bool isProbeDatagram(const char *data, qint64 size)
{
    if (!data || size < MinProbeBytes || size > MaxProbeBytes)
        return false;
    return std::equal(ProbePrefix.cbegin(), ProbePrefix.cend(), data);
}

ProbeMessage parseProbeDatagram(const char *data, qint64 size)
{
    ProbeMessage message;
    if (!isProbeDatagram(data, size))
        return message;
    const QList<QByteArray> fields = QByteArray(data, int(size)).split(' ');
    if (fields.size() != ProbeFieldCount) {
        message.kind = ProbeKind::Malformed;
        return message;
    }
    const QByteArray &kind = fields.at(1);
    if (kind == PingKind)
        message.kind = ProbeKind::Ping;
    else if (kind == PongKind)
        message.kind = ProbeKind::Pong;
    else if (kind == DelayKind)
        message.kind = ProbeKind::Delay;
    else
        message.kind = ProbeKind::Other;
    message.field3 = fields.at(2);
    message.field4 = fields.at(3);
    return message;
}

QByteArray pingDatagram(int probeNumber, qint64 sendTimeMs)
{
    return ProbePrefix + PingKind + ' ' + QByteArray::number(probeNumber) + ' ' + QByteArray::number(sendTimeMs);
}

QByteArray pongDatagram(const QByteArray &field3, const QByteArray &field4)
{
    return ProbePrefix + PongKind + ' ' + field3 + ' ' + field4;
}

QByteArray delayDatagram(int delay, int side)
{
    return ProbePrefix + DelayKind + ' ' + QByteArray::number(delay) + ' ' + QByteArray::number(side);
}

bool roundTripFromPong(const QByteArray &field4, qint64 nowMs, int *rttMs)
{
    bool ok = false;
    const qint64 sentMs = field4.toLongLong(&ok, 10);
    if (!ok)
        return false;
    // Compare before subtracting: a forged time near the 64-bit limits must not overflow.
    if (sentMs > nowMs || sentMs < nowMs - MaxRttMs)
        return false;
    *rttMs = int(nowMs - sentMs);
    return true;
}

int medianRtt(const QList<int> &samples)
{
    if (samples.isEmpty())
        return -1;
    QList<int> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    return sorted.at(sorted.size() / 2);
}

bool countsOnlyFromPeer(ProbeKind kind)
{
    return kind == ProbeKind::Pong || kind == ProbeKind::Delay;
}

PathSamples pathSamples(const QList<int> &rtts, const QList<qint64> &receivedMs)
{
    PathSamples result;
    const qsizetype n = std::min(rtts.size(), receivedMs.size());
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 sentI = receivedMs.at(i) - rtts.at(i);
        bool alone = true;
        bool heldForLater = false;
        for (qsizetype j = 0; j < n; ++j) {
            if (j == i || std::abs(receivedMs.at(j) - receivedMs.at(i)) > ReleasedTogetherMs)
                continue;
            alone = false;
            // A later ping, not a second answer to the same one.
            if (receivedMs.at(j) - rtts.at(j) > sentI + ReleasedTogetherMs)
                heldForLater = true;
        }
        if (heldForLater) {
            ++result.held;
            continue;
        }
        result.rtts.append(rtts.at(i));
        if (alone)
            ++result.steady;
    }
    return result;
}

bool needsAnotherRound(const PathSamples &samples)
{
    return samples.held > 0 && samples.steady < MinSteadySamples;
}

int delayForRtt(int rttMs)
{
    if (rttMs > HighRttMs)
        return 2;
    if (rttMs > MediumRttMs)
        return 1;
    return 0;
}

bool parseRemoteDelay(const QByteArray &field3, int *delay)
{
    bool ok = false;
    const int value = field3.toInt(&ok, 10);
    if (!ok)
        return false;
    *delay = std::clamp(value, 0, MaxDelay);
    return true;
}

} // namespace wire::probe
