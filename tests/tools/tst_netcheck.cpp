// kivra-netcheck's pure parts: the command line, what the learned endpoints say about the
// NAT, the verdict and the JSON object.
#include "netcheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTest>

using namespace netcheck;

namespace {

const QHostAddress Server(QStringLiteral("203.0.113.1"));
const QHostAddress Public(QStringLiteral("203.0.113.10"));
const QHostAddress RelayServer(QStringLiteral("203.0.113.3"));

// Findings from a compact description: the public ports each destination saw for the two
// sockets (0: that announcement never came), and the gateway's answer.
struct Case
{
    quint16 firstLocal = 6006;
    quint16 primaryFirst = 0;
    quint16 primarySecond = 0;
    bool withSecond = false;
    quint16 secondFirst = 0;
    quint16 secondSecond = 0;
    bool upnpChecked = true;
    bool upnpFound = false;
    const char *external = nullptr;
    const char *seen = nullptr;       // the address the first destination saw, when not Public
    const char *secondSeen = nullptr; // the same for the second destination
    // The relay: its outcome, mode, the relay client's failure word, the time it took.
    RelayResult::Outcome relay = RelayResult::Outcome::NotConfigured;
    relayconfig::Mode relayMode = relayconfig::Mode::Auto;
    const char *relayFailure = nullptr;
    qint64 relayMs = 12;
    bool relayProblems = false; // the configuration had problems (so none is configured)
};

QHostAddress addressOr(const char *text, const QHostAddress &otherwise)
{
    return text ? QHostAddress(QString::fromLatin1(text)) : otherwise;
}

Findings findingsOf(const Case &c)
{
    Findings f;
    f.firstLocalPort = c.firstLocal;
    f.firstOnMatchPort = c.firstLocal == 6006;
    f.secondLocalPort = 40000;
    f.primary.destination = HostPort{Server, 7001};
    const QHostAddress seen = addressOr(c.seen, Public);
    if (c.primaryFirst)
        f.primary.firstPublic = HostPort{seen, c.primaryFirst};
    if (c.primarySecond)
        f.primary.secondPublic = HostPort{seen, c.primarySecond};
    if (c.withSecond) {
        DestinationResult second;
        second.destination = HostPort{Server, 7002};
        const QHostAddress secondSeen = addressOr(c.secondSeen, Public);
        if (c.secondFirst)
            second.firstPublic = HostPort{secondSeen, c.secondFirst};
        if (c.secondSecond)
            second.secondPublic = HostPort{secondSeen, c.secondSecond};
        f.second = second;
    }
    f.upnp.checked = c.upnpChecked;
    f.upnp.found = c.upnpFound;
    if (c.upnpFound)
        f.upnp.serviceType = QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:2");
    else
        f.upnp.failure = QStringLiteral("no_router");
    if (c.external)
        f.upnp.externalAddress = QHostAddress(QString::fromLatin1(c.external));
    f.relay.outcome = c.relay;
    if (c.relayProblems)
        f.relay.problems << QStringLiteral("relay.conf line 1: unknown key \"sever\"");
    if (c.relay != RelayResult::Outcome::NotConfigured) {
        f.relay.server = HostPort{RelayServer, 3478};
        f.relay.mode = c.relayMode;
    }
    if (c.relay == RelayResult::Outcome::Works || c.relay == RelayResult::Outcome::Fails)
        f.relay.elapsedMs = c.relayMs;
    if (c.relay == RelayResult::Outcome::Works)
        f.relay.allocated = HostPort{RelayServer, 49160};
    if (c.relay == RelayResult::Outcome::Fails)
        f.relay.failure = QString::fromLatin1(c.relayFailure ? c.relayFailure : "timeout");
    return f;
}

QString optionalText(const std::optional<bool> &value)
{
    return value ? (*value ? QStringLiteral("true") : QStringLiteral("false")) : QStringLiteral("null");
}

} // namespace

Q_DECLARE_METATYPE(Case)

class TestNetcheck : public QObject
{
    Q_OBJECT
private slots:
    void arguments_data();
    void arguments();
    void hostPort_data();
    void hostPort();
    void privateOrShared_data();
    void privateOrShared();
    void nonPublicKind_data();
    void nonPublicKind();
    void assessment_data();
    void assessment();
    void json_data();
    void json();
    void textNotes_data();
    void textNotes();
    void relayVerdict_data();
    void relayVerdict();
    void relayFromConfig_data();
    void relayFromConfig();
    void relayJson_data();
    void relayJson();
};

