// The relay path: whether a launch goes through a TURN allocation, and its upkeep. The
// allocation lives on the peer socket's 5-tuple; readPeerDatagram and writePeerDatagram
// (udpproxymanager.cpp) unwrap and wrap every datagram while relayed.
#include "proxy/udpproxymanager.h"

#include "wire/stunwire.h"
#include "wire/traceline.h"

#include <algorithm>
#include <cstdio>

namespace {

// ms: how long the NAT test waits for the second Binding answer. One round trip to a nearby
// relay is a few tens of ms; a direct match is never held longer than this.
constexpr int DecisionWaitMs = 300;
// ms: allocation, 401 retry and the permission toward the rendezvous server; after this the
// match goes on directly, as without a relay.
constexpr int AllocationWaitMs = 1000;
// Permissions and channels are renewed at this share of the allocation's lifetime when the
// server grants a short one: a server configured with short allocations has short permissions
// too, and it does not say how short.
constexpr qint64 UpkeepShareOfLifetime = 2; // a half
constexpr int ViaPort = 0;      // index of the Binding to the relay's port
constexpr int ViaAlternate = 1; // index of the Binding to its alternate port

// The relay client's reason, in the player's words where it is terse.
QString failureText(const TurnClient &turn)
{
    const QString failure = turn.failure();
    if (failure.isEmpty() || failure == QLatin1String("timeout"))
        return QStringLiteral("no answer within 1 s");
    return failure;
}

void note(const relayconfig::RelayConfig &config, const QString &what)
{
    // The front-end reads only stdout; this is for the player (and the lab) on stderr.
    std::fprintf(stderr, "kivra-netproxy: relay %s:%u: %s\n", qPrintable(config.server.toString()),
                 unsigned(config.port), qPrintable(what));
    std::fflush(stderr);
}

} // namespace

void UdpProxyManager::setRelayConfig(const relayconfig::RelayConfig &config)
{
    relayConfig = config;
}

// After launch bound the sockets: register at once, or first find out whether to relay.
void UdpProxyManager::startPath()
{
    relay = RelayBook();
    if (!relayConfig.usable()) {
        beginRegistration();
        return;
    }
    if (relayConfig.mode == relayconfig::Mode::Always) {
        startAllocation();
        return;
    }
    relay.stage = RelayStage::Deciding;
    const quint16 ports[2] = {relayConfig.port, relayConfig.alternate()};
    for (int i = ViaPort; i <= ViaAlternate; ++i) {
        relay.bindingIds[i] = wire::stun::newTransactionId();
        peerSocket.writeDatagram(wire::stun::bindingRequest(relay.bindingIds[i]), relayConfig.server, ports[i]);
    }
    relayDeadline.start(DecisionWaitMs);
}

void UdpProxyManager::beginRegistration()
{
    registerProxy();
    registerRetryTimer.start();
}

void UdpProxyManager::takeBindingAnswer(const char *data, qint64 size, quint16 fromPort)
{
    const std::optional<wire::stun::Message> message = wire::stun::parse(data, size);
    if (!message || message->method != wire::stun::Method::Binding
        || message->messageClass != wire::stun::Class::SuccessResponse)
        return;
    const int index = fromPort == relayConfig.port ? ViaPort : ViaAlternate;
    if (message->transactionId != relay.bindingIds[index] || relay.mapped[index])
        return;
    relay.mapped[index] = message->xorMappedAddress();
    if (relay.mapped[ViaPort] && relay.mapped[ViaAlternate])
        handleRelayDeadline(); // both in: no reason to wait out the rest
}

void UdpProxyManager::startAllocation()
{
    relay.stage = RelayStage::Allocating;
    TurnServerConfig server;
    server.address = relayConfig.server;
    server.port = relayConfig.port;
    server.user = relayConfig.user;
    server.password = relayConfig.password;
    const qint64 nowMs = probeClock.elapsed();
    turn = TurnClient();
    turn.start(server, nowMs);
    flushRelay(nowMs);
    relayDeadline.start(AllocationWaitMs);
}

void UdpProxyManager::handleRelayDeadline()
{
    switch (relay.stage) {
    case RelayStage::Deciding: {
        relayDeadline.stop();
        const relayconfig::PathChoice choice =
            relayconfig::choosePath(relayConfig.mode, relay.mapped[ViaPort], relay.mapped[ViaAlternate]);
        if (choice == relayconfig::PathChoice::Relay) {
            startAllocation();
        } else {
            relay.stage = RelayStage::Off;
            beginRegistration();
        }
        return;
    }
    case RelayStage::Allocating:
    case RelayStage::Permitting:
        leaveRelay(failureText(turn));
        return;
    case RelayStage::Off:
    case RelayStage::Relayed:
        return;
    }
}

