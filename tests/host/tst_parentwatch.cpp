// The front-end window watch for real, under a private Xvfb server: a window made here is
// passed as the handle; destroying it must end the match with 0 after stopping the
// emulator; an X server that cannot be reached must never end it.
#include "hostrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <xcb/xcb.h>

#include <memory>

namespace {

const QString NetproxyBin = QStringLiteral(NETPROXY_BIN);
const QString StandinBin = QStringLiteral(STANDIN_BIN);
constexpr int XvfbStartMs = 10000;
constexpr int XvfbFirstDisplay = 1200; // display numbers; no real session uses these
constexpr int XvfbDisplaySpread = 400;
constexpr int XvfbAttempts = 5;
constexpr int RunEndMs = 15000;        // the watch ticks every 500 ms, the stop takes up to 2 s
constexpr int ShortEmulatorRunMs = 1500; // long enough for several watch ticks

// A client connection that owns one top-level window.
class XWindow
{
public:
    explicit XWindow(const QByteArray &display)
    {
        connection = xcb_connect(display.constData(), nullptr);
        if (xcb_connection_has_error(connection))
            return;
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        window = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 48, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(connection, window);
        ok = sync();
    }
    ~XWindow() { xcb_disconnect(connection); }
    XWindow(const XWindow &) = delete;
    XWindow &operator=(const XWindow &) = delete;

    bool destroy()
    {
        xcb_destroy_window(connection, window);
        return sync();
    }

    bool ok = false;
    xcb_window_t window = 0;

private:
    // A round trip, so the server has acted on everything sent before it returns.
    bool sync()
    {
        xcb_get_input_focus_reply_t *reply =
            xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
        const bool answered = reply != nullptr;
        free(reply);
        return answered && !xcb_connection_has_error(connection);
    }

    xcb_connection_t *connection = nullptr;
};

int socketCount(qint64 pid)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    int count = 0;
    const QStringList entries = fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (QFileInfo(fds.filePath(entry)).symLinkTarget().contains(QLatin1String("socket:")))
            ++count;
    }
    return count;
}

} // namespace

class TestParentWatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void windowGoneEndsMatch_data();
    void windowGoneEndsMatch();
    void windowPresentKeepsMatch();
    void unreachableDisplayKeepsMatch_data();
    void unreachableDisplayKeepsMatch();
    void displayLostMidMatchKeepsMatch();
    void windowGoneEndsServedMatch();

private:
    bool startXvfb();
    void startNetproxy(const QStringList &handleOptions);

    std::unique_ptr<QTemporaryDir> dir;
    QString recordPath;
    QProcessEnvironment environment;
    std::unique_ptr<QProcess> xvfb;
    std::unique_ptr<testsupport::ProcessGuard> xvfbGuard;
    QByteArray display;
    std::unique_ptr<QProcess> netproxy;
    std::unique_ptr<testsupport::ProcessGuard> netproxyGuard;
};

void TestParentWatch::initTestCase()
{
    // The served case binds the fixed ports: this test runs in its own network namespace.
    KIVRA_REQUIRE_NETNS();
}

void TestParentWatch::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    recordPath = dir->filePath(QStringLiteral("record.txt"));
    environment = hosttest::cleanEnvironment();
    environment.insert(QStringLiteral("KIVRA_STANDIN_RECORD"), recordPath);
}

void TestParentWatch::cleanup()
{
    netproxyGuard.reset();
    netproxy.reset();
    // A clean server end removes its lock and socket files, so later servers start clean.
    if (xvfb && xvfb->state() != QProcess::NotRunning) {
        xvfb->terminate();
        xvfb->waitForFinished(3000);
    }
    xvfbGuard.reset();
    xvfb.reset();
}

bool TestParentWatch::startXvfb()
{
    // Our own display number, away from the usual ones and from parallel runs (network
    // namespaces do not separate X displays: lock and socket files are shared); the server
    // prints it on the -displayfd descriptor once it accepts clients.
    const int base = XvfbFirstDisplay + int(QCoreApplication::applicationPid() % XvfbDisplaySpread);
    for (int attempt = 0; attempt < XvfbAttempts; ++attempt) {
        const int number = base + attempt * XvfbDisplaySpread;
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        xvfbGuard.reset();
        xvfb = std::make_unique<QProcess>();
        xvfbGuard = std::make_unique<testsupport::ProcessGuard>(xvfb.get());
        const QByteArray printed = testsupport::startFixture(
            *xvfb, QStringLiteral("Xvfb"),
            {QStringLiteral(":%1").arg(number), "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "320x240x24"},
            XvfbStartMs);
        if (printed == QByteArray::number(number)) {
            display = ':' + printed;
            environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
            return true;
        }
    }
    return false;
}

void TestParentWatch::startNetproxy(const QStringList &handleOptions)
{
    netproxy = std::make_unique<QProcess>();
    netproxyGuard = std::make_unique<testsupport::ProcessGuard>(netproxy.get());
    netproxy->setProcessEnvironment(environment);
    netproxy->start(NetproxyBin, QStringList{"--emulator", StandinBin, "--command", "c"} + handleOptions);
    QVERIFY(netproxy->waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(netproxy->canReadLine(), 5000);
    QCOMPARE(netproxy->readLine(), QByteArray("emulator_started\n"));
}

void TestParentWatch::windowGoneEndsMatch_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<bool>("ignoresTerminate");
    QTest::newRow("parent handle, decimal") << "--parent-hwnd" << false << false;
    QTest::newRow("parent handle, hexadecimal") << "--parent-hwnd" << true << false;
    QTest::newRow("owner handle only") << "--owner-hwnd" << false << false;
    QTest::newRow("emulator ignores terminate: killed") << "--parent-hwnd" << false << true;
}

void TestParentWatch::windowGoneEndsMatch()
{
    QFETCH(QString, option);
    QFETCH(bool, hex);
    QFETCH(bool, ignoresTerminate);
    QVERIFY(startXvfb());
    XWindow window(display);
    QVERIFY(window.ok);

    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QStringLiteral("60000"));
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("9"));
    if (ignoresTerminate)
        environment.insert(QStringLiteral("KIVRA_STANDIN_IGNORE_TERM"), QStringLiteral("1"));
    const QString handle = hex ? QStringLiteral("0x%1").arg(window.window, 0, 16) : QString::number(window.window);
    startNetproxy({option, handle});
    QVERIFY(window.destroy());
    QElapsedTimer sinceDestroy;
    sinceDestroy.start();

    QVERIFY(netproxy->waitForFinished(RunEndMs));
    // A figure, not a check: one watch interval plus the emulator stop is expected.
    qInfo("window destroyed -> program ended: %lld ms", static_cast<long long>(sinceDestroy.elapsed()));
    QCOMPARE(netproxy->exitStatus(), QProcess::NormalExit);
    QCOMPARE(netproxy->exitCode(), 0);
    QCOMPARE(netproxy->readAll(), QByteArray());
    const QList<QByteArray> record = hosttest::recordLines(recordPath);
    QCOMPARE(hosttest::recordValue(record, "terminated"), ignoresTerminate ? QByteArray() : QByteArray("1"));
}

