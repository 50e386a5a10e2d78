// The program in served mode, inside this test's own network namespace and, because served
// mode ends leftover processes, each run in its own PID namespace as well.
#include "hostrun.h"
#include "peerharness.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>
#include <memory>

namespace {

const QString NetproxyBin = QStringLiteral(NETPROXY_BIN);
const QString StandinBin = QStringLiteral(STANDIN_BIN);
constexpr quint16 LocalProxyPort = 7001;
constexpr int RegistrationDeadlineMs = 25000; // the proxy gives up without a peer after this
constexpr int SlackMs = 15000;
constexpr quint16 PeerProxyPort = 6006;   // the proxy's peer-facing port
constexpr quint16 LegacyPunchPort = 6004; // bound by the last punch stage, so mapped too
constexpr int LineWaitMs = 15000;         // for a line of the program's, on a loaded machine
// Poll bound of the shell that waits for the leftover to be up: 200 x 50 ms.
constexpr char LeftoverPolls[] = "200";

const QString GatewayBin = QStringLiteral(FAKE_GATEWAY_BIN);

// unshare: a fresh PID namespace, and the child killed when unshare itself is killed.
QStringList isolated(const QStringList &arguments)
{
    return QStringList{"--pid", "--fork", "--mount-proc", "--kill-child", NetproxyBin} + arguments;
}

// As isolated(), with one leftover stand-in started in the same PID namespace first: the
// namespace's shell starts it, waits (bounded) for its record file, then runs the program.
QStringList isolatedWithLeftover(const QString &leftoverRecord, const QStringList &arguments)
{
    const QString script = QStringLiteral(
        "KIVRA_STANDIN_RUN_MS=60000 KIVRA_STANDIN_RECORD=\"$1\" \"$2\" leftover &\n"
        "i=0; while [ ! -s \"$1\" ] && [ $i -lt %1 ]; do sleep 0.05; i=$((i+1)); done\n"
        "shift 2; \"$@\"")
                               .arg(QLatin1String(LeftoverPolls));
    return QStringList{"--pid", "--fork", "--mount-proc", "--kill-child", "sh", "-c", script, "sh",
                       leftoverRecord, StandinBin, NetproxyBin}
           + arguments;
}

// Collects a running process's standard output as whole lines.
struct OutputLines
{
    explicit OutputLines(QProcess &from) : process(from) {}
    const QList<QByteArray> &read()
    {
        while (process.canReadLine())
            lines.append(process.readLine().trimmed());
        return lines;
    }
    bool has(const QByteArray &line) { return read().contains(line); }
    QProcess &process;
    QList<QByteArray> lines;
};

bool runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestNetproxyServed : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void launchErrorEndsWithFive_data();
    void launchErrorEndsWithFive();
    void noPeerEndsWithFour();
    void negotiatedDelayStartsEmulator_data();
    void negotiatedDelayStartsEmulator();
    void oneLeftoverEnded();
    void mapsPeerPortAndLegacyPort();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString recordPath;
    QProcessEnvironment environment;
};

void TestNetproxyServed::initTestCase()
{
    KIVRA_REQUIRE_NETNS();
}

void TestNetproxyServed::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    recordPath = dir->filePath(QStringLiteral("record.txt"));
    environment = hosttest::cleanEnvironment();
    environment.insert(QStringLiteral("KIVRA_STANDIN_RECORD"), recordPath);
    environment.insert(QStringLiteral("KIVRA_NET_TRACE"), dir->filePath(QStringLiteral("trace.txt")));
}

void TestNetproxyServed::launchErrorEndsWithFive_data()
{
    QTest::addColumn<QString>("takenAddress");
    QTest::addColumn<int>("takenPort");
    QTest::newRow("emulator-facing port taken") << "127.0.0.1" << int(LocalProxyPort);
    QTest::newRow("emulator-facing port taken on all addresses") << "0.0.0.0" << int(LocalProxyPort);
}

void TestNetproxyServed::launchErrorEndsWithFive()
{
    QFETCH(QString, takenAddress);
    QFETCH(int, takenPort);
    QUdpSocket squatter;
    QVERIFY(squatter.bind(QHostAddress(takenAddress), quint16(takenPort), QAbstractSocket::DontShareAddress));

    const hosttest::RunResult result = hosttest::run(
        QStringLiteral("unshare"),
        isolated({"--emulator", StandinBin, "--command", "kivra-net:served,g,m1.1,x,,127.0.0.1,7300,"}), environment);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 5);
    QVERIFY(!result.lines.isEmpty());
    // The proxy may report the bind failure as a punching failure from inside launch first.
    for (qsizetype i = 0; i + 1 < result.lines.size(); ++i)
        QCOMPARE(result.lines.at(i), QByteArray("failed m1.1 udp_failed"));
    QVERIFY2(result.lines.size() <= 2, result.lines.join('|').constData());
    const QByteArray line = result.lines.constLast();
    // "failed", the quark, then the proxy's own message (not a fixed word).
    QVERIFY2(line.startsWith("failed m1.1 ") && line.size() > 12, line.constData());
    QVERIFY2(!line.endsWith(" udp_failed"), line.constData());
    if (takenPort == LocalProxyPort)
        QVERIFY2(line.contains("127.0.0.1:7001"), line.constData());
    QVERIFY2(!QFileInfo::exists(recordPath), "the emulator must not be started");
}

