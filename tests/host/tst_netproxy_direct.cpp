// The program end to end in direct mode: options, the emulator's command line, environment
// and working directory, exit codes. Direct mode never touches the network or other processes.
#include "hostrun.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <csignal>
#include <unistd.h>

namespace {

const QString NetproxyBin = QStringLiteral(NETPROXY_BIN);
const QString StandinBin = QStringLiteral(STANDIN_BIN);
constexpr quint64 SigPipeBit = quint64(1) << (SIGPIPE - 1); // in /proc/<pid>/status masks

// A mask line of our own /proc/self/status ("SigIgn" or "SigBlk"), as a number.
quint64 ownSignalMask(const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return ~quint64(0);
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().toULongLong(nullptr, 16);
    }
    return ~quint64(0);
}

} // namespace

class TestNetproxyDirect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void missingArguments_data();
    void missingArguments();
    void emulatorCommandLine_data();
    void emulatorCommandLine();
    void emulatorExitCodePassedThrough_data();
    void emulatorExitCodePassedThrough();
    void emulatorCannotStart_data();
    void emulatorCannotStart();
    void relativeEmulatorPath();
    void crashedEmulatorIsNotSuccess();
    void closedOutputKeepsMatch_data();
    void closedOutputKeepsMatch();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString recordPath;
    QProcessEnvironment environment;
};

void TestNetproxyDirect::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    recordPath = dir->filePath(QStringLiteral("record.txt"));
    environment = hosttest::cleanEnvironment();
    environment.insert(QStringLiteral("KIVRA_STANDIN_RECORD"), recordPath);
}

void TestNetproxyDirect::missingArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList{};
    QTest::newRow("command absent") << QStringList{"--emulator", StandinBin};
    QTest::newRow("command as last word") << QStringList{"--emulator", StandinBin, "--command"};
    QTest::newRow("emulator absent") << QStringList{"--command", "x"};
    QTest::newRow("emulator empty") << QStringList{"--emulator", "", "--command", "x"};
    QTest::newRow("command empty") << QStringList{"--emulator", StandinBin, "--command", ""};
    QTest::newRow("option name case-sensitive") << QStringList{"--Emulator", StandinBin, "--command", "x"};
    QTest::newRow("handles alone") << QStringList{"--parent-hwnd", "1", "--owner-hwnd", "2"};
}

void TestNetproxyDirect::missingArguments()
{
    QFETCH(QStringList, arguments);
    const hosttest::RunResult result = hosttest::run(NetproxyBin, arguments, environment);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.lines, QList<QByteArray>{"failed missing_arguments"});
    QVERIFY2(!QFileInfo::exists(recordPath), "the emulator must not be started");
}

void TestNetproxyDirect::emulatorCommandLine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expectedArguments"); // after argv0
    QTest::addColumn<QByteArray>("parentVariable");     // empty: must be unset
    const QString served6 = QStringLiteral("kivra-net:served,g,q,x,,127.0.0.1,7001");
    QTest::newRow("command only") << QStringList{"--command", "play this"} << QStringList{"play this"} << QByteArray();
    QTest::newRow("parent handle") << QStringList{"--command", "c", "--parent-hwnd", "4194310"}
                                   << QStringList{"-parenthwnd=4194310", "c"} << QByteArray("4194310");
    QTest::newRow("owner only: watched, not passed") << QStringList{"--command", "c", "--owner-hwnd", "77"}
                                                     << QStringList{"c"} << QByteArray();
    QTest::newRow("both: only parent passed") << QStringList{"--owner-hwnd", "77", "--parent-hwnd", "55", "--command", "c"}
                                              << QStringList{"-parenthwnd=55", "c"} << QByteArray("55");
    QTest::newRow("hex with capital X unchanged") << QStringList{"--command", "c", "--parent-hwnd", "0X1A2B"}
                                                  << QStringList{"-parenthwnd=0X1A2B", "c"} << QByteArray("0X1A2B");
    QTest::newRow("octal text unchanged") << QStringList{"--command", "c", "--parent-hwnd", "010"}
                                          << QStringList{"-parenthwnd=010", "c"} << QByteArray("010");
    QTest::newRow("unparsable handle still passed") << QStringList{"--command", "c", "--parent-hwnd", "front"}
                                                    << QStringList{"-parenthwnd=front", "c"} << QByteArray("front");
    QTest::newRow("six served fields: whole text") << QStringList{"--command", served6} << QStringList{served6}
                                                   << QByteArray();
    QTest::newRow("window mode ignored in direct mode")
        << QStringList{"--command", "kivra-net:served,g,q,x,,h,1"} << QStringList{"kivra-net:served,g,q,x,,h,1"}
        << QByteArray();
    QTest::newRow("repeated option: first counts")
        << QStringList{"--command", "first", "--command", "second"} << QStringList{"first"} << QByteArray();
}

