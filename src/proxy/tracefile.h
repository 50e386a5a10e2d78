// The datagram trace file: file name rule, where traces go, which old ones are deleted, the
// clocks and when to flush; the lines themselves are wire/traceline's. No sockets, no event
// loop; the manager owns the open stream. The rules are free functions; openTraceFile and
// openDefaultTrace (tracedir_posix.cpp or tracedir_windows.cpp) are the file-system shell.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstddef>
#include <cstdio>

namespace tracefile {

// Old traces kept when a new one is made (files): with the new one, 50 remain.
constexpr int KeptOldTraces = 49;

// The trace directory below the per-user base (path, "/"-separated).
inline constexpr char TraceSubdirectory[] = "Sarnolix/net-traces";

// Appends one data line to `file` with a single fwrite, and flushes when more than a second
// has passed since `lastFlushUs` (updated then). The relay calls this for every datagram.
void writeTraceLine(std::FILE *file, qint64 &lastFlushUs, char direction, const char *data, qint64 length);

// Every character outside A-Z a-z 0-9 . _ - becomes "_".
QString cleanedQuark(const QString &quark);

// "yyyyMMdd-HHmmss-<cleaned quark>.txt" for the given local time.
QString traceFileName(const QDateTime &localTime, const QString &quark);

struct TraceCandidate
{
    QString path;          // name inside the trace directory (or a path)
    qint64 modifiedMs = 0; // last modification, ms since the epoch
};

// The traces to delete so that `keep` remain: all but the `keep` most recently modified.
QStringList expiredTraces(QList<TraceCandidate> candidates, int keep);

// True for names this program gives its traces: 8 digits, "-", 6 digits, "-", any number of
// A-Z a-z 0-9 . _ - and ".txt". Retention looks at nothing else.
bool isTraceFileName(const QString &name);

// True when the bytes begin with header line 1's words.
bool startsWithTraceHeader(const QByteArray &firstBytes);

// What retention knows of one directory entry.
struct TraceEntry
{
    QString name;
    bool regularFile = false; // by lstat: a symbolic link is not one
    bool ownedByUser = false;
    QByteArray firstBytes;    // the file's first bytes, read without following links
};

// A file retention may delete: one of our own traces, a regular file owned by the user.
bool isOwnTrace(const TraceEntry &entry);

// The per-user directory the trace directory goes below, on Linux and other POSIX systems.
// `anchor` must exist and may be reached through links (the user chose it); the components of
// `below` are created private (0700) when missing. An empty anchor means no trace.
struct TraceBase
{
    QString anchor;
    QString below;
    QString path() const;
};

// LOCALAPPDATA when absolute, else XDG_STATE_HOME when absolute, else $HOME/.local/state with
// an absolute HOME; never the shared temporary directory.
TraceBase traceBaseDirectory(const QString &localAppData, const QString &xdgStateHome, const QString &home);

// The environment values that decide where a trace goes.
struct TraceEnvironment
{
    QString overridePath; // KIVRA_NET_TRACE: the file the user names, used as given
    QString localAppData;
    QString xdgStateHome;
    QString home;
    QString tempDir;      // Windows only, where it is per user
};

TraceEnvironment processTraceEnvironment();

struct OpenedTrace
{
    std::FILE *file = nullptr; // null: no trace
    QString path;              // the trace directory's path joined with the name, or the override
};

// Opens a new trace for writing. The override file is opened as given ("w"). Otherwise the
// trace directory "Sarnolix/net-traces" below the per-user base is opened or created without
// following links (on POSIX systems; a link, a foreign owner or a directory others may write
// means no trace), our own old traces there are pruned to make room for one more, and the new
// file is created private (0600). No trace when any step fails.
OpenedTrace openTraceFile(const TraceEnvironment &env, const QString &quark, const QDateTime &localNow);

// The platform part of openTraceFile, one file per platform chosen by CMake: the trace
// directory below the per-user base, retention and the new file `fileName`. No trace on any
// failure.
OpenedTrace openDefaultTrace(const TraceEnvironment &env, const QString &fileName);

// The local 8-bit form of a path, or empty when that encoding cannot carry it (the bytes would
// name some other file).
QByteArray encodedPath(const QString &path);

// Clock readings in microseconds (nanoseconds / 1000, truncated).
qint64 steadyMicros();
qint64 wallMicros();

} // namespace tracefile
