// Runs kivra-netproxy to its end for the host's component tests and reads what it left.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include "testsupport.h"

namespace hosttest {

using testsupport::RunResult;

// Environment without DISPLAY, so that no test reaches the machine's X server by accident.
inline QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    const QStringList names = environment.keys();
    for (const QString &name : names) {
        if (name.startsWith(QLatin1String("KIVRA_STANDIN_")))
            environment.remove(name);
    }
    return environment;
}

inline RunResult run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                     int timeoutMs = 20000, const QString &workingDirectory = QString())
{
    return testsupport::runToEnd(program, arguments, environment, timeoutMs, workingDirectory);
}

// The stand-in's record file as lines.
inline QList<QByteArray> recordLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return testsupport::outputLines(file.readAll());
}

// The argvN values of the first record in the file (argv0 included).
inline QStringList recordedArguments(const QList<QByteArray> &lines)
{
    QStringList arguments;
    for (const QByteArray &line : lines) {
        const QByteArray key = "argv" + QByteArray::number(arguments.size()) + '=';
        if (line.startsWith(key))
            arguments << QString::fromUtf8(line.mid(key.size()));
    }
    return arguments;
}

inline QByteArray recordValue(const QList<QByteArray> &lines, const QByteArray &key)
{
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + '='))
            return line.mid(key.size() + 1);
    }
    return {};
}

inline bool recordHas(const QList<QByteArray> &lines, const QByteArray &key)
{
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + '='))
            return true;
    }
    return false;
}

} // namespace hosttest
