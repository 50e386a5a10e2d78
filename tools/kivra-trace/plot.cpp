// The SVG timeline: what a person looks at to see when a match stuttered and which way.
#include "export.h"

#include "wire/traceline.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace kivratrace {
namespace {

constexpr int MaxSvgBins = 2000;        // points per series: enough for the eye, small file
constexpr double PlotLeft = 80;         // px: room for the y tick labels and axis titles
constexpr double PlotRight = 30;        // px
constexpr double TitleTop = 24;         // px: base line of the title
constexpr double SubtitleTop = 44;      // px: base line of the first of three lines under it
constexpr double LegendTop = 100;       // px: base line of the legend
constexpr double HeadingTop = 126;      // px: base line of the upper panel's heading
constexpr double GapLabelTop = 142;     // px: base line of the first row of gap labels
constexpr int GapLabelRows = 2;         // rows before labels may overlap
constexpr int EventRows = 5;            // rows of event labels before they may overlap
constexpr double RowHeight = 14;        // px per row of labels
constexpr double PanelHeight = 150;     // px per panel
constexpr double PanelSpacing = 34;     // px: the lower panel's heading sits in it
constexpr double AxisSpace = 44;        // px below the time axis: tick labels and its title
constexpr double CharWidth = 6.6;       // px per character of 11 px sans-serif, to keep labels apart
constexpr int YTicks = 4;               // intervals on a y axis, about
constexpr int TimeTicks = 10;           // intervals on the time axis, about
constexpr qsizetype SubtitleChars = 125; // characters per line of 12 px text across the plot
constexpr int VerdictLines = 2;
const char *const PeerColour = "#1f5fbf";
const char *const EmulatorColour = "#d07000";
const char *const GapFill = "#f6c4c4";
const char *const EventColour = "#555555";

double panelTop()
{
    return GapLabelTop + (GapLabelRows - 1) * RowHeight + 6;
}

double ratePanelBottom()
{
    return panelTop() + PanelHeight;
}

double waitPanelTop()
{
    return ratePanelBottom() + PanelSpacing;
}

double waitPanelBottom()
{
    return waitPanelTop() + PanelHeight;
}

double eventLaneBottom()
{
    return waitPanelBottom() + EventRows * RowHeight + 8;
}

// 1, 2 or 5 times a power of ten, at least span / intervals.
double niceStep(double span, int intervals)
{
    const double raw = std::max(span, 1e-9) / intervals;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0}) {
        if (m * power >= raw * 0.999)
            return m * power;
    }
    return 10 * power;
}

QByteArray num(double v)
{
    return QByteArray::number(v, 'f', 1);
}

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

QByteArray tickLabel(double v, double step)
{
    // As many decimals as the step needs: 0.5 s steps show "2.5", 5 s steps show "10".
    const int decimals = step >= 1 ? 0 : int(std::ceil(-std::log10(step) - 1e-9));
    return QByteArray::number(v, 'f', decimals);
}

QByteArray text(double x, double y, const QByteArray &content, const char *attributes = "")
{
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + (*attributes ? QByteArray(" ") + attributes : QByteArray())
           + ">" + content + "</text>\n";
}

QByteArray line(double x1, double y1, double x2, double y2, const char *attributes)
{
    return "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) + "\" "
           + attributes + "/>\n";
}

// Labels placed left to right in the first row where they do not run into the previous one.
class Rows
{
public:
    explicit Rows(int count) : ends(std::size_t(count), -1e9) {}
    int place(double x, qsizetype characters)
    {
        for (std::size_t r = 0; r < ends.size(); ++r) {
            if (x >= ends[r] + 6) {
                ends[r] = x + double(characters) * CharWidth;
                return int(r);
            }
        }
        ends.back() = std::max(ends.back(), x + double(characters) * CharWidth);
        return int(ends.size()) - 1;
    }

private:
    std::vector<double> ends;
};

