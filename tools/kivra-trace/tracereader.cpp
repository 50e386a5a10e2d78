#include "tracereader.h"

#include "wire/ports.h"
#include "wire/probewire.h"
#include "wire/traceline.h"

#include <QDateTime>
#include <QJsonArray>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tracereader {
namespace {

constexpr int KeptProblems = 20;        // messages kept; the rest are only counted
constexpr qint64 TooFewToJudge = 10;    // datagrams: under a sixth of a second of play
constexpr int MaxSvgBins = 2000;        // points per series: enough for the eye, small file
constexpr double SvgWidth = 1000, SvgPanelHeight = 160, SvgMargin = 40;
constexpr quint32 PcapMagic = 0xa1b2c3d4;
constexpr quint32 PcapSnapLength = 65535;
constexpr quint32 LinkTypeRaw = 101;    // raw IPv4/IPv6 packets, no link header
constexpr int Ipv4HeaderBytes = 20, UdpHeaderBytes = 8;
constexpr quint32 ProxyLoopback = 0x7f000001, EmulatorAddress = 0x7f000001; // 127.0.0.1
constexpr quint32 ProxyPublic = 0xc0000201;   // 192.0.2.1 (TEST-NET-1)
constexpr quint32 PeerAddress = 0xc6336401;   // 198.51.100.1 (TEST-NET-2)

void addProblem(Trace &trace, qint64 line, const QString &text)
{
    ++trace.problemCount;
    if (trace.problems.size() < KeptProblems)
        trace.problems.append(QStringLiteral("line %1: %2").arg(line).arg(text));
}

// Returns an empty string when the line is a good data line.
QString parseDataLine(const char *base, const char *p, const char *end, qint64 lineNo, Record *record)
{
    traceline::DataLine line;
    const QString problem = traceline::parseDataLine(p, end, &line);
    if (!problem.isEmpty())
        return problem;
    record->timeUs = line.timeUs;
    record->length = line.length;
    record->hexOffset = line.hex - base;
    record->recordedBytes = line.recordedBytes;
    record->line = lineNo;
    record->direction = line.direction;
    record->probe = line.probe;
    return {};
}

double percentile(std::vector<qint64> &values, double q)
{
    if (values.empty())
        return 0;
    // Nearest rank: the smallest value with at least q of all values at or below it.
    std::size_t rank = std::size_t(std::ceil(q * double(values.size())));
    rank = std::clamp<std::size_t>(rank, 1, values.size()) - 1;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(rank), values.end());
    return double(values[rank]) / 1000.0;
}

void summarizeDirection(const Trace &trace, char direction, qint64 startUs, double durationS, DirectionSummary *out)
{
    std::vector<qint64> deltas;
    qint64 previous = 0;
    bool havePrevious = false;
    qint64 runStartUs = 0;
    int run = 1; // datagrams in the current run of close ones
    auto endRun = [&] {
        if (run >= BurstMinDatagrams)
            out->bursts.append({double(runStartUs - startUs) / 1e6, run});
        run = 1;
    };
    for (const Record &r : trace.records) {
        if (r.direction != direction || r.probe)
            continue;
        ++out->datagrams;
        out->bytes += r.length;
        if (havePrevious) {
            const qint64 delta = std::max<qint64>(0, r.timeUs - previous);
            deltas.push_back(delta);
            if (double(delta) / 1000.0 > GapThresholdMs)
                out->gaps.append({double(previous - startUs) / 1e6, double(delta) / 1000.0});
            if (delta <= BurstSpacingUs) {
                if (run == 1)
                    runStartUs = previous;
                ++run;
            } else {
                endRun();
            }
        }
        previous = r.timeUs;
        havePrevious = true;
    }
    endRun();
    if (durationS > 0) {
        out->datagramsPerSecond = double(out->datagrams) / durationS;
        out->bytesPerSecond = double(out->bytes) / durationS;
    }
    if (!deltas.empty()) {
        out->maxMs = double(*std::max_element(deltas.begin(), deltas.end())) / 1000.0;
        out->p99Ms = percentile(deltas, 0.99);
        out->p95Ms = percentile(deltas, 0.95);
        out->p50Ms = percentile(deltas, 0.50);
    }
}

