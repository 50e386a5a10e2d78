// Hole punching: the blocking punch sequence toward the announced peer endpoint.
#include "proxy/udpproxymanager.h"
#include "wire/ports.h"

#include "wire/punchwire.h"

#include <QRandomGenerator64>
#include <QThread>

#include <algorithm>
#include <utility>

namespace {

constexpr int AnnouncedAttempts = 8;        // toward the port the server announced
constexpr int AnnouncedIntervalMs = 500;
constexpr int ScanWidth = 512;              // ports tried on each side of the peer's port
constexpr int BurstAttempts = 2 * ScanWidth; // same number of datagrams when no scan is made
constexpr int RebindAttempts = 6;           // from a rebound local port
constexpr int RebindIntervalMs = 500;
constexpr int SleepSliceMs = 25;            // how often a stop request is noticed while waiting
// Relayed, the allocation lives on the peer socket's 5-tuple: no rebinding, and no scan (the
// peer reaches us only through the relay, whose address the server announced). The (followed)
// target gets these attempts instead, so the sequence lasts about as long as a direct one.
constexpr int RelayedFollowAttempts = 12;
// Each nested sequence blocks the thread for up to about 10 s more; a second announcement
// while punching is a peer whose mapping moved, anything beyond is not worth the wait.
constexpr int MaxPunchNesting = 2;
// Sequences for an endpoint deferred at the cap, after the running one failed: each takes up
// to about 10 s, and the server announces anything newer again.
constexpr int MaxDeferredRounds = 1;
// Late peer punches answered after success: a peer sends 8 in its first stage and bursts of
// 1024 later; a few dozen answers reach it whatever it does, without feeding a flood.
constexpr int MaxLatePunchAnswers = 32;
// Datagrams read per step: more than a socket's queue holds (a few hundred), so a flood is
// drained, yet the step stays bounded when datagrams keep arriving.
constexpr int MaxReadsPerStep = 1024;
// A sequence sends about 2050 tokens and nests at most once more; this only bounds the set.
constexpr int MaxOwnPunchTokens = 8192;

} // namespace

void UdpProxyManager::startPunching()
{
    if (!peerEndpoint.valid)
        return;
    if (punchAtCap())
        return; // the announcement handler defers such an endpoint before it gets here
    resetStartupState();
    if (punch.nesting == 0)
        punch.ownTokens.clear();
    // A nested sequence punches the newer announcement; the outer one keeps its own.
    const QHostAddress outerAnnouncement = punch.announcedHost;
    ++punch.nesting;
    PunchOutcome outcome = PunchOutcome::Failed;
    for (int round = 0; round <= MaxDeferredRounds; ++round) {
        punch.announcedHost = peerEndpoint.address;
        outcome = runLegacyPunchSequence();
        if (outcome != PunchOutcome::Failed || !punch.deferredPeer.valid || !runAlive())
            break;
        // The newest endpoint the server gave while we were at the cap: its turn now, before
        // any failure is reported.
        const Endpoint deferred = punch.deferredPeer;
        punch.deferredPeer = Endpoint();
        sendPeerAck(deferred);
        announcedPeer = deferred;
        peerEndpoint = deferred;
        resetStartupState();
    }
    --punch.nesting;
    punch.announcedHost = outerAnnouncement;

    if (outcome == PunchOutcome::Failed) {
        if (!matchId.isEmpty() && side != 0 && !failureReported) {
            failureReported = true;
            sendFailureSignal();
            failureRetryTimer.start();
            Q_EMIT punchingFailed(quark);
        }
        return;
    }
    if (outcome == PunchOutcome::Superseded)
        return; // the nested sequence that won has done the rest
    // Connected: an endpoint refused meanwhile was never acknowledged, so a server that still
    // sees the peer there announces it again and it is punched like any later announcement.
    punch.deferredPeer = Endpoint();
    ++punch.successes;
    startupTimer.start();
    markPunchingSucceeded();
}

bool UdpProxyManager::punchAtCap() const
{
    return punch.nesting >= MaxPunchNesting;
}

// stop() from a handler of a signal emitted inside the sequence closes both sockets; the
// sequence then only winds down and must not take a port again.
bool UdpProxyManager::runAlive() const
{
    return localSocket.state() == QAbstractSocket::BoundState || !stopRequested.load();
}

