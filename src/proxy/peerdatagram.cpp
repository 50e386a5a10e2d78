#include "proxy/peerdatagram.h"

#include "wire/relaywire.h"

#include <QByteArray>

namespace peerdatagram {

namespace {

Origin originOf(const Sources &sources, const QHostAddress &sender, quint16 senderPort)
{
    if (senderPort == sources.serverPort && sender == sources.server)
        return Origin::Server;
    if (!sources.peerKnown)
        return Origin::Stranger;
    if (sender == sources.peer)
        return senderPort == sources.peerPort ? Origin::Peer : Origin::PeerHost;
    if (!sources.alsoPeer.isNull() && sender == sources.alsoPeer)
        return Origin::PeerHost;
    return Origin::Stranger;
}

} // namespace

Sorted sortDatagram(const Sources &sources, const QHostAddress &sender, quint16 senderPort, const char *data,
                    qint64 size, bool screenPunches)
{
    Sorted sorted;
    sorted.origin = originOf(sources, sender, senderPort);
    if (sorted.origin == Origin::Server)
        return sorted;
    sorted.probe = wire::probe::parseProbeDatagram(data, size);
    if (sorted.probe.kind != wire::probe::ProbeKind::NotProbe) {
        sorted.content = Content::Probe;
        return sorted;
    }
    if (wire::relay::isKeepalive(data, size)) {
        sorted.content = Content::Keepalive;
        return sorted;
    }
    if (screenPunches) {
        sorted.punch = wire::punch::parsePunchDatagram(QByteArray::fromRawData(data, int(size)));
        if (sorted.punch.valid)
            sorted.content = Content::Punch;
    }
    return sorted;
}

} // namespace peerdatagram
