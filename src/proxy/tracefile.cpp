#include "proxy/tracefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>

namespace tracefile {
namespace {

const QString TraceSubdirectory = QStringLiteral("Sarnolix/net-traces");
const QString TraceNameFilter = QStringLiteral("*.txt");
const QString TraceTimeFormat = QStringLiteral("yyyyMMdd-HHmmss");
constexpr int KeptOldTraces = 49; // files: with the new one, 50 traces remain
constexpr char HexDigits[] = "0123456789abcdef";
constexpr qint64 TraceFlushIntervalUs = 999999; // us: flush on the first line after a second

// Writes a signed decimal number and returns the end of what was written.
char *writeDecimal(char *out, qint64 value)
{
    // Through the unsigned type so that the most negative value needs no special case.
    quint64 magnitude = value < 0 ? quint64(0) - quint64(value) : quint64(value);
    if (value < 0)
        *out++ = '-';
    char digits[20];
    int count = 0;
    do {
        digits[count++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

bool isQuarkNameChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.' || u == '_'
           || u == '-';
}

} // namespace

std::size_t formatTraceLine(char *out, qint64 timeUs, char direction, const char *data, qint64 length)
{
    char *p = writeDecimal(out, timeUs);
    *p++ = ' ';
    *p++ = direction;
    *p++ = ' ';
    p = writeDecimal(p, length);
    *p++ = ' ';
    const qint64 shown = data ? std::clamp<qint64>(length, 0, TraceContentBytes) : 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    for (qint64 i = 0; i < shown; ++i) {
        *p++ = HexDigits[bytes[i] >> 4];
        *p++ = HexDigits[bytes[i] & 0x0f];
    }
    *p++ = '\n';
    return std::size_t(p - out);
}

QByteArray traceHeader(const QString &quark, qint64 wallUs, qint64 monoUs)
{
    QByteArray name = quark.toUtf8();
    for (char &c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '_';
    }
    return QByteArrayLiteral("# quark ") + name + QByteArrayLiteral("\n# clock wall_us ")
           + QByteArray::number(wallUs) + QByteArrayLiteral(" mono_us ") + QByteArray::number(monoUs) + '\n';
}

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

QString resolveTracePath(const QString &overridePath, const QString &localAppData, const QString &tempDir,
                         const QString &quark, const QDateTime &localNow)
{
    if (!overridePath.isEmpty())
        return overridePath;
    QDir dir(localAppData.isEmpty() ? tempDir : localAppData);
    if (!dir.mkpath(TraceSubdirectory) || !dir.cd(TraceSubdirectory))
        return {};

    QList<TraceCandidate> candidates;
    const QFileInfoList entries = dir.entryInfoList({TraceNameFilter}, QDir::Files | QDir::NoSymLinks);
    candidates.reserve(entries.size());
    for (const QFileInfo &entry : entries)
        candidates.append({entry.absoluteFilePath(), entry.lastModified().toMSecsSinceEpoch()});
    const QStringList expired = expiredTraces(candidates, KeptOldTraces);
    for (const QString &path : expired)
        QFile::remove(path);

    return dir.filePath(traceFileName(localNow, quark));
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
    char line[TraceLineCapacity];
    const std::size_t size = formatTraceLine(line, nowUs, direction, data, length);
    std::fwrite(line, 1, size, file);
    if (nowUs - lastFlushUs > TraceFlushIntervalUs) {
        std::fflush(file);
        lastFlushUs = nowUs;
    }
}

} // namespace tracefile
