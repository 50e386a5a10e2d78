#include "netchecker.h"

#include "upnp/soap.h"
#include "wire/ports.h"
#include "wire/signalwire.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>

namespace {

// Registrations repeat as a proxy's do until the announcement comes (ms).
constexpr int RetryIntervalMs = 750;
// A server that has not announced both sides by then is taken as silent (ms).
constexpr int SignallingDeadlineMs = 5000;
// Hard bound of the whole check, under the promised 15 s: the port mapper's own bound is
// 10 s, GetExternalIPAddress gets what is left (ms).
constexpr int OverallDeadlineMs = 13000;
// A GetExternalIPAddress request that moves no data this long is aborted (ms).
constexpr int TransferTimeoutMs = 3000;
// Datagrams read per readyRead; the rest wait for the next notification (count).
constexpr int MaxDatagramsPerRead = 64;
// Largest datagram read whole; a "peer" message is far smaller (bytes).
constexpr qint64 MaxDatagramBytes = 2048;
constexpr int FirstSide = 1;
constexpr int SecondSide = 2;

// A match identifier nobody else uses: the server pairs only our own two sockets.
QByteArray freshMatchId()
{
    return "netcheck-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
}

} // namespace

NetChecker::NetChecker(const netcheck::Options &checkOptions, const relayconfig::Loaded &relay, QObject *parent)
    : QObject(parent), options(checkOptions), relayConfig(relay.config)
{
    result.relay = netcheck::relayResultOf(relay);
    relaySocket.setProxy(QNetworkProxy::NoProxy);
    relayTimer.setSingleShot(true);
    connect(&relayTimer, &QTimer::timeout, this, &NetChecker::relayUpkeep);
    connect(&relaySocket, &QUdpSocket::readyRead, this, &NetChecker::handleRelayDatagrams);
    firstSocket.setProxy(QNetworkProxy::NoProxy);
    secondSocket.setProxy(QNetworkProxy::NoProxy);
    network.setProxy(QNetworkProxy::NoProxy);
    network.setTransferTimeout(TransferTimeoutMs);
    retryTimer.setInterval(RetryIntervalMs);
    signallingDeadline.setSingleShot(true);
    signallingDeadline.setInterval(SignallingDeadlineMs);
    overallDeadline.setSingleShot(true);
    overallDeadline.setInterval(OverallDeadlineMs);
    connect(&retryTimer, &QTimer::timeout, this, &NetChecker::sendRegistrations);
    connect(&signallingDeadline, &QTimer::timeout, this, &NetChecker::handleSignallingDeadline);
    connect(&overallDeadline, &QTimer::timeout, this, &NetChecker::finish);
    connect(&firstSocket, &QUdpSocket::readyRead, this, [this] { handleDatagrams(&firstSocket, FirstSide); });
    connect(&secondSocket, &QUdpSocket::readyRead, this, [this] { handleDatagrams(&secondSocket, SecondSide); });
    connect(&mapper, &UpnpPortMapper::finished, this, &NetChecker::handleGatewayFound);
}

void NetChecker::start()
{
    overallDeadline.start();
    // The first socket tries the port a match uses, so the answer is about that port.
    result.firstOnMatchPort = firstSocket.bind(QHostAddress(QHostAddress::AnyIPv4), wire::ports::DefaultPeerPort);
    const bool firstBound = result.firstOnMatchPort || firstSocket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    const bool secondBound = secondSocket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    result.firstLocalPort = firstSocket.localPort();
    result.secondLocalPort = secondSocket.localPort();

    result.primary.destination = options.server;
    registrations.push_back({options.server, freshMatchId(), false, false, &result.primary});
    if (options.secondDestination.isValid()) {
        result.second = netcheck::DestinationResult{options.secondDestination, {}, {}};
        registrations.push_back({options.secondDestination, freshMatchId(), false, false, &*result.second});
    }

    result.upnp.checked = options.upnp;
    if (options.upnp)
        mapper.findGateway();
    else
        upnpDone = true;
    startRelay();

    if (!firstBound || !secondBound) {
        // Nothing can be asked without both sockets: the server counts as silent.
        signallingDone = true;
        finishIfDone();
        return;
    }
    sendRegistrations();
    retryTimer.start();
    signallingDeadline.start();
}

void NetChecker::sendRegistrations()
{
    if (signallingDone)
        return;
    for (const Registration &registration : registrations) {
        const QHostAddress &address = registration.destination.address;
        const quint16 port = registration.destination.port;
        if (!registration.firstAnnounced)
            firstSocket.writeDatagram(wire::signalling::registerMessage(registration.matchId, FirstSide), address, port);
        if (!registration.secondAnnounced)
            secondSocket.writeDatagram(wire::signalling::registerMessage(registration.matchId, SecondSide), address, port);
    }
}

