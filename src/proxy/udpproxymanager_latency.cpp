// Latency probe after punching, and the input-delay negotiation with the peer.
#include "proxy/udpproxymanager.h"

#include "wire/probewire.h"
#include "wire/traceline.h"

#include <algorithm>

namespace {

constexpr int PingsPerProbe = 10;        // pings numbered 0..9
constexpr int ProbeEvaluationTick = 12;  // ticks: evaluated when probeTicks exceeds it (1.2 s)
constexpr int DelayResendTicks = 29;     // ticks of 100 ms: re-sends while waiting, then our own
// Delay datagrams answered once done. A waiting peer sends at most 30 of them, so this covers
// it; without a cap two finished sides would answer each other's answers for ever.
constexpr int DoneDelayAnswerLimit = 30;
// Rounds of pings: a second one when a peer still busy punching held the first round's
// answers. It ends 2.4 s after success, well within the 3 s a peer waits for our proposal
// after its own evaluation, which comes later than ours when it is the busy one.
constexpr int MaxProbeRounds = 2;
// Samples kept per round: ten pings, with room for duplicates; pongs beyond are ignored.
constexpr int MaxRttSamples = 64;

} // namespace

bool UdpProxyManager::handleProbeDatagram(const wire::probe::ProbeMessage &message, const QHostAddress &sender,
                                          quint16 senderPort, bool fromPeer)
{
    if (!fromPeer && wire::probe::countsOnlyFromPeer(message.kind))
        return true; // a stranger's round trip or proposal: consumed, never used
    switch (message.kind) {
    case wire::probe::ProbeKind::NotProbe:
        return false;
    case wire::probe::ProbeKind::Malformed:
    case wire::probe::ProbeKind::Other:
        return true;
    case wire::probe::ProbeKind::Ping:
        // Answered to whoever asked: during punching the peer may still be on another port.
        writePeerDatagram(wire::probe::pongDatagram(message.field3, message.field4), sender, senderPort);
        return true;
    case wire::probe::ProbeKind::Pong: {
        int rtt = 0;
        const qint64 nowMs = probeClock.elapsed();
        if (probeFinished || rttSamples.size() >= MaxRttSamples
            || !wire::probe::roundTripFromPong(message.field4, nowMs, &rtt))
            return true;
        // A late answer to an earlier round measures how long the peer was busy.
        if (probeRounds > 1 && nowMs - rtt < probeRoundStartMs)
            return true;
        rttSamples.append(rtt);
        pongReceivedMs.append(nowMs);
        return true;
    }
    case wire::probe::ProbeKind::Delay: {
        int proposal = 0;
        if (!wire::probe::parseRemoteDelay(message.field3, &proposal))
            return true;
        remoteDelay = proposal;
        if (delayNegotiationDone) {
            if (doneDelayAnswers < DoneDelayAnswerLimit) {
                ++doneDelayAnswers;
                sendDelayProposal();
            }
        } else if (probeFinished) {
            completeDelayNegotiation();
        }
        return true;
    }
    }
    return true;
}

void UdpProxyManager::startLatencyProbe()
{
    if (!peerEndpoint.valid || delayNegotiationDone)
        return;
    probeFinished = false;
    probeRounds = 0;
    startProbeRound();
}

void UdpProxyManager::startProbeRound()
{
    ++probeRounds;
    rttSamples.clear();
    pongReceivedMs.clear();
    probeRoundStartMs = probeClock.elapsed();
    probeTicks = 0;
    handleLatencyProbeTick();
    latencyProbeTimer.start();
}

void UdpProxyManager::handleLatencyProbeTick()
{
    if (probeTicks < PingsPerProbe && peerEndpoint.valid) {
        const QByteArray ping = wire::probe::pingDatagram(probeTicks, probeClock.elapsed());
        traceDatagram(wire::trace::ToPeer, ping.constData(), ping.size());
        writePeerDatagram(ping, peerEndpoint.address, peerEndpoint.port);
    }
    ++probeTicks;
    if (probeTicks > ProbeEvaluationTick) {
        latencyProbeTimer.stop();
        finishLatencyProbe();
    }
}

void UdpProxyManager::finishLatencyProbe()
{
    if (probeFinished)
        return;
    probeFinished = true;
    if (rttSamples.isEmpty()) {
        measuredRttMs = -1;
        localDelay = 0;
        sendDelayProposal();
        completeDelayNegotiation();
        return;
    }
    const wire::probe::PathSamples path = wire::probe::pathSamples(rttSamples, pongReceivedMs);
    if (probeRounds < MaxProbeRounds && wire::probe::needsAnotherRound(path)) {
        // The peer was still punching and answered in bursts: ping once more now that it is
        // evidently done. No proposal leaves before this estimate, since both sides take the larger.
        probeFinished = false;
        startProbeRound();
        return;
    }
    measuredRttMs = wire::probe::medianRtt(path.rtts);
    localDelay = delayForRtt(measuredRttMs);
    sendDelayProposal();
    if (remoteDelay < 0) {
        delayWaitTicks = 0;
        delayWaitTimer.start();
    } else {
        completeDelayNegotiation();
    }
}

int UdpProxyManager::delayForRtt(int rttMs)
{
    return wire::probe::delayForRtt(rttMs);
}

void UdpProxyManager::sendDelayProposal()
{
    if (localDelay < 0 || !peerEndpoint.valid)
        return;
    const QByteArray proposal = wire::probe::delayDatagram(localDelay, side);
    traceDatagram(wire::trace::ToPeer, proposal.constData(), proposal.size());
    writePeerDatagram(proposal, peerEndpoint.address, peerEndpoint.port);
}

void UdpProxyManager::handleDelayWaitTick()
{
    ++delayWaitTicks;
    if (remoteDelay < 0 && delayWaitTicks <= DelayResendTicks)
        sendDelayProposal();
    else
        completeDelayNegotiation();
}

void UdpProxyManager::completeDelayNegotiation()
{
    if (delayNegotiationDone)
        return;
    delayNegotiationDone = true;
    doneDelayAnswers = 0;
    latencyProbeTimer.stop();
    delayWaitTimer.stop();
    const int delay = std::max({localDelay, remoteDelay, 0});
    Q_EMIT delayNegotiated(quark, delay, measuredRttMs);
}
