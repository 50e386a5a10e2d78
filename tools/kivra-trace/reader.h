// Reading the proxy's datagram trace files. No I/O here: the caller hands in the file's bytes
// (usually a memory map); each line is parsed by the wire library's trace line reader, and
// what cannot be read is named by its line.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "wire/traceline.h"

#include <cstddef>
#include <vector>

namespace kivratrace {

struct Record
{
    qint64 timeUs = 0;     // steady clock, microseconds
    qint64 length = 0;     // full datagram length
    qint64 hexOffset = 0;  // where the content's hex digits start in the input
    int recordedBytes = 0; // content bytes recorded (at most 48)
    qint64 line = 0;       // 1-based line number
    char direction = wire::trace::ToPeer; // or wire::trace::ToEmulator
    bool probe = false;    // one of the proxy's own probe or delay datagrams
};

struct Trace
{
    QString quark;
    bool hasQuark = false;
    bool hasClock = false;
    qint64 wallUs = 0; // header clock pair: wall time at monoUs
    qint64 monoUs = 0;
    QString relayedVia;      // "address:port" of the TURN relay's note; empty for a direct match
    std::vector<Record> records;
    QStringList problems;    // first few, each naming its line
    qint64 problemCount = 0; // all of them
    qint64 lines = 0;
};

// Parses a whole trace. Bad lines are skipped and reported; what is readable is kept.
Trace parseTrace(const char *data, std::size_t size);

// The recorded content bytes of one record.
QByteArray recordedContent(const char *data, const Record &record);

} // namespace kivratrace
