// The exchange with the rendezvous server: registration, peer announcement, ready and failure.
#include "proxy/udpproxymanager.h"

#include "wire/signalwire.h"

namespace {

constexpr int MaxReadySignals = 10; // the server needs only one; the rest cover losses

} // namespace

void UdpProxyManager::sendSignal(const QByteArray &datagram)
{
    // Qt sends to 0.0.0.0 for a null address, which Linux delivers to this host: a server
    // given by name (never resolved) must get nothing, not whatever listens locally.
    if (signalAddress.isNull())
        return;
    // A lost or unsendable datagram is covered by the retry timers.
    writePeerDatagram(datagram, signalAddress, signalPort);
}

void UdpProxyManager::registerProxy()
{
    if (matchId.isEmpty() || side == 0 || registered || peerAnnounced)
        return;
    sendSignal(wire::signalling::registerMessage(matchId.toUtf8(), side));
}

void UdpProxyManager::handleRegistrationTimeout()
{
    if (peerAnnounced || matchId.isEmpty())
        return;
    stopRegisterRetries();
    sendUsePorts();
}

void UdpProxyManager::sendFailureSignal()
{
    if (matchId.isEmpty() || side == 0)
        return;
    sendSignal(wire::signalling::failedMessage(matchId.toUtf8(), side));
}

void UdpProxyManager::sendUsePorts()
{
    if (matchId.isEmpty() || side == 0 || failureReported)
        return;
    failureReported = true;
    sendFailureSignal();
    failureRetryTimer.start();
    Q_EMIT punchingFailed(quark);
}

void UdpProxyManager::sendReadySignal()
{
    if (!gameplayReady || readyAcknowledged || matchId.isEmpty() || side == 0)
        return;
    if (readySignalCount >= MaxReadySignals) {
        readyRetryTimer.stop();
        return;
    }
    ++readySignalCount;
    sendSignal(wire::signalling::readyMessage(matchId.toUtf8(), side));
}

void UdpProxyManager::markGameplayReady()
{
    if (gameplayReady)
        return;
    gameplayReady = true;
    sendReadySignal();
    readyRetryTimer.start();
}

void UdpProxyManager::sendPeerAck(const Endpoint &endpoint)
{
    sendSignal(wire::signalling::peerAckMessage(matchId, endpoint.address, endpoint.port));
}

void UdpProxyManager::handleSignalMessage(const QByteArray &datagram)
{
    const wire::signalling::SignalMessage message = wire::signalling::parseSignalMessage(datagram);
    switch (message.kind) {
    case wire::signalling::SignalKind::Other:
        return;
    case wire::signalling::SignalKind::Registered:
        if (message.matchId == matchId && message.side == side) {
            registered = true;
            stopRegisterRetries();
        }
        return;
    case wire::signalling::SignalKind::ReadyAck:
        if (message.matchId == matchId && message.side == side) {
            readyAcknowledged = true;
            readyRetryTimer.stop();
        }
        return;
    case wire::signalling::SignalKind::FailureAck:
        if (message.matchId == matchId && message.side == side)
            failureRetryTimer.stop();
        return;
    case wire::signalling::SignalKind::Peer:
        break;
    }

    if (message.matchId != matchId || message.address.isNull() || message.port == 0)
        return;
    Endpoint candidate;
    candidate.address = message.address;
    candidate.port = message.port;
    candidate.valid = true;
    registered = true;
    peerAnnounced = true;
    stopRegisterRetries();
    stopRegistrationDeadline();
    const bool known = sameEndpoint(announcedPeer, candidate.address, candidate.port);
    if (!known && punchAtCap()) {
        // Neither replaces the endpoint being punched nor is lost: kept for when the running
        // sequence fails, and not acknowledged, so the server's repeats bring it back after a
        // success.
        punch.deferredPeer = candidate;
        return;
    }
    sendPeerAck(candidate);
    if (known)
        return;
    announcedPeer = candidate;
    peerEndpoint = candidate;
    startPunching();
}

void UdpProxyManager::stopRegisterRetries()
{
    registerRetryTimer.stop();
}

void UdpProxyManager::stopRegistrationDeadline()
{
    registrationDeadline.stop();
}

int UdpProxyManager::derivedQuarkPort() const
{
    return wire::signalling::derivedPortFromQuark(quark);
}
