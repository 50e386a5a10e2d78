// DISPLAY naming a server that accepts connections and never answers (a hung X server, a
// stalled forwarded display): the window watch must neither hang the program nor cost the
// relay its pace. Such a display is played here by a listening socket: the abstract Unix
// name of a display (private to this test's network namespace), a Unix socket path, and
// TCP on 127.0.0.1 (display number = port - 6000).
#include "hostrun.h"
#include "peerharness.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString NetproxyBin = QStringLiteral(NETPROXY_BIN);
const QString StandinBin = QStringLiteral(STANDIN_BIN);
constexpr int EmulatorRunMs = 1500;      // several watch ticks while the emulator runs
constexpr int RunEndMs = 15000;          // generous: without the fix the program never ends
constexpr int ServedRunMs = 40000;
constexpr int Frames = 180;              // about 3 s of emulator datagrams at 60 Hz
constexpr int FrameSize = 64;            // bytes, the stand-in's default
constexpr int AbstractDisplayBase = 3000; // display numbers; abstract names are per namespace anyway
constexpr int AbstractDisplaySpread = 2000;
constexpr qint64 LargestGapMs = 180;     // below the 200 ms the old watch took per tick, above the
                                         // scheduling noise of a loaded CI machine (up to 140 ms seen)
const QByteArray SetupRequestHead("l\0\x0b\0", 4); // little-endian, protocol 11

// Accepts every connection, keeps it open and never writes a byte.
class SilentDisplay : public QObject
{
public:
    bool listen(const QString &kind, const QString &directory)
    {
        if (kind == QLatin1String("unix") || kind == QLatin1String("abstract")) {
            const int number = AbstractDisplayBase + int(QCoreApplication::applicationPid() % AbstractDisplaySpread);
            const QString path = kind == QLatin1String("unix") ? directory + QStringLiteral("/sock")
                                                               : QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            if (kind == QLatin1String("abstract"))
                unixServer.setSocketOptions(QLocalServer::AbstractNamespaceOption);
            if (!unixServer.listen(path))
                return false;
            connect(&unixServer, &QLocalServer::newConnection, this, [this] {
                while (QLocalSocket *socket = unixServer.nextPendingConnection())
                    watchSocket(socket);
            });
            name = kind == QLatin1String("unix") ? path + QStringLiteral(":0") : QStringLiteral(":%1").arg(number);
            return true;
        }
        if (!tcpServer.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0) || tcpServer.serverPort() <= 6000)
            return false;
        connect(&tcpServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = tcpServer.nextPendingConnection())
                watchSocket(socket);
        });
        const QString host = kind == QLatin1String("localhost") ? kind : QStringLiteral("127.0.0.1");
        name = host + QStringLiteral(":%1").arg(tcpServer.serverPort() - 6000);
        return true;
    }

    QString name;                 // the DISPLAY value
    QByteArray firstBytes;        // what the first client sent
    int connections = 0;

private:
    void watchSocket(QIODevice *socket)
    {
        ++connections;
        connect(socket, &QIODevice::readyRead, this, [this, socket] {
            const QByteArray data = socket->readAll();
            if (firstBytes.size() < 16)
                firstBytes += data;
        });
    }

    QLocalServer unixServer;
    QTcpServer tcpServer;
};

QStringList isolated(const QStringList &arguments)
{
    return QStringList{"--pid", "--fork", "--mount-proc", "--kill-child", NetproxyBin} + arguments;
}

void addDisplayRows()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("unix abstract name") << "abstract";
    QTest::newRow("unix socket path") << "unix";
    QTest::newRow("tcp 127.0.0.1") << "tcp";
    QTest::newRow("tcp localhost from /etc/hosts") << "localhost";
}

} // namespace

class TestSilentDisplay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void directRunEndsWithEmulator_data() { addDisplayRows(); }
    void directRunEndsWithEmulator();
    void relayKeepsPace_data() { addDisplayRows(); }
    void relayKeepsPace();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString recordPath;
    QProcessEnvironment environment;
};

void TestSilentDisplay::initTestCase()
{
    // The served case binds the fixed ports: this test runs in its own network namespace.
    KIVRA_REQUIRE_NETNS();
}

void TestSilentDisplay::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    recordPath = dir->filePath(QStringLiteral("record.txt"));
    environment = hosttest::cleanEnvironment();
    environment.insert(QStringLiteral("KIVRA_STANDIN_RECORD"), recordPath);
    // No cookie from the machine's own file: the silent server does not care either way.
    environment.insert(QStringLiteral("XAUTHORITY"), dir->filePath(QStringLiteral("no-xauthority")));
}