void TestNetcheck::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("server");  // "" when not ok
    QTest::addColumn<QString>("second");  // "" when none
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("upnp");
    QTest::addColumn<QString>("error");   // part of the message when not ok

    QTest::newRow("server only, default port") << QStringList{"--server", "203.0.113.1"} << true
                                               << "203.0.113.1:7001" << "" << false << true << "";
    QTest::newRow("server with port") << QStringList{"--server", "203.0.113.1:7100"} << true << "203.0.113.1:7100"
                                      << "" << false << true << "";
    QTest::newRow("second port") << QStringList{"--server", "203.0.113.1", "--second-port", "7002"} << true
                                 << "203.0.113.1:7001" << "203.0.113.1:7002" << false << true << "";
    QTest::newRow("second server default port")
        << QStringList{"--server", "203.0.113.1", "--second-server", "198.51.100.7"} << true << "203.0.113.1:7001"
        << "198.51.100.7:7001" << false << true << "";
    QTest::newRow("second server with port")
        << QStringList{"--server", "203.0.113.1:7001", "--second-server", "198.51.100.7:9000", "--json", "--no-upnp"}
        << true << "203.0.113.1:7001" << "198.51.100.7:9000" << true << false << "";
    QTest::newRow("equals form") << QStringList{"--server=203.0.113.1", "--json"} << true << "203.0.113.1:7001" << ""
                                 << true << true << "";
    QTest::newRow("no server") << QStringList{"--json"} << false << "" << "" << false << true << "--server is required";
    QTest::newRow("nothing") << QStringList{} << false << "" << "" << false << true << "--server is required";
    QTest::newRow("host name") << QStringList{"--server", "example.org"} << false << "" << "" << false << true
                               << "IPv4 address";
    QTest::newRow("ipv6") << QStringList{"--server", "2001:db8::1"} << false << "" << "" << false << true
                          << "IPv4 address";
    QTest::newRow("port zero") << QStringList{"--server", "203.0.113.1:0"} << false << "" << "" << false << true
                               << "IPv4 address";
    QTest::newRow("port too big") << QStringList{"--server", "203.0.113.1:65536"} << false << "" << "" << false
                                  << true << "IPv4 address";
    QTest::newRow("empty port") << QStringList{"--server", "203.0.113.1:"} << false << "" << "" << false << true
                                << "IPv4 address";
    QTest::newRow("second port not a number") << QStringList{"--server", "203.0.113.1", "--second-port", "x"}
                                              << false << "" << "" << false << true << "--second-port";
    QTest::newRow("second port with plus") << QStringList{"--server", "203.0.113.1", "--second-port", "+7002"}
                                           << false << "" << "" << false << true << "--second-port";
    QTest::newRow("second port zero") << QStringList{"--server", "203.0.113.1", "--second-port", "0"} << false << ""
                                      << "" << false << true << "--second-port";
    QTest::newRow("second port same as server")
        << QStringList{"--server", "203.0.113.1", "--second-port", "7001"} << false << "" << "" << false << true
        << "must differ";
    QTest::newRow("both second options")
        << QStringList{"--server", "203.0.113.1", "--second-port", "7002", "--second-server", "198.51.100.7"}
        << false << "" << "" << false << true << "not both";
    QTest::newRow("bad second server") << QStringList{"--server", "203.0.113.1", "--second-server", "x"} << false
                                       << "" << "" << false << true << "--second-server";
    QTest::newRow("server twice") << QStringList{"--server", "203.0.113.1", "--server", "203.0.113.2"} << false << ""
                                  << "" << false << true << "more than once";
    QTest::newRow("unknown option") << QStringList{"--server", "203.0.113.1", "--frobnicate"} << false << "" << ""
                                    << false << true << "frobnicate";
    QTest::newRow("stray argument") << QStringList{"--server", "203.0.113.1", "extra"} << false << "" << "" << false
                                    << true << "unexpected argument extra";
    QTest::newRow("missing value") << QStringList{"--server"} << false << "" << "" << false << true << "server";
}

void TestNetcheck::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, ok);
    QFETCH(QString, server);
    QFETCH(QString, second);
    QFETCH(bool, json);
    QFETCH(bool, upnp);
    QFETCH(QString, error);
    const ParsedArguments parsed = parseArguments(arguments);
    QCOMPARE(parsed.ok, ok);
    QVERIFY(!parsed.help);
    if (!ok) {
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
        return;
    }
    QCOMPARE(hostPortText(parsed.options.server), server);
    QCOMPARE(parsed.options.secondDestination.isValid() ? hostPortText(parsed.options.secondDestination) : QString(),
             second);
    QCOMPARE(parsed.options.json, json);
    QCOMPARE(parsed.options.upnp, upnp);
}

void TestNetcheck::hostPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // "" when refused
    QTest::newRow("address") << "192.0.2.1" << "192.0.2.1:7001";
    QTest::newRow("address and port") << "192.0.2.1:1" << "192.0.2.1:1";
    QTest::newRow("highest port") << "192.0.2.1:65535" << "192.0.2.1:65535";
    QTest::newRow("negative port") << "192.0.2.1:-5" << "";
    QTest::newRow("port with plus") << "192.0.2.1:+5" << "";
    QTest::newRow("leading zero") << "192.0.2.1:07001" << "";
    QTest::newRow("blank in port") << "192.0.2.1: 7001" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("only port") << ":7001" << "";
}

void TestNetcheck::hostPort()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const std::optional<HostPort> parsed = parseHostPort(text, 7001);
    QCOMPARE(parsed ? hostPortText(*parsed) : QString(), expected);
}

void TestNetcheck::privateOrShared_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("expected");
    QTest::newRow("10/8") << "10.1.2.3" << true;
    QTest::newRow("172.16/12 low") << "172.16.0.1" << true;
    QTest::newRow("172.16/12 high") << "172.31.255.254" << true;
    QTest::newRow("just above 172.16/12") << "172.32.0.1" << false;
    QTest::newRow("192.168/16") << "192.168.1.1" << true;
    QTest::newRow("100.64/10 low") << "100.64.0.1" << true;
    QTest::newRow("100.64/10 high") << "100.127.255.254" << true;
    QTest::newRow("just below 100.64/10") << "100.63.255.255" << false;
    QTest::newRow("public") << "11.201.0.1" << false;
    QTest::newRow("documentation range is not private") << "203.0.113.10" << false;
    QTest::newRow("ipv6") << "fd00::1" << false;
}

void TestNetcheck::privateOrShared()
{
    QFETCH(QString, address);
    QFETCH(bool, expected);
    QCOMPARE(isPrivateOrShared(QHostAddress(address)), expected);
}

