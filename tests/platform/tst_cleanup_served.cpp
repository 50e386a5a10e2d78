// The leftover-process pass through the real program.
//
// Safety: a served run ends (SIGKILL) every process of our user started from the program's
// own executable path or from the emulator path it is given, whoever started it. ctest runs
// other tests at the same time, and they run the program and the emulator stand-in from the
// build tree. This test therefore copies both binaries into its own temporary directory and
// only ever runs the copies, so the path match can reach nothing but processes started here.
// It also runs in a private network namespace, since a served run binds the fixed proxy
// ports and sends SSDP.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

// Longest wait for a line or an end from the program, ms.
constexpr int LineTimeoutMs = 15000;
// How long a leftover stand-in stays up if nothing ends it, ms.
constexpr char LeftoverRunMs[] = "60000";
constexpr char Quark[] = "cleanup.1";
// A served command: signalling to a closed loopback port, relaying to the loopback host.
constexpr char ServedCommand[] = "kivra-net:served,v1,cleanup.1,v3,,127.0.0.1,9,127.0.0.1";

// Reads whole lines until `done` says stop, the process ends, or the time is up.
QStringList readLinesUntil(QProcess &process, const std::function<bool(const QString &)> &done)
{
    QStringList lines;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < LineTimeoutMs) {
        while (process.canReadLine()) {
            lines << QString::fromUtf8(process.readLine()).trimmed();
            if (done(lines.last()))
                return lines;
        }
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(int(qMax<qint64>(1, LineTimeoutMs - clock.elapsed())));
    }
    const QByteArray rest = process.readAllStandardOutput();
    for (const QByteArray &line : rest.split('\n')) {
        if (!line.trimmed().isEmpty())
            lines << QString::fromUtf8(line).trimmed();
    }
    return lines;
}

// waitForFinished() says false for a process that has already been seen to end.
bool hasFinished(QProcess &process)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(LineTimeoutMs);
}

bool killedBySignal(QProcess &process)
{
    return hasFinished(process) && process.exitStatus() == QProcess::CrashExit
           && process.exitCode() == SIGKILL;
}

} // namespace

class TestCleanupServed : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString dir;
    QString program;   // private copy of kivra-netproxy
    QString emulator;  // private copy of the stand-in, the configured emulator
    QString idler;     // another stand-in copy, child of a leftover program instance

    static bool copyExecutable(const QString &from, const QString &to)
    {
        return QDir().mkpath(QFileInfo(to).absolutePath()) && QFile::copy(from, to)
               && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QProcessEnvironment cleanEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &key : env.keys()) {
            if (key.startsWith(QLatin1String("KIVRA_STANDIN_")))
                env.remove(key);
        }
        env.insert(QStringLiteral("KIVRA_NET_TRACE"), dir + QStringLiteral("/trace.txt"));
        return env;
    }

    void startLeftoverEmulator(QProcess &process)
    {
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QLatin1String(LeftoverRunMs));
        process.setProcessEnvironment(env);
        process.start(emulator, {QStringLiteral("leftover")});
        QVERIFY(process.waitForStarted());
    }

    // A direct-mode instance of the program copy, held up by its own idle emulator; returns
    // the idle emulator's pid through the stand-in's record file.
    void startLeftoverProgram(QProcess &process, qint64 *idlePid)
    {
        const QString record = dir + QStringLiteral("/idle-record.txt");
        QFile::remove(record);
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QStringLiteral("KIVRA_STANDIN_RUN_MS"), QLatin1String(LeftoverRunMs));
        env.insert(QStringLiteral("KIVRA_STANDIN_RECORD"), record);
        process.setProcessEnvironment(env);
        process.start(program, {QStringLiteral("--emulator"), idler, QStringLiteral("--command"), QStringLiteral("hold")});
        QVERIFY(process.waitForStarted());
        const QStringList lines =
            readLinesUntil(process, [](const QString &line) { return line == QLatin1String("emulator_started"); });
        QVERIFY2(lines.contains(QStringLiteral("emulator_started")), qPrintable(lines.join(QLatin1Char('|'))));
        QTRY_VERIFY(QFileInfo(record).size() > 0);
        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray first = file.readLine().trimmed();
        QVERIFY2(first.startsWith("pid="), first.constData());
        *idlePid = first.mid(4).toLongLong();
        QVERIFY(*idlePid > 0);
    }

    // The idle emulator is a grandchild: end it by pid, after checking that the pid is still
    // the copy this test started.
    void endIdleEmulator(qint64 pid)
    {
        if (pid <= 0)
            return;
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == idler)
            ::kill(pid_t(pid), SIGKILL);
    }

