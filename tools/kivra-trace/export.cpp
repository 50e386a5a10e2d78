// The libpcap export; the SVG timeline is in plot.cpp.
#include "export.h"

#include "wire/ports.h"
#include "wire/traceline.h"

#include <QtEndian>

#include <algorithm>

namespace kivratrace {
namespace {

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

} // namespace

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
        const bool toPeer = r.direction == wire::trace::ToPeer;
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
        appendBe16(out, toPeer ? wire::ports::DefaultPeerPort : wire::ports::LocalProxyPort);
        appendBe16(out, toPeer ? wire::ports::DefaultPeerPort : wire::ports::AssumedEmulatorPort);
        appendBe16(out, quint16(std::min<qint64>(r.length + UdpHeaderBytes, 65535)));
        appendBe16(out, 0); // no checksum: the payload is only partly recorded
        out += recordedContent(data, r);
    }
    return out;
}

} // namespace kivratrace