void TestNetcheck::nonPublicKind_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("kind"); // "" for an internet address
    QTest::newRow("loopback") << "127.0.0.1" << "loopback";
    QTest::newRow("loopback, top of 127/8") << "127.255.255.254" << "loopback";
    QTest::newRow("private") << "192.168.1.2" << "private";
    QTest::newRow("private 10/8") << "10.0.0.5" << "private";
    QTest::newRow("shared") << "100.64.0.9" << "shared";
    QTest::newRow("link-local") << "169.254.7.1" << "link-local";
    QTest::newRow("unspecified") << "0.0.0.0" << "unspecified";
    QTest::newRow("multicast") << "239.255.255.250" << "multicast";
    QTest::newRow("reserved") << "240.0.0.1" << "reserved";
    QTest::newRow("broadcast") << "255.255.255.255" << "reserved";
    QTest::newRow("ipv6") << "2001:db8::1" << "reserved";
    QTest::newRow("internet") << "11.201.0.10" << "";
    QTest::newRow("documentation range: the lab's internet") << "203.0.113.10" << "";
    QTest::newRow("just above 127/8") << "128.0.0.1" << "";
    QTest::newRow("just below 224/4") << "223.255.255.254" << "";
}

void TestNetcheck::nonPublicKind()
{
    QFETCH(QString, address);
    QTEST(netcheck::nonPublicKind(QHostAddress(address)), "kind");
}