QString roundTripText(const Summary &s)
{
    QString text;
    if (s.pings.isEmpty()) {
        text = QStringLiteral("no probe pings recorded");
    } else {
        QStringList numbers;
        for (const PingSent &p : s.pings)
            numbers.append(QString::number(p.number));
        text = QStringLiteral("%1 pings sent (numbers %2) from %3 s to %4 s")
                   .arg(s.pings.size())
                   .arg(numbers.join(QLatin1Char(',')))
                   .arg(s.pings.first().atS, 0, 'f', 3)
                   .arg(s.pings.last().atS, 0, 'f', 3);
    }
    text += QStringLiteral("; pong replies are not traced, so no single round trip can be recovered");
    if (!s.proposals.isEmpty()) {
        switch (s.proposals.first()) {
        case 0:
            text += QStringLiteral("; the proposal 0 means a median round trip of 50 ms or less, or no pong at all");
            break;
        case 1:
            text += QStringLiteral("; the proposal 1 means a median round trip of 51 to 80 ms");
            break;
        default:
            text += QStringLiteral("; the proposal 2 means a median round trip above 80 ms");
            break;
        }
    }
    return text;
}

QString verdictText(const Summary &s, bool anyRecord)
{
    QString verdict;
    const DirectionSummary &o = s.toPeer;
    const DirectionSummary &i = s.toEmulator;
    if (!anyRecord) {
        verdict = QStringLiteral("nothing readable was recorded");
    } else if (o.datagrams == 0 && i.datagrams == 0) {
        verdict = QStringLiteral("no game traffic: the match never started relaying");
    } else if (o.datagrams < TooFewToJudge || i.datagrams < TooFewToJudge) {
        verdict = QStringLiteral("too little game traffic to judge: %1 datagrams to the peer, %2 to the emulator")
                      .arg(o.datagrams)
                      .arg(i.datagrams);
        if (i.datagrams == 0 || o.datagrams == 0)
            verdict += QStringLiteral(", one way only");
    } else if (i.datagrams == 0) {
        verdict = QStringLiteral("one-way: the emulator sent to the peer but nothing came back");
    } else if (o.datagrams == 0) {
        verdict = QStringLiteral("one-way: the peer sent but nothing went out from the emulator");
    } else if (!o.gaps.isEmpty() || !i.gaps.isEmpty()) {
        const DirectionSummary::Gap *longest = nullptr;
        char where = 'o';
        for (const auto &g : o.gaps) {
            if (!longest || g.lengthMs > longest->lengthMs)
                longest = &g;
        }
        for (const auto &g : i.gaps) {
            if (!longest || g.lengthMs > longest->lengthMs) {
                longest = &g;
                where = 'i';
            }
        }
        verdict = QStringLiteral("stalls: %1 gaps over 100 ms, the longest %2 ms at %3 s %4")
                      .arg(o.gaps.size() + i.gaps.size())
                      .arg(longest->lengthMs, 0, 'f', 1)
                      .arg(longest->atS, 0, 'f', 3)
                      .arg(where == 'o' ? QStringLiteral("towards the peer") : QStringLiteral("towards the emulator"));
    } else {
        verdict = QStringLiteral("healthy: steady traffic both ways, no gap over 100 ms");
    }
    const qsizetype bursts = o.bursts.size() + i.bursts.size();
    if (bursts > 0)
        verdict += QStringLiteral("; %1 bursts of datagrams sent back to back (a backlog released)").arg(bursts);
    if (s.problemCount > 0)
        verdict += QStringLiteral(" (trace damaged: %1 bad lines)").arg(s.problemCount);
    return verdict;
}

void appendBe16(QByteArray &out, quint16 v)
{
    out.append(char(v >> 8)).append(char(v & 0xff));
}

void appendBe32(QByteArray &out, quint32 v)
{
    appendBe16(out, quint16(v >> 16));
    appendBe16(out, quint16(v & 0xffff));
}

void appendLe32(QByteArray &out, quint32 v)
{
    char bytes[4];
    qToLittleEndian(v, bytes);
    out.append(bytes, 4);
}

QString directionName(char d)
{
    return d == 'o' ? QStringLiteral("to peer") : QStringLiteral("to emulator");
}

