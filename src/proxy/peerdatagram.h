// What one datagram on the peer socket is, by its sender and its bytes: the one sorting that
// the punch sequence and the relay both apply before each decides what to do with it.
// Pure: no socket, no state of the proxy.
#pragma once

#include "wire/probewire.h"
#include "wire/punchwire.h"

#include <QHostAddress>
#include <QtGlobal>

namespace peerdatagram {

enum class Origin
{
    Server,   // the rendezvous server's address and port: signalling, whatever the bytes
    Peer,     // the peer's address and port
    PeerHost, // the peer's address (or the other host taken for the peer) from another port
    Stranger, // anyone else, and everyone while no peer is known
};

enum class Content
{
    Probe,     // "KVRA " probe and delay datagrams (also malformed ones, which are consumed)
    Keepalive, // exactly "ping"
    Punch,     // a punch datagram; only looked for when punches are screened
    Other,     // game data and everything else (also the server's messages: not examined)
};

// Who counts as whom for one read.
struct Sources
{
    QHostAddress server;
    quint16 serverPort = 0;
    QHostAddress peer;       // the peer (the punch target while punching)
    quint16 peerPort = 0;
    bool peerKnown = false;  // false: nobody but the server is more than a stranger
    QHostAddress alsoPeer;   // a second host taken for the peer (the announced one); may be null
};

struct Sorted
{
    Origin origin = Origin::Stranger;
    Content content = Content::Other;
    wire::probe::ProbeMessage probe;  // parsed when content is Probe
    wire::punch::PunchFields punch;   // parsed when content is Punch
};

// Probe before keepalive before punch; the three never overlap, the order only saves parsing.
// screenPunches false leaves punch datagrams as Other (the relay stops looking after a while).
Sorted sortDatagram(const Sources &sources, const QHostAddress &sender, quint16 senderPort, const char *data,
                    qint64 size, bool screenPunches);

} // namespace peerdatagram
