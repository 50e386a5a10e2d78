// The end of a run under both shutdown orders of Qt 6. The installed Qt emits aboutToQuit only
// when the loop returns; newer releases emit it inside QCoreApplication::exit(), even before the
// loop runs. The runtime's exit request is replaced here by one that does what a newer Qt does
// (aboutToQuit at once, then the exit), and every path that ends a run is driven through it:
// the end is handled once, the first end's code counts, and the proxy is stopped exactly once
// and never from inside a proxy call (launch, or a handler of one of its signals).
//
// Runs in its own network namespace: it binds the fixed proxy ports. The emulator is a copy of
// the stand-in in a temporary directory, so the runtime's leftover-process pass (which ends
// processes by executable path) can only ever match our own copy.
#include "hostrun.h"
#include "peerharness.h"

#include "host/launchoptions.h"
#include "host/netruntime.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

const QString StandinBin = QStringLiteral(STANDIN_BIN);
constexpr quint16 LocalProxyPort = 7001;
constexpr quint16 PeerProxyPort = 6006;
constexpr quint16 LastResortPort = 6004;
constexpr int RegistrationWaitMs = 5000;
// A failed punch sequence toward a silent peer: 8 x 500 ms, then the last-resort stage of
// 6 x 500 ms (the quark derives no port, so that stage is skipped), plus slack.
constexpr int PunchFailureWaitMs = 20000;
constexpr int EndWaitMs = 15000;
constexpr int DrainPasses = 3; // event-loop passes that would run a deferred exit request
const QString WindowHandle = QStringLiteral("4194310");

// Sends the event lines written to standard output into a file for one case, and gives them
// back. Everything captured is echoed to standard error on the way out, so a test failure
// reported meanwhile stays visible.
class StdoutCapture
{
public:
    explicit StdoutCapture(const QString &path) : file(path)
    {
        std::fflush(stdout);
        if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
            return;
        saved = ::dup(STDOUT_FILENO);
        if (saved >= 0 && ::dup2(file.handle(), STDOUT_FILENO) < 0) {
            ::close(saved);
            saved = -1;
        }
    }
    ~StdoutCapture()
    {
        restore();
        std::fputs(contents().constData(), stderr);
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    bool ok() const { return saved >= 0; }

    QList<QByteArray> lines()
    {
        std::fflush(stdout);
        QList<QByteArray> result = contents().split('\n');
        result.removeAll(QByteArray());
        // Only the runtime's event lines: the mapper's result comes when it comes.
        result.removeIf([](const QByteArray &line) { return line.startsWith("upnp "); });
        return result;
    }

private:
    QByteArray contents()
    {
        QFile reader(file.fileName());
        return reader.open(QIODevice::ReadOnly) ? reader.readAll() : QByteArray();
    }
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        saved = -1;
    }

    QFile file;
    int saved = -1;
};

} // namespace

class TestRuntimeShutdown : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void newerQtOrder();
    void runEndsOnce_data();
    void runEndsOnce();

private:
    // Exit request as a newer Qt 6 makes it: aboutToQuit synchronously, then the exit.
    void useNewerQtExit(NetRuntime &runtime);
    // Rendezvous, punch and delay with the harness as server and peer (proposal 1).
    void connectAndNegotiate(proxytest::PeerHarness &harness, const QString &matchId);

    std::unique_ptr<QTemporaryDir> dir;
    QString emulatorCopy;
    QString recordPath;
    QList<int> exitRequests;
    int aboutToQuitCount = 0;
    bool windowGone = false;
};

void TestRuntimeShutdown::initTestCase()
{
    KIVRA_REQUIRE_NETNS();
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { ++aboutToQuitCount; });
}

