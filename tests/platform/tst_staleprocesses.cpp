// The host's stale-process pass: the configured emulator path and the own path, in their
// many spellings, against real children. Children run from private copies of sleep(1) in a
// temporary directory, and every path handed to the pass names those copies (or nothing that
// runs), so no process outside this test can match.
#include "host/staleprocesses.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// How long a child sleeps if nothing ends it, s.
constexpr char ChildSleepSeconds[] = "60";
// Ample time for a killed child to be reaped, ms.
constexpr int ReapTimeoutMs = 5000;

} // namespace

class TestStaleProcesses : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString dir;  // canonical; holds "Emu/Sleeper", the file every row starts
    QString emulator;
    QString savedCwd;

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        dir = QFileInfo(scratch.path()).canonicalFilePath();
        QVERIFY(QDir(dir).mkpath(QStringLiteral("Emu/Other")));
        emulator = dir + QStringLiteral("/Emu/Sleeper");
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), emulator));
        QVERIFY(QFile::setPermissions(emulator, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QFile::link(emulator, dir + QStringLiteral("/EmuLink")));
        savedCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir + QStringLiteral("/Emu/Other")));
    }

    void cleanupTestCase() { QDir::setCurrent(savedCwd); }

    void terminateStaleProcesses_data()
    {
        QTest::addColumn<QString>("emulatorArg");
        QTest::addColumn<QString>("ownArg");
        QTest::addColumn<int>("expectedCount");
        const QString none = dir + QStringLiteral("/Emu/NotRunning");

        QTest::newRow("exact emulator path") << emulator << none << 1;
        QTest::newRow("emulator path in other letter case") << emulator.toUpper() << none << 1;
        QTest::newRow("emulator path relative to the working directory")
            << QStringLiteral("../Sleeper") << none << 1;
        QTest::newRow("emulator path through a symbolic link") << dir + QStringLiteral("/EmuLink") << none << 1;
        QTest::newRow("emulator path with dot parts and doubled separators")
            << dir + QStringLiteral("//Emu/./Other/..//Sleeper") << none << 1;
        // On Linux "\" is part of a file name, so this names a different (missing) file.
        QTest::newRow("backslashes name another file on Linux")
            << dir + QStringLiteral("\\Emu\\Sleeper") << none << 0;
        QTest::newRow("leftover instance found through the own path") << QString() << emulator << 1;
        QTest::newRow("emulator path that does not exist") << none << QString() << 0;
        QTest::newRow("both paths empty") << QString() << QString() << 0;
        QTest::newRow("running image as own path ends nothing else")
            << QString() << QCoreApplication::applicationFilePath() << 0;
    }

    void terminateStaleProcesses()
    {
        QFETCH(QString, emulatorArg);
        QFETCH(QString, ownArg);
        QFETCH(int, expectedCount);

        QProcess child;
        testsupport::ProcessGuard guard(&child);
        child.start(emulator, {QLatin1String(ChildSleepSeconds)});
        QVERIFY(child.waitForStarted());

        QCOMPARE(host::terminateStaleProcesses(emulatorArg, ownArg), expectedCount);
        if (expectedCount > 0) {
            QVERIFY(child.state() == QProcess::NotRunning || child.waitForFinished(ReapTimeoutMs));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(child.state(), QProcess::Running);
        }
    }

    // Cost of one pass over every process of the machine when nothing matches, which is the
    // usual case at the start of a served match.
    void passCostWithoutMatches()
    {
        int processes = 0;
        for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool isPid = false;
            name.toUInt(&isPid);
            processes += isPid ? 1 : 0;
        }
        qInfo("processes on this machine: %d", processes);
        QBENCHMARK {
            QCOMPARE(host::terminateStaleProcesses(dir + QStringLiteral("/Emu/NotRunning"), QString()), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestStaleProcesses)
#include "tst_staleprocesses.moc"
