// Stale-process pass on Linux: /proc gives the processes and their executables, a pidfd
// pins the process we look at so that a recycled pid can never be signalled by mistake.
#include "platform/platform.h"
#include "platform/procfs.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Upper bound of directory entries read from /proc; the kernel's pid_max cannot exceed it.
constexpr long MaxProcessEntries = 4194304;
// How long to wait for a terminated process to be gone, ms.
constexpr int TerminationWaitMs = 1000;
// Sleep between liveness checks when there is no pidfd to poll, ms.
constexpr int KillPollSliceMs = 10;
// Room for the longest path (PATH_MAX, bytes) plus the kernel's " (deleted)" mark.
constexpr std::size_t LinkBufferBytes = 4096 + 16;
// Largest /proc/<pid>/status read, bytes; the real file is about 1.5 KiB.
constexpr std::size_t MaxStatusBytes = 64 * 1024;
// What the kernel appends to /proc/<pid>/exe once the file is gone from its path.
constexpr char DeletedSuffix[] = " (deleted)";

long pidFdOpen(pid_t pid)
{
#ifdef SYS_pidfd_open
    return ::syscall(SYS_pidfd_open, pid, 0);
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

long pidFdSendSignal(int fd, int signal)
{
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0);
#else
    (void)fd;
    (void)signal;
    errno = ENOSYS;
    return -1;
#endif
}

std::string procPath(pid_t pid, const char *leaf)
{
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// Pid from a /proc entry name; 0 for anything that is not all digits.
pid_t pidFromName(const char *name)
{
    long value = 0;
    if (*name == '\0')
        return 0;
    for (const char *c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return 0;
        value = value * 10 + (*c - '0');
        if (value > MaxProcessEntries)  // beyond any pid the kernel hands out
            return 0;
    }
    return pid_t(value);
}

bool readSmallFile(const std::string &path, std::string *text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::array<char, 4096> chunk{};
    text->clear();
    bool ok = true;
    while (text->size() < MaxStatusBytes) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        text->append(chunk.data(), std::size_t(n));
    }
    ::close(fd);
    return ok;
}

bool ownedByUs(pid_t pid)
{
    std::string status;
    unsigned long uid = 0;
    return readSmallFile(procPath(pid, "status"), &status)
           && platform::procfs::realUidFromStatus(status, &uid) && uid == ::getuid();
}

bool endsWith(const std::string &text, const char *suffix)
{
    const std::size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// Executable path of `pid`, empty when it cannot be read (kernel threads, zombies, races).
std::string executablePath(pid_t pid)
{
    const std::string link = procPath(pid, "exe");
    std::array<char, LinkBufferBytes> buffer{};
    const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || std::size_t(n) >= buffer.size())
        return {};
    const std::string text(buffer.data(), std::size_t(n));
    bool literalNameIsLive = false;
    if (endsWith(text, DeletedSuffix)) {
        // A file whose name really ends in the mark is told apart by being the running image.
        struct stat named {};
        struct stat running {};
        literalNameIsLive = ::stat(text.c_str(), &named) == 0 && ::stat(link.c_str(), &running) == 0
                            && named.st_dev == running.st_dev && named.st_ino == running.st_ino;
    }
    return platform::procfs::executablePathFromLink(text, literalNameIsLive);
}

void sleepMs(int ms)
{
    timespec slice{};
    slice.tv_sec = ms / 1000;
    slice.tv_nsec = long(ms % 1000) * 1000000L;
    ::nanosleep(&slice, nullptr);
}

long long monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The pidfd turns readable once the process has ended (zombie or reaped).
void waitForPidFd(int fd)
{
    const long long deadline = monotonicMs() + TerminationWaitMs;
    for (int round = 0; round < TerminationWaitMs; ++round) {
        const long long left = deadline - monotonicMs();
        if (left <= 0)
            return;
        pollfd entry{fd, POLLIN, 0};
        const int rc = ::poll(&entry, 1, int(left));
        if (rc != 0 && !(rc < 0 && errno == EINTR))
            return;
    }
}