// Words of `text` in at most `lines` lines of `width` characters; the last one ends in an
// ellipsis when the text does not fit.
QStringList wrapped(const QString &text, qsizetype width, int lines)
{
    QStringList out;
    QString current;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (qsizetype k = 0; k < words.size(); ++k) {
        const QString &word = words.at(k);
        if (!current.isEmpty() && current.size() + 1 + word.size() > width) {
            if (out.size() + 1 == lines) {
                out.append(current.left(width - 1) + QChar(0x2026));
                return out;
            }
            out.append(current);
            current.clear();
        }
        current += (current.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!current.isEmpty())
        out.append(current.left(width));
    return out;
}

struct Event
{
    double atS;
    QString label;
    const char *colour;
};

struct Series
{
    std::vector<double> rate, worstMs;
    qint64 previous = -1;
};

// A y axis: grid lines, tick labels and a rotated title, from 0 to top.
QByteArray yAxis(double panelTopY, double top, double step, const QString &title, double right)
{
    QByteArray svg;
    for (double v = 0; v <= top + step / 2; v += step) {
        const double y = panelTopY + PanelHeight * (1 - v / top);
        svg += line(PlotLeft, y, right, y, "stroke=\"#e4e4e4\"");
        svg += text(PlotLeft - 6, y + 4, tickLabel(v, step), "text-anchor=\"end\" font-size=\"11\"");
    }
    const double midY = panelTopY + PanelHeight / 2;
    svg += "<text transform=\"translate(" + num(PlotLeft - 48) + "," + num(midY)
           + ") rotate(-90)\" text-anchor=\"middle\" font-size=\"12\">" + escaped(title) + "</text>\n";
    svg += line(PlotLeft, panelTopY, PlotLeft, panelTopY + PanelHeight, "stroke=\"#333\"");
    return svg;
}

} // namespace

int svgHeight()
{
    return int(eventLaneBottom() + AxisSpace);
}

