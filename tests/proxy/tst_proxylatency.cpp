// Latency probe and delay negotiation through real sockets: a manager, a fake rendezvous server
// and a fake peer on 127.0.0.2 in a private network namespace.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <functional>

using proxytest::Datagram;
using proxytest::PeerHarness;

namespace {

constexpr int HandshakeWaitMs = 5000;   // one punch call ends within about a second
constexpr int ProbeWaitMs = 5000;       // the probe is evaluated 1.2 s after it starts
constexpr int NegotiationWaitMs = 10000; // evaluation plus the 3 s wait for the peer
constexpr int ProbePings = 10;
constexpr int ProposalsWhileWaiting = 30; // one at the evaluation, then 29 repeats
const QByteArray PingPrefix = QByteArrayLiteral("KVRA ping ");
const QByteArray PongPrefix = QByteArrayLiteral("KVRA pong ");
const QByteArray DelayPrefix = QByteArrayLiteral("KVRA delay ");

// One connected match: the manager has punched through to the harness peer and is probing.
class Match
{
public:
    Match() : negotiated(&proxy, &UdpProxyManager::delayNegotiated)
    {
        clock.start();
        QObject::connect(&proxy, &UdpProxyManager::punchingSucceeded, &proxy,
                         [this](const QString &) { connectedAtMs = clock.elapsed(); });
        QObject::connect(&proxy, &UdpProxyManager::delayNegotiated, &proxy,
                         [this](const QString &, int, int) { negotiatedAtMs = clock.elapsed(); });
        QObject::connect(&h.peer, &proxytest::UdpEnd::datagramReceived, &proxy, [this] { peerReceived(); });
    }

    // Launches "lt.1" and completes the handshake. The probe starts with the success.
    bool connect()
    {
        if (!h.start() || !h.launched(proxy, QStringLiteral("lt.1")))
            return false;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        h.startHandshake(QStringLiteral("lt"));
        return succeeded.wait(HandshakeWaitMs);
    }

    // Called for every ping the peer gets from the proxy, with its two number fields.
    std::function<void(const QByteArray &number, const QByteArray &sentMs)> onPing;
    // Called for every delay datagram the peer gets from the proxy.
    std::function<void(const QByteArray &datagram)> onDelay;

    QList<Datagram> fromProxy(const QByteArray &prefix) const
    {
        QList<Datagram> result;
        for (const Datagram &d : h.peer.received()) {
            if (d.data.startsWith(prefix))
                result.append(d);
        }
        return result;
    }

    // A round trip through the proxy's event loop: everything it sent before is in by then.
    bool barrier()
    {
        const int before = h.peer.count(PongPrefix + "barrier");
        h.peerSend("KVRA ping barrier 0");
        return QTest::qWaitFor([&] { return h.peer.count(PongPrefix + "barrier") > before; }, HandshakeWaitMs);
    }

    PeerHarness h;
    UdpProxyManager proxy;
    QSignalSpy negotiated;
    QElapsedTimer clock;
    qint64 connectedAtMs = -1;
    qint64 negotiatedAtMs = -1;

private:
    void peerReceived()
    {
        const QList<Datagram> &all = h.peer.received();
        for (; seen < all.size(); ++seen) {
            const QByteArray &data = all.at(seen).data;
            if (data.startsWith(PingPrefix) && onPing) {
                const QList<QByteArray> fields = data.split(' ');
                if (fields.size() == 4)
                    onPing(fields.at(2), fields.at(3));
            } else if (data.startsWith(DelayPrefix) && onDelay) {
                onDelay(data);
            }
        }
    }

    qsizetype seen = 0;
};

// Pong whose echoed send time makes the proxy measure extraMs more than the real round trip.
QByteArray pongWithExtra(const QByteArray &number, const QByteArray &sentMs, qint64 extraMs)
{
    return PongPrefix + number + ' ' + QByteArray::number(sentMs.toLongLong() - extraMs);
}

} // namespace

