// The traces kivra-trace's tests read, written at test time by the proxy's own trace line
// writer, so that a change to the writer that the reader does not follow fails a test.
// Their summaries are the golden files tests/data/traces/<name>.expected.txt.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace goldentraces {

// "steady": ten probe pings, one delay proposal, 120 frames each way at 60 Hz.
// "gap-burst": as steady, but nothing to the emulator for 22 frames and frames 90-99 to the
//   peer held back and sent together.
// "damaged": a few good lines among bad ones, the last one cut short.
// "not-a-trace": a text file of some other kind.
QStringList names();

// The bytes of one trace; empty for an unknown name.
QByteArray trace(const QString &name);

// Writes every trace as <dir>/<name>.txt; false when a file cannot be written.
bool writeAll(const QString &dir);

} // namespace goldentraces
