// The pure parts of kivra-netcheck: its command line, what the learned public endpoints say
// about the NAT, the verdict in plain words and the JSON object. No sockets, no event loop.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "proxy/relayconfig.h"

#include <optional>

namespace netcheck {

struct HostPort
{
    QHostAddress address;
    quint16 port = 0;
    bool isValid() const { return !address.isNull() && port != 0; }
    bool operator==(const HostPort &other) const { return port == other.port && address == other.address; }
    bool operator!=(const HostPort &other) const { return !(*this == other); }
};

// "ADDR" or "ADDR:PORT" (an IPv4 literal; no name is looked up). Empty when it is not one.
std::optional<HostPort> parseHostPort(const QString &text, quint16 defaultPort);
QString hostPortText(const HostPort &endpoint);

struct Options
{
    HostPort server;
    HostPort secondDestination; // invalid when none was asked for
    bool json = false;
    bool upnp = true;
};

struct ParsedArguments
{
    bool ok = false;
    bool help = false;      // --help: print usage, exit 0
    QString error;          // when !ok: what was wrong, for stderr
    Options options;
};

// The program's arguments without the program name.
ParsedArguments parseArguments(const QStringList &arguments);
QString usageText();

// What one destination told: the public endpoint it saw for each of the two sockets. The
// announcement to side 2 names side 1 (the first socket) and the other way round.
struct DestinationResult
{
    HostPort destination;
    HostPort firstPublic;
    HostPort secondPublic;
    bool answered() const { return firstPublic.isValid() || secondPublic.isValid(); }
};

struct UpnpResult
{
    bool checked = false;     // false with --no-upnp
    bool found = false;       // a gateway answered and named a WAN connection service
    QString serviceType;
    QHostAddress externalAddress; // null when GetExternalIPAddress gave none
    QString failure;          // the stage that ended a run without a gateway ("no_router", ...)
};

// The player's TURN relay (the proxy's own relay configuration) and one allocation through it.
struct RelayResult
{
    enum class Outcome
    {
        NotConfigured, // no server, or the configuration had problems
        NotUsed,       // configured with mode never: matches do not use it, so it is not asked
        Works,         // an allocation was made (and released)
        Fails,         // the allocation did not come; failure says why
    };
    Outcome outcome = Outcome::NotConfigured;
    HostPort server;
    relayconfig::Mode mode = relayconfig::Mode::Auto;
    QStringList problems;  // the configuration's problem lines (also on stderr)
    HostPort allocated;    // Works: the relayed address
    qint64 elapsedMs = -1; // Works: first Allocate to the allocation; Fails: until it was given up
    QString failure;       // Fails: the relay client's word ("timeout", "401 bad credentials", "403 ...")
};

// What the configuration alone says: NotConfigured or NotUsed, or the server and mode of a
// relay still to be asked (outcome NotConfigured until the allocation's result is set).
RelayResult relayResultOf(const relayconfig::Loaded &loaded);

struct Findings
{
    quint16 firstLocalPort = 0;
    bool firstOnMatchPort = false; // the first socket got 6006
    quint16 secondLocalPort = 0;
    DestinationResult primary;
    std::optional<DestinationResult> second; // only when a second destination was asked for
    UpnpResult upnp;
    RelayResult relay;
};

enum class Mapping { Unknown, EndpointIndependent, EndpointDependent };
QString mappingWord(Mapping mapping);

// What was measured. Each finding is known only when something measured it: an endpoint the
// server saw on this side of the NAT (loopback, private, ...) measures no NAT at all.
struct Assessment
{
    bool serverAnswered = false;
    QHostAddress seenAddress;           // the address the first destination saw (either socket)
    bool seenIsPublic = false;          // seenAddress is an internet address: a NAT was measured
    HostPort firstPublic;               // the first socket as the first destination saw it; only when public
    std::optional<bool> portPreserved;  // the first socket kept its local port
    std::optional<bool> neighbouringPorts; // only when the port was not kept
    Mapping mapping = Mapping::Unknown;
    QString mappingNote;                // which destinations were compared, or why unknown
    std::optional<bool> secondNat;      // known only when a gateway gave its external address
    QString secondNatReason;
    std::optional<bool> relayWorks;     // known only when a relay was asked (configured, mode not never)
    bool relayForEveryMatch = false;    // it works and its mode (always) sends every match through it
};

// Public ports closer than this are within the punch scan around an announced port.
inline constexpr int NeighbourWindow = 512;

Assessment assess(const Findings &findings);
// One or two sentences: the kind of NAT and whom the player can play.
QString verdict(const Findings &findings, const Assessment &assessment);
// The human-readable report, one finding per line, verdict last.
QString textReport(const Findings &findings, const Assessment &assessment);
// Why the relay does not work, in the player's words, naming the server: "no answer from
// ADDR:PORT within N ms", "ADDR:PORT refused the user and password (401 bad credentials)", ...
QString relayFailureText(const RelayResult &relay);
// The relay's line of the report without "relay: ".
QString relayLine(const RelayResult &relay);
// One JSON object on one line.
QByteArray jsonReport(const Findings &findings, const Assessment &assessment);

// True for addresses a router's WAN side should not have on the open internet:
// private (10/8, 172.16/12, 192.168/16) or shared (100.64/10).
bool isPrivateOrShared(const QHostAddress &address);

// What kind of address this is when it cannot be an internet address a server sees a NAT
// by: "loopback", "private", "shared", "link-local", "unspecified", "multicast" or
// "reserved"; empty for an internet address (documentation ranges included: the lab uses
// them as its internet).
QString nonPublicKind(const QHostAddress &address);

} // namespace netcheck
