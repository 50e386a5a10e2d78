// The relay between the emulator on the loopback interface and the peer.
#include "proxy/udpproxymanager.h"

#include "wire/ports.h"
#include "wire/punchwire.h"
#include "wire/relaywire.h"
#include "wire/traceline.h"

namespace {

constexpr int PortMoveHits = 30;                // datagrams from a new peer port before it moves
constexpr int ScreenedGameplayPackets = 1024;   // gameplay datagrams checked for late punches
// The queue lives at most 25 s until the emulator is heard; at 60 datagrams a second that is
// 1500 datagrams, so 4096 leaves room for a faster peer while 4 MiB bounds what a hostile or
// broken peer can make us hold.
constexpr int MaxPendingPeerPackets = 4096;
constexpr qint64 MaxPendingPeerBytes = 4 * 1024 * 1024;
// Datagrams read per readyRead notification; the rest are reported again by the event loop,
// so one busy socket cannot starve the other or the timers.
constexpr int MaxDatagramsPerNotification = 1024;

// Whether to read again after `read` datagrams of this notification. At 60 Hz nearly every
// notification brings one datagram, and a read that finds nothing costs Qt an error string
// and an errorOccurred emission; one peek is much cheaper. Once the peek has seen a burst we
// read on until the socket is empty, so the failing read is shared by the whole burst.
bool keepReading(QUdpSocket &socket, int read)
{
    return read > 1 || socket.hasPendingDatagrams();
}

} // namespace

// The buffer holds any UDP datagram, so we read until the socket reports nothing left
// instead of asking for pending datagrams and their size first (two extra system calls
// per datagram).
void UdpProxyManager::handleLocalDatagrams()
{
    for (int i = 0; i < MaxDatagramsPerNotification; ++i) {
        quint16 senderPort = 0;
        const qint64 length =
            localSocket.readDatagram(localReceiveBuffer.data(), localReceiveBuffer.size(), nullptr, &senderPort);
        if (length < 0)
            return; // nothing left (or an error): readyRead comes again for what remains
        emulatorPort = senderPort;
        relayToPeer(localReceiveBuffer.constData(), length);
        if (startupPhase == StartupPhase::Queueing) {
            startupPhase = StartupPhase::Screening;
            startupTimer.stop();
            flushStartupPeerPackets();
        }
        if (!keepReading(localSocket, i + 1))
            return;
    }
}

void UdpProxyManager::handlePeerDatagrams()
{
    QHostAddress sender; // outside the loop: one allocation less per datagram
    for (int i = 0; i < MaxDatagramsPerNotification; ++i) {
        if (i > 0 && !keepReading(peerSocket, i))
            return;
        quint16 senderPort = 0;
        const qint64 length = readPeerDatagram(peerReceiveBuffer.data(), peerReceiveBuffer.size(), &sender, &senderPort);
        if (length < 0)
            return;
        // A view on the receive buffer: nothing below keeps it beyond this iteration except
        // the start-up queue, which stores a deep copy. Punching reads into its own buffers.
        const QByteArray datagram = QByteArray::fromRawData(peerReceiveBuffer.constData(), length);
        const char *data = datagram.constData();

        peerdatagram::Sources sources;
        sources.server = signalAddress;
        sources.serverPort = signalPort;
        sources.peer = peerEndpoint.address;
        sources.peerPort = peerEndpoint.port;
        sources.peerKnown = peerEndpoint.valid;
        const bool gameplay = startupPhase == StartupPhase::Gameplay;
        const peerdatagram::Sorted sorted = peerdatagram::sortDatagram(
            sources, sender, senderPort, data, length, !gameplay || screenedGameplayPackets < ScreenedGameplayPackets);

        switch (sorted.origin) {
        case peerdatagram::Origin::Server:
            handleSignalMessage(datagram);
            continue;
        case peerdatagram::Origin::Stranger:
            continue;
        case peerdatagram::Origin::Peer:
        case peerdatagram::Origin::PeerHost:
            break;
        }
        if (sorted.content == peerdatagram::Content::Probe) {
            handleProbeDatagram(sorted.probe, sender, senderPort, true);
            continue;
        }
        if (!gameplay) {
            if (sorted.origin == peerdatagram::Origin::Peer)
                processPeerDatagram(datagram, sorted);
            else if (sorted.content == peerdatagram::Content::Punch)
                answerLatePunch(sorted.punch, sender, senderPort); // the peer punching from a rebound port
            continue;
        }
        trackPeerPortChange(senderPort);
        if (sorted.content == peerdatagram::Content::Keepalive)
            continue;
        if (screenedGameplayPackets < ScreenedGameplayPackets) {
            ++screenedGameplayPackets;
            if (sorted.content == peerdatagram::Content::Punch) {
                answerLatePunch(sorted.punch, sender, senderPort);
                continue;
            }
        }
        relayToEmulator(data, length);
    }
}

