// Reading and summarising the proxy's datagram trace files. No I/O here: the caller hands in
// the file's bytes (usually a memory map) and prints what comes back.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace tracereader {

struct Record
{
    qint64 timeUs = 0;     // steady clock, microseconds
    qint64 length = 0;     // full datagram length
    qint64 hexOffset = 0;  // where the content's hex digits start in the input
    int recordedBytes = 0; // content bytes recorded (at most 48)
    qint64 line = 0;       // 1-based line number
    char direction = 'o';  // 'o' to the peer, 'i' to the emulator
    bool probe = false;    // one of the proxy's own "KVRA " probe or delay datagrams
};

struct Trace
{
    QString quark;
    bool hasQuark = false;
    bool hasClock = false;
    qint64 wallUs = 0; // header clock pair: wall time at monoUs
    qint64 monoUs = 0;
    std::vector<Record> records;
    QStringList problems;    // first few, each naming its line
    qint64 problemCount = 0; // all of them
    qint64 lines = 0;
};

// Parses a whole trace. Bad lines are skipped and reported; what is readable is kept.
Trace parseTrace(const char *data, std::size_t size);

// The recorded content bytes of one record.
QByteArray recordedContent(const char *data, const Record &record);

struct DirectionSummary
{
    qint64 datagrams = 0;
    qint64 bytes = 0;
    double datagramsPerSecond = 0;
    double bytesPerSecond = 0;
    // Inter-arrival times between game datagrams, milliseconds.
    double p50Ms = 0, p95Ms = 0, p99Ms = 0, maxMs = 0;
    struct Gap
    {
        double atS = 0; // seconds after the trace start
        double lengthMs = 0;
    };
    QList<Gap> gaps; // over 100 ms
    struct Burst
    {
        double atS = 0;
        int datagrams = 0;
    };
    QList<Burst> bursts; // BurstMinDatagrams or more, each within 1 ms of the one before
};

struct PingSent
{
    int number = -1;
    qint64 sentMs = 0; // the proxy's probe clock, as written in the ping
    double atS = 0;
};

struct Summary
{
    QString quark;
    bool hasClock = false;
    qint64 startWallUs = 0;
    double durationS = 0;
    DirectionSummary toPeer;     // 'o'
    DirectionSummary toEmulator; // 'i'
    QList<PingSent> pings;
    QList<int> proposals; // delays proposed to the peer, in order
    qint64 problemCount = 0;
    QStringList problems;
    QString roundTrips; // what the trace can and cannot tell about round trips
    QString verdict;
};

constexpr double GapThresholdMs = 100.0; // ms: a frame-rate stream never pauses this long
constexpr qint64 BurstSpacingUs = 1000;  // us: far below a frame, so a backlog being released
constexpr int BurstMinDatagrams = 5;     // datagrams in a row that count as a burst

Summary summarize(const Trace &trace, const char *data);

QString textReport(const Summary &summary);
QJsonObject jsonReport(const Summary &summary);

// SVG timeline: rate per second and worst inter-arrival per second, one series per direction.
QByteArray svgTimeline(const Trace &trace, const Summary &summary);

// Classic libpcap file, LINKTYPE_RAW (IPv4), one UDP packet per data line. Addresses:
//   to the emulator: 127.0.0.1:7001 -> 127.0.0.1:6000 (the emulator's port is not traced)
//   to the peer:     192.0.2.1:6006 -> 198.51.100.1:6006 (documentation addresses)
QByteArray pcapFile(const Trace &trace, const char *data);

} // namespace tracereader