void TestNetcheck::assessment_data()
{
    QTest::addColumn<Case>("input");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("portPreserved");
    QTest::addColumn<QString>("neighbouring");
    QTest::addColumn<QString>("mapping");
    QTest::addColumn<QString>("secondNat");
    QTest::addColumn<QString>("verdictStart");
    QTest::addColumn<QString>("verdictAlso"); // another part the verdict must hold, or ""

    Case cone;
    cone.primaryFirst = 6006;
    cone.primarySecond = 40000;
    cone.withSecond = true;
    cone.secondFirst = 6006;
    cone.secondSecond = 40000;
    QTest::newRow("cone keeping 6006, no gateway")
        << cone << true << "true" << "null" << "endpoint-independent" << "null"
        << "cone NAT that keeps port 6006: you can play players behind cone NATs; players behind symmetric NATs "
           "only if your router or theirs forwards 6006 (this check cannot see whether yours does)."
        << "No UPnP router answered";

    Case symmetric = cone;
    symmetric.primaryFirst = 51000;
    symmetric.primarySecond = 51001;
    symmetric.secondFirst = 23000;
    symmetric.secondSecond = 61000;
    QTest::newRow("symmetric, neighbouring at the first destination")
        << symmetric << true << "false" << "true" << "endpoint-dependent" << "null"
        << "symmetric NAT: matches work only against players whose router forwards 6006, or if you enable UPnP on "
           "your router."
        << "";

    Case farApart = symmetric;
    farApart.primarySecond = 51000 + NeighbourWindow + 1;
    QTest::newRow("ports just outside the window") << farApart << true << "false" << "false" << "endpoint-dependent"
                                                   << "null" << "symmetric NAT" << "";
    Case edge = symmetric;
    edge.primarySecond = 51000 - NeighbourWindow;
    QTest::newRow("ports at the window's edge") << edge << true << "false" << "true" << "endpoint-dependent"
                                                << "null" << "symmetric NAT" << "";

    Case secondSocketOnly = cone;
    secondSocketOnly.secondSecond = 40002; // only the second socket's endpoint moved
    QTest::newRow("one socket moved is enough") << secondSocketOnly << true << "true" << "null"
                                                << "endpoint-dependent" << "null" << "symmetric NAT" << "";

    Case noSecond = cone;
    noSecond.withSecond = false;
    QTest::newRow("no second destination: unknown, never a guess")
        << noSecond << true << "true" << "null" << "unknown" << "null" << "NAT that keeps port 6006, kind unknown"
        << "";

    Case silentSecond = cone;
    silentSecond.secondFirst = 0;
    silentSecond.secondSecond = 0;
    // The kind is unknown because the second destination was silent, not for want of one.
    QTest::newRow("second destination silent") << silentSecond << true << "true" << "null" << "unknown" << "null"
                                               << "NAT that keeps port 6006, kind unknown, since 203.0.113.1:7002 "
                                                  "did not answer: if it is a cone NAT"
                                               << "";

    Case halfSecond = cone;
    halfSecond.secondSecond = 0;
    QTest::newRow("second destination answered one socket") << halfSecond << true << "true" << "null"
                                                             << "endpoint-independent" << "null" << "cone NAT" << "";

    Case changedCone = cone;
    changedCone.primaryFirst = 1024;
    changedCone.secondFirst = 1024;
    QTest::newRow("cone that changes the port, far from the other socket")
        << changedCone << true << "false" << "false" << "endpoint-independent" << "null"
        << "cone NAT that changes port 6006 (to 1024)" << "";

    Case ephemeral = cone;
    ephemeral.firstLocal = 45000;
    ephemeral.primaryFirst = 45000;
    ephemeral.secondFirst = 45000;
    QTest::newRow("6006 taken: the ephemeral port kept") << ephemeral << true << "true" << "null"
                                                         << "endpoint-independent" << "null"
                                                         << "cone NAT that keeps its port" << "";

    Case silent;
    silent.withSecond = true;
    QTest::newRow("server silent") << silent << false << "null" << "null" << "unknown" << "null"
                                   << "unknown: the rendezvous server 203.0.113.1:7001 did not answer" << "";

    Case upnpSame = cone;
    upnpSame.upnpFound = true;
    upnpSame.external = "203.0.113.10";
    QTest::newRow("gateway with the address the server saw")
        << upnpSame << true << "true" << "null" << "endpoint-independent" << "false" << "cone NAT"
        << "a forwarded 6006 lets players behind symmetric NATs reach you too";

    Case upnpOther = upnpSame;
    upnpOther.external = "11.201.0.1";
    QTest::newRow("gateway address differs from the server's view")
        << upnpOther << true << "true" << "null" << "endpoint-independent" << "true" << "cone NAT"
        << "second NAT in front of your router (the router's external address 11.201.0.1 is not 203.0.113.10";
    // Behind a second NAT the router's own forward cannot help, so only theirs is offered.
    QTest::newRow("second NAT: only their forward helps")
        << upnpOther << true << "true" << "null" << "endpoint-independent" << "true"
        << "cone NAT that keeps port 6006: you can play players behind cone NATs; behind a symmetric NAT only if "
           "their router forwards 6006."
        << "";

    Case upnpShared = upnpSame;
    upnpShared.external = "100.64.0.7";
    QTest::newRow("gateway with a shared address")
        << upnpShared << true << "true" << "null" << "endpoint-independent" << "true" << "cone NAT"
        << "100.64.0.7 is private or shared";

    Case upnpPrivate = symmetric;
    upnpPrivate.upnpFound = true;
    upnpPrivate.external = "192.168.0.2";
    QTest::newRow("symmetric behind a router with a private address")
        << upnpPrivate << true << "false" << "true" << "endpoint-dependent" << "true" << "symmetric NAT"
        << "UPnP cannot help";

    Case upnpSymmetric = symmetric;
    upnpSymmetric.upnpFound = true;
    upnpSymmetric.external = "203.0.113.10";
    QTest::newRow("symmetric with a gateway that can forward")
        << upnpSymmetric << true << "false" << "true" << "endpoint-dependent" << "false"
        << "symmetric NAT: matches work only against players whose router forwards 6006, or while your router "
           "forwards 6006 to you."
        << "during a match the program asks it to forward 6006.";

    Case upnpNoAddress = cone;
    upnpNoAddress.upnpFound = true;
    QTest::newRow("gateway without an external address") << upnpNoAddress << true << "true" << "null"
                                                         << "endpoint-independent" << "null" << "cone NAT"
                                                         << "did not give its external address";

    Case upnpSilentServer = silent;
    upnpSilentServer.upnpFound = true;
    upnpSilentServer.external = "11.201.0.1";
    QTest::newRow("gateway found, server silent: no comparison")
        << upnpSilentServer << false << "null" << "null" << "unknown" << "null" << "unknown:" << "";

    Case noUpnp = cone;
    noUpnp.upnpChecked = false;
    Case changedUnknown = changedCone;
    changedUnknown.withSecond = false;
    QTest::newRow("port changed, no second destination")
        << changedUnknown << true << "false" << "false" << "unknown" << "null"
        << "NAT that changes port 6006, kind unknown without a second destination: if it is a cone NAT you can play "
           "players behind cone NATs; a symmetric NAT plays only players whose router forwards 6006."
        << "";

    // Only the second socket's endpoint came back: the first socket's port is unknown, and
    // unknown is what the verdict says (not "changes port 6006 (to 0)").
    Case secondOnly = cone;
    secondOnly.primaryFirst = 0;
    secondOnly.secondFirst = 0;
    QTest::newRow("first socket unheard: port unknown, kind from the other socket")
        << secondOnly << true << "null" << "null" << "endpoint-independent" << "null"
        << "cone NAT (whether it keeps port 6006 is unknown): you can play players behind cone NATs" << "";
    Case secondOnlyUnknown = secondOnly;
    secondOnlyUnknown.withSecond = false;
    QTest::newRow("first socket unheard, no second destination")
        << secondOnlyUnknown << true << "null" << "null" << "unknown" << "null"
        << "NAT (whether it keeps port 6006 is unknown), kind unknown without a second destination" << "";

    // A server on this side of the NAT sees this computer's own address: nothing about the NAT
    // was measured, so nothing is said about it.
    Case loopback = cone;
    loopback.seen = "127.0.0.1";
    loopback.secondSeen = "127.0.0.1";
    QTest::newRow("loopback seen: no NAT measured")
        << loopback << true << "null" << "null" << "unknown" << "null"
        << "unknown: the rendezvous server 203.0.113.1:7001 sees this computer at 127.0.0.1, a loopback address, "
           "so it is on this side of your NAT and the NAT could not be measured"
        << "No UPnP router answered";
    Case lan = loopback;
    lan.seen = "192.168.1.2";
    lan.secondSeen = "192.168.1.2";
    lan.upnpFound = true;
    lan.external = "203.0.113.10";
    QTest::newRow("private address seen, gateway found: no second NAT claimed")
        << lan << true << "null" << "null" << "unknown" << "null"
        << "unknown: the rendezvous server 203.0.113.1:7001 sees this computer at 192.168.1.2, a private address"
        << "during a match the program asks it to forward 6006";
    Case sharedSeen = symmetric;
    sharedSeen.seen = "100.64.0.9";
    QTest::newRow("shared address seen: not called symmetric")
        << sharedSeen << true << "null" << "null" << "unknown" << "null"
        << "unknown: the rendezvous server 203.0.113.1:7001 sees this computer at 100.64.0.9, a shared address"
        << "";
    Case secondLan = cone;
    secondLan.secondSeen = "10.0.0.5";
    QTest::newRow("second destination sees a private address: no comparison")
        << secondLan << true << "true" << "null" << "unknown" << "null"
        << "NAT that keeps port 6006, kind unknown, since 203.0.113.1:7002 sees this computer at 10.0.0.5, a "
           "private address, so the two cannot be compared"
        << "";
    Case unspecified = upnpSame;
    unspecified.external = "0.0.0.0";
    QTest::newRow("gateway says 0.0.0.0: second NAT unknown")
        << unspecified << true << "true" << "null" << "endpoint-independent" << "null" << "cone NAT" << "";

    QTest::newRow("no upnp asked: no upnp sentence") << noUpnp << true << "true" << "null" << "endpoint-independent"
                                                     << "null" << "cone NAT" << "";
}