QByteArray svgTimeline(const Trace &trace, const Summary &s)
{
    const double binS = std::max(1.0, std::ceil(s.durationS / MaxSvgBins));
    const int bins = int(std::floor(s.durationS / binS)) + 1;
    const qint64 startUs = trace.hasClock ? s.startWallUs - trace.wallUs + trace.monoUs
                                          : (trace.records.empty() ? 0 : trace.records.front().timeUs);
    std::array<Series, 2> series;
    for (Series &one : series) {
        one.rate.assign(std::size_t(bins), 0);
        one.worstMs.assign(std::size_t(bins), 0);
    }
    for (const Record &r : trace.records) {
        if (r.probe)
            continue;
        Series &one = series[r.direction == wire::trace::ToPeer ? 0 : 1];
        const int bin = std::clamp(int(double(r.timeUs - startUs) / 1e6 / binS), 0, bins - 1);
        one.rate[std::size_t(bin)] += 1.0 / binS;
        if (one.previous >= 0) {
            // A wait belongs to the bin it began in, where its shaded gap starts.
            const int began = std::clamp(int(double(one.previous - startUs) / 1e6 / binS), 0, bins - 1);
            double &worst = one.worstMs[std::size_t(began)];
            worst = std::max(worst, double(r.timeUs - one.previous) / 1000.0);
        }
        one.previous = r.timeUs;
    }
    double maxRate = 1, maxWait = GapThresholdMs * 2;
    for (const Series &one : series) {
        for (double v : one.rate)
            maxRate = std::max(maxRate, v);
        for (double v : one.worstMs)
            maxWait = std::max(maxWait, v);
    }
    const double rateStep = niceStep(maxRate, YTicks);
    const double rateTop = std::ceil(maxRate / rateStep - 1e-9) * rateStep;
    const double waitStep = niceStep(maxWait, YTicks);
    const double waitTop = std::ceil(maxWait / waitStep - 1e-9) * waitStep;

    const double right = SvgWidth - PlotRight;
    const double plotWidth = right - PlotLeft;
    const double spanS = std::max(binS, double(bins) * binS);
    auto x = [&](double seconds) { return PlotLeft + plotWidth * std::clamp(seconds / spanS, 0.0, 1.0); };
    auto yRate = [&](double v) { return panelTop() + PanelHeight * (1 - v / rateTop); };
    auto yWait = [&](double v) { return waitPanelTop() + PanelHeight * (1 - v / waitTop); };
    const int height = svgHeight();

    QByteArray svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + QByteArray::number(SvgWidth) + "\" height=\""
           + QByteArray::number(height) + "\" viewBox=\"0 0 " + QByteArray::number(SvgWidth) + ' '
           + QByteArray::number(height) + "\" font-family=\"DejaVu Sans, Verdana, sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

    // Title: which match and when it began.
    const QString quark = s.quark.isEmpty() ? QStringLiteral("(no quark)") : s.quark;
    const QString start = s.hasClock ? QDateTime::fromMSecsSinceEpoch(s.startWallUs / 1000, Qt::UTC)
                                               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))
                                     : QStringLiteral("start time unknown (no clock header)");
    svg += "<title>" + escaped(quark) + "</title>\n";
    svg += text(PlotLeft, TitleTop, "Match " + escaped(quark) + ", started " + escaped(start),
                "class=\"title\" font-size=\"16\" font-weight=\"bold\"");
    const QString counts = QStringLiteral("%1 s traced; %2 game datagrams to the peer, %3 to the emulator")
                               .arg(s.durationS, 0, 'f', 1)
                               .arg(s.toPeer.datagrams)
                               .arg(s.toEmulator.datagrams);
    svg += text(PlotLeft, SubtitleTop, escaped(counts), "font-size=\"12\" fill=\"#333\"");
    const QStringList verdict = wrapped(QStringLiteral("Verdict: ") + s.verdict, SubtitleChars, VerdictLines);
    for (qsizetype k = 0; k < verdict.size(); ++k)
        svg += text(PlotLeft, SubtitleTop + 16 * double(k + 1), escaped(verdict.at(k)), "font-size=\"12\" fill=\"#333\"");

    // Legend.
    double lx = PlotLeft;
    const char *colours[2] = {PeerColour, EmulatorColour};
    const char names[2] = {wire::trace::ToPeer, wire::trace::ToEmulator};
    const char *legendNames[2] = {"to peer", "to emulator"};
    for (int k = 0; k < 2; ++k) {
        svg += line(lx, LegendTop - 4, lx + 24, LegendTop - 4,
                    QByteArray("stroke=\"" + QByteArray(colours[k]) + "\" stroke-width=\"2\"").constData());
        svg += text(lx + 30, LegendTop, legendNames[k], "class=\"legend\" font-size=\"12\"");
        lx += 130;
    }
    svg += "<rect x=\"" + num(lx) + "\" y=\"" + num(LegendTop - 10) + "\" width=\"24\" height=\"12\" fill=\"" + GapFill
           + "\"/>\n";
    svg += text(lx + 30, LegendTop, "no game datagram for over 100 ms", "font-size=\"12\"");
    lx += 250;
    svg += line(lx + 12, LegendTop - 12, lx + 12, LegendTop + 2,
                QByteArray("stroke=\"" + QByteArray(EventColour) + "\" stroke-dasharray=\"3,2\"").constData());
    svg += text(lx + 20, LegendTop, "event (labelled below the lower panel)", "font-size=\"12\"");

    // Gaps: shaded through both panels and the event lane, their length above.
    Rows gapRows(GapLabelRows);
    std::vector<std::pair<const DirectionSummary::Gap *, char>> gaps;
    for (const auto &g : s.toPeer.gaps)
        gaps.push_back({&g, wire::trace::ToPeer});
    for (const auto &g : s.toEmulator.gaps)
        gaps.push_back({&g, wire::trace::ToEmulator});
    std::stable_sort(gaps.begin(), gaps.end(), [](const auto &a, const auto &b) { return a.first->atS < b.first->atS; });
    for (const auto &gap : gaps) {
        const DirectionSummary::Gap *g = gap.first;
        const double x0 = x(g->atS), x1 = std::max(x0 + 1, x(g->atS + g->lengthMs / 1000.0));
        svg += "<rect class=\"gap\" x=\"" + num(x0) + "\" y=\"" + num(panelTop()) + "\" width=\"" + num(x1 - x0)
               + "\" height=\"" + num(eventLaneBottom() - panelTop()) + "\" fill=\"" + GapFill + "\"/>\n";
        const QByteArray label = QByteArray::number(g->lengthMs, 'f', 0) + " ms gap "
                                 + (gap.second == wire::trace::ToPeer ? "to peer" : "to emulator");
        const double labelX = std::min((x0 + x1) / 2 - double(label.size()) * CharWidth / 2,
                                       right - double(label.size()) * CharWidth);
        const int row = gapRows.place(labelX, label.size());
        svg += text(labelX, GapLabelTop + row * RowHeight, label, "class=\"gap-label\" font-size=\"11\" fill=\"#a02020\"");
    }

    // Axes and headings of the two panels.
    const QString per = binS > 1 ? QStringLiteral("%1 s").arg(binS) : QStringLiteral("second");
    svg += text(PlotLeft, HeadingTop, escaped(QStringLiteral("Game datagrams per %1").arg(per)),
                "font-size=\"12\" font-weight=\"bold\"");
    svg += yAxis(panelTop(), rateTop, rateStep, QStringLiteral("datagrams/s"), right);
    svg += text(PlotLeft, waitPanelTop() - 10,
                escaped(QStringLiteral("Longest wait between two game datagrams in each %1").arg(per)),
                "font-size=\"12\" font-weight=\"bold\"");
    svg += yAxis(waitPanelTop(), waitTop, waitStep, QStringLiteral("wait (ms)"), right);
    const double thresholdY = yWait(GapThresholdMs);
    svg += line(PlotLeft, thresholdY, right, thresholdY, "stroke=\"#c03030\" stroke-dasharray=\"6,4\"");
    svg += text(right - 4, thresholdY - 4, "100 ms", "text-anchor=\"end\" font-size=\"11\" fill=\"#c03030\"");

    // Events the trace holds, on the time axis: a dotted line up through the panels, the label
    // in the lane just above the axis.
    std::vector<Event> events;
    if (!s.pings.isEmpty()) {
        events.push_back({s.pings.first().atS, QStringLiteral("first ping"), EventColour});
        if (s.pings.size() > 1)
            events.push_back({s.pings.last().atS, QStringLiteral("last ping (%1 sent)").arg(s.pings.size()), EventColour});
    }
    // The same proposal repeated (the probe sends it until the peer's arrives) is labelled once.
    const qsizetype proposals = std::min(s.proposals.size(), s.proposalTimesS.size());
    for (qsizetype k = 0; k < proposals;) {
        qsizetype same = 1;
        while (k + same < proposals && s.proposals.at(k + same) == s.proposals.at(k))
            ++same;
        const QString label = same == 1 ? QStringLiteral("delay %1 proposed").arg(s.proposals.at(k))
                                        : QStringLiteral("delay %1 proposed (%2 times)").arg(s.proposals.at(k)).arg(same);
        events.push_back({s.proposalTimesS.at(k), label, EventColour});
        for (qsizetype r = 1; r < same; ++r)
            events.push_back({s.proposalTimesS.at(k + r), QString(), EventColour});
        k += same;
    }
    if (s.toPeer.firstAtS >= 0)
        events.push_back({s.toPeer.firstAtS, QStringLiteral("first game datagram to peer"), PeerColour});
    if (s.toEmulator.firstAtS >= 0)
        events.push_back({s.toEmulator.firstAtS, QStringLiteral("first game datagram to emulator"), EmulatorColour});
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.atS < b.atS; });
    Rows eventRows(EventRows);
    for (const Event &e : events) {
        const double ex = x(e.atS);
        const QByteArray colour(e.colour);
        const QByteArray dashed("stroke=\"" + colour + "\" stroke-dasharray=\"3,2\"");
        svg += "<g class=\"event\">\n";
        if (e.label.isEmpty()) {
            // A repetition: its line through the panels only.
            svg += line(ex, panelTop(), ex, waitPanelBottom(), dashed.constData());
        } else {
            const double labelX = std::min(ex + 3, right - double(e.label.size()) * CharWidth);
            const int row = eventRows.place(labelX, e.label.size());
            const double labelY = waitPanelBottom() + (row + 1) * RowHeight;
            svg += line(ex, panelTop(), ex, labelY - 10, dashed.constData());
            svg += text(labelX, labelY, escaped(e.label), QByteArray("font-size=\"11\" fill=\"" + colour + "\"").constData());
        }
        svg += "</g>\n";
    }

    // Time axis in seconds from the start of the trace.
    const double axisY = eventLaneBottom();
    svg += line(PlotLeft, axisY, right, axisY, "stroke=\"#333\"");
    svg += line(PlotLeft, ratePanelBottom(), right, ratePanelBottom(), "stroke=\"#333\"");
    const double timeStep = niceStep(spanS, TimeTicks);
    for (double t = 0; t <= spanS + timeStep / 1000; t += timeStep) {
        const double tx = x(t);
        svg += line(tx, axisY, tx, axisY + 5, "stroke=\"#333\"");
        svg += line(tx, ratePanelBottom(), tx, ratePanelBottom() + 4, "stroke=\"#333\"");
        svg += text(tx, axisY + 18, tickLabel(t, timeStep), "text-anchor=\"middle\" font-size=\"11\"");
    }
    const QString axisTitle =
        s.hasClock ? QStringLiteral("time since the trace began (s); 0 s = %1")
                         .arg(QDateTime::fromMSecsSinceEpoch(s.startWallUs / 1000, Qt::UTC)
                                  .toString(QStringLiteral("HH:mm:ss.zzz 'UTC'")))
                   : QStringLiteral("time since the first traced datagram (s)");
    svg += text(PlotLeft + plotWidth / 2, axisY + 36, escaped(axisTitle), "text-anchor=\"middle\" font-size=\"12\"");

    // The data, one group per direction.
    for (int k = 0; k < 2; ++k) {
        svg += "<g class=\"series\" data-direction=\"" + QByteArray(1, names[k]) + "\" stroke=\"" + colours[k]
               + "\" stroke-width=\"1.5\" fill=\"none\">\n";
        svg += "<title>" + QByteArray(legendNames[k]) + "</title>\n";
        QByteArray ratePoints, waitPoints;
        // Steps: each value holds across its bin, as it was counted.
        for (int b = 0; b < bins; ++b) {
            const QByteArray rateY = num(yRate(series[std::size_t(k)].rate[std::size_t(b)]));
            const QByteArray waitY = num(yWait(series[std::size_t(k)].worstMs[std::size_t(b)]));
            for (const double edge : {b * binS, (b + 1) * binS}) {
                ratePoints += num(x(edge)) + ',' + rateY + ' ';
                waitPoints += num(x(edge)) + ',' + waitY + ' ';
            }
        }
        svg += "<polyline class=\"rate\" points=\"" + ratePoints.trimmed() + "\"/>\n";
        svg += "<polyline class=\"inter-arrival\" points=\"" + waitPoints.trimmed() + "\"/>\n";
        svg += "</g>\n";
    }
    svg += "</svg>\n";
    return svg;
}

} // namespace kivratrace
