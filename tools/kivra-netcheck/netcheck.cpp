#include "netcheck.h"

#include "wire/ports.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdlib>

namespace netcheck {
namespace {

// The rendezvous server's usual port, taken when ADDR names none.
constexpr quint16 DefaultServerPort = wire::ports::DefaultSignalPort;

QString portText(quint16 port)
{
    return QString::number(port);
}

// A port as people write it: 1..65535 in plain decimal digits, no sign, no leading zero.
std::optional<quint16> parsePort(const QString &text)
{
    constexpr int MaxPortDigits = 5;
    if (text.isEmpty() || text.size() > MaxPortDigits || text.at(0) == QLatin1Char('0'))
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const uint value = text.toUInt();
    if (value > 65535)
        return std::nullopt;
    return quint16(value);
}

// The address a destination saw for this computer (either socket), or null when it saw none.
QHostAddress seenAddressOf(const DestinationResult &result)
{
    if (result.firstPublic.isValid())
        return result.firstPublic.address;
    return result.secondPublic.address;
}

QString withArticle(const QString &word)
{
    return (word.startsWith(QLatin1Char('u')) ? QStringLiteral("an ") : QStringLiteral("a ")) + word;
}

// "ADDR:PORT sees this computer at X, a private address" when what that destination saw is
// not an internet address (it is on this side of the NAT); empty otherwise.
QString notPublicNote(const DestinationResult &result)
{
    const QHostAddress seen = seenAddressOf(result);
    const QString kind = seen.isNull() ? QString() : nonPublicKind(seen);
    if (kind.isEmpty())
        return {};
    return QStringLiteral("%1 sees this computer at %2, %3 address")
        .arg(hostPortText(result.destination), seen.toString(), withArticle(kind));
}

// The kind of NAT, as far as it was measured: the verdict's first words.
QString kindPhrase(const Findings &findings, const Assessment &assessment)
{
    const QString portName = findings.firstOnMatchPort ? QStringLiteral("port 6006") : QStringLiteral("its port");
    switch (assessment.mapping) {
    case Mapping::EndpointIndependent:
        if (assessment.portPreserved == true)
            return QStringLiteral("cone NAT that keeps %1").arg(portName);
        if (assessment.portPreserved == false)
            return QStringLiteral("cone NAT that changes %1 (to %2)").arg(portName, portText(assessment.firstPublic.port));
        return QStringLiteral("cone NAT (whether it keeps %1 is unknown)").arg(portName);
    case Mapping::EndpointDependent:
        return QStringLiteral("symmetric NAT");
    case Mapping::Unknown:
        break;
    }
    QString nat;
    if (assessment.portPreserved == true)
        nat = QStringLiteral("NAT that keeps %1").arg(portName);
    else if (assessment.portPreserved == false)
        nat = QStringLiteral("NAT that changes %1").arg(portName);
    else
        nat = QStringLiteral("NAT (whether it keeps %1 is unknown)").arg(portName);
    const QString kind = findings.second ? QStringLiteral("kind unknown, since %1").arg(assessment.mappingNote)
                                         : QStringLiteral("kind unknown without a second destination");
    return QStringLiteral("%1, %2").arg(nat, kind);
}

// Whom a player can reach, by the kinds our NAT lab pairs: cone against cone connects; a
// symmetric side against a cone side ends in "udp_failed" on both; a forwarded 6006 lets a
// symmetric peer in; a side with a working relay reaches every kind (relay_cone,
// relay_symmetric), since a relay's permission is per peer address, whatever port the peer's
// NAT picks. Whether this router forwards 6006 cannot be seen from here (only the server is
// asked, and it is answered from the mappings we opened), so that is never claimed either
// way; nor is a port finding nobody measured. A relay counts only when its allocation came.
QString whomPhrase(const Findings &findings, const Assessment &assessment)
{
    const QString relay = hostPortText(findings.relay.server);
    if (assessment.relayForEveryMatch)
        return QStringLiteral("your relay %1 works and its mode always sends every match through it, so you can "
                              "play everyone")
            .arg(relay);
    switch (assessment.mapping) {
    case Mapping::EndpointIndependent:
        if (assessment.portPreserved == true && assessment.secondNat == true)
            return QStringLiteral("you can play players behind cone NATs; behind a symmetric NAT only if their router "
                                  "forwards 6006");
        if (assessment.portPreserved == true)
            return QStringLiteral("you can play players behind cone NATs; players behind symmetric NATs only if your "
                                  "router or theirs forwards 6006 (this check cannot see whether yours does)");
        if (assessment.portPreserved == false)
            return QStringLiteral("you can play players behind cone NATs, since the server tells them the port it "
                                  "saw; behind a symmetric NAT only if their router forwards 6006 (UPnP)");
        return QStringLiteral("you can play players behind cone NATs; players behind symmetric NATs only if their "
                              "router forwards 6006, or yours does and keeps the port (this check cannot see "
                              "either)");
    case Mapping::EndpointDependent:
        if (assessment.relayWorks == true)
            return QStringLiteral("with your working relay %1 you can play everyone, since a match takes the relay "
                                  "when the NAT maps per destination")
                .arg(relay);
        if (findings.upnp.found && assessment.secondNat == false)
            return QStringLiteral("matches work only against players whose router forwards 6006, or while your "
                                  "router forwards 6006 to you");
        return QStringLiteral("matches work only against players whose router forwards 6006, or if you enable "
                              "UPnP on your router");
    case Mapping::Unknown:
        break;
    }
    if (assessment.relayWorks == true)
        return QStringLiteral("if it is a cone NAT you can play players behind cone NATs; if it is a symmetric NAT, "
                              "matches take your working relay %1, so you can play everyone")
            .arg(relay);
    return QStringLiteral("if it is a cone NAT you can play players behind cone NATs; a symmetric NAT plays only "
                          "players whose router forwards 6006");
}

QString natSentence(const Findings &findings, const Assessment &assessment)
{
    return kindPhrase(findings, assessment) + QStringLiteral(": ") + whomPhrase(findings, assessment);
}

// A configured relay that failed is said; one that works is in the NAT sentence already.
QString relaySentence(const Findings &findings, const Assessment &assessment)
{
    if (assessment.relayWorks != false)
        return {};
    return QStringLiteral("Your relay does not work: %1, so matches go without it.")
        .arg(relayFailureText(findings.relay));
}

QString upnpSentence(const Findings &findings, const Assessment &assessment)
{
    const UpnpResult &upnp = findings.upnp;
    if (!upnp.checked)
        return {};
    if (!upnp.found)
        return QStringLiteral("No UPnP router answered: enable UPnP on your router, or forward UDP 6006 and 6004 "
                              "to this computer, so that players behind symmetric NATs can reach you.");
    if (assessment.secondNat.value_or(false))
        return QStringLiteral("There is a second NAT in front of your router (%1): what your router forwards "
                              "does not reach the internet, so UPnP cannot help; ask your provider for a public "
                              "address, or play players whose router forwards 6006.")
            .arg(assessment.secondNatReason);
    if (upnp.externalAddress.isNull())
        return QStringLiteral("Your router answers UPnP but did not give its external address; during a match "
                              "the program asks it to forward 6006.");
    if (assessment.mapping == Mapping::EndpointDependent)
        return QStringLiteral("Your router answers UPnP: during a match the program asks it to forward 6006.");
    return QStringLiteral("Your router answers UPnP: during a match the program asks it to forward 6006, and a "
                          "forwarded 6006 lets players behind symmetric NATs reach you too.");
}

// What one destination saw for the two sockets; "public" only for internet addresses.
QString endpointsLine(const DestinationResult &result)
{
    const auto text = [](const HostPort &endpoint) {
        return endpoint.isValid() ? hostPortText(endpoint) : QStringLiteral("unknown");
    };
    return QStringLiteral("%1endpoints seen by %2: %3 and %4")
        .arg(notPublicNote(result).isEmpty() ? QStringLiteral("public ") : QString(),
             hostPortText(result.destination), text(result.firstPublic), text(result.secondPublic));
}

QJsonValue optionalBool(const std::optional<bool> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QString yesNo(const std::optional<bool> &value)
{
    if (!value)
        return QStringLiteral("unknown");
    return *value ? QStringLiteral("yes") : QStringLiteral("no");
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject relayJson(const RelayResult &relay)
{
    using Outcome = RelayResult::Outcome;
    const bool configured = relay.outcome != Outcome::NotConfigured;
    const bool checked = relay.outcome == Outcome::Works || relay.outcome == Outcome::Fails;
    QJsonObject object;
    object.insert(QStringLiteral("configured"), configured);
    object.insert(QStringLiteral("server"), textOrNull(configured ? hostPortText(relay.server) : QString()));
    object.insert(QStringLiteral("mode"), textOrNull(configured ? relayconfig::modeName(relay.mode) : QString()));
    object.insert(QStringLiteral("checked"), checked);
    object.insert(QStringLiteral("works"), checked ? QJsonValue(relay.outcome == Outcome::Works)
                                                   : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("allocated"), textOrNull(relay.outcome == Outcome::Works && relay.allocated.isValid()
                                                              ? hostPortText(relay.allocated)
                                                              : QString()));
    object.insert(QStringLiteral("elapsed_ms"), checked && relay.elapsedMs >= 0 ? QJsonValue(relay.elapsedMs)
                                                                                : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("failure"), textOrNull(relay.outcome == Outcome::Fails ? relay.failure : QString()));
    object.insert(QStringLiteral("problems"), QJsonArray::fromStringList(relay.problems));
    return object;
}

} // namespace

RelayResult relayResultOf(const relayconfig::Loaded &loaded)
{
    RelayResult relay;
    relay.problems = loaded.problems;
    const relayconfig::RelayConfig &config = loaded.config;
    if (config.server.isNull())
        return relay;
    relay.server = HostPort{config.server, config.port};
    relay.mode = config.mode;
    if (!config.usable()) {
        relay.outcome = RelayResult::Outcome::NotUsed;
        return relay;
    }
    // What a check that ended before the allocation's answer reports.
    relay.outcome = RelayResult::Outcome::Fails;
    relay.failure = QStringLiteral("timeout");
    return relay;
}

QString relayFailureText(const RelayResult &relay)
{
    const QString server = hostPortText(relay.server);
    const QString &failure = relay.failure;
    if (failure.isEmpty() || failure == QLatin1String("timeout"))
        return relay.elapsedMs >= 0 ? QStringLiteral("no answer from %1 within %2 ms").arg(server).arg(relay.elapsedMs)
                                    : QStringLiteral("no answer from %1").arg(server);
    if (failure == QLatin1String("401 bad credentials"))
        return QStringLiteral("%1 refused the user and password (401 bad credentials)").arg(server);
    // An error response: its code and reason ("403 Forbidden", "486 Allocation Quota Reached").
    if (failure.size() > 4 && failure.at(0).isDigit() && failure.at(1).isDigit() && failure.at(2).isDigit()
        && failure.at(3) == QLatin1Char(' '))
        return QStringLiteral("%1 answered %2").arg(server, failure);
    return QStringLiteral("%1: %2").arg(server, failure);
}

QString relayLine(const RelayResult &relay)
{
    using Outcome = RelayResult::Outcome;
    const QString server = hostPortText(relay.server);
    const QString mode = relayconfig::modeName(relay.mode);
    switch (relay.outcome) {
    case Outcome::NotConfigured:
        if (!relay.problems.isEmpty())
            return QStringLiteral("no relay configured (the relay configuration has problems, said on stderr)");
        return QStringLiteral("no relay configured");
    case Outcome::NotUsed:
        return QStringLiteral("%1 configured with mode never: matches do not use it, so it was not asked").arg(server);
    case Outcome::Works:
        return QStringLiteral("works, allocated %1 in %2 ms (relay %3, mode %4)")
            .arg(hostPortText(relay.allocated))
            .arg(relay.elapsedMs)
            .arg(server, mode);
    case Outcome::Fails:
        break;
    }
    return QStringLiteral("does not work: %1").arg(relayFailureText(relay));
}

std::optional<HostPort> parseHostPort(const QString &text, quint16 defaultPort)
{
    QString host = text;
    quint16 port = defaultPort;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        const std::optional<quint16> value = parsePort(text.mid(colon + 1));
        if (!value)
            return std::nullopt;
        port = *value;
    }
    const QHostAddress address(host);
    // IPv4 literals only: the proxies speak IPv4, and a name would need a lookup.
    if (address.protocol() != QAbstractSocket::IPv4Protocol || port == 0)
        return std::nullopt;
    return HostPort{address, port};
}

QString hostPortText(const HostPort &endpoint)
{
    return endpoint.address.toString() + QLatin1Char(':') + portText(endpoint.port);
}

QString usageText()
{
    return QStringLiteral(
        "usage: kivra-netcheck --server ADDR[:PORT] [--second-port PORT] [--second-server ADDR[:PORT]]\n"
        "                      [--json] [--no-upnp]\n"
        "Asks a kivra rendezvous server which public endpoint it sees for two local UDP sockets and\n"
        "tells what kind of NAT this computer is behind and whom it can play.\n"
        "  --server ADDR[:PORT]         the rendezvous server (port 7001 when none is given)\n"
        "  --second-port PORT           a second port of the same server: tells cone from symmetric\n"
        "  --second-server ADDR[:PORT]  a second server: also catches address-dependent mappings\n"
        "  --json                       one JSON object instead of text\n"
        "  --no-upnp                    do not ask the router over UPnP\n"
        "With a TURN relay set up for the proxy (relay.conf, KIVRA_RELAY...), it also allocates once\n"
        "there, says whether the relay works, and releases the allocation.\n"
        "Exit 0 when the check ran, 1 when the server never answered, 2 for usage errors.\n");
}

ParsedArguments parseArguments(const QStringList &arguments)
{
    ParsedArguments parsed;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption server(QStringLiteral("server"), QString(), QStringLiteral("ADDR[:PORT]"));
    const QCommandLineOption secondPort(QStringLiteral("second-port"), QString(), QStringLiteral("PORT"));
    const QCommandLineOption secondServer(QStringLiteral("second-server"), QString(), QStringLiteral("ADDR[:PORT]"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption noUpnp(QStringLiteral("no-upnp"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
    parser.addOptions({server, secondPort, secondServer, json, noUpnp, help});
    // QCommandLineParser expects the program name first.
    if (!parser.parse(QStringList{QStringLiteral("kivra-netcheck")} + arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help)) {
        parsed.ok = true;
        parsed.help = true;
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().constFirst());
        return parsed;
    }
    for (const QCommandLineOption *option : {&server, &secondPort, &secondServer}) {
        if (parser.values(*option).size() > 1) {
            parsed.error = QStringLiteral("--%1 given more than once").arg(option->names().constFirst());
            return parsed;
        }
    }
    if (!parser.isSet(server)) {
        parsed.error = QStringLiteral("--server is required");
        return parsed;
    }
    const std::optional<HostPort> first = parseHostPort(parser.value(server), DefaultServerPort);
    if (!first) {
        parsed.error = QStringLiteral("--server needs an IPv4 address, optionally with :PORT (1..65535)");
        return parsed;
    }
    parsed.options.server = *first;
    if (parser.isSet(secondPort) && parser.isSet(secondServer)) {
        parsed.error = QStringLiteral("give --second-port or --second-server, not both");
        return parsed;
    }
    if (parser.isSet(secondPort)) {
        const std::optional<quint16> value = parsePort(parser.value(secondPort));
        if (!value) {
            parsed.error = QStringLiteral("--second-port must be a number from 1 to 65535");
            return parsed;
        }
        parsed.options.secondDestination = HostPort{first->address, *value};
    }
    if (parser.isSet(secondServer)) {
        const std::optional<HostPort> second = parseHostPort(parser.value(secondServer), DefaultServerPort);
        if (!second) {
            parsed.error = QStringLiteral("--second-server needs an IPv4 address, optionally with :PORT (1..65535)");
            return parsed;
        }
        parsed.options.secondDestination = *second;
    }
    if (parsed.options.secondDestination == parsed.options.server) {
        parsed.error = QStringLiteral("the second destination must differ from --server");
        return parsed;
    }
    parsed.options.json = parser.isSet(json);
    parsed.options.upnp = !parser.isSet(noUpnp);
    parsed.ok = true;
    return parsed;
}

QString mappingWord(Mapping mapping)
{
    switch (mapping) {
    case Mapping::EndpointIndependent:
        return QStringLiteral("endpoint-independent");
    case Mapping::EndpointDependent:
        return QStringLiteral("endpoint-dependent");
    case Mapping::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

bool isPrivateOrShared(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (!isV4)
        return false;
    return (v4 & 0xff000000u) == 0x0a000000u      // 10/8
           || (v4 & 0xfff00000u) == 0xac100000u   // 172.16/12
           || (v4 & 0xffff0000u) == 0xc0a80000u   // 192.168/16
           || (v4 & 0xffc00000u) == 0x64400000u;  // 100.64/10, carrier-grade NAT
}

QString nonPublicKind(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (!isV4)
        return QStringLiteral("reserved"); // the proxies speak IPv4 only
    if ((v4 & 0xff000000u) == 0x7f000000u)   // 127/8
        return QStringLiteral("loopback");
    if ((v4 & 0xffc00000u) == 0x64400000u)   // 100.64/10
        return QStringLiteral("shared");
    if (isPrivateOrShared(address))
        return QStringLiteral("private");
    if ((v4 & 0xffff0000u) == 0xa9fe0000u)   // 169.254/16
        return QStringLiteral("link-local");
    if ((v4 & 0xff000000u) == 0)             // 0/8
        return QStringLiteral("unspecified");
    if ((v4 & 0xf0000000u) == 0xe0000000u)   // 224/4
        return QStringLiteral("multicast");
    if ((v4 & 0xf0000000u) == 0xf0000000u)   // 240/4 and the broadcast address
        return QStringLiteral("reserved");
    return {};
}

Assessment assess(const Findings &findings)
{
    Assessment result;
    const DestinationResult &primary = findings.primary;
    result.serverAnswered = primary.answered();
    result.seenAddress = seenAddressOf(primary);
    const QString primaryNotPublic = notPublicNote(primary);
    // A server on this side of the NAT sees this computer directly: no NAT was measured.
    result.seenIsPublic = !result.seenAddress.isNull() && primaryNotPublic.isEmpty();
    if (result.seenIsPublic && primary.firstPublic.isValid()) {
        result.firstPublic = primary.firstPublic;
        result.portPreserved = primary.firstPublic.port == findings.firstLocalPort;
    }
    if (result.portPreserved == false && primary.secondPublic.isValid())
        result.neighbouringPorts = std::abs(int(primary.firstPublic.port) - int(primary.secondPublic.port))
                                   <= NeighbourWindow;

    if (!primaryNotPublic.isEmpty()) {
        result.mappingNote = primaryNotPublic + QStringLiteral(", so no NAT was measured");
    } else if (!findings.second) {
        result.mappingNote = QStringLiteral("no second destination; give --second-port or --second-server");
    } else {
        const DestinationResult &other = *findings.second;
        const QString compared = QStringLiteral("%1 and %2").arg(hostPortText(primary.destination),
                                                                 hostPortText(other.destination));
        const QString otherNotPublic = notPublicNote(other);
        // Each socket that both destinations saw is a comparison; one difference settles it.
        int comparisons = 0;
        bool differs = false;
        if (primary.firstPublic.isValid() && other.firstPublic.isValid()) {
            ++comparisons;
            differs = differs || primary.firstPublic != other.firstPublic;
        }
        if (primary.secondPublic.isValid() && other.secondPublic.isValid()) {
            ++comparisons;
            differs = differs || primary.secondPublic != other.secondPublic;
        }
        if (!otherNotPublic.isEmpty()) {
            result.mappingNote = otherNotPublic + QStringLiteral(", so the two cannot be compared");
        } else if (comparisons == 0) {
            result.mappingNote = QStringLiteral("%1 did not answer").arg(hostPortText(other.destination));
            if (!primary.answered())
                result.mappingNote = QStringLiteral("no destination answered");
        } else {
            result.mapping = differs ? Mapping::EndpointDependent : Mapping::EndpointIndependent;
            result.mappingNote = QStringLiteral("compared %1").arg(compared);
            if (other.destination.address == primary.destination.address && !differs)
                result.mappingNote += QStringLiteral("; same address, so an address-dependent mapping needs "
                                                     "--second-server");
        }
    }

    const UpnpResult &upnp = findings.upnp;
    // 0.0.0.0 is a router that does not know its external address either.
    const bool externalKnown = upnp.found && !upnp.externalAddress.isNull()
                               && nonPublicKind(upnp.externalAddress) != QLatin1String("unspecified");
    if (externalKnown) {
        if (isPrivateOrShared(upnp.externalAddress)) {
            result.secondNat = true;
            result.secondNatReason = QStringLiteral("the router's external address %1 is private or shared")
                                         .arg(upnp.externalAddress.toString());
        } else if (result.seenIsPublic && result.seenAddress != upnp.externalAddress) {
            result.secondNat = true;
            result.secondNatReason = QStringLiteral("the router's external address %1 is not %2, the address the "
                                                    "server saw")
                                         .arg(upnp.externalAddress.toString(), result.seenAddress.toString());
        } else if (result.seenIsPublic) {
            result.secondNat = false;
        }
    }

    const RelayResult &relay = findings.relay;
    if (relay.outcome == RelayResult::Outcome::Works || relay.outcome == RelayResult::Outcome::Fails)
        result.relayWorks = relay.outcome == RelayResult::Outcome::Works;
    result.relayForEveryMatch = result.relayWorks == true && relay.mode == relayconfig::Mode::Always;
    return result;
}

QString verdict(const Findings &findings, const Assessment &assessment)
{
    const QString relay = relaySentence(findings, assessment);
    if (!assessment.serverAnswered) {
        QString text = QStringLiteral("unknown: the rendezvous server %1 did not answer, so nothing could be measured.")
                           .arg(hostPortText(findings.primary.destination));
        if (!relay.isEmpty())
            text += QLatin1Char(' ') + relay;
        return text;
    }
    QString text;
    if (!assessment.seenIsPublic)
        text = QStringLiteral("unknown: the rendezvous server %1, so it is on this side of your NAT and the NAT "
                              "could not be measured; check against a server on the internet")
                   .arg(notPublicNote(findings.primary));
    else
        text = natSentence(findings, assessment);
    text += QLatin1Char('.');
    if (!relay.isEmpty())
        text += QLatin1Char(' ') + relay;
    const QString upnp = upnpSentence(findings, assessment);
    if (!upnp.isEmpty())
        text += QLatin1Char(' ') + upnp;
    return text;
}

QString textReport(const Findings &findings, const Assessment &assessment)
{
    QStringList lines;
    QString local = QStringLiteral("local ports: %1 and %2").arg(portText(findings.firstLocalPort),
                                                                portText(findings.secondLocalPort));
    if (!findings.firstOnMatchPort)
        local += QStringLiteral(" (6006 is taken here, so the first socket uses an ephemeral port)");
    lines.append(local);
    QString publicAddress = QStringLiteral("unknown");
    if (assessment.seenIsPublic)
        publicAddress = assessment.seenAddress.toString();
    else if (!assessment.seenAddress.isNull())
        publicAddress += QStringLiteral(" (the server saw %1, %2 address)")
                             .arg(assessment.seenAddress.toString(),
                                  withArticle(nonPublicKind(assessment.seenAddress)));
    lines.append(QStringLiteral("public address: %1").arg(publicAddress));
    if (findings.primary.answered())
        lines.append(endpointsLine(findings.primary));
    lines.append(QStringLiteral("port %1 kept: %2").arg(portText(findings.firstLocalPort), yesNo(assessment.portPreserved)));
    if (assessment.neighbouringPorts)
        lines.append(QStringLiteral("neighbouring public ports (within %1): %2")
                         .arg(QString::number(NeighbourWindow), yesNo(assessment.neighbouringPorts)));
    if (findings.second && findings.second->answered())
        lines.append(endpointsLine(*findings.second));
    lines.append(QStringLiteral("mapping: %1 (%2)").arg(mappingWord(assessment.mapping), assessment.mappingNote));
    const UpnpResult &upnp = findings.upnp;
    if (!upnp.checked) {
        lines.append(QStringLiteral("upnp: not asked (--no-upnp)"));
    } else if (!upnp.found) {
        lines.append(QStringLiteral("upnp: no gateway found (%1)").arg(upnp.failure));
    } else {
        lines.append(QStringLiteral("upnp: found, service %1").arg(upnp.serviceType));
        lines.append(QStringLiteral("upnp external address: %1").arg(
            upnp.externalAddress.isNull() ? QStringLiteral("not given") : upnp.externalAddress.toString()));
        lines.append(QStringLiteral("second NAT in front of the router: %1%2")
                         .arg(yesNo(assessment.secondNat),
                              assessment.secondNatReason.isEmpty() ? QString()
                                                                   : QStringLiteral(" (%1)").arg(assessment.secondNatReason)));
    }
    lines.append(QStringLiteral("relay: %1").arg(relayLine(findings.relay)));
    lines.append(QStringLiteral("verdict: %1").arg(verdict(findings, assessment)));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QByteArray jsonReport(const Findings &findings, const Assessment &assessment)
{
    QJsonObject object;
    object.insert(QStringLiteral("public_address"), assessment.seenIsPublic
                                                        ? QJsonValue(assessment.seenAddress.toString())
                                                        : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("seen_address"), assessment.seenAddress.isNull()
                                                      ? QJsonValue(QJsonValue::Null)
                                                      : QJsonValue(assessment.seenAddress.toString()));
    object.insert(QStringLiteral("public_port"), assessment.firstPublic.isValid()
                                                     ? QJsonValue(int(assessment.firstPublic.port))
                                                     : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("local_port"), int(findings.firstLocalPort));
    object.insert(QStringLiteral("local_port_is_6006"), findings.firstOnMatchPort);
    object.insert(QStringLiteral("port_preserved"), optionalBool(assessment.portPreserved));
    object.insert(QStringLiteral("neighbouring_ports"), optionalBool(assessment.neighbouringPorts));
    object.insert(QStringLiteral("mapping"), mappingWord(assessment.mapping));
    object.insert(QStringLiteral("mapping_note"), assessment.mappingNote);
    const UpnpResult &upnp = findings.upnp;
    if (!upnp.checked) {
        object.insert(QStringLiteral("upnp"), QJsonValue(QJsonValue::Null));
    } else {
        QJsonObject gateway;
        gateway.insert(QStringLiteral("found"), upnp.found);
        if (upnp.found) {
            gateway.insert(QStringLiteral("service_type"), upnp.serviceType);
            gateway.insert(QStringLiteral("external_address"), upnp.externalAddress.isNull()
                                                                   ? QJsonValue(QJsonValue::Null)
                                                                   : QJsonValue(upnp.externalAddress.toString()));
            gateway.insert(QStringLiteral("second_nat"), optionalBool(assessment.secondNat));
        } else {
            gateway.insert(QStringLiteral("reason"), upnp.failure);
        }
        object.insert(QStringLiteral("upnp"), gateway);
    }
    object.insert(QStringLiteral("relay"), relayJson(findings.relay));
    object.insert(QStringLiteral("verdict"), verdict(findings, assessment));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace netcheck