// A datagram from the exact peer endpoint before gameplay, already sorted.
void UdpProxyManager::processPeerDatagram(const QByteArray &datagram, const peerdatagram::Sorted &sorted)
{
    if (sorted.content == peerdatagram::Content::Punch) {
        answerLatePunch(sorted.punch, peerEndpoint.address, peerEndpoint.port);
        return;
    }
    if (sorted.content == peerdatagram::Content::Keepalive)
        return;
    switch (startupPhase) {
    case StartupPhase::Queueing:
        // Beyond the cap the newest datagrams are dropped: the emulator resends what it needs.
        if (pendingPeerPackets.size() >= MaxPendingPeerPackets
            || pendingPeerBytes + datagram.size() > MaxPendingPeerBytes)
            return;
        pendingPeerPackets.append(QByteArray(datagram.constData(), datagram.size()));
        pendingPeerBytes += datagram.size();
        return;
    case StartupPhase::Screening:
        processStartupPeerPacket(datagram);
        return;
    case StartupPhase::Gameplay:
        relayToEmulator(datagram);
        return;
    }
}

bool UdpProxyManager::processStartupPeerPacket(const QByteArray &datagram)
{
    if (startupPhase != StartupPhase::Screening)
        return false;
    if (wire::relay::isStartupControl(datagram.constData(), datagram.size()))
        return true;
    relayToEmulator(datagram);
    startupPhase = StartupPhase::Gameplay;
    startKeepalive();
    if (!gameplayReady)
        markGameplayReady();
    return true;
}

void UdpProxyManager::flushStartupPeerPackets()
{
    if (startupPhase != StartupPhase::Screening)
        return;
    // Bounded by the queue cap; a relay call never adds to the queue.
    while (!pendingPeerPackets.isEmpty() && startupPhase == StartupPhase::Screening) {
        const QByteArray packet = pendingPeerPackets.takeFirst();
        pendingPeerBytes -= packet.size();
        processStartupPeerPacket(packet);
    }
    while (!pendingPeerPackets.isEmpty() && startupPhase == StartupPhase::Gameplay) {
        const QByteArray packet = pendingPeerPackets.takeFirst();
        pendingPeerBytes -= packet.size();
        relayToEmulator(packet);
    }
}

void UdpProxyManager::handleStartupTimeout()
{
    if (startupPhase != StartupPhase::Queueing)
        return;
    startupPhase = StartupPhase::Screening;
    emulatorPort = wire::ports::AssumedEmulatorPort;
    flushStartupPeerPackets();
}

void UdpProxyManager::sendKeepalivePacket()
{
    if (peerEndpoint.valid && peerSocket.state() == QAbstractSocket::BoundState)
        writePeerDatagram(wire::relay::KeepaliveMessage, qint64(sizeof wire::relay::KeepaliveMessage - 1),
                          peerEndpoint.address, peerEndpoint.port);
}

void UdpProxyManager::startKeepalive()
{
    if (!peerEndpoint.valid || keepaliveTimer.isActive())
        return;
    sendKeepalivePacket();
    keepaliveTimer.start();
}

bool UdpProxyManager::sameEndpoint(const Endpoint &endpoint, const QHostAddress &address, quint16 port) const
{
    return endpoint.valid && endpoint.address == address && endpoint.port == port;
}

void UdpProxyManager::trackPeerPortChange(quint16 port)
{
    if (port == peerEndpoint.port) {
        candidatePortHits = 0;
        return;
    }
    if (wire::punch::isReservedSourcePort(port))
        return;
    if (port != candidatePeerPort) {
        candidatePeerPort = port;
        candidatePortHits = 1;
        return;
    }
    if (++candidatePortHits >= PortMoveHits) {
        peerEndpoint.port = port;
        candidatePeerPort = 0;
        candidatePortHits = 0;
    }
}

void UdpProxyManager::relayToEmulator(const char *data, qint64 size)
{
    // A null address (emulatorHost not a literal) would go to 0.0.0.0, i.e. this host.
    if (emulatorPort == 0 || emulatorAddress.isNull())
        return;
    traceDatagram(wire::trace::ToEmulator, data, size);
    localSocket.writeDatagram(data, size, emulatorAddress, emulatorPort);
}

void UdpProxyManager::relayToEmulator(const QByteArray &datagram)
{
    relayToEmulator(datagram.constData(), datagram.size());
}

void UdpProxyManager::relayToPeer(const char *data, qint64 size)
{
    if (!peerEndpoint.valid)
        return;
    traceDatagram(wire::trace::ToPeer, data, size);
    writePeerDatagram(data, size, peerEndpoint.address, peerEndpoint.port);
}

void UdpProxyManager::relayToPeer(const QByteArray &datagram)
{
    relayToPeer(datagram.constData(), datagram.size());
}