void TestNetproxyServed::noPeerEndsWithFour()
{
    // A rendezvous server that hears the registrations but never announces a peer.
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProcessEnvironment(environment);
    netproxy.start(QStringLiteral("unshare"),
                   isolated({"--emulator", StandinBin, "--parent-hwnd", "4194310", "--command",
                             QStringLiteral("kivra-net:served,g,m2.2,x,,127.0.0.2,%1,,native-window")
                                 .arg(server.localPort())}));
    QVERIFY(netproxy.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingDatagrams(), 5000);
    const QNetworkDatagram registration = server.receiveDatagram();
    QVERIFY2(registration.data().contains("m2"), registration.data().constData());

    const testsupport::RunResult ended = testsupport::waitForEnd(netproxy, RegistrationDeadlineMs + SlackMs);
    QVERIFY(ended.finished);
    QCOMPARE(ended.exitCode, 4);
    const QList<QByteArray> &lines = ended.lines;
    QVERIFY(!lines.isEmpty() && ended.lastLineEnded);
    QVERIFY(lines.size() >= 2);
    QCOMPARE(lines.constFirst(),
             "trace m2.2 " + QDir::toNativeSeparators(dir->filePath(QStringLiteral("trace.txt"))).toUtf8());
    QCOMPARE(lines.constLast(), QByteArray("failed m2.2 udp_failed"));
    // Between them at most the mapper's result: no router in this namespace.
    for (int i = 1; i + 1 < lines.size(); ++i)
        QVERIFY2(lines.at(i).startsWith("upnp m2.2 failed "), lines.at(i).constData());
    QVERIFY2(!QFileInfo::exists(recordPath), "the emulator must not be started without a delay");
}

void TestNetproxyServed::negotiatedDelayStartsEmulator_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("windowMode");
    QTest::addColumn<int>("peerProposal");
    QTest::addColumn<int>("effectiveDelay");
    QTest::addColumn<QString>("windowArgument"); // empty: none
    // On loopback the own proposal is 0, so the larger of both is the peer's.
    QTest::newRow("peer proposes 2, windowed") << "" << "native-window" << 2 << 2 << "-w";
    QTest::newRow("0 negotiated: raised to 1") << "" << "" << 0 << 1 << "";
    QTest::newRow("override 9 capped at 5, fullscreen") << "9" << "Native-Fullscreen" << 1 << 5 << "-fullscreen";
    QTest::newRow("override 0 kept") << "0" << "native-window" << 2 << 0 << "-w";
}

void TestNetproxyServed::negotiatedDelayStartsEmulator()
{
    QFETCH(QString, override);
    QFETCH(QString, windowMode);
    QFETCH(int, peerProposal);
    QFETCH(int, effectiveDelay);
    QFETCH(QString, windowArgument);

    // Rendezvous server on 127.0.0.1, remote peer on 127.0.0.2, both played by this test.
    proxytest::PeerHarness harness;
    QVERIFY(harness.start());
    harness.proxyLocalPort = LocalProxyPort;
    harness.proxyPeerPort = 6006;
    harness.peer.answerPings = true;
    const QByteArray proposal = "KVRA delay " + QByteArray::number(peerProposal) + " 1";
    connect(&harness.peer, &proxytest::UdpEnd::datagramReceived, &harness, [&harness, &proposal] {
        if (harness.peer.received().constLast().data.startsWith("KVRA delay"))
            harness.peerSend(proposal);
    });

    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QStringLiteral("300"));
    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProcessEnvironment(environment);
    const QString command = QStringLiteral("kivra-net:served,g,m3.2,x,%1,127.0.0.1,%2,,%3")
                                .arg(override, QString::number(harness.signalPort()), windowMode);
    netproxy.start(QStringLiteral("unshare"),
                   isolated({"--emulator", StandinBin, "--parent-hwnd", "4194310", "--command", command}));
    QVERIFY(netproxy.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(harness.server.count() > 0, 5000);
    QVERIFY2(!QFileInfo::exists(recordPath), "nothing is started before the delay is settled");
    harness.startHandshake(QStringLiteral("m3"));
    harness.peerSend(proposal);

    const testsupport::RunResult ended = testsupport::waitForEnd(netproxy, 30000);
    QVERIFY(ended.finished);
    QCOMPARE(ended.exitCode, 7);

    QList<QByteArray> lines = ended.lines;
    lines.removeAll(QByteArray());
    lines.removeIf([](const QByteArray &line) { return line.startsWith("upnp m3.2 "); });
    QVERIFY2(lines.size() == 4, lines.join('|').constData());
    QVERIFY(lines.at(0).startsWith("trace m3.2 "));
    QCOMPARE(lines.at(1), QByteArray("connected m3.2"));
    QVERIFY2(lines.at(2).startsWith("delay m3.2 " + QByteArray::number(effectiveDelay) + ' '), lines.at(2).constData());
    // The round trip in decimal; -1 when the proxy had no sample yet.
    bool rttOk = false;
    QVERIFY2(lines.at(2).split(' ').size() == 4 && lines.at(2).split(' ').at(3).toInt(&rttOk) >= -1 && rttOk,
             lines.at(2).constData());
    QCOMPARE(lines.at(3), QByteArray("emulator_started"));

    const QList<QByteArray> record = hosttest::recordLines(recordPath);
    QStringList arguments = hosttest::recordedArguments(record);
    QVERIFY(!arguments.isEmpty());
    arguments.removeFirst();
    QStringList expected{"-parenthwnd=4194310"};
    if (!windowArgument.isEmpty())
        expected << windowArgument;
    expected << QStringLiteral("quark:served,g,m3.2,x,%1,1").arg(effectiveDelay);
    QCOMPARE(arguments, expected);
    QCOMPARE(hosttest::recordValue(record, "FBNEO_PARENT_HWND"), QByteArray("4194310"));
}