void TestParentWatch::windowPresentKeepsMatch()
{
    QVERIFY(startXvfb());
    XWindow window(display);
    QVERIFY(window.ok);
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QString::number(ShortEmulatorRunMs));
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));
    startNetproxy({"--parent-hwnd", QString::number(window.window)});
    QVERIFY(netproxy->waitForFinished(RunEndMs));
    QCOMPARE(netproxy->exitCode(), 7);
    QVERIFY(!hosttest::recordHas(hosttest::recordLines(recordPath), "terminated"));
}

void TestParentWatch::unreachableDisplayKeepsMatch_data()
{
    QTest::addColumn<QString>("displayName"); // "-" leaves DISPLAY unset
    QTest::newRow("DISPLAY unset") << "-";
    QTest::newRow("DISPLAY empty") << "";
    QTest::newRow("no such server") << ":65000";
    QTest::newRow("garbage") << "not a display";
}

void TestParentWatch::unreachableDisplayKeepsMatch()
{
    QFETCH(QString, displayName);
    if (displayName != QLatin1String("-"))
        environment.insert(QStringLiteral("DISPLAY"), displayName);
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QString::number(ShortEmulatorRunMs));
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));
    startNetproxy({"--parent-hwnd", "4194310"});
    QVERIFY(netproxy->waitForFinished(RunEndMs));
    QCOMPARE(netproxy->exitCode(), 7);
}

void TestParentWatch::displayLostMidMatchKeepsMatch()
{
    QVERIFY(startXvfb());
    XWindow window(display);
    QVERIFY(window.ok);
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QStringLiteral("4000"));
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));
    startNetproxy({"--parent-hwnd", QString::number(window.window)});
    // In direct mode the program's only socket is the watch's X connection, made on the
    // first tick: wait for it, then take the server away under it.
    const qint64 pid = netproxy->processId();
    QTRY_VERIFY_WITH_TIMEOUT(socketCount(pid) >= 1, 5000);
    xvfb->terminate();
    QVERIFY(xvfb->waitForFinished(5000));
    QVERIFY(netproxy->waitForFinished(RunEndMs));
    QCOMPARE(netproxy->exitCode(), 7);
}

void TestParentWatch::windowGoneEndsServedMatch()
{
    QVERIFY(startXvfb());
    XWindow window(display);
    QVERIFY(window.ok);
    QUdpSocket server; // hears the registrations, never answers: the match waits for a peer
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    environment.insert(QStringLiteral("KIVRA_NET_TRACE"), dir->filePath(QStringLiteral("trace.txt")));

    netproxy = std::make_unique<QProcess>();
    netproxyGuard = std::make_unique<testsupport::ProcessGuard>(netproxy.get());
    netproxy->setProcessEnvironment(environment);
    // Served mode ends leftover processes: only inside its own PID namespace.
    netproxy->start(QStringLiteral("unshare"),
                    {"--pid", "--fork", "--mount-proc", "--kill-child", NetproxyBin, "--emulator", StandinBin,
                     "--parent-hwnd", QString::number(window.window), "--command",
                     QStringLiteral("kivra-net:served,g,w1.1,x,,127.0.0.2,%1,").arg(server.localPort())});
    QVERIFY(netproxy->waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingDatagrams(), 5000);
    QVERIFY(window.destroy());

    // Well before the 25 s registration deadline that would end it with 4.
    QVERIFY(netproxy->waitForFinished(RunEndMs));
    QCOMPARE(netproxy->exitCode(), 0);
    const QByteArray out = netproxy->readAllStandardOutput();
    QVERIFY2(out.startsWith("trace w1.1 ") && !out.contains("udp_failed") && !out.contains("emulator_started"),
             out.constData());
}

KIVRA_NETNS_TEST_MAIN(TestParentWatch)
#include "tst_parentwatch.moc"