void TestNetproxyDirect::emulatorCommandLine()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, expectedArguments);
    QFETCH(QByteArray, parentVariable);

    const hosttest::RunResult result =
        hosttest::run(NetproxyBin, QStringList{"--emulator", StandinBin} + options, environment);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines, QList<QByteArray>{"emulator_started"});

    const QList<QByteArray> record = hosttest::recordLines(recordPath);
    QStringList arguments = hosttest::recordedArguments(record);
    QVERIFY(!arguments.isEmpty());
    arguments.removeFirst();
    QCOMPARE(arguments, expectedArguments);
    QCOMPARE(hosttest::recordHas(record, "FBNEO_PARENT_HWND"), !parentVariable.isEmpty());
    QCOMPARE(hosttest::recordValue(record, "FBNEO_PARENT_HWND"), parentVariable);
    QCOMPARE(QString::fromUtf8(hosttest::recordValue(record, "cwd")), QFileInfo(StandinBin).absolutePath());
}

void TestNetproxyDirect::emulatorExitCodePassedThrough_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("7") << 7;
    QTest::newRow("0") << 0;
    QTest::newRow("2 is not missing_arguments") << 2;
    QTest::newRow("255") << 255;
}

void TestNetproxyDirect::emulatorExitCodePassedThrough()
{
    QFETCH(int, code);
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QString::number(code));
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QStringLiteral("300"));
    const hosttest::RunResult result =
        hosttest::run(NetproxyBin, {"--emulator", StandinBin, "--command", "c"}, environment);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, code);
    QCOMPARE(result.lines, QList<QByteArray>{"emulator_started"});
}

void TestNetproxyDirect::emulatorCannotStart_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing file") << "missing";
    QTest::newRow("not executable") << "plain";
    QTest::newRow("directory") << "directory";
    QTest::newRow("next option taken as emulator") << "option";
}