// Exactly one leftover emulator (same path) in the run's PID namespace: it is ended and
// reported as "cleanup QUARK 1" before anything else.
void TestNetproxyServed::oneLeftoverEnded()
{
    // A rendezvous server that never answers: the run goes on until this test ends it.
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    const QString leftoverRecord = dir->filePath(QStringLiteral("leftover.txt"));
    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProcessEnvironment(environment);
    netproxy.start(QStringLiteral("unshare"),
                   isolatedWithLeftover(leftoverRecord,
                                        {"--emulator", StandinBin, "--command",
                                         QStringLiteral("kivra-net:served,g,m5.1,x,,127.0.0.2,%1,")
                                             .arg(server.localPort())}));
    QVERIFY(netproxy.waitForStarted(5000));
    OutputLines output(netproxy);
    QTRY_VERIFY_WITH_TIMEOUT(output.read().size() >= 2, LineWaitMs);
    QVERIFY2(QFileInfo(leftoverRecord).size() > 0, "the leftover never came up");
    QCOMPARE(output.lines.at(0), QByteArray("cleanup m5.1 1"));
    QVERIFY2(output.lines.at(1).startsWith("trace m5.1 "), output.lines.at(1).constData());
    // Killed: no SIGTERM record of the stand-in's own.
    QVERIFY(!hosttest::recordHas(hosttest::recordLines(leftoverRecord), "terminated"));
}

// The runtime asks the router for both ports: the peer-facing one and the legacy punch port.
// The fake gateway answers SSDP on this namespace's loopback and counts the requests.
void TestNetproxyServed::mapsPeerPortAndLegacyPort()
{
    QVERIFY(runCommand(QStringLiteral("ip"), {"link", "set", "lo", "multicast", "on"}));
    QVERIFY(runCommand(QStringLiteral("ip"), {"route", "replace", "239.0.0.0/8", "dev", "lo"}));
    QVERIFY2(QFileInfo(GatewayBin).isExecutable(), qPrintable("no fake gateway at " + GatewayBin));
    QProcess gateway;
    testsupport::ProcessGuard gatewayGuard(&gateway);
    QVERIFY(testsupport::startFixture(gateway, GatewayBin, {}).toInt() > 0);
    OutputLines requests(gateway);

    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProcessEnvironment(environment);
    netproxy.start(QStringLiteral("unshare"),
                   isolated({"--emulator", StandinBin, "--command",
                             QStringLiteral("kivra-net:served,g,m6.1,x,,127.0.0.2,%1,").arg(server.localPort())}));
    QVERIFY(netproxy.waitForStarted(5000));
    OutputLines output(netproxy);
    const QByteArray mapped = "upnp m6.1 ok " + QByteArray::number(PeerProxyPort) + ','
                              + QByteArray::number(LegacyPunchPort);
    const auto reported = [&output] {
        const QList<QByteArray> &lines = output.read();
        return std::any_of(lines.cbegin(), lines.cend(), [](const QByteArray &line) { return line.startsWith("upnp "); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(reported(), LineWaitMs);

    // One AddPortMapping request per port, each port once.
    const QRegularExpression externalPort(QStringLiteral("<NewExternalPort>(\\d+)<"));
    const auto postedPorts = [&] {
        QList<int> ports;
        for (const QByteArray &line : requests.read()) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.value(0) != "post" || !QByteArray::fromBase64(fields.value(2)).contains("#AddPortMapping"))
                continue;
            const QString body = QString::fromUtf8(QByteArray::fromBase64(fields.value(4)));
            ports.append(externalPort.match(body).captured(1).toInt());
        }
        return ports;
    };
    QTRY_COMPARE_WITH_TIMEOUT(postedPorts().size(), 2, LineWaitMs);
    QList<int> ports = postedPorts();
    std::sort(ports.begin(), ports.end());
    QCOMPARE(ports, (QList<int>{int(LegacyPunchPort), int(PeerProxyPort)}));
    QVERIFY2(output.has(mapped), output.lines.join('|').constData());
}

KIVRA_NETNS_TEST_MAIN(TestNetproxyServed)
#include "tst_netproxy_served.moc"
