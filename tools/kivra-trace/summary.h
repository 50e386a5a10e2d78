// What a trace says about a match: rates, inter-arrival times, gaps, bursts, probes and
// delay proposals, and a verdict, as text or JSON.
#pragma once

#include "reader.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace kivratrace {

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
    double firstAtS = -1; // first game datagram, seconds after the trace start; -1: none
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
    QString relayedVia; // the relayed address the peer saw; empty for a direct match
    bool hasClock = false;
    qint64 startWallUs = 0;
    double durationS = 0;
    DirectionSummary toPeer;     // 'o'
    DirectionSummary toEmulator; // 'i'
    QList<PingSent> pings;
    QList<int> proposals; // delays proposed to the peer, in order
    QList<double> proposalTimesS; // when each was sent, seconds after the trace start
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

} // namespace kivratrace
