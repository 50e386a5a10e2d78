// What happens 25 s after launch or after punching, for several runs side by side so that
// the long wait is paid once: the registration deadline and the start-up timeout.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

using proxytest::PeerHarness;
using proxytest::UdpEnd;

namespace {

constexpr int WaitMs = 5000;
constexpr int DeadlineWaitMs = 35000; // the 25 s timers plus the punch handshakes and margin

} // namespace

class TestProxyDeadline : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    void deadlines()
    {
        // silent: no server answer at all. acked: "registered" but never "peer".
        // sideless: a quark without side. named: the server given by name.
        // announced: punched and connected; its emulator stays silent, so after 25 s the
        // queued peer datagrams go to the assumed emulator port 6000.
        PeerHarness hSilent, hAcked, hSideless, hNamed, hAnnounced;
        for (PeerHarness *h : {&hSilent, &hAcked, &hSideless, &hNamed, &hAnnounced})
            QVERIFY(h->start());
        UdpEnd assumedEmulator;
        QVERIFY(assumedEmulator.bind(QHostAddress::LocalHost, 6000));
        UdpProxyManager silent, acked, sideless, named, announced;
        QSignalSpy silentFailed(&silent, &UdpProxyManager::punchingFailed);
        QSignalSpy ackedFailed(&acked, &UdpProxyManager::punchingFailed);
        QSignalSpy sidelessFailed(&sideless, &UdpProxyManager::punchingFailed);
        QSignalSpy namedFailed(&named, &UdpProxyManager::punchingFailed);
        QSignalSpy announcedFailed(&announced, &UdpProxyManager::punchingFailed);

        QVERIFY(hAnnounced.launched(announced, QStringLiteral("an.1"), 7041));
        QVERIFY(hAnnounced.connectProxy(&announced, QStringLiteral("an")));
        hAnnounced.peerSend("ping");
        hAnnounced.peerSend("PUNCH");
        hAnnounced.peerSend("G1");
        hAnnounced.peerSend("G2");
        QVERIFY(hAnnounced.sync());

        QVERIFY(hSilent.launched(silent, QStringLiteral("si.1"), 7001));
        QVERIFY(hAcked.launched(acked, QStringLiteral("ac.2"), 7011));
        QVERIFY(hSideless.launched(sideless, QStringLiteral("sideless"), 7021));
        QVERIFY(hNamed.launched(named, QStringLiteral("na.1"), 7031, QStringLiteral("localhost")));
        QTRY_COMPARE_WITH_TIMEOUT(hAcked.server.count("register/"), 1, WaitMs);
        hAcked.serverSend("registered/ac/2");

        QVERIFY(silentFailed.wait(DeadlineWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(ackedFailed.count(), 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(namedFailed.count(), 1, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(assumedEmulator.count(), 2, DeadlineWaitMs);

        // silent: about 34 registrations (one at launch, one per 750 ms), then the failure
        // report, repeated until acknowledged.
        const int registers = hSilent.server.count("register/si/1");
        QVERIFY2(registers >= 28 && registers <= 35, qPrintable(QString::number(registers)));
        QTRY_VERIFY_WITH_TIMEOUT(hSilent.server.count("udp_failed/si/1") >= 2, WaitMs);
        QCOMPARE(hSilent.server.count("register/"), registers);
        QCOMPARE(silentFailed.first().first().toString(), QStringLiteral("si.1"));
        hSilent.serverSend("failure_ack/si/1");

        // acked: the acknowledgement ended the registrations but not the deadline.
        QCOMPARE(hAcked.server.count("register/"), 1);
        QTRY_VERIFY_WITH_TIMEOUT(hAcked.server.count("udp_failed/ac/2") >= 1, WaitMs);

        // sideless and named: nothing ever reached a server; only named reports the failure.
        QCOMPARE(hSideless.server.count(), 0);
        QCOMPARE(sidelessFailed.count(), 0);
        QCOMPARE(hNamed.server.count(), 0);

        // announced: no deadline failure; the queue went to port 6000, screened.
        QCOMPARE(announcedFailed.count(), 0);
        QCOMPARE(hAnnounced.server.count("udp_failed/"), 0);
        QCOMPARE(assumedEmulator.payloads(), (QList<QByteArray>{"G1", "G2"}));
        QTRY_VERIFY_WITH_TIMEOUT(hAnnounced.server.count("udp_ready/an/1") >= 1, WaitMs);
        QCOMPARE(hAnnounced.server.count("udp_ready/"), hAnnounced.server.count("udp_ready/an/1"));
        hAnnounced.peerSend("G3");
        QTRY_COMPARE_WITH_TIMEOUT(assumedEmulator.count(), 3, WaitMs);

        // The acknowledged failure report stops repeating.
        const int failures = hSilent.server.count("udp_failed/");
        QTest::qWait(1600);
        QVERIFY(hSilent.server.count("udp_failed/") <= failures + 1);
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyDeadline)
#include "tst_proxydeadline.moc"