// The five stages toward the announced endpoint, without the failure report: the caller
// decides whether a deferred announcement gets its turn first.
UdpProxyManager::PunchOutcome UdpProxyManager::runLegacyPunchSequence()
{
    // A nested sequence for a newer announcement that succeeded supersedes this one: its
    // endpoint must not be overwritten by our stale target, nor its success followed by our
    // failure report.
    const int successesBefore = punch.successes;
    PunchOutcome outcome = PunchOutcome::Failed;
    const auto punchAt = [&](int port, int attempts, int intervalMs) {
        const PunchResult result = legacyPuncher(peerEndpoint.address, port, attempts, intervalMs);
        if (punch.successes != successesBefore) {
            outcome = PunchOutcome::Superseded;
            return true;
        }
        peerEndpoint.address = result.address;
        peerEndpoint.port = result.port;
        if (result.ok)
            outcome = PunchOutcome::Succeeded;
        return result.ok;
    };
    // The ports around the peer's: a burst to burstPort when the centre is one of our own
    // default ports (the peer is not behind a port-changing NAT there), else the scan.
    const auto punchAround = [&](int centre, int firstOffset, int burstPort) {
        if (wire::punch::isScanExempt(centre))
            return punchAt(burstPort, BurstAttempts, 0);
        for (int i = 0; i < 2 * ScanWidth; ++i) {
            if (punchAt(wire::punch::scanPort(centre, firstOffset, i), 1, 0))
                return true;
        }
        return false;
    };

    if (punchAt(peerEndpoint.port, AnnouncedAttempts, AnnouncedIntervalMs))
        return outcome;
    if (relayed()) {
        punchAt(peerEndpoint.port, RelayedFollowAttempts, AnnouncedIntervalMs);
        return outcome;
    }
    const int d = peerEndpoint.port;
    if (punchAround(d, 1, d))
        return outcome;

    const int q = derivedQuarkPort();
    if (q != 0) {
        if (runAlive())
            rebindPeerSocket(quint16(q));
        if (punchAt(q, RebindAttempts, RebindIntervalMs))
            return outcome;
        // Centred on d, not on q, from offset 0: the peer's NAT kept its port pattern.
        if (punchAround(d, 0, q))
            return outcome;
    }

    if (runAlive())
        rebindPeerSocket(wire::ports::LastResortPort);
    punchAt(wire::ports::LastResortPort, RebindAttempts, RebindIntervalMs);
    return outcome;
}

// One call of the puncher toward one port: its own token, what it learned of the peer's, and
// where its punches go (any punch reply of the peer moves the target there).
class UdpProxyManager::PunchCall
{
public:
    PunchCall(UdpProxyManager &proxy, QHostAddress target, int port);
    PunchResult run(int attempts, int intervalMs);

private:
    bool superseded() const { return proxy.punch.successes != successesAtStart; } // a nested success ends us too
    PunchResult resultNow(bool ok) const;
    void sendPunch();
    void readStep(bool waiting);
    void takeReply(const wire::punch::PunchFields &fields, const QHostAddress &sender, quint16 senderPort,
                   bool waiting);

    UdpProxyManager &proxy;
    const QByteArray ownToken;
    const int successesAtStart;
    QHostAddress target;
    int port;
    QByteArray peerToken{wire::punch::UnknownToken};
    bool acknowledged = false;
    bool acknowledgementWaiting = false; // seen while waiting; counts from the next attempt on
    // Where our last punch quoting the peer's token went: success needs one to the final target.
    QHostAddress ackedAddress;
    int ackedPort = -1;
};

UdpProxyManager::PunchCall::PunchCall(UdpProxyManager &owner, QHostAddress firstTarget, int firstPort)
    : proxy(owner),
      ownToken(wire::punch::tokenFromRandom(QRandomGenerator64::global()->generateDouble())),
      successesAtStart(owner.punch.successes),
      target(std::move(firstTarget)),
      port(wire::punch::wrapPort(firstPort))
{
    if (proxy.punch.ownTokens.size() < MaxOwnPunchTokens)
        proxy.punch.ownTokens.insert(ownToken);
}

UdpProxyManager::PunchResult UdpProxyManager::PunchCall::run(int attempts, int intervalMs)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (proxy.stopRequested.load())
            return resultNow(false);
        if (peerToken != wire::punch::UnknownToken && acknowledged)
            break;

        acknowledged = acknowledged || acknowledgementWaiting;
        readStep(false);
        if (superseded())
            return resultNow(false); // superseded while reading: no punch to the stale target
        sendPunch();

        for (int elapsed = 0; elapsed < intervalMs; elapsed += SleepSliceMs) {
            if (proxy.stopRequested.load())
                return resultNow(false);
            QThread::msleep(static_cast<unsigned long>(std::min(intervalMs - elapsed, SleepSliceMs)));
            readStep(true);
            if (superseded())
                return resultNow(false);
        }
    }

    const bool ok = peerToken != wire::punch::UnknownToken;
    if (ok) {
        // A token learned in the last wait was never quoted back: without this punch the peer
        // would hear neither our token nor our "ok" and give up while we report success.
        if (ackedPort != port || ackedAddress != target)
            sendPunch();
        proxy.punch.wonOwnToken = ownToken;
        proxy.punch.wonPeerToken = peerToken;
    }
    return resultNow(ok);
}

UdpProxyManager::PunchResult UdpProxyManager::PunchCall::resultNow(bool ok) const
{
    PunchResult result;
    result.ok = ok;
    result.address = target;
    result.port = quint16(port);
    return result;
}

