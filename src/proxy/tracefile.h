// The datagram trace file: line format, file name rule, where traces go and which old ones
// are deleted. No sockets, no event loop; the manager owns the open stream.
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

// Bytes needed by formatTraceLine: two signed 64-bit numbers, the direction, three blanks,
// 96 hex digits and the line feed, with room to spare.
constexpr std::size_t TraceLineCapacity = 160;
// Content bytes recorded per datagram.
constexpr qint64 TraceContentBytes = 48;

// Formats "<timeUs> <direction> <length> <hex of the first 48 bytes>\n" into out, which must
// hold TraceLineCapacity bytes. Returns the number of bytes written (no terminating NUL).
// A negative length is written as given, with no content.
std::size_t formatTraceLine(char *out, qint64 timeUs, char direction, const char *data, qint64 length);

// Appends one data line to `file` with a single fwrite, and flushes when more than a second
// has passed since `lastFlushUs` (updated then). The relay calls this for every datagram.
void writeTraceLine(std::FILE *file, qint64 &lastFlushUs, char direction, const char *data, qint64 length);

// The two header lines: "# quark <quark>\n# clock wall_us <w> mono_us <m>\n". Line breaks and
// other control characters in the quark become "_" so the header stays two lines.
QByteArray traceHeader(const QString &quark, qint64 wallUs, qint64 monoUs);

// Every character outside A-Z a-z 0-9 . _ - becomes "_".
QString cleanedQuark(const QString &quark);

// "yyyyMMdd-HHmmss-<cleaned quark>.txt" for the given local time.
QString traceFileName(const QDateTime &localTime, const QString &quark);

struct TraceCandidate
{
    QString path;
    qint64 modifiedMs = 0; // last modification, ms since the epoch
};

// The traces to delete so that `keep` remain: all but the `keep` most recently modified.
QStringList expiredTraces(QList<TraceCandidate> candidates, int keep);

// Path for a new trace. A non-empty overridePath is returned as it is, touching nothing.
// Otherwise the directory "Sarnolix/net-traces" below localAppData (or tempDir when that is
// empty) is created, old "*.txt" traces there are pruned to make room for one more, and the
// new file's path is returned. Empty when the directory cannot be made or entered.
QString resolveTracePath(const QString &overridePath, const QString &localAppData, const QString &tempDir,
                         const QString &quark, const QDateTime &localNow);

// Clock readings in microseconds (nanoseconds / 1000, truncated).
qint64 steadyMicros();
qint64 wallMicros();

} // namespace tracefile
