// The Linux process pass on real child processes. Each child runs from a private copy of
// sleep(1) in a temporary directory, and every matcher compares against those copies only,
// so the pass can never reach a process that this test did not start.
#include "platform/platform.h"
#include "platform/procfs.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

namespace {

// How long a child sleeps if nothing ends it, s; far beyond any test, short enough to
// die by itself should the test be killed.
constexpr char ChildSleepSeconds[] = "60";
// Ample time for a killed child to be reaped, ms.
constexpr int ReapTimeoutMs = 5000;

enum class Method { Default, PidFd, Kill };

// Whether the process has ended (a zombie awaiting its parent counts as ended).
bool hasEnded(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close < 0 || close + 2 >= text.size() || text.at(close + 2) == 'Z' || text.at(close + 2) == 'X';
}

} // namespace

class TestProcessesLinux : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString dir;
    QString sleepProgram;
    QString ownImage;

    QString copyOfSleep(const QString &name)
    {
        const QString path = dir + QLatin1Char('/') + name;
        QFile::remove(path);
        if (!QFile::copy(sleepProgram, path))
            return {};
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        return path;
    }

    static int runPass(Method method, const std::function<bool(const platform::NativePath &)> &matches)
    {
        switch (method) {
        case Method::PidFd:
            return platform::procfs::terminateMatchingProcesses(matches, platform::procfs::Termination::PidFd);
        case Method::Kill:
            return platform::procfs::terminateMatchingProcesses(matches, platform::procfs::Termination::Kill);
        case Method::Default:
            break;
        }
        return platform::terminateMatchingProcesses(matches);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        dir = QFileInfo(scratch.path()).canonicalFilePath();
        // Another user must be able to reach the copies for the foreign-process row.
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                       | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        sleepProgram = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        QVERIFY2(!sleepProgram.isEmpty(), "sleep(1) not found");
        ownImage = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
        QVERIFY(!ownImage.isEmpty());
    }

    void pass_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("expectedCount");

        QTest::newRow("matching child killed and counted") << int(Method::Default) << "match" << 1;
        QTest::newRow("matching child killed and counted, pidfd") << int(Method::PidFd) << "match" << 1;
        QTest::newRow("matching child killed and counted, kill fallback") << int(Method::Kill) << "match" << 1;
        QTest::newRow("non-matching child untouched") << int(Method::Default) << "nomatch" << 0;
        QTest::newRow("deleted executable still matched by its path") << int(Method::PidFd) << "deleted" << 1;
        QTest::newRow("deleted executable still matched by its path, kill fallback")
            << int(Method::Kill) << "deleted" << 1;
        QTest::newRow("replaced executable still matched by its path") << int(Method::Default) << "replaced" << 1;
        QTest::newRow("name really ending in (deleted) matched whole") << int(Method::Default) << "literal" << 1;
        QTest::newRow("name really ending in (deleted) not taken for a deleted file")
            << int(Method::Default) << "literal-stripped" << 0;
        QTest::newRow("process of another user untouched") << int(Method::Default) << "otheruser" << 0;
    }

    void pass()
    {
        QFETCH(int, method);
        QFETCH(QString, scenario);
        QFETCH(int, expectedCount);
        if (Method(method) == Method::PidFd && !platform::procfs::pidFdAvailable())
            QSKIP("this kernel has no pidfd_open");

        const bool literal = scenario.startsWith(QLatin1String("literal"));
        const QString path = copyOfSleep(literal ? QStringLiteral("sleeper (deleted)") : QStringLiteral("sleeper-") + scenario);
        QVERIFY(!path.isEmpty());
        QString matchPath = path;
        if (scenario == QLatin1String("nomatch"))
            matchPath = dir + QStringLiteral("/not-started");
        if (scenario == QLatin1String("literal-stripped"))
            matchPath = dir + QStringLiteral("/sleeper");

        QProcess child;
        testsupport::ProcessGuard guard(&child);
        if (scenario == QLatin1String("otheruser")) {
            if (::getuid() != 0)
                QSKIP("needs root to start a process of another user");
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty())
                QSKIP("setpriv(1) not found");
            // setpriv execs the copy, so the child's pid and executable are the copy's.
            child.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                  QStringLiteral("--clear-groups"), path, QLatin1String(ChildSleepSeconds)});
        } else {
            child.start(path, {QLatin1String(ChildSleepSeconds)});
        }
        QVERIFY(child.waitForStarted());
        const qint64 pid = child.processId();
        if (scenario == QLatin1String("otheruser")) {
            // Wait for the exec into the copy, so the pass meets the final executable.
            QTRY_COMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget(), path);
        }
        if (scenario == QLatin1String("deleted"))
            QVERIFY(QFile::remove(path));
        if (scenario == QLatin1String("replaced")) {
            const QString fresh = copyOfSleep(QStringLiteral("sleeper-replaced.new"));
            QVERIFY(!fresh.isEmpty());
            QCOMPARE(::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()), 0);
        }

        bool sawOwnImage = false;
        const int count = runPass(Method(method), [&](const platform::NativePath &candidate) {
            const QString text = QFile::decodeName(QByteArray::fromStdString(candidate));
            sawOwnImage = sawOwnImage || text == ownImage;
            return text == matchPath;
        });

        QCOMPARE(count, expectedCount);
        QVERIFY2(!sawOwnImage, "the pass offered its own process to the matcher");
        if (expectedCount > 0) {
            // The pass waits for the end, so the child is already gone when it returns.
            QVERIFY(hasEnded(pid));
            QVERIFY(child.state() == QProcess::NotRunning || child.waitForFinished(ReapTimeoutMs));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            QCOMPARE(child.exitCode(), int(SIGKILL));
        } else {
            QVERIFY(!hasEnded(pid));
            QCOMPARE(child.state(), QProcess::Running);
        }
    }

    // A match that ends (and is reaped) before the pass gets to terminate it: the failed
    // termination is not counted, and with a pidfd no newcomer on the pid can be hit.
    void goneBeforeTermination_data()
    {
        QTest::addColumn<int>("method");
        QTest::newRow("process gone before termination not counted, pidfd") << int(Method::PidFd);
        QTest::newRow("process gone before termination not counted, kill fallback") << int(Method::Kill);
    }

    void goneBeforeTermination()
    {
        QFETCH(int, method);
        if (Method(method) == Method::PidFd && !platform::procfs::pidFdAvailable())
            QSKIP("this kernel has no pidfd_open");
        const QString path = copyOfSleep(QStringLiteral("sleeper-vanishing"));
        QProcess child;
        testsupport::ProcessGuard guard(&child);
        child.start(path, {QLatin1String(ChildSleepSeconds)});
        QVERIFY(child.waitForStarted());
        bool endedInMatcher = false;
        const int count = runPass(Method(method), [&](const platform::NativePath &candidate) {
            if (QFile::decodeName(QByteArray::fromStdString(candidate)) != path)
                return false;
            child.kill();
            endedInMatcher = child.waitForFinished(ReapTimeoutMs);
            return true;
        });
        QVERIFY(endedInMatcher);
        QCOMPARE(count, 0);
    }

    // The own executable is in the match list of every real run: the pass must never offer
    // or end the own process, while it does end another match in the same pass.
    void ownProcessNeverEnded()
    {
        const QString idler = copyOfSleep(QStringLiteral("own-sibling"));
        QProcess child;
        testsupport::ProcessGuard guard(&child);
        child.start(idler, {QLatin1String(ChildSleepSeconds)});
        QVERIFY(child.waitForStarted());

        int offeredOwn = 0;
        const int count = platform::terminateMatchingProcesses([&](const platform::NativePath &candidate) {
            const QString text = QFile::decodeName(QByteArray::fromStdString(candidate));
            offeredOwn += text == ownImage ? 1 : 0;
            return text == ownImage || text == idler;
        });
        QCOMPARE(offeredOwn, 0);
        QCOMPARE(count, 1);
        QVERIFY(child.state() == QProcess::NotRunning || child.waitForFinished(ReapTimeoutMs));
        QCOMPARE(platform::currentProcessId(), std::uint32_t(QCoreApplication::applicationPid()));
    }

    // Several matches in one pass: each one is counted once.
    void severalMatchesCountedOnce()
    {
        const QString path = copyOfSleep(QStringLiteral("sleeper-many"));
        std::vector<std::unique_ptr<QProcess>> children;
        std::vector<std::unique_ptr<testsupport::ProcessGuard>> guards;
        for (int i = 0; i < 3; ++i) {
            children.push_back(std::make_unique<QProcess>());
            guards.push_back(std::make_unique<testsupport::ProcessGuard>(children.back().get()));
            children.back()->start(path, {QLatin1String(ChildSleepSeconds)});
            QVERIFY(children.back()->waitForStarted());
        }
        QElapsedTimer clock;
        clock.start();
        const int count = platform::terminateMatchingProcesses([&](const platform::NativePath &candidate) {
            return QFile::decodeName(QByteArray::fromStdString(candidate)) == path;
        });
        qInfo("pass that ended %d processes took %.2f ms", count, double(clock.nsecsElapsed()) / 1e6);
        QCOMPARE(count, 3);
        for (auto &child : children)
            QVERIFY(child->state() == QProcess::NotRunning || child->waitForFinished(ReapTimeoutMs));
        // A second pass finds nothing left.
        QCOMPARE(platform::terminateMatchingProcesses([&](const platform::NativePath &candidate) {
                     return QFile::decodeName(QByteArray::fromStdString(candidate)) == path;
                 }),
                 0);
    }
};

QTEST_GUILESS_MAIN(TestProcessesLinux)
#include "tst_processes_linux.moc"
