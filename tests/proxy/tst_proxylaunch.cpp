// Launch and stop of the proxy: the four result shapes, the run restarts, the bind failures.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

using proxytest::PeerHarness;

namespace {

constexpr quint16 EmulatorPort = 7001;
constexpr int WaitMs = 3000;

QString status(const QMap<QString, QVariant> &result)
{
    return result.value(QStringLiteral("status")).toString();
}

} // namespace

class TestProxyLaunch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    void startedShape()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        const auto result = h.launch(proxy, QStringLiteral("abc.1"));
        QCOMPARE(status(result), QStringLiteral("started"));
        QCOMPARE(result.value(QStringLiteral("quark")).toString(), QStringLiteral("abc.1"));
        QCOMPARE(result.value(QStringLiteral("localUdpPort")).toInt(), int(EmulatorPort));
        QCOMPARE(result.value(QStringLiteral("peerUdpPort")).toInt(), 6006);
        QVERIFY(result.contains(QStringLiteral("tracePath")));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        QCOMPARE(h.server.received().first().data, QByteArray("register/abc/1"));
        QCOMPARE(h.server.received().first().senderPort, quint16(6006));
    }

    // Same quark while bound: nothing restarts, no second registration leaves at once.
    void alreadyRunning()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QCOMPARE(status(h.launch(proxy, QStringLiteral("abc.1"))), QStringLiteral("started"));
        const auto again = h.launch(proxy, QStringLiteral("abc.1"));
        QCOMPARE(status(again), QStringLiteral("already_running"));
        QCOMPARE(again.value(QStringLiteral("quark")).toString(), QStringLiteral("abc.1"));
        QCOMPARE(again.value(QStringLiteral("localUdpPort")).toInt(), int(EmulatorPort));
        QVERIFY(!again.contains(QStringLiteral("peerUdpPort")));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        // The one retry of the first run is the next register; a restart would send one at once.
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 2, WaitMs);
        const auto &got = h.server.received();
        QVERIFY2(got.at(1).atMs - got.at(0).atMs >= 500, "second register came early: run restarted");
    }

    // Another quark: the old run ends completely; the new one registers under its own id.
    void otherQuarkRestarts()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QCOMPARE(status(h.launch(proxy, QStringLiteral("one.1"))), QStringLiteral("started"));
        const auto second = h.launch(proxy, QStringLiteral("two.2"));
        QCOMPARE(status(second), QStringLiteral("started"));
        QCOMPARE(second.value(QStringLiteral("peerUdpPort")).toInt(), 6006);
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/two/2"), 2, WaitMs);
        QCOMPARE(h.server.count("register/one/1"), 1);
    }

    void peerPortTakenFallsBack()
    {
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, 6006));
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        const auto result = h.launch(proxy, QStringLiteral("abc.1"));
        QCOMPARE(status(result), QStringLiteral("started"));
        const int port = result.value(QStringLiteral("peerUdpPort")).toInt();
        QVERIFY(port != 0 && port != 6006);
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        QCOMPARE(int(h.server.received().first().senderPort), port);
    }

    void localPortTaken_data()
    {
        QTest::addColumn<QString>("quark");
        QTest::addColumn<bool>("reported");
        QTest::newRow("localPortTaken: with side") << "abc.1" << true;
        QTest::newRow("localPortTaken: without side") << "abc" << false;
    }
    void localPortTaken()
    {
        QFETCH(QString, quark);
        QFETCH(bool, reported);
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::LocalHost, EmulatorPort));
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        const auto result = h.launch(proxy, quark);
        QCOMPARE(status(result), QStringLiteral("error"));
        QCOMPARE(result.value(QStringLiteral("localUdpPort")).toInt(), 0);
        const QString message = result.value(QStringLiteral("message")).toString();
        QVERIFY2(message.startsWith(QStringLiteral("No se pudo enlazar el proxy local en 127.0.0.1:7001: ")),
                 qPrintable(message));
        QVERIFY(message.size() > int(strlen("No se pudo enlazar el proxy local en 127.0.0.1:7001: ")));
        // The failure is reported before launch returns, not later from the event loop.
        QCOMPARE(failed.count(), reported ? 1 : 0);
        if (reported) {
            QCOMPARE(failed.first().first().toString(), quark);
            QTRY_COMPARE_WITH_TIMEOUT(h.server.count("udp_failed/abc/1"), 2, WaitMs);
            h.serverSend("failure_ack/abc/1");
            QTRY_VERIFY_WITH_TIMEOUT(h.server.count("udp_failed/") >= 2, WaitMs);
            const int sent = h.server.count("udp_failed/");
            QTest::qWait(1600); // two retry intervals: none may follow the acknowledgement
            QVERIFY(h.server.count("udp_failed/") <= sent + 1);
            QCOMPARE(h.server.count("register/"), 0);
        } else {
            QTest::qWait(1000);
            QCOMPARE(h.server.received().size(), 0);
        }
        QCOMPARE(failed.count(), reported ? 1 : 0);
    }

    // After stop() nothing is sent, the ports are free again, and stop() twice is harmless.
    void stopEndsEverything()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager idle;
        idle.stop();
        idle.stop();
        UdpProxyManager proxy;
        QCOMPARE(status(h.launch(proxy, QStringLiteral("abc.1"))), QStringLiteral("started"));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 1, WaitMs);
        proxy.stop();
        proxy.stop();
        QUdpSocket local, peer;
        QVERIFY(local.bind(QHostAddress::LocalHost, EmulatorPort));
        QVERIFY(peer.bind(QHostAddress::AnyIPv4, 6006));
        QTest::qWait(1600);
        QCOMPARE(h.server.count(), 1);
        // A launch after stop() starts afresh, also with the same quark.
        local.close();
        peer.close();
        QCOMPARE(status(h.launch(proxy, QStringLiteral("abc.1"))), QStringLiteral("started"));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/"), 2, WaitMs);
    }

    // A host name is not resolved: the run starts but nothing reaches the server.
    void signalHostName()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        const auto result = h.launch(proxy, QStringLiteral("abc.1"), EmulatorPort, QStringLiteral("localhost"));
        QCOMPARE(status(result), QStringLiteral("started"));
        QTest::qWait(1000);
        QCOMPARE(h.server.count(), 0);
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyLaunch)
#include "tst_proxylaunch.moc"