void TestRuntimeShutdown::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    emulatorCopy = dir->filePath(QStringLiteral("emulator"));
    QVERIFY(QFile::copy(StandinBin, emulatorCopy));
    QVERIFY(QFile::setPermissions(emulatorCopy, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    recordPath = dir->filePath(QStringLiteral("record.txt"));
    // The runtime starts the emulator with our environment.
    qputenv("KIVRA_STANDIN_RECORD", recordPath.toLocal8Bit());
    qputenv("KIVRA_NET_TRACE", dir->filePath(QStringLiteral("trace.txt")).toLocal8Bit());
    exitRequests.clear();
    aboutToQuitCount = 0;
    windowGone = false;
}

void TestRuntimeShutdown::cleanup()
{
    for (const char *name : {"KIVRA_STANDIN_RECORD", "KIVRA_NET_TRACE", "KIVRA_STANDIN_EXIT_CODE",
                             "KIVRA_STANDIN_RUN_MS"})
        qunsetenv(name);
}

void TestRuntimeShutdown::useNewerQtExit(NetRuntime &runtime)
{
    runtime.setExitRequest([this](int exitCode) {
        // aboutToQuit is a private signal: only the meta-object can emit it from outside.
        const bool emitted = QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection);
        exitRequests << (emitted ? exitCode : -1000);
    });
}

void TestRuntimeShutdown::connectAndNegotiate(proxytest::PeerHarness &harness, const QString &matchId)
{
    harness.proxyLocalPort = LocalProxyPort;
    harness.proxyPeerPort = PeerProxyPort;
    harness.peer.answerPings = true;
    const QByteArray proposal = "KVRA delay 1 1";
    connect(&harness.peer, &proxytest::UdpEnd::datagramReceived, &harness, [&harness, proposal] {
        if (harness.peer.received().constLast().data.startsWith("KVRA delay"))
            harness.peerSend(proposal);
    });
    QTRY_VERIFY_WITH_TIMEOUT(harness.server.count() > 0, RegistrationWaitMs);
    harness.startHandshake(matchId);
    harness.peerSend(proposal);
}

void TestRuntimeShutdown::newerQtOrder()
{
    // The replacement really emits the application's aboutToQuit, at once.
    NetRuntime runtime(LaunchOptions{});
    useNewerQtExit(runtime);
    const bool emitted = QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection);
    QVERIFY(emitted);
    QCOMPARE(aboutToQuitCount, 1);
    // The runtime's own handler ran too: it stopped the proxy, once, whatever comes after.
    QCOMPARE(runtime.proxyStopCount(), 1);
    QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
    QCOMPARE(runtime.proxyStopCount(), 1);
}

void TestRuntimeShutdown::runEndsOnce_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QList<QByteArray>>("lastLines"); // the event lines that end the run
    QTest::newRow("bind failure inside launch") << "bind" << 5 << QList<QByteArray>{"failed b1.1 udp_failed"};
    QTest::newRow("punching failed inside the punch sequence")
        << "punch" << 4 << QList<QByteArray>{"failed p2.1 udp_failed"};
    QTest::newRow("emulator start failed") << "emulator-missing" << 3
                                           << QList<QByteArray>{"connected e3.1", "delay e3.1 1", "failed missing_emulator"};
    QTest::newRow("window gone") << "window" << 0
                                 << QList<QByteArray>{"connected w4.1", "delay w4.1 1", "emulator_started"};
    QTest::newRow("emulator exit") << "exit" << 7
                                   << QList<QByteArray>{"connected x5.1", "delay x5.1 1", "emulator_started"};
}