bool processEnded(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    // A zombie still answers kill(); its state letter says it has ended. Reaping it is left
    // to its parent (which may be a QProcess in our own program).
    std::string stat;
    if (!readSmallFile(procPath(pid, "stat"), &stat))
        return true;
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size()
           && (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
}

void waitForPid(pid_t pid)
{
    const long long deadline = monotonicMs() + TerminationWaitMs;
    for (int round = 0; round <= TerminationWaitMs / KillPollSliceMs; ++round) {
        if (processEnded(pid) || monotonicMs() >= deadline)
            return;
        sleepMs(KillPollSliceMs);
    }
}

} // namespace

namespace platform {

std::uint32_t currentProcessId()
{
    return static_cast<std::uint32_t>(::getpid());
}

int terminateMatchingProcesses(const std::function<bool(const NativePath &path)> &matches)
{
    return procfs::terminateMatchingProcesses(
        matches, procfs::pidFdAvailable() ? procfs::Termination::PidFd : procfs::Termination::Kill);
}

namespace procfs {

std::string executablePathFromLink(const std::string &linkText, bool literalNameIsLive)
{
    if (literalNameIsLive || !endsWith(linkText, DeletedSuffix))
        return linkText;
    return linkText.substr(0, linkText.size() - std::strlen(DeletedSuffix));
}

bool realUidFromStatus(const std::string &statusText, unsigned long *uid)
{
    static const std::string key = "Uid:";
    std::size_t at = statusText.compare(0, key.size(), key) == 0 ? 0 : statusText.find("\n" + key);
    if (at == std::string::npos)
        return false;
    at += statusText[at] == '\n' ? key.size() + 1 : key.size();
    while (at < statusText.size() && (statusText[at] == ' ' || statusText[at] == '\t'))
        ++at;
    unsigned long value = 0;
    std::size_t digits = 0;
    for (; at < statusText.size() && statusText[at] >= '0' && statusText[at] <= '9'; ++at, ++digits) {
        if (digits >= 10)  // uid_t is 32 bits: ten digits at most
            return false;
        value = value * 10 + static_cast<unsigned long>(statusText[at] - '0');
    }
    if (digits == 0 || value > 0xffffffffUL
        || (at < statusText.size() && statusText[at] != '\t' && statusText[at] != ' '
            && statusText[at] != '\n'))
        return false;
    *uid = value;
    return true;
}

bool pidFdAvailable()
{
    const long fd = pidFdOpen(::getpid());
    if (fd < 0)
        return false;
    ::close(int(fd));
    return true;
}

int terminateMatchingProcesses(const std::function<bool(const NativePath &path)> &matches,
                               Termination method)
{
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return 0;
    const pid_t own = ::getpid();
    int count = 0;
    for (long entries = 0; entries < MaxProcessEntries; ++entries) {
        const dirent *entry = ::readdir(proc);
        if (!entry)
            break;
        const pid_t pid = pidFromName(entry->d_name);
        if (pid <= 0 || pid == own)
            continue;

        // Opening: only our own processes are ours to end.
        int fd = -1;
        if (method == Termination::PidFd) {
            fd = int(pidFdOpen(pid));
            if (fd < 0)
                continue;
        }
        if (!ownedByUs(pid)) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }

        const std::string path = executablePath(pid);
        // Still alive after the path was read means the path is this process's and not
        // that of a newcomer that got the pid after it ended.
        const bool sameProcess = fd < 0 || pidFdSendSignal(fd, 0) == 0;
        if (!path.empty() && sameProcess && matches(path)) {
            if (fd >= 0) {
                if (pidFdSendSignal(fd, SIGKILL) == 0) {
                    waitForPidFd(fd);
                    ++count;
                }
            } else if (::kill(pid, SIGKILL) == 0) {
                waitForPid(pid);
                ++count;
            }
        }
        if (fd >= 0)
            ::close(fd);
    }
    ::closedir(proc);
    return count;
}

} // namespace procfs
} // namespace platform