QJsonObject directionJson(const DirectionSummary &d)
{
    QJsonArray gaps;
    for (const auto &g : d.gaps)
        gaps.append(QJsonObject{{QStringLiteral("at_s"), g.atS}, {QStringLiteral("length_ms"), g.lengthMs}});
    QJsonArray bursts;
    for (const auto &b : d.bursts)
        bursts.append(QJsonObject{{QStringLiteral("at_s"), b.atS}, {QStringLiteral("datagrams"), b.datagrams}});
    return QJsonObject{{QStringLiteral("datagrams"), double(d.datagrams)},
                       {QStringLiteral("bursts"), bursts},
                       {QStringLiteral("bytes"), double(d.bytes)},
                       {QStringLiteral("datagrams_per_s"), d.datagramsPerSecond},
                       {QStringLiteral("bytes_per_s"), d.bytesPerSecond},
                       {QStringLiteral("inter_arrival_ms"),
                        QJsonObject{{QStringLiteral("p50"), d.p50Ms},
                                    {QStringLiteral("p95"), d.p95Ms},
                                    {QStringLiteral("p99"), d.p99Ms},
                                    {QStringLiteral("max"), d.maxMs}}},
                       {QStringLiteral("gaps"), gaps}};
}

QString directionText(const char *name, const DirectionSummary &d)
{
    QString text = QString::asprintf("%-12s %lld datagrams, %lld bytes, %.1f datagrams/s, %.1f bytes/s\n", name,
                                     static_cast<long long>(d.datagrams), static_cast<long long>(d.bytes),
                                     d.datagramsPerSecond, d.bytesPerSecond);
    text += QString::asprintf("%-12s inter-arrival p50 %.3f ms, p95 %.3f ms, p99 %.3f ms, max %.3f ms\n", "",
                              d.p50Ms, d.p95Ms, d.p99Ms, d.maxMs);
    for (const auto &g : d.gaps)
        text += QString::asprintf("%-12s gap of %.1f ms at %.3f s\n", "", g.lengthMs, g.atS);
    for (const auto &b : d.bursts)
        text += QString::asprintf("%-12s burst of %d datagrams at %.3f s\n", "", b.datagrams, b.atS);
    return text;
}

} // namespace

Trace parseTrace(const char *data, std::size_t size)
{
    Trace trace;
    const char *p = data;
    const char *const end = data + size;
    qint64 lineNo = 0;
    trace.records.reserve(size / 40);
    while (p < end) {
        ++lineNo;
        const char *newline = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)));
        const char *lineEnd = newline ? newline : end;
        const char *next = newline ? newline + 1 : end;
        if (lineEnd > p && lineEnd[-1] == '\r')
            --lineEnd; // written in text mode on Windows
        if (lineNo == 1 && traceline::parseQuarkHeader(p, lineEnd, &trace.quark)) {
            trace.hasQuark = true;
        } else if (lineNo == 1 && !(p < lineEnd && *p == '#')) {
            // Perhaps the head of the file is missing: still read its data lines.
            addProblem(trace, 1, QStringLiteral("not a kivra-netproxy trace: it does not begin with \"# quark\""));
            Record record;
            if (parseDataLine(data, p, lineEnd, lineNo, &record).isEmpty())
                trace.records.push_back(record);
        } else if (p < lineEnd && *p == '#') {
            if (lineNo == 1)
                addProblem(trace, 1, QStringLiteral("not a kivra-netproxy trace: it does not begin with \"# quark\""));
            qint64 wallUs = 0, monoUs = 0;
            switch (traceline::parseClockHeader(p, lineEnd, &wallUs, &monoUs)) {
            case traceline::ClockHeader::Good:
                trace.wallUs = wallUs;
                trace.monoUs = monoUs;
                trace.hasClock = true;
                break;
            case traceline::ClockHeader::Malformed:
                addProblem(trace, lineNo, QStringLiteral("malformed clock header"));
                break;
            case traceline::ClockHeader::NotClock:
                break;
            }
        } else if (p == lineEnd) {
            addProblem(trace, lineNo, QStringLiteral("empty line"));
        } else {
            Record record;
            const QString problem = parseDataLine(data, p, lineEnd, lineNo, &record);
            if (!problem.isEmpty()) {
                addProblem(trace, lineNo, newline ? problem : QStringLiteral("truncated last line (%1)").arg(problem));
            } else {
                trace.records.push_back(record);
                if (!newline)
                    addProblem(trace, lineNo, QStringLiteral("no line feed at the end: the file may be cut short"));
            }
        }
        const bool dataLine = !(lineNo == 1 && trace.hasQuark) && p < lineEnd && *p != '#';
        if (!newline && !dataLine) // data lines report this themselves
            addProblem(trace, lineNo, QStringLiteral("no line feed at the end: the file may be cut short"));
        p = next;
    }
    trace.lines = lineNo;
    if (size == 0)
        addProblem(trace, 1, QStringLiteral("empty file: not a kivra-netproxy trace"));
    else if (trace.hasQuark && !trace.hasClock)
        addProblem(trace, 2, QStringLiteral("no \"# clock\" header: wall-clock times unknown"));
    return trace;
}

