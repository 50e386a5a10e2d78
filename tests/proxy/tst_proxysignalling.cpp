// The exchange with the rendezvous server on real sockets: registration cadence, which
// acknowledgements and announcements count, the ready reports.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

using proxytest::PeerHarness;

namespace {

constexpr int WaitMs = 5000;
constexpr int TwoRetriesMs = 1600; // two 750 ms retry intervals and a margin

QList<qint64> gaps(const proxytest::UdpEnd &end, const QByteArray &prefix)
{
    QList<qint64> result;
    qint64 last = -1;
    for (const auto &d : end.received()) {
        if (!d.data.startsWith(prefix))
            continue;
        if (last >= 0)
            result.append(d.atMs - last);
        last = d.atMs;
    }
    return result;
}

} // namespace

class TestProxySignalling : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    // One register at launch, then one per 750 ms.
    void registrationCadence()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("cad.-2")));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count(), 1, 500); // before the first retry
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/cad/-2"), 4, WaitMs);
        QCOMPARE(h.server.count(), 4);
        for (const qint64 gap : gaps(h.server, "register/")) {
            QVERIFY2(gap >= 550 && gap <= 2000, qPrintable(QString::number(gap)));
        }
    }

    void acknowledgement_data()
    {
        QTest::addColumn<QString>("quark");
        QTest::addColumn<QByteArray>("ack");
        QTest::addColumn<bool>("stops");
        QTest::newRow("acknowledgement: matching") << "ack.1" << QByteArray("registered/ack/1") << true;
        QTest::newRow("acknowledgement: extra fields") << "ack.1" << QByteArray("registered/ack/1/more") << true;
        QTest::newRow("acknowledgement: negative side") << "ack.-3" << QByteArray("registered/ack/-3") << true;
        QTest::newRow("acknowledgement: wrong side") << "ack.1" << QByteArray("registered/ack/2") << false;
        QTest::newRow("acknowledgement: wrong match") << "ack.1" << QByteArray("registered/ACK/1") << false;
        QTest::newRow("acknowledgement: type in capitals") << "ack.1" << QByteArray("REGISTERED/ack/1") << false;
        QTest::newRow("acknowledgement: too few fields") << "ack.1" << QByteArray("registered/ack") << false;
        QTest::newRow("acknowledgement: other type") << "ack.1" << QByteArray("ready_ack/ack/1") << false;
    }
    void acknowledgement()
    {
        QFETCH(QString, quark);
        QFETCH(QByteArray, ack);
        QFETCH(bool, stops);
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, quark));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        h.serverSend(ack);
        if (stops) {
            QTest::qWait(TwoRetriesMs); // nothing may come: only waiting shows it
            QCOMPARE(h.server.count("register/"), 1);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 2, WaitMs);
        }
    }

    void peerIgnored_data()
    {
        QTest::addColumn<QByteArray>("announcement");
        QTest::newRow("peerIgnored: host name") << QByteArray("peer/pi/peer.example/40000");
        QTest::newRow("peerIgnored: port zero") << QByteArray("peer/pi/127.0.0.2/0");
        QTest::newRow("peerIgnored: port not a number") << QByteArray("peer/pi/127.0.0.2/4x");
        QTest::newRow("peerIgnored: port too large") << QByteArray("peer/pi/127.0.0.2/70000");
        QTest::newRow("peerIgnored: wrong match") << QByteArray("peer/other/127.0.0.2/40000");
        QTest::newRow("peerIgnored: too few fields") << QByteArray("peer/pi/127.0.0.2");
        QTest::newRow("peerIgnored: type in capitals") << QByteArray("PEER/pi/127.0.0.2/40000");
    }
    // No acknowledgement, no punching, registrations go on.
    void peerIgnored()
    {
        QFETCH(QByteArray, announcement);
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QVERIFY(h.launched(proxy, QStringLiteral("pi.1")));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        h.serverSend(announcement);
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 2, WaitMs);
        QCOMPARE(h.server.count("peer_ack/"), 0);
        QCOMPARE(h.peer.count(), 0);
        QCOMPARE(succeeded.count(), 0);
    }

    // A valid announcement before any acknowledgement ends the registrations too.
    void peerEndsRegistration()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("pe.1")));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        QVERIFY(h.connectProxy(&proxy, QStringLiteral("pe")));
        const int registers = h.server.count("register/");
        QTest::qWait(TwoRetriesMs);
        QCOMPARE(h.server.count("register/"), registers);
    }

    // Ready reports: at most 10, 750 ms apart, unless acknowledged. Two runs side by side.
    void readyReports()
    {
        PeerHarness silent, acking;
        QVERIFY(silent.start());
        QVERIFY(acking.start(QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("127.0.0.3"))));
        UdpProxyManager first, second;
        QVERIFY(silent.launched(first, QStringLiteral("rs.1"), 7001));
        QVERIFY(acking.launched(second, QStringLiteral("ra.2"), 7011));
        QVERIFY(silent.connectProxy(&first, QStringLiteral("rs")));
        QVERIFY(acking.connectProxy(&second, QStringLiteral("ra")));
        for (PeerHarness *h : {&silent, &acking}) {
            h->emulatorSend("E1");
            h->peerSend("G1");
        }
        QTRY_COMPARE_WITH_TIMEOUT(acking.server.count("udp_ready/ra/2"), 2, WaitMs);
        acking.serverSend("ready_ack/ra/2");
        QTRY_COMPARE_WITH_TIMEOUT(silent.server.count("udp_ready/rs/1"), 10, 12000);
        QTest::qWait(TwoRetriesMs); // no eleventh
        QCOMPARE(silent.server.count("udp_ready/"), 10);
        QCOMPARE(acking.server.count("udp_ready/"), 2);
        for (const qint64 gap : gaps(silent.server, "udp_ready/")) {
            QVERIFY2(gap >= 550 && gap <= 2000, qPrintable(QString::number(gap)));
        }
        // Gameplay goes on meanwhile: more game datagrams start no new reports.
        silent.peerSend("G2");
        QTRY_COMPARE_WITH_TIMEOUT(silent.emulator.count("G2"), 1, WaitMs);
        QCOMPARE(silent.server.count("udp_ready/"), 10);
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxySignalling)
#include "tst_proxysignalling.moc"
