// The manager handed to a worker thread, and a stop request from another thread while the
// punch sequence blocks it. (The program itself keeps the manager on its main thread.)
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

using proxytest::PeerHarness;

namespace {

constexpr int WaitMs = 5000;

// Runs fn on the thread that owns obj and waits for it.
template <typename Fn>
void onOwner(QObject *obj, Fn fn)
{
    QMetaObject::invokeMethod(obj, fn, Qt::BlockingQueuedConnection);
}

} // namespace

class TestProxyThread : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    void requestStopFromAnotherThread()
    {
        PeerHarness h;
        QVERIFY(h.start());
        QThread worker;
        worker.start();
        UdpProxyManager proxy;
        proxy.moveRuntimeToThread(&worker);
        int failures = 0;
        int successes = 0;
        // Queued to this thread: the counters are only touched here.
        connect(&proxy, &UdpProxyManager::punchingFailed, this, [&] { ++failures; });
        connect(&proxy, &UdpProxyManager::punchingSucceeded, this, [&] { ++successes; });

        QMap<QString, QVariant> result;
        onOwner(&proxy, [&] {
            result = proxy.launch(QStringLiteral("th-1234.1"), 7001, h.signalHost(), h.signalPort(),
                                  QStringLiteral("127.0.0.1"));
        });
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("started"));
        h.useLaunchResult(result);
        // The worker's timers drive the registration.
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("register/th-1234/1"), 2, WaitMs);

        // Nobody answers the punches: the worker blocks in the sequence until stopped.
        QElapsedTimer clock;
        clock.start();
        h.announcePeer(QStringLiteral("th-1234"));
        QTRY_VERIFY_WITH_TIMEOUT(h.peer.count("0.") >= 2, WaitMs);
        proxy.requestStop();
        QTRY_COMPARE_WITH_TIMEOUT(failures, 1, WaitMs);
        QVERIFY2(clock.elapsed() < 8000, "the stop request was not noticed"); // a full run takes ~10 s
        QCOMPARE(successes, 0);
        QTRY_VERIFY_WITH_TIMEOUT(h.server.count("udp_failed/th-1234/1") >= 1, WaitMs);
        QVERIFY(h.peer.count("0.") < 8);

        onOwner(&proxy, [&] {
            proxy.stop();
            proxy.moveRuntimeToThread(QCoreApplication::instance()->thread());
        });
        worker.quit();
        QVERIFY(worker.wait(WaitMs));
        QCOMPARE(proxy.thread(), QThread::currentThread());
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyThread)
#include "tst_proxythread.moc"