QByteArray recordedContent(const char *data, const Record &record)
{
    return traceline::decodeContent(data + record.hexOffset, record.recordedBytes);
}

Summary summarize(const Trace &trace, const char *data)
{
    Summary s;
    s.quark = trace.quark;
    s.hasClock = trace.hasClock;
    s.startWallUs = trace.wallUs;
    qint64 startUs = trace.hasClock ? trace.monoUs : (trace.records.empty() ? 0 : trace.records.front().timeUs);
    qint64 endUs = startUs;
    for (const Record &r : trace.records) {
        startUs = std::min(startUs, r.timeUs);
        endUs = std::max(endUs, r.timeUs);
    }
    if (trace.hasClock)
        s.startWallUs = trace.wallUs + (startUs - trace.monoUs);
    s.durationS = double(endUs - startUs) / 1e6;
    summarizeDirection(trace, 'o', startUs, s.durationS, &s.toPeer);
    summarizeDirection(trace, 'i', startUs, s.durationS, &s.toEmulator);
    for (const Record &r : trace.records) {
        if (!r.probe)
            continue;
        const QByteArray content = recordedContent(data, r);
        const probewire::ProbeMessage probe = probewire::parseProbeDatagram(content.constData(), content.size());
        bool ok1 = false, ok2 = false;
        if (probe.kind == probewire::ProbeKind::Ping) {
            PingSent ping{probe.field3.toInt(&ok1), probe.field4.toLongLong(&ok2), double(r.timeUs - startUs) / 1e6};
            if (ok1 && ok2)
                s.pings.append(ping);
        } else if (probe.kind == probewire::ProbeKind::Delay) {
            const int delay = probe.field3.toInt(&ok1);
            if (ok1)
                s.proposals.append(delay);
        }
    }
    s.problemCount = trace.problemCount;
    s.problems = trace.problems;
    s.roundTrips = roundTripText(s);
    s.verdict = verdictText(s, !trace.records.empty());
    return s;
}