private slots:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        QVERIFY(scratch.isValid());
        dir = QFileInfo(scratch.path()).canonicalFilePath();
        program = dir + QStringLiteral("/bin/kivra-netproxy");
        emulator = dir + QStringLiteral("/Emu/emulator-standin");
        idler = dir + QStringLiteral("/idle/idle-emulator");
        QVERIFY(copyExecutable(QStringLiteral(NETPROXY_BIN), program));
        QVERIFY(copyExecutable(QStringLiteral(STANDIN_BIN), emulator));
        QVERIFY(copyExecutable(QStringLiteral(STANDIN_BIN), idler));
        QVERIFY(QFile::link(emulator, dir + QStringLiteral("/EmuLink")));
    }

    void servedPass_data()
    {
        QTest::addColumn<bool>("leftoverEmulator");
        QTest::addColumn<bool>("leftoverProgram");
        QTest::addColumn<QString>("emulatorArg");
        QTest::addColumn<QString>("workingDir");
        QTest::addColumn<int>("expected");  // 0: no "cleanup" line at all

        QTest::newRow("emulator and program left over: both ended")
            << true << true << emulator << QString() << 2;
        QTest::newRow("nothing left over: no cleanup line") << false << false << emulator << QString() << 0;
        QTest::newRow("program left over only") << false << true << emulator << QString() << 1;
        QTest::newRow("emulator through a symbolic link")
            << true << false << dir + QStringLiteral("/EmuLink") << QString() << 1;
        QTest::newRow("emulator through a relative path")
            << true << false << QStringLiteral("../Emu/emulator-standin") << dir + QStringLiteral("/bin") << 1;
        QTest::newRow("emulator in other letter case") << true << false << emulator.toUpper() << QString() << 1;
    }

    void servedPass()
    {
        QFETCH(bool, leftoverEmulator);
        QFETCH(bool, leftoverProgram);
        QFETCH(QString, emulatorArg);
        QFETCH(QString, workingDir);
        QFETCH(int, expected);

        QProcess oldEmulator;
        testsupport::ProcessGuard oldEmulatorGuard(&oldEmulator);
        QProcess oldProgram;
        testsupport::ProcessGuard oldProgramGuard(&oldProgram);
        qint64 idlePid = 0;
        struct IdleEnd {
            TestCleanupServed *test;
            qint64 *pid;
            ~IdleEnd() { test->endIdleEmulator(*pid); }
        } idleEnd{this, &idlePid};

        if (leftoverEmulator)
            startLeftoverEmulator(oldEmulator);
        if (leftoverProgram)
            startLeftoverProgram(oldProgram, &idlePid);
        if (QTest::currentTestFailed())
            return;

        QProcess run;
        testsupport::ProcessGuard runGuard(&run);
        run.setProcessEnvironment(cleanEnvironment());
        if (!workingDir.isEmpty())
            run.setWorkingDirectory(workingDir);
        run.start(program, {QStringLiteral("--emulator"), emulatorArg, QStringLiteral("--command"),
                            QLatin1String(ServedCommand)});
        QVERIFY(run.waitForStarted());
        // The first line after the pass ("trace", or a launch failure) shows the run went on.
        const QStringList lines = readLinesUntil(
            run, [](const QString &line) { return !line.startsWith(QLatin1String("cleanup")); });
        const QString seen = lines.join(QLatin1Char('|'));
        qInfo("program wrote: %s", qPrintable(seen));

        QStringList cleanupLines;
        for (const QString &line : lines) {
            if (line.startsWith(QLatin1String("cleanup")))
                cleanupLines << line;
        }
        if (expected == 0)
            QVERIFY2(cleanupLines.isEmpty(), qPrintable(seen));
        else
            QCOMPARE(cleanupLines, QStringList{QStringLiteral("cleanup %1 %2").arg(QLatin1String(Quark)).arg(expected)});

        // Our own process survived its pass: it wrote past it, and if it has ended, it ended
        // by itself.
        QVERIFY2(lines.size() > cleanupLines.size(), qPrintable(seen));
        if (run.state() == QProcess::NotRunning)
            QCOMPARE(run.exitStatus(), QProcess::NormalExit);

        if (leftoverEmulator)
            QVERIFY(killedBySignal(oldEmulator));
        if (leftoverProgram) {
            QVERIFY(killedBySignal(oldProgram));
            // The leftover's own emulator is from another path: not touched.
            QVERIFY(QFileInfo::exists(QStringLiteral("/proc/%1").arg(idlePid)));
        }
    }

    void directModeSkipsPass()
    {
        QProcess oldEmulator;
        testsupport::ProcessGuard oldEmulatorGuard(&oldEmulator);
        startLeftoverEmulator(oldEmulator);

        QProcess run;
        testsupport::ProcessGuard runGuard(&run);
        run.setProcessEnvironment(cleanEnvironment());  // the stand-in exits at once with 0
        run.start(program, {QStringLiteral("--emulator"), emulator, QStringLiteral("--command"), QStringLiteral("plain")});
        QVERIFY(run.waitForStarted());
        const testsupport::RunResult ended = testsupport::waitForEnd(run, LineTimeoutMs);
        QVERIFY(ended.finished);
        QCOMPARE(ended.exitCode, 0);
        QVERIFY2(ended.lines.contains("emulator_started"), ended.lines.join('|').constData());
        for (const QByteArray &line : ended.lines)
            QVERIFY2(!line.startsWith("cleanup"), line.constData());
        QCOMPARE(oldEmulator.state(), QProcess::Running);
    }
};

KIVRA_NETNS_TEST_MAIN(TestCleanupServed)
#include "tst_cleanup_served.moc"
