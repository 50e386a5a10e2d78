// Hole punching: the blocking punch sequence toward the announced peer endpoint.
#include "proxy/udpproxymanager.h"

#include "proxy/punchwire.h"

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
constexpr quint16 LastResortPort = 6004;    // local and remote port both sides fall back to
constexpr int SleepSliceMs = 25;            // how often a stop request is noticed while waiting
// Each nested sequence blocks the thread for up to about 10 s more; a second announcement
// while punching is a peer whose mapping moved, anything beyond is not worth the wait.
constexpr int MaxPunchNesting = 2;
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
    if (punchNestingDepth >= MaxPunchNesting)
        return; // the endpoint is stored and acknowledged; the running sequence goes on
    resetStartupState();
    if (punchNestingDepth == 0)
        ownPunchTokens.clear();
    // A nested sequence punches the newer announcement; the outer one keeps its own.
    const QHostAddress outerAnnouncement = announcedPeerAddress;
    announcedPeerAddress = peerEndpoint.address;
    ++punchNestingDepth;
    const bool ok = runLegacyPunchSequence();
    --punchNestingDepth;
    announcedPeerAddress = outerAnnouncement;
    if (ok) {
        ++punchSuccesses;
        startupTimer.start();
        markPunchingSucceeded();
    }
}

// stop() from a handler of a signal emitted inside the sequence closes both sockets; the
// sequence then only winds down and must not take a port again.
bool UdpProxyManager::runAlive() const
{
    return localSocket.state() == QAbstractSocket::BoundState || !stopRequested.load();
}

bool UdpProxyManager::runLegacyPunchSequence()
{
    // A nested sequence for a newer announcement that succeeded supersedes this one: its
    // endpoint must not be overwritten by our stale target, nor its success followed by our
    // failure report.
    const int successesBefore = punchSuccesses;
    bool superseded = false;
    const auto punch = [&](int port, int attempts, int intervalMs) {
        const PunchResult result = legacyPuncher(peerSocket, peerEndpoint.address, port, attempts, intervalMs);
        if (punchSuccesses != successesBefore) {
            superseded = true;
            return true;
        }
        peerEndpoint.address = result.address;
        peerEndpoint.port = result.port;
        return result.ok;
    };

    if (punch(peerEndpoint.port, AnnouncedAttempts, AnnouncedIntervalMs))
        return !superseded;
    const int d = peerEndpoint.port;

    if (punchwire::isScanExempt(d)) {
        if (punch(d, BurstAttempts, 0))
            return !superseded;
    } else {
        for (int i = 0; i < 2 * ScanWidth; ++i) {
            if (punch(punchwire::scanPort(d, 1, i), 1, 0))
                return !superseded;
        }
    }

    const int q = derivedQuarkPort();
    if (q != 0) {
        if (runAlive())
            rebindPeerSocket(quint16(q));
        if (punch(q, RebindAttempts, RebindIntervalMs))
            return !superseded;
        if (punchwire::isScanExempt(d)) {
            if (punch(q, BurstAttempts, 0))
                return !superseded;
        } else {
            for (int i = 0; i < 2 * ScanWidth; ++i) {
                if (punch(punchwire::scanPort(d, 0, i), 1, 0))
                    return !superseded;
            }
        }
    }

    if (runAlive())
        rebindPeerSocket(LastResortPort);
    if (punch(LastResortPort, RebindAttempts, RebindIntervalMs))
        return !superseded;

    if (!matchId.isEmpty() && side != 0 && !failureReported) {
        failureReported = true;
        sendFailureSignal();
        failureRetryTimer.start();
        emit punchingFailed(quark);
    }
    return false;
}

UdpProxyManager::PunchResult UdpProxyManager::legacyPuncher(QUdpSocket &socket, QHostAddress target, int port,
                                                            int attempts, int intervalMs)
{
    const QByteArray ownToken = punchwire::tokenFromRandom(QRandomGenerator64::global()->generateDouble());
    if (ownPunchTokens.size() < MaxOwnPunchTokens)
        ownPunchTokens.insert(ownToken);
    QByteArray peerToken(punchwire::UnknownToken);
    bool acknowledged = false;
    bool acknowledgementWaiting = false; // seen while waiting; counts from the next attempt on
    port = punchwire::wrapPort(port);

    const int successesAtStart = punchSuccesses; // a nested success ends this call too
    const auto stopped = [&]() {
        PunchResult result;
        result.ok = false;
        result.address = target;
        result.port = quint16(port);
        return result;
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
                if (punchSuccesses != successesAtStart)
                    return;
                continue;
            }
            if (handleProbeDatagram(datagram.constData(), length, sender, senderPort))
                continue;
            if (!isPeerPunchReply(datagram, sender))
                continue;
            if (!(senderPort == port && sender == target) && !punchwire::isReservedSourcePort(senderPort)) {
                target = sender;
                port = senderPort;
            }
            const QList<QByteArray> fields = datagram.split(' ');
            if (peerToken == punchwire::UnknownToken && fields.first().startsWith("0."))
                peerToken = QByteArray(fields.first().constData(), fields.first().size());
            if (fields.size() == 3) {
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
        if (peerToken != punchwire::UnknownToken && acknowledged)
            break;

        acknowledged = acknowledged || acknowledgementWaiting;
        readStep(false);
        if (punchSuccesses != successesAtStart)
            return stopped(); // superseded while reading: no punch to the stale target
        // Qt would bind a closed socket on the fly: after stop() nothing may leave.
        if (socket.state() == QAbstractSocket::BoundState)
            socket.writeDatagram(punchwire::punchDatagram(ownToken, peerToken), target, quint16(port));

        for (int elapsed = 0; elapsed < intervalMs; elapsed += SleepSliceMs) {
            if (stopRequested.load())
                return stopped();
            QThread::msleep(static_cast<unsigned long>(std::min(intervalMs - elapsed, SleepSliceMs)));
            readStep(true);
            if (punchSuccesses != successesAtStart)
                return stopped();
        }
    }

    PunchResult result;
    result.ok = peerToken != punchwire::UnknownToken;
    result.address = target;
    result.port = quint16(port);
    return result;
}

// A punch datagram counts only from the host the server announced, or from a host that
// quotes one of our tokens: it has heard our punches, so it is where they arrive even when
// the peer's NAT sends from another address. A third host can guess neither.
bool UdpProxyManager::isPeerPunchReply(const QByteArray &datagram, const QHostAddress &sender) const
{
    if (sender == announcedPeerAddress)
        return punchwire::isPunchDatagram(datagram);
    const QByteArray echoed = punchwire::echoedToken(datagram); // empty unless a punch datagram
    return !echoed.isEmpty() && ownPunchTokens.contains(echoed);
}

bool UdpProxyManager::isPunchDatagram(const QByteArray &data) const
{
    return punchwire::isPunchDatagram(data);
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
    emit punchingSucceeded(quark);
    if (peerEndpoint.valid && !delayNegotiationDone) {
        rttSamples.clear();
        probeFinished = false;
        probeTicks = 0;
        handleLatencyProbeTick();
        latencyProbeTimer.start();
    }
}