void TestNetcheck::assessment()
{
    QFETCH(Case, input);
    QFETCH(bool, answered);
    QFETCH(QString, portPreserved);
    QFETCH(QString, neighbouring);
    QFETCH(QString, mapping);
    QFETCH(QString, secondNat);
    QFETCH(QString, verdictStart);
    QFETCH(QString, verdictAlso);
    const Findings findings = findingsOf(input);
    const Assessment result = assess(findings);
    QCOMPARE(result.serverAnswered, answered);
    QCOMPARE(optionalText(result.portPreserved), portPreserved);
    QCOMPARE(optionalText(result.neighbouringPorts), neighbouring);
    QCOMPARE(mappingWord(result.mapping), mapping);
    QCOMPARE(optionalText(result.secondNat), secondNat);
    const QString text = verdict(findings, result);
    QVERIFY2(text.startsWith(verdictStart), qPrintable(text));
    QVERIFY2(text.contains(verdictAlso), qPrintable(text));
    if (!input.upnpChecked)
        QVERIFY2(!text.contains(QLatin1String("UPnP router")), qPrintable(text));
    // A port nobody measured is never given as a number.
    QVERIFY2(!text.contains(QLatin1String("(to 0)")), qPrintable(text));
}

void TestNetcheck::json_data()
{
    QTest::addColumn<Case>("input");
    QTest::addColumn<QString>("publicAddress"); // "null" for JSON null
    QTest::addColumn<QString>("portPreserved");
    QTest::addColumn<QString>("mapping");
    QTest::addColumn<QString>("upnp"); // "null", "not found" or "found SERVICE EXTERNAL"
    QTest::addColumn<QString>("seenAddress"); // "null" for JSON null

    Case cone;
    cone.primaryFirst = 6006;
    cone.primarySecond = 40000;
    QTest::newRow("one port, no gateway") << cone << "203.0.113.10" << "true" << "unknown" << "not found"
                                          << "203.0.113.10";
    Case noUpnp = cone;
    noUpnp.upnpChecked = false;
    QTest::newRow("no upnp asked") << noUpnp << "203.0.113.10" << "true" << "unknown" << "null" << "203.0.113.10";
    Case found = cone;
    found.withSecond = true;
    found.secondFirst = 6007;
    found.secondSecond = 40000;
    found.upnpFound = true;
    found.external = "11.201.0.1";
    QTest::newRow("gateway found") << found << "203.0.113.10" << "true" << "endpoint-dependent"
                                   << "found urn:schemas-upnp-org:service:WANIPConnection:2 11.201.0.1"
                                   << "203.0.113.10";
    Case foundNoAddress = found;
    foundNoAddress.external = nullptr;
    QTest::newRow("gateway found without address") << foundNoAddress << "203.0.113.10" << "true"
                                                    << "endpoint-dependent"
                                                    << "found urn:schemas-upnp-org:service:WANIPConnection:2 null"
                                                    << "203.0.113.10";
    Case silent;
    QTest::newRow("server silent") << silent << "null" << "null" << "unknown" << "not found" << "null";
    // What the server saw is given, but not as a public address; nothing measured is null.
    Case loopback = cone;
    loopback.seen = "127.0.0.1";
    QTest::newRow("loopback seen") << loopback << "null" << "null" << "unknown" << "not found" << "127.0.0.1";
    Case secondOnly = cone;
    secondOnly.primaryFirst = 0;
    QTest::newRow("first socket unheard") << secondOnly << "203.0.113.10" << "null" << "unknown" << "not found"
                                          << "203.0.113.10";
}

void TestNetcheck::json()
{
    QFETCH(Case, input);
    QFETCH(QString, publicAddress);
    QFETCH(QString, portPreserved);
    QFETCH(QString, mapping);
    QFETCH(QString, upnp);
    QFETCH(QString, seenAddress);
    const Findings findings = findingsOf(input);
    const QByteArray text = jsonReport(findings, assess(findings));
    QVERIFY(!text.contains('\n'));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject object = document.object();
    for (const char *key : {"public_address", "port_preserved", "mapping", "upnp", "verdict"})
        QVERIFY2(object.contains(QLatin1String(key)), key);
    const QJsonValue address = object.value(QLatin1String("public_address"));
    QCOMPARE(address.isNull() ? QStringLiteral("null") : address.toString(), publicAddress);
    const QJsonValue seen = object.value(QLatin1String("seen_address"));
    QCOMPARE(seen.isNull() ? QStringLiteral("null") : seen.toString(), seenAddress);
    if (publicAddress == QLatin1String("null") || portPreserved == QLatin1String("null"))
        QVERIFY(object.value(QLatin1String("public_port")).isNull());
    const QJsonValue preserved = object.value(QLatin1String("port_preserved"));
    QCOMPARE(preserved.isNull() ? QStringLiteral("null") : (preserved.toBool() ? QStringLiteral("true") : QStringLiteral("false")),
             portPreserved);
    QCOMPARE(object.value(QLatin1String("mapping")).toString(), mapping);
    QVERIFY(!object.value(QLatin1String("verdict")).toString().isEmpty());
    const QJsonValue gateway = object.value(QLatin1String("upnp"));
    QString described;
    if (gateway.isNull()) {
        described = QStringLiteral("null");
    } else if (!gateway.toObject().value(QLatin1String("found")).toBool()) {
        QVERIFY(gateway.toObject().value(QLatin1String("found")).isBool());
        described = QStringLiteral("not found");
    } else {
        const QJsonObject g = gateway.toObject();
        const QJsonValue external = g.value(QLatin1String("external_address"));
        QVERIFY(g.contains(QLatin1String("service_type")) && g.contains(QLatin1String("external_address")));
        described = QStringLiteral("found %1 %2").arg(g.value(QLatin1String("service_type")).toString(),
                                                      external.isNull() ? QStringLiteral("null") : external.toString());
    }
    QCOMPARE(described, upnp);
}

