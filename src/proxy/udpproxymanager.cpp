// Run control of the proxy: construction, launch, stop, sockets and the two resets.
#include "proxy/udpproxymanager.h"
#include "wire/ports.h"

#include "wire/signalwire.h"

#include <QNetworkProxy>
#include <QThread>

#include <cstring>

namespace {

constexpr int RetryIntervalMs = 750;              // register, udp_failed and udp_ready repeats
constexpr int RegistrationDeadlineMs = 25000;     // longest wait for the server's "peer"
constexpr int StartupTimeoutMs = 25000;           // longest wait for the emulator's first datagram
constexpr int KeepaliveIntervalMs = 1000;
constexpr int LatencyProbeIntervalMs = 100;
constexpr int DelayWaitIntervalMs = 100;
constexpr int ReceiveBufferBytes = 65535;         // holds any UDP datagram
// Datagrams one read may consume for itself while relayed (the relay's answers, strangers)
// before it reports nothing left; readyRead comes again for the rest.
constexpr int MaxConsumedPerRead = 64;

void configureTimer(QTimer &timer, int intervalMs, bool singleShot)
{
    timer.setInterval(intervalMs);
    timer.setSingleShot(singleShot);
}

} // namespace

UdpProxyManager::UdpProxyManager(QObject *parent) : QObject(parent)
{
    configureTimer(registerRetryTimer, RetryIntervalMs, false);
    configureTimer(registrationDeadline, RegistrationDeadlineMs, true);
    configureTimer(failureRetryTimer, RetryIntervalMs, false);
    configureTimer(readyRetryTimer, RetryIntervalMs, false);
    configureTimer(startupTimer, StartupTimeoutMs, true);
    configureTimer(keepaliveTimer, KeepaliveIntervalMs, false);
    configureTimer(latencyProbeTimer, LatencyProbeIntervalMs, false);
    configureTimer(delayWaitTimer, DelayWaitIntervalMs, false);
    relayDeadline.setSingleShot(true);   // started with the wait at hand
    turnUpkeepTimer.setSingleShot(true); // started for the relay client's next due time

    probeClock.start();

    // Without this every bind asks the system proxy configuration, which on Linux starts
    // libproxy's worker thread; datagrams to the emulator and the peer never use a proxy.
    localSocket.setProxy(QNetworkProxy::NoProxy);
    peerSocket.setProxy(QNetworkProxy::NoProxy);

    localReceiveBuffer.resize(ReceiveBufferBytes);
    peerReceiveBuffer.resize(ReceiveBufferBytes);
    punchReceiveBuffer.resize(ReceiveBufferBytes);

    connect(&localSocket, &QUdpSocket::readyRead, this, &UdpProxyManager::handleLocalDatagrams);
    connect(&peerSocket, &QUdpSocket::readyRead, this, &UdpProxyManager::handlePeerDatagrams);
    connect(&startupTimer, &QTimer::timeout, this, &UdpProxyManager::handleStartupTimeout);
    connect(&keepaliveTimer, &QTimer::timeout, this, &UdpProxyManager::sendKeepalivePacket);
    connect(&registerRetryTimer, &QTimer::timeout, this, &UdpProxyManager::registerProxy);
    connect(&registrationDeadline, &QTimer::timeout, this, &UdpProxyManager::handleRegistrationTimeout);
    connect(&failureRetryTimer, &QTimer::timeout, this, &UdpProxyManager::sendFailureSignal);
    connect(&readyRetryTimer, &QTimer::timeout, this, &UdpProxyManager::sendReadySignal);
    connect(&latencyProbeTimer, &QTimer::timeout, this, &UdpProxyManager::handleLatencyProbeTick);
    connect(&delayWaitTimer, &QTimer::timeout, this, &UdpProxyManager::handleDelayWaitTick);
    connect(&relayDeadline, &QTimer::timeout, this, &UdpProxyManager::handleRelayDeadline);
    connect(&turnUpkeepTimer, &QTimer::timeout, this, &UdpProxyManager::relayUpkeep);
}