// From the timer, from the punch loop's waits and from every read and write while relayed.
void UdpProxyManager::relayUpkeep()
{
    if (relay.stage != RelayStage::Allocating && relay.stage != RelayStage::Permitting && !relayed())
        return;
    const qint64 nowMs = probeClock.elapsed();
    flushRelay(nowMs);
    advanceRelay(nowMs);
}

void UdpProxyManager::flushRelay(qint64 nowMs)
{
    const QList<QByteArray> outgoing = turn.takeOutgoing(nowMs);
    if (peerSocket.state() == QAbstractSocket::BoundState) {
        for (const QByteArray &request : outgoing)
            peerSocket.writeDatagram(request, relayConfig.server, relayConfig.port);
    }
    const qint64 dueMs = turn.nextDueMs();
    if (dueMs < 0) {
        turnUpkeepTimer.stop();
        relay.armedDueMs = -1;
        return;
    }
    // Restarted only when the work comes earlier: a write 60 times a second costs no timer.
    if (turnUpkeepTimer.isActive() && relay.armedDueMs >= 0 && relay.armedDueMs <= dueMs)
        return;
    relay.armedDueMs = dueMs;
    turnUpkeepTimer.start(int(std::clamp<qint64>(dueMs - nowMs, 0, 60 * 60 * 1000)));
}

// Moves the stage on after the relay client took an answer or a time passed.
void UdpProxyManager::advanceRelay(qint64 nowMs)
{
    switch (relay.stage) {
    case RelayStage::Allocating:
        if (turn.state() == TurnClient::State::Failed) {
            leaveRelay(failureText(turn));
            return;
        }
        if (turn.state() != TurnClient::State::Allocated)
            break;
        if (turn.grantedLifetimeMs() > 0) {
            const qint64 periodMs = turn.grantedLifetimeMs() / UpkeepShareOfLifetime;
            turn.setUpkeepPeriods(periodMs, periodMs);
        }
        // The registration is the first datagram through the relay: the server must be
        // reachable through it before the path is taken.
        relay.stage = RelayStage::Permitting;
        turn.permit(signalAddress, nowMs);
        flushRelay(nowMs);
        break;
    case RelayStage::Permitting:
        if (turn.state() == TurnClient::State::Failed) {
            leaveRelay(failureText(turn));
            return;
        }
        if (turn.permission(signalAddress) == TurnClient::Permission::Refused) {
            leaveRelay(QStringLiteral("permission for the rendezvous server %1 refused").arg(signalAddress.toString()));
            return;
        }
        if (!turn.permitted(signalAddress))
            break;
        relay.stage = RelayStage::Relayed;
        relayDeadline.stop();
        traceRelayed(turn.relayedAddress(), turn.relayedPort());
        beginRegistration();
        break;
    case RelayStage::Relayed:
        // A refused permission for the peer: nothing reaches it this way, so the rest of the
        // match goes directly, as it would without a relay.
        if (peerEndpoint.valid && turn.permission(peerEndpoint.address) == TurnClient::Permission::Refused)
            leaveRelay(QStringLiteral("permission for the peer %1 refused").arg(peerEndpoint.address.toString()));
        else if (turn.state() == TurnClient::State::Failed)
            leaveRelay(failureText(turn));
        break;
    case RelayStage::Off:
    case RelayStage::Deciding:
        break;
    }
}

// Gives the relay up for the rest of the launch; the path goes on directly.
void UdpProxyManager::leaveRelay(const QString &why)
{
    const bool wasRelayed = relayed();
    note(relayConfig, why + (wasRelayed ? QStringLiteral("; going on directly")
                                        : QStringLiteral("; playing on the direct path")));
    releaseRelay();
    if (!wasRelayed)
        beginRegistration();
}

// Best effort: a Refresh with lifetime 0 frees the allocation at once instead of at its end.
void UdpProxyManager::releaseRelay()
{
    relayDeadline.stop();
    turnUpkeepTimer.stop();
    if (relay.stage == RelayStage::Allocating || relay.stage == RelayStage::Permitting || relayed()) {
        const qint64 nowMs = probeClock.elapsed();
        turn.stop(nowMs);
        const QList<QByteArray> outgoing = turn.takeOutgoing(nowMs);
        if (peerSocket.state() == QAbstractSocket::BoundState) {
            for (const QByteArray &request : outgoing)
                peerSocket.writeDatagram(request, relayConfig.server, relayConfig.port);
        }
    }
    relay = RelayBook();
}

// The trace tells a relayed match by this note: kivra-trace shows the address the peer saw.
void UdpProxyManager::traceRelayed(const QHostAddress &address, quint16 port)
{
    if (!traceFile)
        return;
    const QByteArray line = wire::trace::relayedNote(address.toString(), port);
    std::fwrite(line.constData(), 1, std::size_t(line.size()), traceFile);
    std::fflush(traceFile);
}