void TestNetcheck::textNotes_data()
{
    QTest::addColumn<Case>("input");
    QTest::addColumn<QString>("line");
    Case ephemeral;
    ephemeral.firstLocal = 45000;
    ephemeral.primaryFirst = 45000;
    ephemeral.primarySecond = 40000;
    QTest::newRow("6006 taken is said") << ephemeral
                                        << "local ports: 45000 and 40000 (6006 is taken here, so the first socket "
                                           "uses an ephemeral port)";
    Case cone;
    cone.primaryFirst = 6006;
    cone.primarySecond = 40000;
    QTest::newRow("unknown mapping says why")
        << cone << "mapping: unknown (no second destination; give --second-port or --second-server)";
    QTest::newRow("public endpoints") << cone << "public endpoints seen by 203.0.113.1:7001: 203.0.113.10:6006 and "
                                                 "203.0.113.10:40000";
    Case two = cone;
    two.withSecond = true;
    two.secondFirst = 6006;
    two.secondSecond = 40000;
    QTest::newRow("destinations compared named")
        << two << "mapping: endpoint-independent (compared 203.0.113.1:7001 and 203.0.113.1:7002; same address, so "
                  "an address-dependent mapping needs --second-server)";
    Case noUpnp = cone;
    noUpnp.upnpChecked = false;
    QTest::newRow("no upnp") << noUpnp << "upnp: not asked (--no-upnp)";
    Case loopback = cone;
    loopback.seen = "127.0.0.1";
    QTest::newRow("loopback is not a public address")
        << loopback << "public address: unknown (the server saw 127.0.0.1, a loopback address)";
    QTest::newRow("loopback endpoints are not called public")
        << loopback << "endpoints seen by 203.0.113.1:7001: 127.0.0.1:6006 and 127.0.0.1:40000";
    QTest::newRow("no NAT measured, no port kept") << loopback << "port 6006 kept: unknown";
    Case secondOnly = cone;
    secondOnly.primaryFirst = 0;
    QTest::newRow("first socket unheard: its endpoint unknown")
        << secondOnly << "public endpoints seen by 203.0.113.1:7001: unknown and 203.0.113.10:40000";
    QTest::newRow("first socket unheard: public address from the other")
        << secondOnly << "public address: 203.0.113.10";
    QTest::newRow("first socket unheard: port unknown") << secondOnly << "port 6006 kept: unknown";
    QTest::newRow("no gateway") << cone << "upnp: no gateway found (no_router)";
    Case found = cone;
    found.upnpFound = true;
    found.external = "203.0.113.10";
    QTest::newRow("gateway") << found << "upnp: found, service urn:schemas-upnp-org:service:WANIPConnection:2";
    QTest::newRow("gateway address") << found << "upnp external address: 203.0.113.10";
    QTest::newRow("no second NAT") << found << "second NAT in front of the router: no";
}

void TestNetcheck::textNotes()
{
    QFETCH(Case, input);
    QFETCH(QString, line);
    const Findings findings = findingsOf(input);
    const QStringList lines = textReport(findings, assess(findings)).split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(line), qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.at(lines.size() - 2).startsWith(QLatin1String("verdict: ")));
}