QString textReport(const Summary &s)
{
    QString text;
    text += QStringLiteral("quark        %1\n").arg(s.quark);
    if (s.hasClock)
        text += QStringLiteral("start        %1 UTC\n")
                    .arg(QDateTime::fromMSecsSinceEpoch(s.startWallUs / 1000, Qt::UTC)
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
    else
        text += QStringLiteral("start        unknown (no clock header)\n");
    text += QString::asprintf("duration     %.3f s\n", s.durationS);
    text += directionText("to peer", s.toPeer);
    text += directionText("to emulator", s.toEmulator);
    QStringList proposals;
    for (int p : s.proposals)
        proposals.append(QString::number(p));
    text += QStringLiteral("probes       %1\n").arg(s.roundTrips);
    text += QStringLiteral("proposals    %1\n").arg(proposals.isEmpty() ? QStringLiteral("none") : proposals.join(QLatin1Char(' ')));
    for (const QString &problem : s.problems)
        text += QStringLiteral("problem      %1\n").arg(problem);
    if (s.problemCount > s.problems.size())
        text += QStringLiteral("problem      ... and %1 more\n").arg(s.problemCount - s.problems.size());
    text += QStringLiteral("verdict      %1\n").arg(s.verdict);
    return text;
}

QJsonObject jsonReport(const Summary &s)
{
    QJsonArray pings;
    for (const PingSent &p : s.pings)
        pings.append(QJsonObject{{QStringLiteral("number"), p.number},
                                 {QStringLiteral("sent_ms"), double(p.sentMs)},
                                 {QStringLiteral("at_s"), p.atS}});
    QJsonArray proposals;
    for (int p : s.proposals)
        proposals.append(p);
    QJsonObject root{{QStringLiteral("quark"), s.quark},
                     {QStringLiteral("duration_s"), s.durationS},
                     {QStringLiteral("to_peer"), directionJson(s.toPeer)},
                     {QStringLiteral("to_emulator"), directionJson(s.toEmulator)},
                     {QStringLiteral("pings"), pings},
                     {QStringLiteral("proposals"), proposals},
                     {QStringLiteral("round_trips"), s.roundTrips},
                     {QStringLiteral("problem_count"), double(s.problemCount)},
                     {QStringLiteral("problems"), QJsonArray::fromStringList(s.problems)},
                     {QStringLiteral("verdict"), s.verdict}};
    if (s.hasClock) {
        root.insert(QStringLiteral("start_wall_us"), double(s.startWallUs));
        root.insert(QStringLiteral("start_utc"), QDateTime::fromMSecsSinceEpoch(s.startWallUs / 1000, Qt::UTC)
                                                     .toString(Qt::ISODateWithMs));
    }
    return root;
}

QByteArray svgTimeline(const Trace &trace, const Summary &s)
{
    const double binS = std::max(1.0, std::ceil(s.durationS / MaxSvgBins));
    const int bins = int(std::floor(s.durationS / binS)) + 1;
    const qint64 startUs = trace.hasClock ? s.startWallUs - trace.wallUs + trace.monoUs
                                          : (trace.records.empty() ? 0 : trace.records.front().timeUs);
    struct Series
    {
        std::vector<double> rate, worstMs;
        qint64 previous = -1;
    };
    Series series[2];
    for (Series &one : series) {
        one.rate.assign(std::size_t(bins), 0);
        one.worstMs.assign(std::size_t(bins), 0);
    }
    for (const Record &r : trace.records) {
        if (r.probe)
            continue;
        Series &one = series[r.direction == 'o' ? 0 : 1];
        const int bin = std::clamp(int(double(r.timeUs - startUs) / 1e6 / binS), 0, bins - 1);
        one.rate[std::size_t(bin)] += 1.0 / binS;
        if (one.previous >= 0)
            one.worstMs[std::size_t(bin)] = std::max(one.worstMs[std::size_t(bin)], double(r.timeUs - one.previous) / 1000.0);
        one.previous = r.timeUs;
    }
    double maxRate = 1, maxGap = GapThresholdMs * 2;
    for (const Series &one : series) {
        for (double v : one.rate)
            maxRate = std::max(maxRate, v);
        for (double v : one.worstMs)
            maxGap = std::max(maxGap, v);
    }
    const double plotWidth = SvgWidth - 2 * SvgMargin;
    const double totalHeight = 2 * SvgPanelHeight + 3 * SvgMargin;
    auto x = [&](double seconds) { return SvgMargin + plotWidth * seconds / std::max(binS, double(bins) * binS); };
    auto yRate = [&](double v) { return SvgMargin + SvgPanelHeight * (1 - v / maxRate); };
    auto yGap = [&](double v) { return 2 * SvgMargin + SvgPanelHeight * (2 - v / maxGap); };

    QByteArray svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\">\n")
               .arg(SvgWidth)
               .arg(totalHeight)
               .toUtf8();
    svg += "<title>" + s.quark.toHtmlEscaped().toUtf8() + "</title>\n";
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"12\">datagrams per second (max %3)</text>\n")
               .arg(SvgMargin).arg(SvgMargin - 8).arg(maxRate, 0, 'f', 1).toUtf8();
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"12\">worst inter-arrival per %3 s, ms (max %4)</text>\n")
               .arg(SvgMargin).arg(2 * SvgMargin + SvgPanelHeight - 8).arg(binS).arg(maxGap, 0, 'f', 1).toUtf8();
    for (const DirectionSummary *d : {&s.toPeer, &s.toEmulator}) {
        for (const auto &g : d->gaps) {
            const double x0 = x(g.atS), x1 = std::max(x0 + 1, x(g.atS + g.lengthMs / 1000.0));
            svg += QStringLiteral("<rect class=\"gap\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#f4b0b0\"/>\n")
                       .arg(x0, 0, 'f', 1).arg(SvgMargin).arg(x1 - x0, 0, 'f', 1)
                       .arg(2 * SvgPanelHeight + SvgMargin).toUtf8();
        }
    }
    const char *colours[2] = {"#1f5fbf", "#d07000"};
    const char names[2] = {'o', 'i'};
    for (int k = 0; k < 2; ++k) {
        svg += QStringLiteral("<g class=\"series\" data-direction=\"%1\" stroke=\"%2\" fill=\"none\">\n")
                   .arg(QLatin1Char(names[k])).arg(QLatin1String(colours[k])).toUtf8();
        svg += "<title>" + directionName(names[k]).toUtf8() + "</title>\n";
        QByteArray ratePoints, gapPoints;
        for (int b = 0; b < bins; ++b) {
            const double px = x((b + 0.5) * binS);
            ratePoints += QByteArray::number(px, 'f', 1) + ',' + QByteArray::number(yRate(series[k].rate[std::size_t(b)]), 'f', 1) + ' ';
            gapPoints += QByteArray::number(px, 'f', 1) + ',' + QByteArray::number(yGap(series[k].worstMs[std::size_t(b)]), 'f', 1) + ' ';
        }
        svg += "<polyline class=\"rate\" points=\"" + ratePoints.trimmed() + "\"/>\n";
        svg += "<polyline class=\"inter-arrival\" points=\"" + gapPoints.trimmed() + "\"/>\n";
        svg += "</g>\n";
    }
    svg += "</svg>\n";
    return svg;
}