void TestRuntimeShutdown::runEndsOnce()
{
    QFETCH(QString, path);
    QFETCH(int, exitCode);
    QFETCH(QList<QByteArray>, lastLines);
    const QString quark = QString::fromLatin1(lastLines.constFirst().split(' ').at(1));
    const QString matchId = quark.section(QLatin1Char('.'), 0, 0);

    proxytest::PeerHarness harness;
    QVERIFY(harness.start());
    QUdpSocket squatter;
    if (path == QLatin1String("bind"))
        QVERIFY(squatter.bind(QHostAddress::LocalHost, LocalProxyPort, QAbstractSocket::DontShareAddress));
    // The last punch stage moves to this port on both sides; on one loopback the proxy would
    // meet its own punches there. Held silent, it is one more peer that never answers.
    if (path == QLatin1String("punch"))
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, LastResortPort, QAbstractSocket::DontShareAddress));
    if (path == QLatin1String("window")) {
        qputenv("KIVRA_STANDIN_RUN_MS", "60000");
    } else {
        qputenv("KIVRA_STANDIN_EXIT_CODE", "7");
        qputenv("KIVRA_STANDIN_RUN_MS", "300");
    }

    LaunchOptions options;
    options.emulator = path == QLatin1String("emulator-missing") ? dir->filePath(QStringLiteral("no-emulator"))
                                                                  : emulatorCopy;
    options.command = QStringLiteral("kivra-net:served,g,%1,x,,127.0.0.1,%2,").arg(quark).arg(harness.signalPort());
    options.parentHwnd = WindowHandle;

    StdoutCapture capture(dir->filePath(QStringLiteral("stdout.txt")));
    QVERIFY(capture.ok());
    {
        NetRuntime runtime(options);
        useNewerQtExit(runtime);
        runtime.setWindowCheck([this](quint64 handle) {
            if (handle != WindowHandle.toULongLong())
                return platform::WindowState::Unknown;
            return windowGone ? platform::WindowState::Gone : platform::WindowState::Exists;
        });

        const NetRuntime::StartOutcome outcome = runtime.start();
        if (path == QLatin1String("bind")) {
            // Ended inside launch(), before any loop: start() returns the launch error's code.
            QVERIFY(!outcome.runLoop);
            QCOMPARE(outcome.exitCode, exitCode);
            for (int pass = 0; pass < DrainPasses; ++pass)
                QCoreApplication::processEvents();
            QCOMPARE(exitRequests, QList<int>{});
        } else {
            QVERIFY(outcome.runLoop);
            QCOMPARE(runtime.proxyStopCount(), 0);
            if (path == QLatin1String("punch")) {
                // A peer that never answers; the quark derives no port, which keeps it short.
                QTRY_VERIFY_WITH_TIMEOUT(harness.server.count() > 0, RegistrationWaitMs);
                harness.announcePeer(matchId, &harness.emulator);
                QTRY_VERIFY_WITH_TIMEOUT(!exitRequests.isEmpty(), PunchFailureWaitMs);
            } else {
                connectAndNegotiate(harness, matchId);
                if (path == QLatin1String("window")) {
                    QTRY_VERIFY_WITH_TIMEOUT(hosttest::recordHas(hosttest::recordLines(recordPath), "pid"), EndWaitMs);
                    windowGone = true;
                }
                QTRY_VERIFY_WITH_TIMEOUT(!exitRequests.isEmpty(), EndWaitMs);
            }
            // One exit request, with the first end's code, and nothing after it.
            for (int pass = 0; pass < DrainPasses; ++pass)
                QCoreApplication::processEvents();
            QCOMPARE(exitRequests, QList<int>{exitCode});
            QCOMPARE(aboutToQuitCount, 1);
        }
        QCOMPARE(runtime.proxyStopCount(), 1);
        QCOMPARE(runtime.proxyStopsInsideProxyCall(), 0);
    }

    QList<QByteArray> lines = capture.lines();
    if (path == QLatin1String("bind")) {
        // Then the launch error's own line, with the proxy's message.
        QVERIFY2(lines.size() == 2, lines.join('|').constData());
        QVERIFY2(lines.constLast().startsWith("failed b1.1 ") && !lines.constLast().endsWith(" udp_failed"),
                 lines.constLast().constData());
        lines.removeLast();
    } else {
        QVERIFY2(!lines.isEmpty() && lines.takeFirst().startsWith("trace " + quark.toUtf8() + ' '),
                 lines.join('|').constData());
    }
    // The "delay" line's round trip varies: compare up to it.
    QCOMPARE(lines.size(), lastLines.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        QVERIFY2(lines.at(i) == lastLines.at(i) || lines.at(i).startsWith(lastLines.at(i) + ' '),
                 lines.at(i).constData());

    const QList<QByteArray> record = hosttest::recordLines(recordPath);
    QCOMPARE(hosttest::recordHas(record, "terminated"), path == QLatin1String("window"));
}

KIVRA_NETNS_TEST_MAIN(TestRuntimeShutdown)
#include "tst_runtimeshutdown.moc"