// A relay counts in the verdict only by what its one allocation showed.
void TestNetcheck::relayVerdict_data()
{
    QTest::addColumn<Case>("input");
    QTest::addColumn<QString>("works");
    QTest::addColumn<QString>("verdictStart");
    QTest::addColumn<QString>("verdictAlso"); // another part the verdict must hold, or ""
    QTest::addColumn<QString>("verdictNot");  // a part it must not hold, or ""

    using Outcome = RelayResult::Outcome;
    Case symmetric;
    symmetric.primaryFirst = 51000;
    symmetric.primarySecond = 51001;
    symmetric.withSecond = true;
    symmetric.secondFirst = 23000;
    symmetric.secondSecond = 61000;
    Case cone = symmetric;
    cone.primaryFirst = 6006;
    cone.primarySecond = 40000;
    cone.secondFirst = 6006;
    cone.secondSecond = 40000;

    Case symmetricRelay = symmetric;
    symmetricRelay.relay = Outcome::Works;
    QTest::newRow("symmetric with a working relay: everyone")
        << symmetricRelay << "true"
        << "symmetric NAT: with your working relay 203.0.113.3:3478 you can play everyone, since a match takes the "
           "relay when the NAT maps per destination."
        << "No UPnP router answered" << "matches work only";
    Case symmetricAlways = symmetricRelay;
    symmetricAlways.relayMode = relayconfig::Mode::Always;
    QTest::newRow("symmetric with a working relay in mode always: everyone")
        << symmetricAlways << "true" << "symmetric NAT: your relay 203.0.113.3:3478 works and its mode always"
        << "so you can play everyone" << "matches work only";

    Case badCredentials = symmetric;
    badCredentials.relay = Outcome::Fails;
    badCredentials.relayFailure = "401 bad credentials";
    QTest::newRow("symmetric, the relay refuses the credentials: said, and no more than before")
        << badCredentials << "false"
        << "symmetric NAT: matches work only against players whose router forwards 6006, or if you enable UPnP on "
           "your router. Your relay does not work: 203.0.113.3:3478 refused the user and password (401 bad "
           "credentials), so matches go without it. No UPnP router answered"
        << "" << "everyone";
    Case silentRelay = badCredentials;
    silentRelay.relayFailure = "timeout";
    silentRelay.relayMs = 1000;
    QTest::newRow("symmetric, the relay is silent") << silentRelay << "false" << "symmetric NAT: matches work only"
                                                     << "Your relay does not work: no answer from 203.0.113.3:3478 "
                                                        "within 1000 ms, so matches go without it."
                                                     << "everyone";
    Case forbidden = badCredentials;
    forbidden.relayFailure = "403 Forbidden";
    QTest::newRow("symmetric, the relay forbids") << forbidden << "false" << "symmetric NAT: matches work only"
                                                   << "Your relay does not work: 203.0.113.3:3478 answered 403 "
                                                      "Forbidden, so"
                                                   << "everyone";
    Case noAddress = badCredentials;
    noAddress.relayFailure = "no relayed address";
    QTest::newRow("the relay's answer lacks an address") << noAddress << "false" << "symmetric NAT"
                                                          << "does not work: 203.0.113.3:3478: no relayed address"
                                                          << "everyone";

    QTest::newRow("symmetric without a relay: as before")
        << symmetric << "null"
        << "symmetric NAT: matches work only against players whose router forwards 6006, or if you enable UPnP on "
           "your router. No UPnP router answered"
        << "" << "relay";
    Case never = symmetric;
    never.relay = Outcome::NotUsed;
    never.relayMode = relayconfig::Mode::Never;
    QTest::newRow("symmetric, relay with mode never: not asked, as before")
        << never << "null" << "symmetric NAT: matches work only" << "" << "relay";
    Case problems = symmetric;
    problems.relayProblems = true;
    QTest::newRow("relay configuration with problems: as without one")
        << problems << "null" << "symmetric NAT: matches work only" << "" << "relay";

    Case coneRelay = cone;
    coneRelay.relay = Outcome::Works;
    QTest::newRow("cone with a working relay in mode auto: a match does not take it")
        << coneRelay << "true"
        << "cone NAT that keeps port 6006: you can play players behind cone NATs; players behind symmetric NATs only "
           "if your router or theirs forwards 6006"
        << "" << "everyone";
    Case coneAlways = coneRelay;
    coneAlways.relayMode = relayconfig::Mode::Always;
    QTest::newRow("cone with a working relay in mode always: everyone")
        << coneAlways << "true"
        << "cone NAT that keeps port 6006: your relay 203.0.113.3:3478 works and its mode always sends every match "
           "through it, so you can play everyone."
        << "" << "only if";
    Case coneFails = cone;
    coneFails.relay = Outcome::Fails;
    coneFails.relayMode = relayconfig::Mode::Always;
    QTest::newRow("cone, relay in mode always fails: said") << coneFails << "false"
                                                             << "cone NAT that keeps port 6006: you can play players "
                                                                "behind cone NATs;"
                                                             << "Your relay does not work" << "everyone";

    Case unknownRelay = coneRelay;
    unknownRelay.withSecond = false;
    QTest::newRow("kind unknown with a working relay: everyone only if symmetric")
        << unknownRelay << "true"
        << "NAT that keeps port 6006, kind unknown without a second destination: if it is a cone NAT you can play "
           "players behind cone NATs; if it is a symmetric NAT, matches take your working relay 203.0.113.3:3478, "
           "so you can play everyone."
        << "" << "";

    Case silentServer;
    silentServer.withSecond = true;
    silentServer.relay = Outcome::Fails;
    silentServer.relayFailure = "401 bad credentials";
    QTest::newRow("server silent, relay fails: both said")
        << silentServer << "false"
        << "unknown: the rendezvous server 203.0.113.1:7001 did not answer, so nothing could be measured. Your relay "
           "does not work: 203.0.113.3:3478 refused"
        << "" << "";
    Case silentServerRelay = silentServer;
    silentServerRelay.relay = Outcome::Works;
    silentServerRelay.relayMode = relayconfig::Mode::Always;
    // Without the rendezvous server no match starts, relay or not.
    QTest::newRow("server silent, relay works: nobody promised")
        << silentServerRelay << "true" << "unknown: the rendezvous server 203.0.113.1:7001 did not answer" << ""
        << "everyone";
    Case loopbackRelay = symmetricRelay;
    loopbackRelay.seen = "127.0.0.1";
    loopbackRelay.secondSeen = "127.0.0.1";
    QTest::newRow("no NAT measured, relay works: nobody promised")
        << loopbackRelay << "true" << "unknown: the rendezvous server 203.0.113.1:7001 sees this computer at" << ""
        << "everyone";
}

void TestNetcheck::relayVerdict()
{
    QFETCH(Case, input);
    QFETCH(QString, works);
    QFETCH(QString, verdictStart);
    QFETCH(QString, verdictAlso);
    QFETCH(QString, verdictNot);
    const Findings findings = findingsOf(input);
    const Assessment result = assess(findings);
    QCOMPARE(optionalText(result.relayWorks), works);
    const QString text = verdict(findings, result);
    QVERIFY2(text.startsWith(verdictStart), qPrintable(text));
    QVERIFY2(text.contains(verdictAlso), qPrintable(text));
    if (!verdictNot.isEmpty())
        QVERIFY2(!text.contains(verdictNot, Qt::CaseInsensitive), qPrintable(text));
}

// The proxy's own configuration reader decides what is asked: the same file and variables.
void TestNetcheck::relayFromConfig_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("relayVariable"); // KIVRA_RELAY, or ""
    QTest::addColumn<QString>("described");     // outcome, server, mode, failure, problem count

    QTest::newRow("nothing") << QByteArray() << "" << "not configured, problems 0";
    QTest::newRow("a relay in mode auto: asked")
        << QByteArray("server = 203.0.113.3\nuser = kivra\npassword = secret\n") << ""
        << "asked 203.0.113.3:3478 auto, problems 0";
    QTest::newRow("its own port, mode always")
        << QByteArray("server = 203.0.113.3:3500\nuser = kivra\npassword = secret\nmode = always\n") << ""
        << "asked 203.0.113.3:3500 always, problems 0";
    QTest::newRow("mode never: not asked")
        << QByteArray("server = 203.0.113.3\nuser = kivra\npassword = secret\nmode = never\n") << ""
        << "not used 203.0.113.3:3478 never, problems 0";
    QTest::newRow("the variable over the file")
        << QByteArray("server = 203.0.113.3\nuser = kivra\npassword = secret\n") << "203.0.113.4:3600"
        << "asked 203.0.113.4:3600 auto, problems 0";
    QTest::newRow("no password: a problem, no relay")
        << QByteArray("server = 203.0.113.3\nuser = kivra\n") << "" << "not configured, problems 1";
    QTest::newRow("a typo: a problem, no relay")
        << QByteArray("sever = 203.0.113.3\nuser = kivra\npassword = secret\n") << "" << "not configured, problems 1";
}