QByteArray pcapFile(const Trace &trace, const char *data)
{
    QByteArray out;
    out.reserve(24 + qsizetype(trace.records.size()) * 100);
    appendLe32(out, PcapMagic);
    out.append(char(2)).append(char(0)).append(char(4)).append(char(0)); // version 2.4, little endian
    appendLe32(out, 0); // time zone
    appendLe32(out, 0); // accuracy
    appendLe32(out, PcapSnapLength);
    appendLe32(out, LinkTypeRaw);
    quint16 id = 0;
    for (const Record &r : trace.records) {
        const qint64 wallUs = trace.hasClock ? trace.wallUs + (r.timeUs - trace.monoUs) : r.timeUs;
        const qint64 safeUs = std::max<qint64>(0, wallUs);
        const quint32 fullLength = quint32(std::min<qint64>(r.length + Ipv4HeaderBytes + UdpHeaderBytes, 65535));
        appendLe32(out, quint32(safeUs / 1000000));
        appendLe32(out, quint32(safeUs % 1000000));
        appendLe32(out, quint32(Ipv4HeaderBytes + UdpHeaderBytes + r.recordedBytes));
        appendLe32(out, fullLength);
        const bool toPeer = r.direction == 'o';
        QByteArray ip;
        ip.append(char(0x45)).append(char(0));
        appendBe16(ip, quint16(fullLength));
        appendBe16(ip, id++);
        appendBe16(ip, 0x4000); // don't fragment
        ip.append(char(64)).append(char(17));
        appendBe16(ip, 0); // checksum, filled below
        appendBe32(ip, toPeer ? ProxyPublic : ProxyLoopback);
        appendBe32(ip, toPeer ? PeerAddress : EmulatorAddress);
        quint32 sum = 0;
        for (int i = 0; i < Ipv4HeaderBytes; i += 2)
            sum += quint32(quint8(ip[i]) << 8 | quint8(ip[i + 1]));
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        const quint16 checksum = quint16(~sum);
        ip[10] = char(checksum >> 8);
        ip[11] = char(checksum & 0xff);
        out += ip;
        appendBe16(out, toPeer ? ports::DefaultPeerPort : ports::LocalProxyPort);
        appendBe16(out, toPeer ? ports::DefaultPeerPort : ports::AssumedEmulatorPort);
        appendBe16(out, quint16(std::min<qint64>(r.length + UdpHeaderBytes, 65535)));
        appendBe16(out, 0); // no checksum: the payload is only partly recorded
        out += recordedContent(data, r);
    }
    return out;
}

} // namespace tracereader