void TestSilentDisplay::directRunEndsWithEmulator()
{
    QFETCH(QString, kind);
    SilentDisplay display;
    QVERIFY(display.listen(kind, dir->path()));
    environment.insert(QStringLiteral("DISPLAY"), display.name);
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QString::number(EmulatorRunMs));
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));

    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProcessEnvironment(environment);
    netproxy.start(NetproxyBin, {"--emulator", StandinBin, "--command", "c", "--parent-hwnd", "4194310"});
    QVERIFY(netproxy.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(netproxy.canReadLine(), 5000);
    QElapsedTimer sinceStart;
    sinceStart.start();
    QCOMPARE(netproxy.readLine(), QByteArray("emulator_started\n"));

    // Waiting with the event loop running, so the silent server accepts and reads.
    QTRY_VERIFY_WITH_TIMEOUT(netproxy.state() == QProcess::NotRunning, RunEndMs);
    qInfo("emulator exit -> program end: about %lld ms", static_cast<long long>(sinceStart.elapsed() - EmulatorRunMs));
    QCOMPARE(netproxy.exitStatus(), QProcess::NormalExit);
    QCOMPARE(netproxy.exitCode(), 7);
    // The watch did reach the silent server (else this test would prove nothing).
    QVERIFY(display.connections >= 1);
    QVERIFY2(display.firstBytes.startsWith(SetupRequestHead), display.firstBytes.toHex().constData());
}

void TestSilentDisplay::relayKeepsPace()
{
    QFETCH(QString, kind);
    SilentDisplay display;
    QVERIFY(display.listen(kind, dir->path()));
    environment.insert(QStringLiteral("DISPLAY"), display.name);
    environment.insert(QStringLiteral("KIVRA_NET_TRACE"), dir->filePath(QStringLiteral("trace.txt")));
    environment.insert(QStringLiteral("KIVRA_STANDIN_FRAMES"), QString::number(Frames));
    environment.insert(QStringLiteral("KIVRA_STANDIN_LINGER_MS"), QStringLiteral("0"));
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));

    // Rendezvous server on 127.0.0.1, remote peer on 127.0.0.2, both played by this test.
    proxytest::PeerHarness harness;
    QVERIFY(harness.start());
    harness.proxyLocalPort = 7001;
    harness.proxyPeerPort = 6006;
    harness.peer.answerPings = true;
    const QByteArray proposal("KVRA delay 1 1");
    connect(&harness.peer, &proxytest::UdpEnd::datagramReceived, &harness, [&harness, &proposal] {
        if (harness.peer.received().constLast().data.startsWith("KVRA delay"))
            harness.peerSend(proposal);
    });

    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProcessEnvironment(environment);
    netproxy.start(QStringLiteral("unshare"),
                   isolated({"--emulator", StandinBin, "--parent-hwnd", "4194310", "--command",
                             QStringLiteral("kivra-net:served,g,m4.1,x,,127.0.0.1,%1,").arg(harness.signalPort())}));
    QVERIFY(netproxy.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(harness.server.count() > 0, 5000);
    harness.startHandshake(QStringLiteral("m4"));
    harness.peerSend(proposal);

    QTRY_VERIFY_WITH_TIMEOUT(netproxy.state() == QProcess::NotRunning, ServedRunMs);
    QCOMPARE(netproxy.exitStatus(), QProcess::NormalExit);
    const QByteArray out = netproxy.readAllStandardOutput();
    QVERIFY2(netproxy.exitCode() == 7, out.constData());
    QVERIFY(display.connections >= 1);
    QVERIFY2(display.firstBytes.startsWith(SetupRequestHead), display.firstBytes.toHex().constData());

    // The emulator's datagrams as the peer got them, and the longest pause between two.
    QList<qint64> arrivals;
    for (const proxytest::Datagram &datagram : harness.peer.received()) {
        if (datagram.data.size() == FrameSize && datagram.data.startsWith('S'))
            arrivals << datagram.atMs;
    }
    qint64 largestGap = 0;
    qsizetype largestAt = 0;
    for (qsizetype i = 1; i < arrivals.size(); ++i) {
        if (arrivals.at(i) - arrivals.at(i - 1) > largestGap) {
            largestGap = arrivals.at(i) - arrivals.at(i - 1);
            largestAt = i;
        }
    }
    qInfo("relayed %lld of %d datagrams, largest gap at the peer %lld ms (before datagram %lld)",
          static_cast<long long>(arrivals.size()), Frames, static_cast<long long>(largestGap),
          static_cast<long long>(largestAt));
    QCOMPARE(arrivals.size(), qsizetype(Frames));
    // A stall check, not a speed target: a watch that blocks shows as a pause of its wait.
    QVERIFY2(largestGap < LargestGapMs, QByteArray::number(largestGap).constData());
}

KIVRA_NETNS_TEST_MAIN(TestSilentDisplay)
#include "tst_silentdisplay.moc"
