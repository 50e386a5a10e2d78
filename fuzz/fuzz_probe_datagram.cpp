// Probe and delay datagrams arrive from the peer (and, while punching, from anyone): any bytes
// must classify without fault, answers must echo the ping, and the numbers taken from them
// must stay in their ranges.
#include "fuzzcheck.h"
#include "wire/probewire.h"

#include <QByteArray>
#include <QList>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

constexpr qint64 MaxRttMs = 5000;
constexpr int MaxSamples = 64; // more than a probe ever takes (10 pings, duplicates aside)

void checkDatagram(const QByteArray &datagram, qint64 nowMs)
{
    using wire::probe::ProbeKind;
    const bool probe = datagram.size() >= 6 && datagram.size() <= 64 && datagram.startsWith("KVRA ");
    FUZZ_CHECK(wire::probe::isProbeDatagram(datagram.constData(), datagram.size()) == probe,
               "probe recogniser: 6..64 bytes starting with KVRA and a blank");
    const wire::probe::ProbeMessage message = wire::probe::parseProbeDatagram(datagram.constData(), datagram.size());
    FUZZ_CHECK((message.kind == ProbeKind::NotProbe) == !probe, "only probe datagrams are consumed");
    if (!probe)
        return;
    const QList<QByteArray> fields = datagram.split(' ');
    FUZZ_CHECK((message.kind == ProbeKind::Malformed) == (fields.size() != 4), "four fields or malformed");
    if (message.kind == ProbeKind::Malformed)
        return;
    FUZZ_CHECK(message.field3 == fields.at(2) && message.field4 == fields.at(3), "fields 3 and 4 split out");

    if (message.kind == ProbeKind::Ping) {
        // The pong goes back to whoever sent the ping: it must carry the ping's fields only.
        const QByteArray pong = wire::probe::pongDatagram(message.field3, message.field4);
        const wire::probe::ProbeMessage answer = wire::probe::parseProbeDatagram(pong.constData(), pong.size());
        FUZZ_CHECK(pong.size() == datagram.size(), "a pong is as long as its ping");
        FUZZ_CHECK(answer.kind == ProbeKind::Pong, "the answer to a ping is a pong");
        FUZZ_CHECK(answer.field3 == message.field3 && answer.field4 == message.field4, "pong echoes the ping");
    }
    int rtt = -1;
    if (wire::probe::roundTripFromPong(message.field4, nowMs, &rtt))
        FUZZ_CHECK(rtt >= 0 && rtt <= MaxRttMs, "round trips lie in 0..5000 ms");
    int delay = -1;
    if (wire::probe::parseRemoteDelay(message.field3, &delay))
        FUZZ_CHECK(delay >= 0 && delay <= 2, "remote proposals are clamped to 0..2");
}

void checkNumbers(FuzzedDataProvider &provider)
{
    QList<int> samples;
    const int count = provider.ConsumeIntegralInRange<int>(0, MaxSamples);
    for (int i = 0; i < count && provider.remaining_bytes() > 0; ++i)
        samples.append(provider.ConsumeIntegral<int>());
    const int median = wire::probe::medianRtt(samples);
    if (samples.isEmpty())
        FUZZ_CHECK(median == -1, "no samples: no median");
    else
        FUZZ_CHECK(samples.contains(median), "the median is one of the samples");
    const int delay = wire::probe::delayForRtt(median);
    FUZZ_CHECK(delay >= 0 && delay <= 2, "delay is 0..2");

    // Answers of one round: round trips as the pong parser gives them, arrival on the probe clock.
    QList<int> rtts;
    QList<qint64> arrivals;
    for (int i = 0; i < count && provider.remaining_bytes() > 0; ++i) {
        rtts.append(provider.ConsumeIntegralInRange<int>(0, int(MaxRttMs)));
        arrivals.append(provider.ConsumeIntegralInRange<qint64>(0, qint64(1) << 40));
    }
    const wire::probe::PathSamples path = wire::probe::pathSamples(rtts, arrivals);
    FUZZ_CHECK(path.rtts.size() + path.held == rtts.size(), "every sample is kept or held");
    FUZZ_CHECK(path.steady <= path.rtts.size(), "steady samples are kept ones");
    FUZZ_CHECK(rtts.isEmpty() || !path.rtts.isEmpty(), "the latest answer of a burst is always kept");
    for (const int kept : path.rtts)
        FUZZ_CHECK(rtts.contains(kept), "kept samples are samples");

    const int number = provider.ConsumeIntegral<int>();
    const qint64 sendTime = provider.ConsumeIntegral<qint64>();
    const QByteArray ping = wire::probe::pingDatagram(number, sendTime);
    const wire::probe::ProbeMessage parsed = wire::probe::parseProbeDatagram(ping.constData(), ping.size());
    FUZZ_CHECK(parsed.kind == wire::probe::ProbeKind::Ping, "our own ping parses as a ping");
    const QByteArray proposal = wire::probe::delayDatagram(provider.ConsumeIntegral<int>(), provider.ConsumeIntegral<int>());
    FUZZ_CHECK(wire::probe::parseProbeDatagram(proposal.constData(), proposal.size()).kind == wire::probe::ProbeKind::Delay,
               "our own proposal parses as a delay");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    FuzzedDataProvider provider(data, size);
    // The probe clock counts from the manager's construction: never negative.
    const qint64 nowMs = provider.ConsumeIntegralInRange<qint64>(0, std::numeric_limits<qint64>::max() / 2);
    checkDatagram(datagram, nowMs);
    checkDatagram(datagram, 0);
    checkNumbers(provider);
    return 0;
}
