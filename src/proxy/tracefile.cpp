#include "proxy/tracefile.h"
#include "wire/traceline.h"

#include <QDir>

#include <algorithm>
#include <chrono>

namespace tracefile {
namespace {

const QString TraceSuffix = QStringLiteral(".txt");
const QString StateBelowHome = QStringLiteral(".local/state"); // XDG_STATE_HOME's default below HOME
const QString TraceTimeFormat = QStringLiteral("yyyyMMdd-HHmmss");
constexpr qint64 TraceFlushIntervalUs = 999999; // us: flush on the first line after a second

bool isQuarkNameChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.' || u == '_'
           || u == '-';
}

} // namespace

QString cleanedQuark(const QString &quark)
{
    QString cleaned = quark;
    for (QChar &c : cleaned) {
        if (!isQuarkNameChar(c))
            c = QLatin1Char('_');
    }
    return cleaned;
}

QString traceFileName(const QDateTime &localTime, const QString &quark)
{
    return QStringLiteral("%1-%2.txt").arg(localTime.toString(TraceTimeFormat), cleanedQuark(quark));
}

QStringList expiredTraces(QList<TraceCandidate> candidates, int keep)
{
    // Newest first; equal times by name so the choice does not depend on listing order.
    std::sort(candidates.begin(), candidates.end(), [](const TraceCandidate &a, const TraceCandidate &b) {
        if (a.modifiedMs != b.modifiedMs)
            return a.modifiedMs > b.modifiedMs;
        return a.path > b.path;
    });
    QStringList expired;
    for (qsizetype i = std::max(keep, 0); i < candidates.size(); ++i)
        expired.append(candidates.at(i).path);
    return expired;
}

bool isTraceFileName(const QString &name)
{
    // "yyyyMMdd-HHmmss-" is 16 characters, ".txt" 4.
    constexpr qsizetype StampLength = 16;
    if (name.size() < StampLength + TraceSuffix.size() || !name.endsWith(TraceSuffix))
        return false;
    for (qsizetype i = 0; i < StampLength; ++i) {
        const char16_t u = name.at(i).unicode();
        const bool hyphen = i == 8 || i == 15;
        if (hyphen ? u != '-' : (u < '0' || u > '9'))
            return false;
    }
    const qsizetype quarkEnd = name.size() - TraceSuffix.size();
    for (qsizetype i = StampLength; i < quarkEnd; ++i) {
        if (!isQuarkNameChar(name.at(i)))
            return false;
    }
    return true;
}

bool startsWithTraceHeader(const QByteArray &firstBytes)
{
    return wire::trace::parseQuarkHeader(firstBytes.constData(), firstBytes.constData() + firstBytes.size(), nullptr);
}

bool isOwnTrace(const TraceEntry &entry)
{
    return entry.regularFile && entry.ownedByUser && isTraceFileName(entry.name)
           && startsWithTraceHeader(entry.firstBytes);
}

QString TraceBase::path() const
{
    if (anchor.isEmpty() || below.isEmpty())
        return anchor;
    return QDir(anchor).filePath(below);
}

TraceBase traceBaseDirectory(const QString &localAppData, const QString &xdgStateHome, const QString &home)
{
    // A relative value would depend on the working directory: ignored, as the XDG rules say.
    const auto absolute = [](const QString &path) { return path.startsWith(QLatin1Char('/')); };
    // The variables name the directory itself: created when missing, like any missing parent.
    if (absolute(localAppData))
        return {QStringLiteral("/"), localAppData.mid(1)};
    if (absolute(xdgStateHome))
        return {QStringLiteral("/"), xdgStateHome.mid(1)};
    // The home directory must exist; a missing one is not made (think HOME=/nonexistent).
    if (absolute(home))
        return {home, StateBelowHome};
    return {};
}

TraceEnvironment processTraceEnvironment()
{
    return {qEnvironmentVariable("KIVRA_NET_TRACE"), qEnvironmentVariable("LOCALAPPDATA"),
            qEnvironmentVariable("XDG_STATE_HOME"), qEnvironmentVariable("HOME"), QDir::tempPath()};
}

QByteArray encodedPath(const QString &path)
{
    const QByteArray encoded = path.toLocal8Bit();
    if (encoded.isEmpty() || QString::fromLocal8Bit(encoded) != path || encoded.contains('\0'))
        return {};
    return encoded;
}

OpenedTrace openTraceFile(const TraceEnvironment &env, const QString &quark, const QDateTime &localNow)
{
    if (env.overridePath.isEmpty())
        return openDefaultTrace(env, traceFileName(localNow, quark));
    // The file the user names is theirs to choose, links and all.
    OpenedTrace opened;
    const QByteArray encoded = encodedPath(env.overridePath);
    if (!encoded.isEmpty())
        opened.file = std::fopen(encoded.constData(), "w");
    if (opened.file)
        opened.path = env.overridePath;
    return opened;
}

qint64 steadyMicros()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return qint64(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

qint64 wallMicros()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return qint64(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void writeTraceLine(std::FILE *file, qint64 &lastFlushUs, char direction, const char *data, qint64 length)
{
    const qint64 nowUs = steadyMicros();
    char line[wire::trace::TraceLineCapacity];
    const std::size_t size = wire::trace::formatTraceLine(line, nowUs, direction, data, length);
    std::fwrite(line, 1, size, file);
    if (nowUs - lastFlushUs > TraceFlushIntervalUs) {
        std::fflush(file);
        lastFlushUs = nowUs;
    }
}

} // namespace tracefile
