#include "summary.h"

#include "wire/probewire.h"
#include "wire/traceline.h"

#include <QDateTime>
#include <QJsonArray>

#include <algorithm>
#include <cmath>

namespace kivratrace {
namespace {

constexpr qint64 TooFewToJudge = 10;    // datagrams: under a sixth of a second of play

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
        if (out->datagrams == 0)
            out->firstAtS = double(r.timeUs - startUs) / 1e6;
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
        char where = wire::trace::ToPeer;
        for (const auto &g : o.gaps) {
            if (!longest || g.lengthMs > longest->lengthMs)
                longest = &g;
        }
        for (const auto &g : i.gaps) {
            if (!longest || g.lengthMs > longest->lengthMs) {
                longest = &g;
                where = wire::trace::ToEmulator;
            }
        }
        verdict = QStringLiteral("stalls: %1 gaps over 100 ms, the longest %2 ms at %3 s %4")
                      .arg(o.gaps.size() + i.gaps.size())
                      .arg(longest->lengthMs, 0, 'f', 1)
                      .arg(longest->atS, 0, 'f', 3)
                      .arg(where == wire::trace::ToPeer ? QStringLiteral("towards the peer") : QStringLiteral("towards the emulator"));
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

Summary summarize(const Trace &trace, const char *data)
{
    Summary s;
    s.quark = trace.quark;
    s.relayedVia = trace.relayedVia;
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
    summarizeDirection(trace, wire::trace::ToPeer, startUs, s.durationS, &s.toPeer);
    summarizeDirection(trace, wire::trace::ToEmulator, startUs, s.durationS, &s.toEmulator);
    for (const Record &r : trace.records) {
        if (!r.probe)
            continue;
        const QByteArray content = recordedContent(data, r);
        const wire::probe::ProbeMessage probe = wire::probe::parseProbeDatagram(content.constData(), content.size());
        bool ok1 = false, ok2 = false;
        if (probe.kind == wire::probe::ProbeKind::Ping) {
            PingSent ping{probe.field3.toInt(&ok1), probe.field4.toLongLong(&ok2), double(r.timeUs - startUs) / 1e6};
            if (ok1 && ok2)
                s.pings.append(ping);
        } else if (probe.kind == wire::probe::ProbeKind::Delay) {
            const int delay = probe.field3.toInt(&ok1);
            if (ok1) {
                s.proposals.append(delay);
                s.proposalTimesS.append(double(r.timeUs - startUs) / 1e6);
            }
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
    if (!s.relayedVia.isEmpty())
        text += QStringLiteral("path         relayed via %1\n").arg(s.relayedVia);
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
    if (!s.relayedVia.isEmpty())
        root.insert(QStringLiteral("relayed_via"), s.relayedVia);
    if (s.hasClock) {
        root.insert(QStringLiteral("start_wall_us"), double(s.startWallUs));
        root.insert(QStringLiteral("start_utc"), QDateTime::fromMSecsSinceEpoch(s.startWallUs / 1000, Qt::UTC)
                                                     .toString(Qt::ISODateWithMs));
    }
    return root;
}

} // namespace kivratrace