// An owner that forgets stop() must not leave the trace unflushed or a timer running into
// a half-destroyed object.
UdpProxyManager::~UdpProxyManager()
{
    stop();
}

QMap<QString, QVariant> UdpProxyManager::launch(const QString &newQuark, quint16 localUdpPort,
                                                const QString &newSignalHost, quint16 newSignalPort,
                                                const QString &newEmulatorHost)
{
    QMap<QString, QVariant> result;
    if (localSocket.state() == QAbstractSocket::BoundState && peerSocket.state() == QAbstractSocket::BoundState
        && newQuark == quark) {
        result.insert(QStringLiteral("status"), QStringLiteral("already_running"));
        result.insert(QStringLiteral("quark"), newQuark);
        result.insert(QStringLiteral("localUdpPort"), int(localSocket.localPort()));
        return result;
    }

    stop();
    stopRequested = false;

    quark = newQuark;
    matchId = wire::signalling::matchIdFromQuark(quark);
    side = wire::signalling::sideFromQuark(quark);

    signalHost = newSignalHost;
    signalAddress = QHostAddress(signalHost);
    signalPort = newSignalPort;
    emulatorHost = newEmulatorHost;
    emulatorAddress = QHostAddress(emulatorHost);

    resetRuntimeState();
    openTrace();

    if (!rebindPeerSocket(wire::ports::DefaultPeerPort)) {
        result.insert(QStringLiteral("status"), QStringLiteral("error"));
        result.insert(QStringLiteral("message"), peerSocket.errorString());
        return result;
    }

    if (!localSocket.bind(QHostAddress(QHostAddress::LocalHost), localUdpPort)) {
        const QString message = QStringLiteral("No se pudo enlazar el proxy local en 127.0.0.1:%1: %2")
                                    .arg(QString::number(localUdpPort), localSocket.errorString());
        if (!matchId.isEmpty() && side != 0 && !failureReported)
            sendUsePorts();
        result.insert(QStringLiteral("status"), QStringLiteral("error"));
        result.insert(QStringLiteral("message"), message);
        result.insert(QStringLiteral("localUdpPort"), 0);
        return result;
    }

    // The deadline counts from the launch; the first registration may wait for the relay.
    registrationDeadline.start();
    startPath();

    result.insert(QStringLiteral("status"), QStringLiteral("started"));
    result.insert(QStringLiteral("quark"), newQuark);
    result.insert(QStringLiteral("localUdpPort"), int(localSocket.localPort()));
    result.insert(QStringLiteral("peerUdpPort"), int(peerSocket.localPort()));
    result.insert(QStringLiteral("tracePath"), traceFilePath);
    return result;
}

void UdpProxyManager::stop()
{
    stopRequested = true;
    clearIntervals();
    resetRuntimeState();
    quark.clear();
    matchId.clear();
    side = 0;
    closeTrace();
    releaseRelay();
    if (localSocket.state() == QAbstractSocket::BoundState)
        localSocket.close();
    if (peerSocket.state() == QAbstractSocket::BoundState)
        peerSocket.close();
}

void UdpProxyManager::requestStop()
{
    stopRequested.store(true);
}

void UdpProxyManager::moveRuntimeToThread(QThread *thread)
{
    // The members have no Qt parent, so each one moves on its own before the manager.
    localSocket.moveToThread(thread);
    peerSocket.moveToThread(thread);
    registerRetryTimer.moveToThread(thread);
    registrationDeadline.moveToThread(thread);
    failureRetryTimer.moveToThread(thread);
    readyRetryTimer.moveToThread(thread);
    startupTimer.moveToThread(thread);
    keepaliveTimer.moveToThread(thread);
    latencyProbeTimer.moveToThread(thread);
    delayWaitTimer.moveToThread(thread);
    relayDeadline.moveToThread(thread);
    turnUpkeepTimer.moveToThread(thread);
    moveToThread(thread);
}

bool UdpProxyManager::rebindPeerSocket(quint16 port)
{
    if (peerSocket.state() == QAbstractSocket::BoundState)
        peerSocket.close();
    if (peerSocket.bind(QHostAddress(QHostAddress::AnyIPv4), port))
        return true;
    return peerSocket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
}

