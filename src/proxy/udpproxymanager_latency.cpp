// Latency probe after punching, and the input-delay negotiation with the peer.
#include "proxy/probewire.h"
#include "proxy/udpproxymanager.h"

#include <algorithm>

namespace {

constexpr int PingsPerProbe = 10;        // pings numbered 0..9
constexpr int ProbeEvaluationTick = 12;  // ticks: evaluated when probeTicks exceeds it (1.2 s)
constexpr int DelayResendTicks = 29;     // ticks of 100 ms: re-sends while waiting, then our own
// Delay datagrams answered once done. A waiting peer sends at most 30 of them, so this covers
// it; without a cap two finished sides would answer each other's answers for ever.
constexpr int DoneDelayAnswerLimit = 30;

} // namespace

bool UdpProxyManager::handleProbeDatagram(const char *data, qint64 size, const QHostAddress &sender,
                                          quint16 senderPort)
{
    const probewire::ProbeMessage message = probewire::parseProbeDatagram(data, size);
    switch (message.kind) {
    case probewire::ProbeKind::NotProbe:
        return false;
    case probewire::ProbeKind::Malformed:
    case probewire::ProbeKind::Other:
        return true;
    case probewire::ProbeKind::Ping:
        // Answered to whoever asked: during punching the peer may still be on another port.
        peerSocket.writeDatagram(probewire::pongDatagram(message.field3, message.field4), sender, senderPort);
        return true;
    case probewire::ProbeKind::Pong: {
        int rtt = 0;
        if (!probeFinished && probewire::roundTripFromPong(message.field4, probeClock.elapsed(), &rtt))
            rttSamples.append(rtt);
        return true;
    }
    case probewire::ProbeKind::Delay: {
        int proposal = 0;
        if (!probewire::parseRemoteDelay(message.field3, &proposal))
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
    rttSamples.clear();
    probeFinished = false;
    probeTicks = 0;
    handleLatencyProbeTick();
    latencyProbeTimer.start();
}

void UdpProxyManager::handleLatencyProbeTick()
{
    if (probeTicks < PingsPerProbe && peerEndpoint.valid) {
        const QByteArray ping = probewire::pingDatagram(probeTicks, probeClock.elapsed());
        traceDatagram('o', ping.constData(), ping.size());
        peerSocket.writeDatagram(ping, peerEndpoint.address, peerEndpoint.port);
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
    measuredRttMs = probewire::medianRtt(rttSamples);
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
    return probewire::delayForRtt(rttMs);
}

void UdpProxyManager::sendDelayProposal()
{
    if (localDelay < 0 || !peerEndpoint.valid)
        return;
    const QByteArray proposal = probewire::delayDatagram(localDelay, side);
    traceDatagram('o', proposal.constData(), proposal.size());
    peerSocket.writeDatagram(proposal, peerEndpoint.address, peerEndpoint.port);
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
