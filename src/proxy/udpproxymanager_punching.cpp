// Hole punching: the blocking punch sequence toward the announced peer endpoint.
#include "proxy/udpproxymanager.h"
#include "wire/ports.h"

#include "wire/punchwire.h"

#include <QRandomGenerator64>
#include <QThread>

#include <algorithm>

namespace {

constexpr int AnnouncedAttempts = 8;        // toward the port the server announced
constexpr int AnnouncedIntervalMs = 500;
constexpr int ScanWidth = 512;              // ports tried on each side of the peer's port
constexpr int BurstAttempts = 2 * ScanWidth; // same number of datagrams when no scan is made
constexpr int RebindAttempts = 6;           // from a rebound local port
constexpr int RebindIntervalMs = 500;
constexpr int SleepSliceMs = 25;            // how often a stop request is noticed while waiting
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
        const PunchResult result = legacyPuncher(peerSocket, peerEndpoint.address, port, attempts, intervalMs);
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

    if (punchAt(peerEndpoint.port, AnnouncedAttempts, AnnouncedIntervalMs))
        return outcome;
    const int d = peerEndpoint.port;

    if (wire::punch::isScanExempt(d)) {
        if (punchAt(d, BurstAttempts, 0))
            return outcome;
    } else {
        for (int i = 0; i < 2 * ScanWidth; ++i) {
            if (punchAt(wire::punch::scanPort(d, 1, i), 1, 0))
                return outcome;
        }
    }

    const int q = derivedQuarkPort();
    if (q != 0) {
        if (runAlive())
            rebindPeerSocket(quint16(q));
        if (punchAt(q, RebindAttempts, RebindIntervalMs))
            return outcome;
        if (wire::punch::isScanExempt(d)) {
            if (punchAt(q, BurstAttempts, 0))
                return outcome;
        } else {
            for (int i = 0; i < 2 * ScanWidth; ++i) {
                if (punchAt(wire::punch::scanPort(d, 0, i), 1, 0))
                    return outcome;
            }
        }
    }

    if (runAlive())
        rebindPeerSocket(wire::ports::LastResortPort);
    punchAt(wire::ports::LastResortPort, RebindAttempts, RebindIntervalMs);
    return outcome;
}