void NetChecker::handleDatagrams(QUdpSocket *socket, int side)
{
    for (int count = 0; count < MaxDatagramsPerRead && socket->hasPendingDatagrams(); ++count) {
        QByteArray datagram(int(qBound<qint64>(0, socket->pendingDatagramSize(), MaxDatagramBytes)), Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = socket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        if (size < 0)
            continue;
        datagram.truncate(size);
        const wire::signalling::SignalMessage message = wire::signalling::parseSignalMessage(datagram);
        if (message.kind != wire::signalling::SignalKind::Peer || message.address.isNull() || message.port == 0)
            continue;
        for (Registration &registration : registrations) {
            // Signalling counts only from the destination itself, as a proxy takes it.
            if (registration.destination != netcheck::HostPort{sender, senderPort}
                || message.matchId != QString::fromUtf8(registration.matchId))
                continue;
            // Acknowledged every time, as a proxy does, so the server stops repeating.
            socket->writeDatagram(wire::signalling::peerAckMessage(message.matchId, message.address, message.port),
                                  sender, senderPort);
            // The announcement to one side names the other side's public endpoint; after the
            // deadline the findings stay as they were.
            if (signallingDone)
                continue;
            const netcheck::HostPort announced{message.address, message.port};
            if (side == FirstSide) {
                registration.firstAnnounced = true;
                registration.target->secondPublic = announced;
            } else {
                registration.secondAnnounced = true;
                registration.target->firstPublic = announced;
            }
        }
    }
    bool complete = true;
    for (const Registration &registration : registrations)
        complete = complete && registration.firstAnnounced && registration.secondAnnounced;
    if (complete && !signallingDone) {
        signallingDone = true;
        retryTimer.stop();
        signallingDeadline.stop();
        finishIfDone();
    }
}

void NetChecker::handleSignallingDeadline()
{
    signallingDone = true;
    retryTimer.stop();
    finishIfDone();
}

void NetChecker::handleGatewayFound(bool ok, const QString &detail)
{
    if (!ok) {
        result.upnp.failure = detail;
        finishUpnp();
        return;
    }
    result.upnp.found = true;
    result.upnp.serviceType = mapper.wanServiceType();
    requestExternalAddress();
}

void NetChecker::requestExternalAddress()
{
    QNetworkReply *reply =
        upnp::post(network, upnp::externalAddressCall(mapper.wanControlUrl(), result.upnp.serviceType));
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleExternalAddressReply(reply); });
}

void NetChecker::handleExternalAddressReply(QNetworkReply *reply)
{
    reply->deleteLater();
    result.upnp.externalAddress = upnp::externalAddressFromReply(reply);
    finishUpnp();
}

void NetChecker::finishUpnp()
{
    upnpDone = true;
    finishIfDone();
}

// One allocation, as a match would make it, then its release: whether the relay works with
// these credentials, and how long it took.
void NetChecker::startRelay()
{
    if (!relayConfig.usable()) {
        relayDone = true;
        return;
    }
    if (!relaySocket.bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        finishRelay(netcheck::RelayResult::Outcome::Fails,
                    QStringLiteral("no local UDP socket (%1)").arg(relaySocket.errorString()));
        return;
    }
    TurnServerConfig server;
    server.address = relayConfig.server;
    server.port = relayConfig.port;
    server.user = relayConfig.user;
    server.password = relayConfig.password;
    relayClock.start();
    turn.start(server, relayClock.elapsed());
    relayUpkeep();
}

void NetChecker::handleRelayDatagrams()
{
    for (int count = 0; count < MaxDatagramsPerRead && relaySocket.hasPendingDatagrams(); ++count) {
        QByteArray datagram(int(qBound<qint64>(0, relaySocket.pendingDatagramSize(), MaxDatagramBytes)),
                            Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = relaySocket.readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        if (size < 0 || relayDone)
            continue;
        // Anyone but the relay, and answers without valid integrity, change nothing.
        turn.handleDatagram(sender, senderPort, datagram.constData(), size, relayClock.elapsed());
    }
    relayUpkeep();
}

// Sends what the relay client has due and moves on once it has its outcome.
void NetChecker::relayUpkeep()
{
    if (relayDone)
        return;
    const qint64 nowMs = relayClock.elapsed();
    for (const QByteArray &request : turn.takeOutgoing(nowMs))
        relaySocket.writeDatagram(request, relayConfig.server, relayConfig.port);
    if (turn.state() == TurnClient::State::Allocated) {
        finishRelay(netcheck::RelayResult::Outcome::Works, QString());
        return;
    }
    const qint64 dueMs = turn.nextDueMs();
    if (turn.state() == TurnClient::State::Failed || dueMs < 0) {
        finishRelay(netcheck::RelayResult::Outcome::Fails, turn.failure());
        return;
    }
    relayTimer.start(int(qBound<qint64>(0, dueMs - nowMs, qint64(OverallDeadlineMs))));
}

void NetChecker::finishRelay(netcheck::RelayResult::Outcome outcome, const QString &failure)
{
    relayDone = true;
    relayTimer.stop();
    netcheck::RelayResult &relay = result.relay;
    relay.outcome = outcome;
    relay.elapsedMs = relayClock.isValid() ? relayClock.elapsed() : -1;
    relay.failure = outcome == netcheck::RelayResult::Outcome::Works ? QString() : failure;
    if (outcome == netcheck::RelayResult::Outcome::Works)
        relay.allocated = netcheck::HostPort{turn.relayedAddress(), turn.relayedPort()};
    // The release (Refresh, lifetime 0), whenever an allocation may exist: nothing of the
    // check stays on the relay.
    if (relaySocket.state() == QAbstractSocket::BoundState) {
        turn.stop(relay.elapsedMs);
        for (const QByteArray &request : turn.takeOutgoing(relay.elapsedMs))
            relaySocket.writeDatagram(request, relayConfig.server, relayConfig.port);
    }
    relaySocket.close();
    finishIfDone();
}

void NetChecker::finishIfDone()
{
    if (signallingDone && upnpDone && relayDone)
        finish();
}

void NetChecker::finish()
{
    if (done)
        return;
    done = true;
    retryTimer.stop();
    signallingDeadline.stop();
    overallDeadline.stop();
    firstSocket.close();
    secondSocket.close();
    // Past the bound the allocation counts as not come; it is released all the same.
    if (!relayDone)
        finishRelay(netcheck::RelayResult::Outcome::Fails, QStringLiteral("timeout"));
    if (result.upnp.checked && !upnpDone && !result.upnp.found && result.upnp.failure.isEmpty())
        result.upnp.failure = QStringLiteral("timeout");
    Q_EMIT finished();
}