// Relayed, a datagram from the relay is unwrapped in place: the peer datagram it carries is
// what the caller sees, with the peer as its sender, so every check after this one works on
// relayed traffic unchanged. The relay client's answers are consumed here.
qint64 UdpProxyManager::readPeerDatagram(char *buffer, qint64 capacity, QHostAddress *sender, quint16 *senderPort)
{
    for (int i = 0; i < MaxConsumedPerRead; ++i) {
        if (i > 0 && !peerSocket.hasPendingDatagrams())
            return -1;
        const qint64 length = peerSocket.readDatagram(buffer, capacity, sender, senderPort);
        if (length < 0 || relay.stage == RelayStage::Off)
            return length;
        if (*sender != relayConfig.server) {
            if (relayed())
                continue; // the peer and the server know only the relayed address
            return length;
        }
        if (relay.stage == RelayStage::Deciding) {
            takeBindingAnswer(buffer, length, *senderPort);
            continue;
        }
        if (!turn.isServer(*sender, *senderPort))
            continue; // a late answer from the alternate port
        const qint64 nowMs = probeClock.elapsed();
        const TurnClient::PeerDatagram carried = turn.handleServerDatagram(buffer, length, nowMs);
        advanceRelay(nowMs);
        if (!carried.valid || !relayed())
            continue;
        std::memmove(buffer, carried.data, std::size_t(carried.size));
        *sender = carried.peer;
        *senderPort = carried.peerPort;
        return carried.size;
    }
    return -1;
}

void UdpProxyManager::writePeerDatagram(const char *data, qint64 size, const QHostAddress &to, quint16 toPort)
{
    if (!relayed()) {
        peerSocket.writeDatagram(data, size, to, toPort);
        return;
    }
    const qint64 nowMs = probeClock.elapsed();
    const QByteArray wrapped = turn.wrapForPeer(to, toPort, data, size, nowMs);
    flushRelay(nowMs); // a new permission or channel goes ahead of the data it is for
    if (!wrapped.isEmpty())
        peerSocket.writeDatagram(wrapped, relayConfig.server, relayConfig.port);
}

void UdpProxyManager::writePeerDatagram(const QByteArray &datagram, const QHostAddress &to, quint16 toPort)
{
    writePeerDatagram(datagram.constData(), datagram.size(), to, toPort);
}

void UdpProxyManager::resetStartupState()
{
    startupTimer.stop();
    keepaliveTimer.stop();
    pendingPeerPackets.clear();
    pendingPeerBytes = 0;
    startupPhase = StartupPhase::Queueing;
    screenedGameplayPackets = 0;
}

void UdpProxyManager::resetRuntimeState()
{
    peerEndpoint = Endpoint();
    announcedPeer = Endpoint();
    emulatorPort = 0;
    resetStartupState();
    failureReported = false;
    punchingSucceededEmitted = false;
    registered = false;
    peerAnnounced = false;
    gameplayReady = false;
    readyAcknowledged = false;
    readySignalCount = 0;
    rttSamples.clear();
    probeTicks = 0;
    delayWaitTicks = 0;
    measuredRttMs = -1;
    localDelay = -1;
    remoteDelay = -1;
    probeFinished = false;
    delayNegotiationDone = false;
    candidatePeerPort = 0;
    candidatePortHits = 0;
    pongReceivedMs.clear();
    probeRounds = 0;
    probeRoundStartMs = 0;
    // The nesting count and the success count belong to sequences that may still be on the
    // stack (stop() from a handler inside one); what a launch learned goes.
    punch.deferredPeer = Endpoint();
    punch.wonOwnToken.clear();
    punch.wonPeerToken.clear();
    punch.lateAnswers = 0;
}

void UdpProxyManager::clearIntervals()
{
    registerRetryTimer.stop();
    registrationDeadline.stop();
    failureRetryTimer.stop();
    readyRetryTimer.stop();
    startupTimer.stop();
    keepaliveTimer.stop();
    latencyProbeTimer.stop();
    delayWaitTimer.stop();
    relayDeadline.stop();
    turnUpkeepTimer.stop();
}
