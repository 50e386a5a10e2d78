#include "export.h"

#include "wire/ports.h"
#include "wire/traceline.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace tracereader {
namespace {

constexpr int MaxSvgBins = 2000;        // points per series: enough for the eye, small file
constexpr double SvgWidth = 1000, SvgPanelHeight = 160, SvgMargin = 40;
constexpr quint32 PcapMagic = 0xa1b2c3d4;
constexpr quint32 PcapSnapLength = 65535;
constexpr quint32 LinkTypeRaw = 101;    // raw IPv4/IPv6 packets, no link header
constexpr int Ipv4HeaderBytes = 20, UdpHeaderBytes = 8;
constexpr quint32 ProxyLoopback = 0x7f000001, EmulatorAddress = 0x7f000001; // 127.0.0.1
constexpr quint32 ProxyPublic = 0xc0000201;   // 192.0.2.1 (TEST-NET-1)
constexpr quint32 PeerAddress = 0xc6336401;   // 198.51.100.1 (TEST-NET-2)

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
    return d == traceline::ToPeer ? QStringLiteral("to peer") : QStringLiteral("to emulator");
}

} // namespace

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
        Series &one = series[r.direction == traceline::ToPeer ? 0 : 1];
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
    const char names[2] = {traceline::ToPeer, traceline::ToEmulator};
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
        const bool toPeer = r.direction == traceline::ToPeer;
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
