// Leftover emulators and earlier instances of this program would hold the match ports and
// the emulator's files: they are ended, matched by executable path, before a served match.
#include "host/staleprocesses.h"

#include "platform/platform.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace host {
namespace {

QString fromNativePath(const platform::NativePath &path)
{
#ifdef _WIN32
    return QString::fromStdWString(path);
#else
    return QFile::decodeName(QByteArray::fromStdString(path));
#endif
}

} // namespace

QString normalizedPath(const QString &path)
{
    const QFileInfo info(path);
    QString resolved = info.canonicalFilePath();
    if (resolved.isEmpty())
        resolved = info.absoluteFilePath();
    return QDir::cleanPath(resolved).toLower();
}

int terminateStaleProcesses(const QString &emulatorPath, const QString &ownPath)
{
    QStringList matchList;
    for (const QString &candidate : {emulatorPath, ownPath}) {
        if (!candidate.isEmpty())
            matchList.append(normalizedPath(candidate));
    }
    if (matchList.isEmpty())
        return 0;
    return platform::terminateMatchingProcesses([&matchList](const platform::NativePath &path) {
        return matchList.contains(normalizedPath(fromNativePath(path)), Qt::CaseSensitive);
    });
}

} // namespace host
