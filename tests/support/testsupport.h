// Shared by every test: private network namespaces, fixture processes, environment checks.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>

#include <sys/types.h>

namespace testsupport {

// Moves the calling process into a fresh network namespace with loopback up (so the fixed
// ports 7001, 6006, 6004 never collide and nothing can leave the machine). Must run before
// any thread exists: use KIVRA_NETNS_TEST_MAIN. Root uses a plain network namespace; other
// users fall back to a user namespace with a network namespace.
bool enterPrivateNetworkNamespace(QString *why);

// Result of the attempt made by KIVRA_NETNS_TEST_MAIN: empty when the namespace is in force.
QString networkNamespaceProblem();

// True when running under CI (CI=true): tests that cannot make namespaces must fail there.
bool underCi();

// Kills (SIGKILL) and reaps a process we started, by its PID, when it goes out of scope.
class ProcessGuard
{
public:
    explicit ProcessGuard(QProcess *process) : process_(process) {}
    ProcessGuard(const ProcessGuard &) = delete;
    ProcessGuard &operator=(const ProcessGuard &) = delete;
    ~ProcessGuard();

private:
    QProcess *process_;
};

// Starts a fixture program and reads its first line of standard output (the fixture prints
// its port there). Returns the line trimmed, or empty on failure / timeout.
QByteArray startFixture(QProcess &process, const QString &program, const QStringList &arguments,
                        int timeoutMs = 5000);

// What a program left when it ended.
struct RunResult
{
    bool finished = false;        // ended by itself within the time, with a normal exit
    int exitCode = -1;
    QByteArray output;            // standard output as written
    QByteArray errors;            // standard error as written
    QList<QByteArray> lines;      // standard output, split at line ends
    bool lastLineEnded = false;   // the output was empty or ended with a line end
};

// The output split into lines, without the empty piece after the last line end.
QList<QByteArray> outputLines(const QByteArray &output, bool *lastLineEnded = nullptr);

// Waits up to timeoutMs for a started process to end, then reads all it wrote.
RunResult waitForEnd(QProcess &process, int timeoutMs);

// Starts a program (standard error kept apart), waits for its end and reads its output. The
// process is killed if it is still running when the call returns.
RunResult runToEnd(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                   int timeoutMs, const QString &workingDirectory = QString());

} // namespace testsupport

// Checks that the namespace is in force; skips loudly, or fails under CI=true.
#define KIVRA_REQUIRE_NETNS()                                                                    \
    do {                                                                                         \
        const QString kivraProblem = testsupport::networkNamespaceProblem();                     \
        if (!kivraProblem.isEmpty()) {                                                           \
            const QByteArray kivraMsg =                                                          \
                ("NO PRIVATE NETWORK NAMESPACE: " + kivraProblem).toLocal8Bit();                 \
            if (testsupport::underCi())                                                          \
                QFAIL(kivraMsg.constData());                                                     \
            qWarning("%s", kivraMsg.constData());                                                \
            QSKIP(kivraMsg.constData());                                                         \
        }                                                                                        \
    } while (false)

// QTEST_GUILESS_MAIN that first moves the test into its own network namespace.
#define KIVRA_NETNS_TEST_MAIN(TestObject)                                                        \
    int main(int argc, char *argv[])                                                             \
    {                                                                                            \
        QString kivraWhy;                                                                        \
        testsupport::enterPrivateNetworkNamespace(&kivraWhy);                                    \
        QCoreApplication app(argc, argv);                                                        \
        TestObject tc;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                               \
        return QTest::qExec(&tc, argc, argv);                                                    \
    }
