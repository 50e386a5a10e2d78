// When a launch takes the TURN relay, on real sockets: the NAT test's two Binding requests,
// what their answers decide, and how soon a silent or refusing relay leaves the match to the
// direct path. The relay is a scripted STUN responder on 127.0.0.5 (port and alternate port);
// what goes through a real allocation is the lab's (coturn).
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"
#include "wire/stunwire.h"

#include <QElapsedTimer>
#include <QTest>

using proxytest::PeerHarness;
using proxytest::UdpEnd;

namespace {

constexpr int WaitMs = 5000;
constexpr quint16 RelayPort = 3478;
const QHostAddress RelayHost(QStringLiteral("127.0.0.5"));

// How the scripted relay answers.
enum class Answers
{
    Silent,        // nothing at all (the relay is down)
    OneMapping,    // both ports see the same mapped endpoint (a cone NAT)
    TwoMappings,   // each port sees another one (a NAT mapping per destination)
    PortOnly,      // the alternate port is silent (a relay with one listening address)
};

// One port of the scripted relay: answers Binding requests with the mapped endpoint it is
// given (none: silent), and records everything.
class RelayPortEnd : public QObject
{
public:
    RelayPortEnd(quint16 port, std::optional<wire::stun::Endpoint> seen) : mapped(std::move(seen))
    {
        ok = end.bind(RelayHost, port);
        connect(&end, &UdpEnd::datagramReceived, this, [this] {
            const proxytest::Datagram &d = end.received().last();
            const std::optional<wire::stun::Message> m = wire::stun::parse(d.data.constData(), d.data.size());
            if (!m || !this->mapped || m->method != wire::stun::Method::Binding
                || m->messageClass != wire::stun::Class::Request)
                return;
            const QByteArray answer = wire::stun::encode(
                wire::stun::Method::Binding, wire::stun::Class::SuccessResponse, m->transactionId,
                {{wire::stun::attribute::XorMappedAddress,
                  wire::stun::xorAddressValue(*this->mapped, m->transactionId)}});
            end.send(answer, d.sender, d.senderPort);
        });
    }
    int requests(wire::stun::Method method) const
    {
        int n = 0;
        for (const proxytest::Datagram &d : end.received()) {
            const std::optional<wire::stun::Message> m = wire::stun::parse(d.data.constData(), d.data.size());
            n += m && m->method == method && m->messageClass == wire::stun::Class::Request ? 1 : 0;
        }
        return n;
    }

    UdpEnd end;
    std::optional<wire::stun::Endpoint> mapped;
    bool ok = false;
};

std::optional<wire::stun::Endpoint> mappedFor(Answers answers, bool alternate)
{
    const wire::stun::Endpoint first{QHostAddress(QStringLiteral("203.0.113.10")), 40000};
    const wire::stun::Endpoint second{first.address, 40001};
    switch (answers) {
    case Answers::Silent:
        return std::nullopt;
    case Answers::OneMapping:
        return first;
    case Answers::TwoMappings:
        return alternate ? second : first;
    case Answers::PortOnly:
        return alternate ? std::nullopt : std::optional<wire::stun::Endpoint>(first);
    }
    return std::nullopt;
}

relayconfig::RelayConfig relayConfig(relayconfig::Mode mode)
{
    relayconfig::RelayConfig config;
    config.server = RelayHost;
    config.port = RelayPort;
    config.user = "kivra";
    config.password = "secret";
    config.mode = mode;
    return config;
}

} // namespace

Q_DECLARE_METATYPE(Answers)
Q_DECLARE_METATYPE(relayconfig::Mode)

