// The trace directory on Windows: below LOCALAPPDATA, else the temporary directory, which is
// per user there. The directory is made with its parents, then pruned to the newest 49 "*.txt"
// files.
#include "proxy/tracefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tracefile {
namespace {

const QString TraceNameFilter = QStringLiteral("*.txt");

} // namespace

OpenedTrace openDefaultTrace(const TraceEnvironment &env, const QString &fileName)
{
    OpenedTrace opened;
    const QString subdirectory = QLatin1String(TraceSubdirectory);
    QDir dir(env.localAppData.isEmpty() ? env.tempDir : env.localAppData);
    if (!dir.mkpath(subdirectory) || !dir.cd(subdirectory))
        return opened;
    QList<TraceCandidate> candidates;
    const QFileInfoList entries = dir.entryInfoList({TraceNameFilter}, QDir::Files | QDir::NoSymLinks);
    candidates.reserve(entries.size());
    for (const QFileInfo &entry : entries)
        candidates.append({entry.absoluteFilePath(), entry.lastModified().toMSecsSinceEpoch()});
    const QStringList expired = expiredTraces(candidates, KeptOldTraces);
    for (const QString &old : expired)
        QFile::remove(old);
    const QString path = dir.filePath(fileName);
    const QByteArray encoded = encodedPath(path);
    opened.file = encoded.isEmpty() ? nullptr : std::fopen(encoded.constData(), "w");
    if (opened.file)
        opened.path = path;
    return opened;
}

} // namespace tracefile