void TestNetcheck::relayFromConfig()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, relayVariable);
    QFETCH(QString, described);
    relayconfig::Loaded loaded = relayconfig::parseRelayConfig(file, QStringLiteral("relay.conf"), QByteArray());
    QProcessEnvironment environment;
    if (!relayVariable.isEmpty())
        environment.insert(QStringLiteral("KIVRA_RELAY"), relayVariable);
    relayconfig::applyEnvironment(loaded, environment, QByteArray());
    const RelayResult relay = relayResultOf(loaded);
    QString text;
    switch (relay.outcome) {
    case RelayResult::Outcome::NotConfigured:
        text = QStringLiteral("not configured");
        break;
    case RelayResult::Outcome::NotUsed:
        text = QStringLiteral("not used %1 %2").arg(hostPortText(relay.server), relayconfig::modeName(relay.mode));
        break;
    case RelayResult::Outcome::Fails:
        // Until the allocation's outcome comes, a check cut short reports a timeout.
        QCOMPARE(relay.failure, QStringLiteral("timeout"));
        text = QStringLiteral("asked %1 %2").arg(hostPortText(relay.server), relayconfig::modeName(relay.mode));
        break;
    case RelayResult::Outcome::Works:
        text = QStringLiteral("works?");
        break;
    }
    text += QStringLiteral(", problems %1").arg(relay.problems.size());
    QCOMPARE(text, described);
}

void TestNetcheck::relayJson_data()
{
    QTest::addColumn<Case>("input");
    QTest::addColumn<QString>("described"); // the relay object's keys, "null" for JSON null
    QTest::addColumn<QString>("line");      // the text report's relay line

    using Outcome = RelayResult::Outcome;
    Case none;
    none.primaryFirst = 6006;
    QTest::newRow("none configured") << none
                                     << "configured false, server null, mode null, checked false, works null, "
                                        "allocated null, elapsed_ms null, failure null, problems 0"
                                     << "relay: no relay configured";
    Case problems = none;
    problems.relayProblems = true;
    QTest::newRow("configuration with problems")
        << problems
        << "configured false, server null, mode null, checked false, works null, allocated null, elapsed_ms null, "
           "failure null, problems 1"
        << "relay: no relay configured (the relay configuration has problems, said on stderr)";
    Case never = none;
    never.relay = Outcome::NotUsed;
    never.relayMode = relayconfig::Mode::Never;
    QTest::newRow("mode never")
        << never
        << "configured true, server 203.0.113.3:3478, mode never, checked false, works null, allocated null, "
           "elapsed_ms null, failure null, problems 0"
        << "relay: 203.0.113.3:3478 configured with mode never: matches do not use it, so it was not asked";
    Case works = none;
    works.relay = Outcome::Works;
    QTest::newRow("works")
        << works
        << "configured true, server 203.0.113.3:3478, mode auto, checked true, works true, allocated "
           "203.0.113.3:49160, elapsed_ms 12, failure null, problems 0"
        << "relay: works, allocated 203.0.113.3:49160 in 12 ms (relay 203.0.113.3:3478, mode auto)";
    Case refused = none;
    refused.relay = Outcome::Fails;
    refused.relayMode = relayconfig::Mode::Always;
    refused.relayFailure = "401 bad credentials";
    refused.relayMs = 8;
    QTest::newRow("bad credentials")
        << refused
        << "configured true, server 203.0.113.3:3478, mode always, checked true, works false, allocated null, "
           "elapsed_ms 8, failure 401 bad credentials, problems 0"
        << "relay: does not work: 203.0.113.3:3478 refused the user and password (401 bad credentials)";
    Case silent = refused;
    silent.relayFailure = "timeout";
    silent.relayMs = 1001;
    QTest::newRow("timeout") << silent
                             << "configured true, server 203.0.113.3:3478, mode always, checked true, works false, "
                                "allocated null, elapsed_ms 1001, failure timeout, problems 0"
                             << "relay: does not work: no answer from 203.0.113.3:3478 within 1001 ms";
}

void TestNetcheck::relayJson()
{
    QFETCH(Case, input);
    QFETCH(QString, described);
    QFETCH(QString, line);
    const Findings findings = findingsOf(input);
    const Assessment assessment = assess(findings);
    const QJsonObject relay =
        QJsonDocument::fromJson(jsonReport(findings, assessment)).object().value(QLatin1String("relay")).toObject();
    QStringList parts;
    for (const char *key : {"configured", "server", "mode", "checked", "works", "allocated", "elapsed_ms", "failure"}) {
        const QJsonValue value = relay.value(QLatin1String(key));
        QString text;
        if (value.isNull())
            text = QStringLiteral("null");
        else if (value.isBool())
            text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        else if (value.isDouble())
            text = QString::number(value.toInteger());
        else if (value.isString())
            text = value.toString();
        else
            text = QStringLiteral("missing");
        parts << QStringLiteral("%1 %2").arg(QLatin1String(key), text);
    }
    QVERIFY(relay.value(QLatin1String("problems")).isArray());
    parts << QStringLiteral("problems %1").arg(relay.value(QLatin1String("problems")).toArray().size());
    QCOMPARE(parts.join(QStringLiteral(", ")), described);
    const QStringList lines = textReport(findings, assessment).split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(line), qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.at(lines.size() - 2).startsWith(QLatin1String("verdict: ")));
}

QTEST_GUILESS_MAIN(TestNetcheck)
#include "tst_netcheck.moc"