class TestProxyRelayPath : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    // Whatever the relay does, the first registration leaves directly from the peer socket,
    // no later than the decision's wait (300 ms) or the allocation's (1 s) allows.
    void firstRegistration_data()
    {
        QTest::addColumn<relayconfig::Mode>("mode");
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<int>("bindings");    // Binding requests each port got
        QTest::addColumn<int>("allocates");   // Allocate requests (0: no allocation tried)
        QTest::addColumn<int>("waitsAtLeastMs");
        QTest::addColumn<int>("latestMs");
        using M = relayconfig::Mode;
        QTest::newRow("never: no test, registered at once") << M::Never << Answers::TwoMappings << 0 << 0 << 0 << 250;
        QTest::newRow("auto, one mapping: registered as soon as both answered")
            << M::Auto << Answers::OneMapping << 1 << 0 << 0 << 250;
        QTest::newRow("auto, alternate port silent: direct after the wait")
            << M::Auto << Answers::PortOnly << 1 << 0 << 250 << 900;
        QTest::newRow("auto, relay down: direct after the wait") << M::Auto << Answers::Silent << 1 << 0 << 250 << 900;
        QTest::newRow("auto, two mappings, no allocation: direct within 1 s")
            << M::Auto << Answers::TwoMappings << 1 << 1 << 800 << 1800;
        QTest::newRow("always, relay down: no test, direct within 1 s")
            << M::Always << Answers::Silent << 0 << 1 << 800 << 1800;
    }
    void firstRegistration()
    {
        QFETCH(relayconfig::Mode, mode);
        QFETCH(Answers, answers);
        QFETCH(int, bindings);
        QFETCH(int, allocates);
        QFETCH(int, waitsAtLeastMs);
        QFETCH(int, latestMs);
        PeerHarness h;
        QVERIFY(h.start());
        RelayPortEnd port(RelayPort, mappedFor(answers, false));
        RelayPortEnd alternate(RelayPort + 1, mappedFor(answers, true));
        QVERIFY(port.ok && alternate.ok);
        UdpProxyManager proxy;
        proxy.setRelayConfig(relayConfig(mode));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(h.launched(proxy, QStringLiteral("rp.1")));
        QTRY_VERIFY_WITH_TIMEOUT(h.server.count("register/rp/1") >= 1, WaitMs);
        const qint64 firstMs = clock.elapsed();
        QVERIFY2(firstMs >= waitsAtLeastMs, qPrintable(QString::number(firstMs)));
        QVERIFY2(firstMs <= latestMs, qPrintable(QString::number(firstMs))); // generous: a loaded machine
        // Directly: from the port the launch bound, not wrapped in anything.
        QCOMPARE(h.server.received().first().senderPort, h.proxyPeerPort);
        QCOMPARE(h.server.received().first().data, QByteArray("register/rp/1"));
        QCOMPARE(port.requests(wire::stun::Method::Binding), bindings);
        QCOMPARE(alternate.requests(wire::stun::Method::Binding), bindings);
        QVERIFY2(port.requests(wire::stun::Method::Allocate) >= allocates, "allocation tried");
        if (allocates == 0)
            QCOMPARE(port.requests(wire::stun::Method::Allocate), 0);
        QCOMPARE(alternate.requests(wire::stun::Method::Allocate), 0);
        // The direct path after all: the retries follow at their cadence, the relay hears no more.
        const int relayHeard = port.end.count() + alternate.end.count();
        QTRY_VERIFY_WITH_TIMEOUT(h.server.count("register/rp/1") >= 2, WaitMs);
        QCOMPARE(port.end.count() + alternate.end.count(), relayHeard);
        proxy.stop();
    }

    // A Binding answer with another transaction id, or from a stranger, decides nothing.
    void foreignAnswersIgnored()
    {
        PeerHarness h;
        QVERIFY(h.start());
        RelayPortEnd port(RelayPort, std::nullopt);
        RelayPortEnd alternate(RelayPort + 1, std::nullopt);
        QVERIFY(port.ok && alternate.ok);
        UdpProxyManager proxy;
        proxy.setRelayConfig(relayConfig(relayconfig::Mode::Auto));
        QVERIFY(h.launched(proxy, QStringLiteral("fa.1")));
        QTRY_COMPARE_WITH_TIMEOUT(port.requests(wire::stun::Method::Binding), 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(alternate.requests(wire::stun::Method::Binding), 1, WaitMs);
        // Two different mappings, but under made-up transaction ids: no allocation follows.
        for (RelayPortEnd *end : {&port, &alternate}) {
            const QByteArray tid = wire::stun::newTransactionId();
            const wire::stun::Endpoint mapped{QHostAddress(QStringLiteral("203.0.113.10")),
                                              quint16(end == &port ? 40000 : 40001)};
            end->end.send(wire::stun::encode(wire::stun::Method::Binding, wire::stun::Class::SuccessResponse, tid,
                                             {{wire::stun::attribute::XorMappedAddress,
                                               wire::stun::xorAddressValue(mapped, tid)}}),
                          QHostAddress::LocalHost, h.proxyPeerPort);
        }
        QTRY_VERIFY_WITH_TIMEOUT(h.server.count("register/fa/1") >= 1, WaitMs);
        QCOMPARE(port.requests(wire::stun::Method::Allocate), 0);
        proxy.stop();
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyRelayPath)
#include "tst_proxyrelaypath.moc"
