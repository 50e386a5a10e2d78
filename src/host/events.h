// Event lines: the only thing the program itself writes to standard output.
#pragma once

#include <QString>

namespace host {

// The line as it goes out: event, then status and detail each after one blank when
// non-empty, then a line feed. Line breaks inside a part become blanks so that one call
// always gives exactly one line (a front-end reads the stream line by line).
QString eventLine(const QString &event, const QString &status, const QString &detail);

// Writes eventLine() to standard output and flushes at once.
void writeEvent(const QString &event, const QString &status = QString(), const QString &detail = QString());

} // namespace host