class TestProxyLatency : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    // No pong at all: evaluated after the 13th tick with rttMs -1; we propose 0 and do not wait.
    void noPong()
    {
        Match m;
        QVERIFY(m.connect());
        QVERIFY(m.negotiated.wait(ProbeWaitMs));
        QCOMPARE(m.negotiated.first().at(0).toString(), QStringLiteral("lt.1"));
        QCOMPARE(m.negotiated.first().at(1).toInt(), 0);
        QCOMPARE(m.negotiated.first().at(2).toInt(), -1);
        const qint64 afterStartMs = m.negotiatedAtMs - m.connectedAtMs;
        qInfo("delay emitted %lld ms after the probe started (1200 expected)", static_cast<long long>(afterStartMs));
        QVERIFY(afterStartMs >= 1100);
        QVERIFY(m.barrier());
        const QList<Datagram> pings = m.fromProxy(PingPrefix);
        QCOMPARE(pings.size(), ProbePings);
        for (int i = 0; i < ProbePings; ++i)
            QVERIFY(pings.at(i).data.startsWith(PingPrefix + QByteArray::number(i) + ' '));
        QCOMPARE(m.h.peer.payloads(DelayPrefix), QList<QByteArray>{"KVRA delay 0 1"});
        QCOMPARE(m.negotiated.size(), 1);
    }

    // The peer's proposal arrives while probing; it is kept and used at the evaluation.
    void proposalWhileProbing_data()
    {
        QTest::addColumn<QByteArray>("proposal");
        QTest::addColumn<bool>("answerPings");
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("ourProposals");
        QTest::newRow("peer proposes 7: clamped to 2") << QByteArray("KVRA delay 7 2") << false << 2 << 1;
        QTest::newRow("peer proposes 1") << QByteArray("KVRA delay 1 2") << true << 1 << 1;
        // -3 is a proposal of 0: with samples the evaluation completes at once, no repeats.
        QTest::newRow("peer proposes -3: clamped to 0") << QByteArray("KVRA delay -3 2") << true << 0 << 1;
        // A non-numeric proposal is no proposal: we wait and repeat ours 29 times.
        QTest::newRow("non-numeric proposal ignored") << QByteArray("KVRA delay x 2") << true << 0
                                                      << ProposalsWhileWaiting;
    }

    void proposalWhileProbing()
    {
        QFETCH(QByteArray, proposal);
        QFETCH(bool, answerPings);
        QFETCH(int, delay);
        QFETCH(int, ourProposals);
        Match m;
        m.h.peer.answerPings = answerPings;
        QVERIFY(m.connect());
        m.h.peerSend(proposal);
        QVERIFY(m.negotiated.wait(NegotiationWaitMs));
        QCOMPARE(m.negotiated.first().at(1).toInt(), delay);
        QCOMPARE(m.negotiated.first().at(2).toInt() >= 0, answerPings);
        QVERIFY(m.barrier());
        QCOMPARE(m.fromProxy(DelayPrefix).size(), ourProposals);
        QCOMPARE(m.negotiated.size(), 1);
    }

    // Round trips the peer makes the proxy measure, by echoing earlier send times.
    void measuredRoundTrips_data()
    {
        QTest::addColumn<QList<qint64>>("extraMs");
        QTest::addColumn<int>("minRtt");
        QTest::addColumn<int>("maxRtt");
        QTest::addColumn<int>("localDelay");
        // Upper middle of 10, 20, 300, 400 is 300 (plus the loopback time).
        QTest::newRow("median of four answered pings") << QList<qint64>{300, 10, 400, 20} << 300 << 1300 << 2;
        QTest::newRow("4500 ms is a valid sample") << QList<qint64>{4500} << 4500 << 5000 << 2;
        QTest::newRow("over 5000 ms dropped") << QList<qint64>{5001, 5001, 6000} << -1 << -1 << 0;
        QTest::newRow("negative round trip dropped") << QList<qint64>{-1000, -1000} << -1 << -1 << 0;
    }

    void measuredRoundTrips()
    {
        QFETCH(QList<qint64>, extraMs);
        QFETCH(int, minRtt);
        QFETCH(int, maxRtt);
        QFETCH(int, localDelay);
        Match m;
        int answered = 0;
        m.onPing = [&](const QByteArray &number, const QByteArray &sentMs) {
            if (answered < extraMs.size())
                m.h.peerSend(pongWithExtra(number, sentMs, extraMs.at(answered++)));
        };
        // The peer proposes 0 once it has heard our proposal, as a waiting peer would.
        m.onDelay = [&](const QByteArray &) { m.h.peerSend("KVRA delay 0 2"); };
        QVERIFY(m.connect());
        QVERIFY(m.negotiated.wait(NegotiationWaitMs));
        const int rtt = m.negotiated.first().at(2).toInt();
        QVERIFY2(rtt >= minRtt && rtt <= maxRtt, QByteArray::number(rtt).constData());
        QCOMPARE(m.negotiated.first().at(1).toInt(), localDelay);
        QVERIFY(m.barrier());
        QCOMPARE(m.fromProxy(DelayPrefix).first().data, "KVRA delay " + QByteArray::number(localDelay) + " 1");
    }

    // A peer still punching answers our pings only at its read steps, many at once: those
    // answers measure its wait, not the path. They are left out, and when too few steady
    // answers remain the proxy pings one more round before it proposes anything.
    void busyPeerReleasesAnswersTogether_data()
    {
        QTest::addColumn<int>("heldPings");
        QTest::addColumn<int>("pings");
        QTest::newRow("no answer held: one round") << 0 << ProbePings;
        QTest::newRow("five held, released together: one round") << 5 << ProbePings;
        QTest::newRow("eight held, released together: a second round") << 8 << 2 * ProbePings;
    }

    void busyPeerReleasesAnswersTogether()
    {
        QFETCH(int, heldPings);
        QFETCH(int, pings);
        Match m;
        QList<QByteArray> held;
        int seen = 0;
        m.onPing = [&](const QByteArray &number, const QByteArray &sentMs) {
            const QByteArray pong = PongPrefix + number + ' ' + sentMs;
            if (++seen > heldPings) {
                m.h.peerSend(pong);
                return;
            }
            held.append(pong);
            if (seen == heldPings) {
                for (const QByteArray &p : std::as_const(held))
                    m.h.peerSend(p);
            }
        };
        m.onDelay = [&](const QByteArray &) { m.h.peerSend("KVRA delay 0 2"); };
        QVERIFY(m.connect());
        QVERIFY(m.negotiated.wait(NegotiationWaitMs));
        const int rtt = m.negotiated.first().at(2).toInt();
        QVERIFY2(rtt >= 0 && rtt <= 50, QByteArray::number(rtt).constData());
        QCOMPARE(m.negotiated.first().at(1).toInt(), 0);
        QVERIFY(m.barrier());
        QCOMPARE(m.fromProxy(PingPrefix).size(), pings);
        // No proposal before the final estimate: the first one follows the last ping.
        QVERIFY(m.fromProxy(DelayPrefix).first().atMs > m.fromProxy(PingPrefix).last().atMs);
    }

    // A stranger's pongs read by a later punch sequence while our probe runs add no sample.
    void strangerPongsDuringLaterPunch()
    {
        Match m;
        m.h.peer.answerPings = true;
        m.onDelay = [&](const QByteArray &) { m.h.peerSend("KVRA delay 0 2"); };
        QVERIFY(m.connect());
        proxytest::UdpEnd other, stranger;
        other.answerPings = true;
        QVERIFY(other.bind(QHostAddress(QStringLiteral("127.0.0.3"))));
        QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.4"))));
        m.h.announcePeer(QStringLiteral("lt"), &other);
        for (int i = 0; i < ProbePings; ++i) // a round trip of about 4 s each
            m.h.sendToProxy(stranger, PongPrefix + QByteArray::number(i) + ' ' + QByteArray::number(m.clock.elapsed() - 4000));
        m.h.sendToProxy(other, PeerHarness::peerPunchReply());
        QVERIFY(m.negotiated.wait(NegotiationWaitMs));
        const int rtt = m.negotiated.first().at(2).toInt();
        QVERIFY2(rtt <= 50, QByteArray::number(rtt).constData());
        QCOMPARE(m.negotiated.first().at(1).toInt(), 0);
    }

    // The peer never proposes: 29 repeats 100 ms apart, then our own delay at the 30th tick.
    void peerNeverProposes()
    {
        Match m;
        m.h.peer.answerPings = true;
        QVERIFY(m.connect());
        QVERIFY(m.negotiated.wait(NegotiationWaitMs));
        QCOMPARE(m.negotiated.first().at(1).toInt(), 0);
        QVERIFY(m.negotiated.first().at(2).toInt() >= 0);
        QVERIFY(m.barrier());
        const QList<Datagram> proposals = m.fromProxy(DelayPrefix);
        QCOMPARE(proposals.size(), ProposalsWhileWaiting);
        for (const Datagram &d : proposals)
            QCOMPARE(d.data, QByteArray("KVRA delay 0 1"));
        const qint64 spanMs = proposals.last().atMs - proposals.first().atMs;
        qInfo("29 repeats over %lld ms (2900 expected)", static_cast<long long>(spanMs));
        QVERIFY(spanMs >= 2500);
        QCOMPARE(m.negotiated.size(), 1);
    }

    // Once done: pings still answered, proposals answered (a bounded number of times), and
    // nothing emitted again, not even after a second successful punch.
    void doneState()
    {
        Match m;
        QVERIFY(m.connect());
        QVERIFY(m.negotiated.wait(ProbeWaitMs));
        QVERIFY(m.barrier());
        const int before = m.fromProxy(DelayPrefix).size();

        m.h.peerSend("KVRA delay 2 2");
        QTRY_COMPARE_WITH_TIMEOUT(m.fromProxy(DelayPrefix).size(), before + 1, HandshakeWaitMs);
        QCOMPARE(m.fromProxy(DelayPrefix).last().data, QByteArray("KVRA delay 0 1"));
        m.h.peerSend("KVRA pong 1 0");
        m.h.peerSend("KVRA ping 4 99");
        QTRY_COMPARE_WITH_TIMEOUT(m.h.peer.count("KVRA pong 4 99"), 1, HandshakeWaitMs);

        // Another endpoint announced and punched: the negotiation is not run again.
        proxytest::UdpEnd other;
        QVERIFY(other.bind(QHostAddress(QStringLiteral("127.0.0.3"))));
        m.h.announcePeer(QStringLiteral("lt"), &other);
        m.h.sendToProxy(other, PeerHarness::peerPunchReply());
        QTRY_VERIFY_WITH_TIMEOUT(other.count("0.") > 0, HandshakeWaitMs);
        // The new peer's round trip: anything the proxy sent it before has arrived by then.
        m.h.sendToProxy(other, "KVRA ping barrier 0");
        QTRY_COMPARE_WITH_TIMEOUT(other.count("KVRA pong barrier 0"), 1, HandshakeWaitMs);
        QCOMPARE(other.count(PingPrefix), 0);
        QCOMPARE(m.negotiated.size(), 1);
    }

    // Two finished sides must not answer each other's answers for ever.
    void doneAnswersAreBounded()
    {
        Match m;
        int echoes = 0;
        m.onDelay = [&](const QByteArray &) {
            if (m.negotiated.size() > 0 && echoes < 100) {
                ++echoes;
                m.h.peerSend("KVRA delay 1 2");
            }
        };
        QVERIFY(m.connect());
        QVERIFY(m.negotiated.wait(ProbeWaitMs));
        m.h.peerSend("KVRA delay 1 2");
        QTRY_VERIFY_WITH_TIMEOUT(m.fromProxy(DelayPrefix).size() >= 31, HandshakeWaitMs);
        QVERIFY(m.barrier());
        QVERIFY(m.barrier());
        // One proposal at the evaluation, then exactly 30 answers.
        QCOMPARE(m.fromProxy(DelayPrefix).size(), 31);
        QCOMPARE(m.negotiated.size(), 1);
    }

    // What counts as a probe datagram decides whether the emulator ever sees it.
    void probeRecognition_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("delivered");
        QTest::addColumn<bool>("ponged");
        QTest::newRow("65-byte KVRA datagram is game traffic")
            << (QByteArray("KVRA ") + QByteArray(60, 'a')) << true << false;
        QTest::newRow("5-byte KVRA alone is game traffic") << QByteArray("KVRA ") << true << false;
        QTest::newRow("64-byte KVRA datagram is consumed")
            << (QByteArray("KVRA ") + QByteArray(59, 'a')) << false << false;
        QTest::newRow("ping with five fields gets no pong") << QByteArray("KVRA ping 3 7 x") << false << false;
        QTest::newRow("ping gets a pong") << QByteArray("KVRA ping 3 7") << false << true;
        QTest::newRow("unknown kind consumed") << QByteArray("KVRA what 3 7") << false << false;
    }

    void probeRecognition()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, delivered);
        QFETCH(bool, ponged);
        Match m;
        QVERIFY(m.connect());
        m.h.emulatorSend("emulator-hello");
        QTRY_COMPARE_WITH_TIMEOUT(m.h.peer.count("emulator-hello"), 1, HandshakeWaitMs);
        m.h.peerSend(datagram);
        m.h.peerSend("game-datagram-after");
        QTRY_COMPARE_WITH_TIMEOUT(m.h.emulator.count("game-datagram-after"), 1, HandshakeWaitMs);
        QVERIFY(m.barrier());
        QCOMPARE(m.h.emulator.count(datagram), delivered ? 1 : 0);
        QCOMPARE(m.h.peer.count("KVRA pong 3 7"), ponged ? 1 : 0);
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyLatency)
#include "tst_proxylatency.moc"
