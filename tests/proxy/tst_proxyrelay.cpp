// The relay between emulator and peer on real sockets: start-up queue and screen, gameplay,
// the peer port follower, control traffic that never reaches the emulator, the queue cap.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using proxytest::PeerHarness;
using proxytest::UdpEnd;

namespace {

constexpr int WaitMs = 5000;
constexpr int BigQueueBytes = 64 * 1024 * 1024; // receive queues of ends flooded at once
const QHostAddress PeerHost(QStringLiteral("127.0.0.2"));
const QHostAddress StrangerHost(QStringLiteral("127.0.0.3")); // neither the peer nor the server

// Game datagrams as the emulator sends them: printable, no spaces.
QByteArray game(const char *tag, int n)
{
    return QByteArray(tag) + QByteArray::number(n).rightJustified(5, '0');
}

// Everything the emulator received, in order (the proxy sends it nothing but relayed data).
QList<QByteArray> atEmulator(const PeerHarness &h)
{
    return h.emulator.payloads();
}

} // namespace

class TestProxyRelay : public QObject
{
    Q_OBJECT

private:
    // Launch, connect, and bring the relay into gameplay with one datagram each way.
    bool toGameplay(UdpProxyManager &proxy, PeerHarness &h, const QString &quark, const QString &matchId)
    {
        if (!h.launched(proxy, quark) || !h.connectProxy(&proxy, matchId))
            return false;
        h.emulatorSend("E-first");
        h.peerSend("G-first");
        return QTest::qWaitFor([&] { return h.emulator.count("G-first") == 1 && h.peer.count("E-first") == 1; }, WaitMs);
    }

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    // Before the emulator is heard: "ping" and punches dropped, the rest queued; then the
    // screen drops "PUNCH" ahead of the first game datagram, and nothing after it.
    void startupOrdering()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd otherPort;
        QVERIFY(otherPort.bind(PeerHost));
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("so.1")));
        QVERIFY(h.connectProxy(&proxy, QStringLiteral("so")));
        h.peerSend("ping");
        h.peerSend("0.1234567890123456 _");
        h.peerSend("PUNCH");
        h.sendToProxy(otherPort, "from-other-port"); // phases 0 and 1 take the exact endpoint only
        h.peerSend("G1");
        h.peerSend("PUNCH");
        h.peerSend("G2");
        QVERIFY(h.sync());
        QCOMPARE(h.emulator.count(), 0); // emulator not known yet: nothing delivered
        QCOMPARE(h.server.count("udp_ready/"), 0);
        h.emulatorSend("E1");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E1"), 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 3, WaitMs);
        QCOMPARE(atEmulator(h), (QList<QByteArray>{"G1", "PUNCH", "G2"}));
        // Gameplay began with G1: keepalive to the peer and the ready report to the server.
        QTRY_VERIFY_WITH_TIMEOUT(h.peer.count("ping") >= 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("udp_ready/so/1"), 1, WaitMs);
        QCOMPARE(h.peer.payloads("ping").first(), QByteArray("ping"));
    }

    // In the start-up screen, a game datagram that contains " ok" or " _" is dropped.
    void startupScreenDropsLookalikes()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("sl.1")));
        QVERIFY(h.connectProxy(&proxy, QStringLiteral("sl")));
        h.emulatorSend("E1"); // phase 1: the emulator is known, no game datagram from the peer yet
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E1"), 1, WaitMs);
        h.peerSend("game ok");
        h.peerSend("game _x");
        h.peerSend("pingx");
        h.peerSend("after ok"); // gameplay now: no screen for it
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 2, WaitMs);
        QVERIFY(h.sync());
        QCOMPARE(atEmulator(h), (QList<QByteArray>{"pingx", "after ok"}));
    }

    void bytesUnchanged_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("bytesUnchanged: empty") << 0;
        QTest::newRow("bytesUnchanged: one byte") << 1;
        QTest::newRow("bytesUnchanged: 64 bytes") << 64;
        QTest::newRow("bytesUnchanged: 1400 bytes") << 1400;
        QTest::newRow("bytesUnchanged: largest IPv4 datagram") << 65507;
    }
    // Arbitrary bytes, NUL and 0xff included, pass both ways one for one.
    void bytesUnchanged()
    {
        QFETCH(int, size);
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(toGameplay(proxy, h, QStringLiteral("bu.1"), QStringLiteral("bu")));
        QRandomGenerator random(quint32(size) + 7);
        QList<QByteArray> toPeer, toEmulator;
        for (int i = 0; i < 3; ++i) {
            QByteArray a(size, Qt::Uninitialized), b(size, Qt::Uninitialized);
            for (int k = 0; k < size; ++k) {
                a[k] = char(random.bounded(256));
                b[k] = char(random.bounded(256));
            }
            if (size > 1) {
                a[0] = '\0';
                b[size - 1] = char(0xff);
            }
            toPeer.append(a);
            toEmulator.append(b);
            h.emulatorSend(a);
            h.peerSend(b);
        }
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 1 + 3, WaitMs);
        QCOMPARE(atEmulator(h).mid(1), toEmulator);
        const auto relayed = [&] {
            QList<QByteArray> got;
            for (const auto &d : h.peer.received()) {
                if (d.data.size() == size && (size == 0 || d.data != "ping"))
                    got.append(d.data);
            }
            return got;
        };
        QTRY_COMPARE_WITH_TIMEOUT(relayed().size(), 3, WaitMs);
        QCOMPARE(relayed(), toPeer);
    }

    void strangerNeverDelivered_data()
    {
        QTest::addColumn<bool>("inGameplay");
        QTest::newRow("strangerNeverDelivered: gameplay") << true;
        QTest::newRow("strangerNeverDelivered: start-up queue") << false;
    }
    // A datagram from another host never reaches the emulator, not even from the peer's port
    // number; the peer's next datagram does.
    void strangerNeverDelivered()
    {
        QFETCH(bool, inGameplay);
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd stranger;
        QVERIFY(stranger.bind(StrangerHost, h.peer.port()));
        UdpProxyManager proxy;
        QList<QByteArray> expected;
        if (inGameplay) {
            QVERIFY(toGameplay(proxy, h, QStringLiteral("sn.1"), QStringLiteral("sn")));
            expected << "G-first";
        } else {
            QVERIFY(h.launched(proxy, QStringLiteral("sn.1")));
            QVERIFY(h.connectProxy(&proxy, QStringLiteral("sn")));
        }
        h.sendToProxy(stranger, "S-stranger");
        h.peerSend("G-next");
        expected << "G-next";
        if (!inGameplay)
            h.emulatorSend("E1"); // ends the start-up queue
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count("G-next"), 1, WaitMs);
        QVERIFY(h.sync());
        QCOMPARE(atEmulator(h), expected);
        QCOMPARE(stranger.count(), 0);
    }

    // "ping" exactly is the keepalive and never reaches the emulator; nor does the server,
    // even when it sits on the peer's host.
    void controlNeverDelivered()
    {
        PeerHarness h;
        QVERIFY(h.start(PeerHost)); // the server shares the peer's host
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("cn.1")));
        QVERIFY(h.connectProxy(&proxy, QStringLiteral("cn")));
        h.serverSend("G-from-server-early"); // while the start-up queue fills
        h.peerSend("G1");
        QVERIFY(h.sync());
        h.emulatorSend("E1");
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 1, WaitMs);
        h.peerSend("ping");
        h.serverSend("G-from-server");
        h.serverSend("ping");
        h.peerSend("ping!");
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 2, WaitMs);
        QVERIFY(h.sync());
        QCOMPARE(atEmulator(h), (QList<QByteArray>{"G1", "ping!"}));
    }

    // During gameplay the peer's port moves after 30 datagrams in a row from one new port;
    // a datagram from the current port in between restarts the count; 7001 never wins.
    void portFollower()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd moved, reserved;
        QVERIFY(moved.bind(PeerHost));
        QVERIFY(reserved.bind(PeerHost, 7001));
        UdpProxyManager proxy;
        QVERIFY(toGameplay(proxy, h, QStringLiteral("pf.1"), QStringLiteral("pf")));
        int expected = 1;
        const auto deliverFrom = [&](UdpEnd &end, int n, const char *tag) {
            for (int i = 0; i < n; ++i)
                h.sendToProxy(end, game(tag, i));
            expected += n;
            return QTest::qWaitFor([&] { return h.emulator.count() == expected; }, WaitMs);
        };
        QVERIFY(deliverFrom(moved, 29, "M"));
        QVERIFY(deliverFrom(h.peer, 1, "P"));
        QVERIFY(deliverFrom(moved, 29, "M"));
        h.emulatorSend("E-not-moved");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E-not-moved"), 1, WaitMs);
        QCOMPARE(moved.count("E-"), 0);

        QVERIFY(deliverFrom(reserved, 40, "R"));
        h.emulatorSend("E-not-reserved");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E-not-reserved"), 1, WaitMs);

        // 29 from "moved" are still counted (7001 changed nothing): one more makes 30.
        QVERIFY(deliverFrom(moved, 1, "M"));
        h.emulatorSend("E-moved");
        QTRY_COMPARE_WITH_TIMEOUT(moved.count("E-moved"), 1, WaitMs);
        QCOMPARE(h.peer.count("E-moved"), 0);
        QCOMPARE(reserved.count("E-"), 0);
        // The keepalive follows the move too.
        QTRY_VERIFY_WITH_TIMEOUT(moved.count("ping") >= 1, WaitMs);
    }

    // Only the first 1024 gameplay datagrams are checked for late punches.
    void lateScreenEnds()
    {
        PeerHarness h;
        QVERIFY(h.start());
        QVERIFY(h.emulator.setReceiveBuffer(BigQueueBytes));
        UdpProxyManager proxy;
        QVERIFY(toGameplay(proxy, h, QStringLiteral("ls.1"), QStringLiteral("ls")));
        int expected = 1;
        for (int sent = 0; sent < 1023; sent += 100) {
            const int n = qMin(100, 1023 - sent);
            for (int i = 0; i < n; ++i)
                h.peerSend(game("G", sent + i));
            expected += n;
            QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), expected, WaitMs);
        }
        h.peerSend("0.5 0.6 ok"); // the 1024th: still screened
        h.peerSend("0.7 _");      // the 1025th: delivered
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), expected + 1, WaitMs);
        QVERIFY(h.sync());
        QCOMPARE(atEmulator(h).last(), QByteArray("0.7 _"));
        QCOMPARE(h.emulator.count("0.5"), 0);
    }

    void queueCap_data()
    {
        QTest::addColumn<int>("datagramBytes");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("kept");
        QTest::newRow("queueCap: count") << 16 << 4200 << 4096;
        QTest::newRow("queueCap: bytes") << 2000 << 2200 << (4 * 1024 * 1024) / 2000;
    }
    // A peer that floods before the emulator is heard: the queue keeps its oldest datagrams
    // up to the cap and drops the rest.
    void queueCap()
    {
        QFETCH(int, datagramBytes);
        QFETCH(int, sent);
        QFETCH(int, kept);
        PeerHarness h;
        QVERIFY(h.start());
        QVERIFY(h.emulator.setReceiveBuffer(BigQueueBytes));
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("qc.1")));
        QVERIFY(h.connectProxy(&proxy, QStringLiteral("qc")));
        const int batch = datagramBytes > 1000 ? 25 : 100; // stays inside the proxy's receive queue
        for (int done = 0; done < sent; done += batch) {
            for (int i = done; i < qMin(sent, done + batch); ++i)
                h.peerSend(game("Q", i).leftJustified(datagramBytes, 'x'));
            QVERIFY(h.sync());
        }
        h.emulatorSend("E1");
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), kept, WaitMs);
        QVERIFY(h.sync());
        QCOMPARE(h.emulator.count(), kept);
        const QList<QByteArray> got = atEmulator(h);
        QCOMPARE(got.first(), game("Q", 0).leftJustified(datagramBytes, 'x'));
        QCOMPARE(got.last(), game("Q", kept - 1).leftJustified(datagramBytes, 'x'));
        // Once the emulator is known, nothing more is held back.
        h.peerSend("G-after");
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), kept + 1, WaitMs);
    }

    // The emulator's port follows its latest datagram at once.
    void emulatorPortFollows()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(toGameplay(proxy, h, QStringLiteral("ep.1"), QStringLiteral("ep")));
        UdpEnd newEmulator;
        QVERIFY(newEmulator.bind(QHostAddress::LocalHost));
        newEmulator.send("E-new", QHostAddress::LocalHost, h.proxyLocalPort);
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E-new"), 1, WaitMs);
        h.peerSend("G-to-new");
        QTRY_COMPARE_WITH_TIMEOUT(newEmulator.count("G-to-new"), 1, WaitMs);
        QCOMPARE(h.emulator.count("G-to-new"), 0);
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyRelay)
#include "tst_proxyrelay.moc"