UdpProxyManager::PunchResult UdpProxyManager::legacyPuncher(QUdpSocket &socket, QHostAddress target, int port,
                                                            int attempts, int intervalMs)
{
    const QByteArray ownToken = wire::punch::tokenFromRandom(QRandomGenerator64::global()->generateDouble());
    if (punch.ownTokens.size() < MaxOwnPunchTokens)
        punch.ownTokens.insert(ownToken);
    QByteArray peerToken(wire::punch::UnknownToken);
    bool acknowledged = false;
    bool acknowledgementWaiting = false; // seen while waiting; counts from the next attempt on
    port = wire::punch::wrapPort(port);
    // Where our last punch quoting the peer's token went: success needs one to the final target.
    QHostAddress ackedAddress;
    int ackedPort = -1;

    const int successesAtStart = punch.successes; // a nested success ends this call too
    const auto stopped = [&]() {
        PunchResult result;
        result.ok = false;
        result.address = target;
        result.port = quint16(port);
        return result;
    };
    const auto sendPunch = [&]() {
        // Qt would bind a closed socket on the fly: after stop() nothing may leave.
        if (socket.state() != QAbstractSocket::BoundState)
            return;
        socket.writeDatagram(wire::punch::punchDatagram(ownToken, peerToken), target, quint16(port));
        if (peerToken != wire::punch::UnknownToken) {
            ackedAddress = target;
            ackedPort = port;
        }
    };

    // Reads until one punch reply from the peer has been taken or the socket is empty.
    // Signalling and probes are handled at once; everything else is dropped, so a flood can
    // neither hide the peer's reply behind a full queue nor make us follow the flooder.
    const auto readStep = [&](bool waiting) {
        QHostAddress sender;
        for (int reads = 0; reads < MaxReadsPerStep && socket.hasPendingDatagrams(); ++reads) {
            quint16 senderPort = 0;
            const qint64 length =
                socket.readDatagram(punchReceiveBuffer.data(), punchReceiveBuffer.size(), &sender, &senderPort);
            if (length < 0)
                return;
            const QByteArray datagram = QByteArray::fromRawData(punchReceiveBuffer.constData(), length);
            if (sender == signalAddress && senderPort == signalPort) {
                handleSignalMessage(QByteArray(datagram.constData(), datagram.size()));
                if (punch.successes != successesAtStart)
                    return;
                continue;
            }
            // Round trips and proposals count only from the peer: the announced host, or the
            // one our target moved to after it proved it had heard us. Pings are answered to
            // anyone; the answer is no larger than the question.
            const bool fromPeer = sender == punch.announcedHost || sender == target;
            if (handleProbeDatagram(datagram.constData(), length, sender, senderPort, fromPeer))
                continue;
            if (!isPeerPunchReply(datagram, sender))
                continue;
            if (!(senderPort == port && sender == target) && !wire::punch::isReservedSourcePort(senderPort)) {
                target = sender;
                port = senderPort;
            }
            const wire::punch::PunchFields fields = wire::punch::parsePunchDatagram(datagram);
            if (peerToken == wire::punch::UnknownToken && fields.senderToken.startsWith("0."))
                peerToken = fields.senderToken;
            if (fields.acknowledged) {
                if (waiting)
                    acknowledgementWaiting = true;
                else
                    acknowledged = true;
            }
            return;
        }
    };

    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (stopRequested.load())
            return stopped();
        if (peerToken != wire::punch::UnknownToken && acknowledged)
            break;

        acknowledged = acknowledged || acknowledgementWaiting;
        readStep(false);
        if (punch.successes != successesAtStart)
            return stopped(); // superseded while reading: no punch to the stale target
        sendPunch();

        for (int elapsed = 0; elapsed < intervalMs; elapsed += SleepSliceMs) {
            if (stopRequested.load())
                return stopped();
            QThread::msleep(static_cast<unsigned long>(std::min(intervalMs - elapsed, SleepSliceMs)));
            readStep(true);
            if (punch.successes != successesAtStart)
                return stopped();
        }
    }

    PunchResult result;
    result.ok = peerToken != wire::punch::UnknownToken;
    if (result.ok) {
        // A token learned in the last wait was never quoted back: without this punch the peer
        // would hear neither our token nor our "ok" and give up while we report success.
        if (ackedPort != port || ackedAddress != target)
            sendPunch();
        punch.wonOwnToken = ownToken;
        punch.wonPeerToken = peerToken;
    }
    result.address = target;
    result.port = quint16(port);
    return result;
}

// A punch datagram counts only from the host the server announced, or from a host that
// quotes one of our tokens: it has heard our punches, so it is where they arrive even when
// the peer's NAT sends from another address. A third host can guess neither.
bool UdpProxyManager::isPeerPunchReply(const QByteArray &datagram, const QHostAddress &sender) const
{
    if (sender == punch.announcedHost)
        return wire::punch::isPunchDatagram(datagram);
    const QByteArray echoed = wire::punch::echoedToken(datagram); // empty unless a punch datagram
    return !echoed.isEmpty() && punch.ownTokens.contains(echoed);
}

bool UdpProxyManager::isPunchDatagram(const QByteArray &data) const
{
    return wire::punch::isPunchDatagram(data);
}

bool UdpProxyManager::handlePunchDatagram(const QByteArray &data)
{
    return isPunchDatagram(data);
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
void UdpProxyManager::answerLatePunch(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort)
{
    if (!punchingSucceededEmitted || punch.wonOwnToken.isEmpty() || punch.lateAnswers >= MaxLatePunchAnswers)
        return;
    const wire::punch::PunchFields fields = wire::punch::parsePunchDatagram(datagram);
    if (!fields.valid || punch.ownTokens.contains(fields.quotedToken))
        return;
    ++punch.lateAnswers;
    const QByteArray peerToken = fields.senderToken.startsWith("0.") ? fields.senderToken : punch.wonPeerToken;
    peerSocket.writeDatagram(wire::punch::punchDatagram(punch.wonOwnToken, peerToken), sender, senderPort);
}
