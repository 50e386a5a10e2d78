#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {
namespace {

QString &problem()
{
    static QString text = QStringLiteral("KIVRA_NETNS_TEST_MAIN did not run");
    return text;
}

bool writeFile(const char *path, const QByteArray &content)
{
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return ok;
}

bool bringLoopbackUp(QString *why)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = short(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok)
        *why = QStringLiteral("bringing lo up: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return ok;
}

} // namespace

bool enterPrivateNetworkNamespace(QString *why)
{
    QString reason;
    bool ok = ::unshare(CLONE_NEWNET) == 0;
    if (!ok) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        ok = ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
        if (ok) {
            writeFile("/proc/self/setgroups", "deny");
            ok = writeFile("/proc/self/uid_map", QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1")
                 && writeFile("/proc/self/gid_map", QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1");
        }
        if (!ok)
            reason = QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (ok)
        ok = bringLoopbackUp(&reason);
    problem() = ok ? QString() : reason;
    if (why)
        *why = reason;
    return ok;
}

QString networkNamespaceProblem()
{
    return problem();
}

bool underCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

ProcessGuard::~ProcessGuard()
{
    if (process_ && process_->state() != QProcess::NotRunning) {
        const qint64 pid = process_->processId();
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
        process_->waitForFinished(3000);
    }
}

QByteArray startFixture(QProcess &process, const QString &program, const QStringList &arguments, int timeoutMs)
{
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setReadChannel(QProcess::StandardOutput);
    process.start();
    if (!process.waitForStarted(timeoutMs))
        return {};
    QElapsedTimer clock;
    clock.start();
    while (!process.canReadLine() && clock.elapsed() < timeoutMs) {
        if (!process.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - clock.elapsed()))))
            break;
    }
    if (!process.canReadLine())
        return {};
    return process.readLine().trimmed();
}

QList<QByteArray> outputLines(const QByteArray &output, bool *lastLineEnded)
{
    QList<QByteArray> lines = output.split('\n');
    const bool ended = lines.constLast().isEmpty();
    if (ended)
        lines.removeLast();
    if (lastLineEnded)
        *lastLineEnded = ended;
    return lines;
}

RunResult waitForEnd(QProcess &process, int timeoutMs)
{
    RunResult result;
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    result.finished = ended && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    result.lines = outputLines(result.output, &result.lastLineEnded);
    return result;
}

RunResult runToEnd(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                   int timeoutMs, const QString &workingDirectory)
{
    QProcess process;
    ProcessGuard guard(&process);
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    if (!process.waitForStarted(timeoutMs))
        return {};
    return waitForEnd(process, timeoutMs);
}

} // namespace testsupport