void UdpProxyManager::PunchCall::sendPunch()
{
    // Qt would bind a closed socket on the fly: after stop() nothing may leave.
    if (proxy.peerSocket.state() != QAbstractSocket::BoundState)
        return;
    proxy.writePeerDatagram(wire::punch::punchDatagram(ownToken, peerToken), target, quint16(port));
    if (peerToken != wire::punch::UnknownToken) {
        ackedAddress = target;
        ackedPort = port;
    }
}

// Reads until one punch reply from the peer has been taken or the socket is empty.
// Signalling and probes are handled at once; everything else is dropped, so a flood can
// neither hide the peer's reply behind a full queue nor make us follow the flooder.
void UdpProxyManager::PunchCall::readStep(bool waiting)
{
    proxy.relayUpkeep(); // the event loop is blocked: retransmissions and refreshes happen here
    QHostAddress sender;
    QByteArray &buffer = proxy.punchReceiveBuffer;
    for (int reads = 0; reads < MaxReadsPerStep && proxy.peerSocket.hasPendingDatagrams(); ++reads) {
        quint16 senderPort = 0;
        const qint64 length = proxy.readPeerDatagram(buffer.data(), buffer.size(), &sender, &senderPort);
        if (length < 0)
            return;
        // Round trips and proposals count only from the peer: the announced host, or the
        // one our target moved to after it proved it had heard us.
        peerdatagram::Sources sources;
        sources.server = proxy.signalAddress;
        sources.serverPort = proxy.signalPort;
        sources.peer = target;
        sources.peerPort = quint16(port);
        sources.peerKnown = true;
        sources.alsoPeer = proxy.punch.announcedHost;
        const peerdatagram::Sorted sorted =
            peerdatagram::sortDatagram(sources, sender, senderPort, buffer.constData(), length, true);
        if (sorted.origin == peerdatagram::Origin::Server) {
            proxy.handleSignalMessage(QByteArray(buffer.constData(), int(length)));
            if (superseded())
                return;
            continue;
        }
        const bool fromPeer = sorted.origin != peerdatagram::Origin::Stranger;
        // Pings are answered to anyone; the answer is no larger than the question.
        if (sorted.content == peerdatagram::Content::Probe) {
            proxy.handleProbeDatagram(sorted.probe, sender, senderPort, fromPeer);
            continue;
        }
        if (sorted.content != peerdatagram::Content::Punch || !proxy.trustsPunchFrom(sorted.punch, sender))
            continue;
        takeReply(sorted.punch, sender, senderPort, waiting);
        return; // further datagrams wait for the next attempt
    }
}

void UdpProxyManager::PunchCall::takeReply(const wire::punch::PunchFields &fields, const QHostAddress &sender,
                                           quint16 senderPort, bool waiting)
{
    if (!(senderPort == port && sender == target) && !wire::punch::isReservedSourcePort(senderPort)) {
        target = sender;
        port = senderPort;
    }
    if (peerToken == wire::punch::UnknownToken && fields.senderToken.startsWith("0."))
        peerToken = fields.senderToken;
    if (fields.acknowledged) {
        if (waiting)
            acknowledgementWaiting = true;
        else
            acknowledged = true;
    }
}

UdpProxyManager::PunchResult UdpProxyManager::legacyPuncher(QHostAddress target, int port, int attempts,
                                                            int intervalMs)
{
    return PunchCall(*this, std::move(target), port).run(attempts, intervalMs);
}

// A punch datagram counts only from the host the server announced, or from a host that
// quotes one of our tokens: it has heard our punches, so it is where they arrive even when
// the peer's NAT sends from another address. A third host can guess neither.
bool UdpProxyManager::trustsPunchFrom(const wire::punch::PunchFields &fields, const QHostAddress &sender) const
{
    if (sender == punch.announcedHost)
        return true;
    return fields.quotedToken != wire::punch::UnknownToken && punch.ownTokens.contains(fields.quotedToken);
}

bool UdpProxyManager::isPunchDatagram(const QByteArray &data) const
{
    return wire::punch::isPunchDatagram(data);
}

void UdpProxyManager::markPunchingSucceeded()
{
    if (punchingSucceededEmitted)
        return;
    punchingSucceededEmitted = true;
    Q_EMIT punchingSucceeded(quark);
    startLatencyProbe();
}

// A peer punch after our success: the peer has not heard our acknowledgement (it was lost, or
// the peer was learned in our last wait), so it gets the punch that carries both tokens and
// "ok" again. A punch that already quotes one of our tokens has heard us: no answer, so two
// finished proxies never answer each other's answers.
void UdpProxyManager::answerLatePunch(const wire::punch::PunchFields &fields, const QHostAddress &sender,
                                      quint16 senderPort)
{
    if (!punchingSucceededEmitted || punch.wonOwnToken.isEmpty() || punch.lateAnswers >= MaxLatePunchAnswers)
        return;
    if (!fields.valid || punch.ownTokens.contains(fields.quotedToken))
        return;
    ++punch.lateAnswers;
    const QByteArray peerToken = fields.senderToken.startsWith("0.") ? fields.senderToken : punch.wonPeerToken;
    writePeerDatagram(wire::punch::punchDatagram(punch.wonOwnToken, peerToken), sender, senderPort);
}
