#include "host/events.h"

#include <QTextStream>

#include <cstdio>

namespace host {
namespace {

QString singleLine(QString part)
{
    part.replace(QLatin1Char('\r'), QLatin1Char(' '));
    part.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return part;
}

} // namespace

QString eventLine(const QString &event, const QString &status, const QString &detail)
{
    QString line = singleLine(event);
    if (!status.isEmpty())
        line += QLatin1Char(' ') + singleLine(status);
    if (!detail.isEmpty())
        line += QLatin1Char(' ') + singleLine(detail);
    line += QLatin1Char('\n');
    return line;
}

void writeEvent(const QString &event, const QString &status, const QString &detail)
{
    // A fresh stream per line, flushed before returning, so the order on the stream is the
    // order of the calls even with the emulator's output interleaved.
    QTextStream out(stdout);
    out << eventLine(event, status, detail);
    out.flush();
}

} // namespace host