void TestNetproxyDirect::emulatorCannotStart()
{
    QFETCH(QString, kind);
    QStringList arguments;
    if (kind == QLatin1String("missing")) {
        arguments = {"--emulator", dir->filePath("no-such-emulator"), "--command", "c"};
    } else if (kind == QLatin1String("plain")) {
        const QString plain = dir->filePath(QStringLiteral("emulator"));
        QVERIFY(QFile::copy(StandinBin, plain));
        QVERIFY(QFile::setPermissions(plain, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        arguments = {"--emulator", plain, "--command", "c"};
    } else if (kind == QLatin1String("directory")) {
        arguments = {"--emulator", dir->path(), "--command", "c"};
    } else {
        arguments = {"--emulator", "--command", "c"};
    }
    const hosttest::RunResult result = hosttest::run(NetproxyBin, arguments, environment);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.lines.size(), 1);
    const QByteArray line = result.lines.constFirst();
    if (kind == QLatin1String("missing") || kind == QLatin1String("option")) {
        QCOMPARE(line, QByteArray("failed missing_emulator"));
    } else {
        // "failed" and the process error text; never reported as a start.
        QVERIFY2(line.startsWith("failed ") && line.size() > 7, line.constData());
        QVERIFY2(line != "failed missing_emulator", line.constData());
    }
    QVERIFY(!QFileInfo::exists(recordPath));
}

void TestNetproxyDirect::relativeEmulatorPath()
{
    // Given relative to the front-end's directory; the child runs in the emulator's own
    // directory and must still be found.
    const QFileInfo standin(StandinBin);
    const QDir base = standin.dir();
    QDir parent = base;
    QVERIFY(parent.cdUp());
    const QString relative = parent.relativeFilePath(standin.absoluteFilePath());
    QVERIFY(relative.contains(QLatin1Char('/')));
    const hosttest::RunResult result =
        hosttest::run(NetproxyBin, {"--emulator", relative, "--command", "c"}, environment, 20000, parent.path());
    QVERIFY(result.finished);
    QCOMPARE(result.lines, QList<QByteArray>{"emulator_started"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QString::fromUtf8(hosttest::recordValue(hosttest::recordLines(recordPath), "cwd")),
             standin.absolutePath());
}

void TestNetproxyDirect::crashedEmulatorIsNotSuccess()
{
    // An emulator that dies from a signal must not look like a clean end (code 0).
    const QString crasher = dir->filePath(QStringLiteral("crasher"));
    QFile script(crasher);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nkill -SEGV $$\n");
    script.close();
    QVERIFY(QFile::setPermissions(crasher, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const hosttest::RunResult result =
        hosttest::run(NetproxyBin, {"--emulator", crasher, "--command", "c"}, environment);
    QVERIFY(result.finished);
    QCOMPARE(result.lines, QList<QByteArray>{"emulator_started"});
    QVERIFY2(result.exitCode != 0, QByteArray::number(result.exitCode).constData());
}

void TestNetproxyDirect::closedOutputKeepsMatch_data()
{
    QTest::addColumn<bool>("pipeIgnored"); // SIGPIPE as the front-end starts the program
    QTest::newRow("SIGPIPE at its default") << false;
    QTest::newRow("SIGPIPE ignored") << true;
}

void TestNetproxyDirect::closedOutputKeepsMatch()
{
    // A front-end that closed its end of our standard output and error: the event lines (and
    // any Qt warning) fail to write, the match goes on, and the emulator starts with the
    // signal state the front-end gave the program, not the program's own.
    QFETCH(bool, pipeIgnored);
    environment.insert(QStringLiteral("KIVRA_STANDIN_EXIT_CODE"), QStringLiteral("7"));
    environment.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QStringLiteral("300"));
    environment.insert(QStringLiteral("KIVRA_STANDIN_SIGNALS"), QStringLiteral("1"));

    QProcess netproxy;
    testsupport::ProcessGuard guard(&netproxy);
    netproxy.setProgram(NetproxyBin);
    netproxy.setArguments({"--emulator", StandinBin, "--command", "c"});
    netproxy.setProcessEnvironment(environment);
    // No channels of Qt's own: the child's output is only what the modifier makes it.
    netproxy.setProcessChannelMode(QProcess::ForwardedChannels);
    netproxy.setInputChannelMode(QProcess::ForwardedInputChannel);
    // Runs in the child between fork and exec, after QProcess's own set-up: Qt 6.4 resets
    // SIGPIPE to its default in every child before this runs, so the disposition set here is
    // the one the program starts with. Async-signal-safe calls only.
    netproxy.setChildProcessModifier([pipeIgnored] {
        int ends[2];
        if (::pipe(ends) != 0)
            ::_exit(120);
        ::close(ends[0]);
        if (::dup2(ends[1], STDOUT_FILENO) < 0 || ::dup2(ends[1], STDERR_FILENO) < 0)
            ::_exit(121);
        ::close(ends[1]);
        struct sigaction action {};
        action.sa_handler = pipeIgnored ? SIG_IGN : SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGPIPE, &action, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    });
    netproxy.start();
    QVERIFY(netproxy.waitForStarted(5000));
    QVERIFY(netproxy.waitForFinished(20000));
    QVERIFY2(netproxy.exitStatus() == QProcess::NormalExit,
             QByteArray("ended by signal " + QByteArray::number(netproxy.exitCode())).constData());
    QCOMPARE(netproxy.exitCode(), 7);

    const QList<QByteArray> record = hosttest::recordLines(recordPath);
    QVERIFY2(hosttest::recordHas(record, "SigIgn") && hosttest::recordHas(record, "SigBlk"),
             record.join('|').constData());
    const quint64 ignored = hosttest::recordValue(record, "SigIgn").toULongLong(nullptr, 16);
    const quint64 blocked = hosttest::recordValue(record, "SigBlk").toULongLong(nullptr, 16);
    QCOMPARE(bool(ignored & SigPipeBit), pipeIgnored);
    // Every other ignored signal as the program inherited it from us; nothing blocked.
    QCOMPARE(ignored & ~SigPipeBit, ownSignalMask("SigIgn") & ~SigPipeBit);
    QCOMPARE(blocked, quint64(0));
}

QTEST_GUILESS_MAIN(TestNetproxyDirect)
#include "tst_netproxy_direct.moc"
