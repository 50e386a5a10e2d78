// The trace directory on POSIX systems, handled through directory descriptors: below the
// user's base nothing is followed through a link, nothing foreign is used or deleted, so a
// link or directory planted by someone else cannot redirect where traces are written or what
// retention deletes.
#include "proxy/tracefile.h"
#include "wire/traceline.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tracefile {
namespace {

constexpr mode_t PrivateDirectoryMode = 0700; // traces show the player's traffic: owner only
constexpr mode_t PrivateFileMode = 0600;      // the same for the file
constexpr int MaxPathComponents = 256;        // components of the base walked: far beyond any real path
constexpr int MaxListedEntries = 100000;      // directory entries looked at per launch: bounds a flooded directory
constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Closes the descriptor it holds.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int openRetryingInterrupts(int dirFd, const char *name, int flags, mode_t mode = 0)
{
    int fd = -1;
    for (int attempt = 0; attempt < 3; ++attempt) { // a signal may interrupt the open; bounded retries
        fd = ::openat(dirFd, name, flags, mode);
        if (fd >= 0 || errno != EINTR)
            break;
    }
    return fd;
}

// Opens one directory below dirFd, making it private when missing. `followLinks` is for the
// base, which the user chose.
int openOrMakeDirectory(int dirFd, const char *name, bool followLinks)
{
    const int flags = DirectoryFlags | (followLinks ? 0 : O_NOFOLLOW);
    int fd = openRetryingInterrupts(dirFd, name, flags);
    if (fd < 0 && errno == ENOENT) {
        // Another launch may make it at the same moment: EEXIST is fine, the open decides.
        if (::mkdirat(dirFd, name, PrivateDirectoryMode) != 0 && errno != EEXIST)
            return -1;
        fd = openRetryingInterrupts(dirFd, name, flags);
    }
    return fd;
}

// Our own directory: not a link (the open refused those), a directory, owned by us and not
// writable by anyone else, who could otherwise swap its entries.
bool isPrivateDirectory(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
           && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The base: the anchor and the components below it, followed through links, made when missing.
int openBase(const TraceBase &base)
{
    const QByteArray anchor = QFile::encodeName(base.anchor);
    if (anchor.isEmpty() || QFile::decodeName(anchor) != base.anchor)
        return -1;
    Descriptor dir(openRetryingInterrupts(AT_FDCWD, anchor.constData(), DirectoryFlags));
    const QStringList parts = base.below.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() > MaxPathComponents)
        return -1;
    for (const QString &part : parts) {
        if (!dir.valid())
            return -1;
        const QByteArray name = QFile::encodeName(part);
        if (QFile::decodeName(name) != part)
            return -1;
        dir.reset(openOrMakeDirectory(dir.get(), name.constData(), true));
    }
    return dir.release();
}

// The first bytes of a regular file of ours, read without following a link or waiting.
QByteArray firstBytesOf(int dirFd, const char *name, const struct stat &listed)
{
    Descriptor file(openRetryingInterrupts(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid())
        return {};
    struct stat opened {};
    // The same file that was listed, still a regular one.
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != listed.st_dev
        || opened.st_ino != listed.st_ino)
        return {};
    QByteArray bytes(wire::trace::recognitionBytes(), '\0');
    const ssize_t count = ::read(file.get(), bytes.data(), std::size_t(bytes.size()));
    return count > 0 ? bytes.left(qsizetype(count)) : QByteArray();
}

// Deletes our own traces beyond the newest KeptOldTraces. Everything else stays.
void pruneOldTraces(int dirFd)
{
    // fdopendir takes its descriptor over; the directory's own stays with the caller.
    const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (listFd < 0)
        return;
    DIR *listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return;
    }
    QList<TraceCandidate> candidates;
    int looked = 0;
    while (looked < MaxListedEntries) {
        const dirent *entry = ::readdir(listing);
        if (!entry)
            break;
        ++looked;
        TraceEntry trace;
        trace.name = QFile::decodeName(entry->d_name);
        if (!isTraceFileName(trace.name))
            continue;
        struct stat info {};
        if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        trace.regularFile = S_ISREG(info.st_mode);
        trace.ownedByUser = info.st_uid == ::geteuid();
        if (trace.regularFile && trace.ownedByUser)
            trace.firstBytes = firstBytesOf(dirFd, entry->d_name, info);
        if (!isOwnTrace(trace))
            continue;
        const qint64 modifiedMs = qint64(info.st_mtim.tv_sec) * 1000 + qint64(info.st_mtim.tv_nsec) / 1000000;
        candidates.append({trace.name, modifiedMs});
    }
    ::closedir(listing);
    const QStringList expired = expiredTraces(candidates, KeptOldTraces);
    for (const QString &name : expired)
        ::unlinkat(dirFd, QFile::encodeName(name).constData(), 0); // a failure only leaves one more
}

// Creates or truncates the trace file itself: never through a link, never a FIFO or device, never
// someone else's file.
std::FILE *createTrace(int dirFd, const QString &fileName)
{
    const QByteArray name = QFile::encodeName(fileName);
    if (name.isEmpty() || QFile::decodeName(name) != fileName || name.contains('/'))
        return nullptr;
    // O_NONBLOCK: a FIFO planted at the name must not hold the open. The truncation waits until
    // the file is known to be our regular one.
    Descriptor file(openRetryingInterrupts(dirFd, name.constData(),
                                           O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, PrivateFileMode));
    if (!file.valid())
        return nullptr;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        return nullptr;
    // A second launch in the same second with the same quark reuses the name.
    if (::ftruncate(file.get(), 0) != 0)
        return nullptr;
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return nullptr;
    std::FILE *stream = ::fdopen(file.get(), "w");
    if (stream)
        file.release();
    return stream;
}

// The trace directory below `base`, retention and the new file, all relative to directory
// descriptors. Null on any failure.
std::FILE *openPrivateTrace(const TraceBase &base, const QString &fileName)
{
    Descriptor dir(openBase(base));
    // "Sarnolix", then "net-traces": each our own private directory, never a link.
    for (const char *name : {"Sarnolix", "net-traces"}) {
        if (!dir.valid())
            return nullptr;
        Descriptor below(openOrMakeDirectory(dir.get(), name, false));
        if (!below.valid() || !isPrivateDirectory(below.get()))
            return nullptr;
        dir.reset(below.release());
    }
    if (!dir.valid())
        return nullptr;
    pruneOldTraces(dir.get());
    return createTrace(dir.get(), fileName);
}

} // namespace

OpenedTrace openDefaultTrace(const TraceEnvironment &env, const QString &fileName)
{
    OpenedTrace opened;
    const TraceBase base = traceBaseDirectory(env.localAppData, env.xdgStateHome, env.home);
    if (base.anchor.isEmpty())
        return opened;
    opened.file = openPrivateTrace(base, fileName);
    if (opened.file)
        opened.path = QDir(base.path()).filePath(QLatin1String(TraceSubdirectory) + QLatin1Char('/') + fileName);
    return opened;
}

} // namespace tracefile
