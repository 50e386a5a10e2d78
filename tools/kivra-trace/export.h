// Pictures and captures made from a trace: an SVG timeline and a libpcap file.
#pragma once

#include "reader.h"
#include "summary.h"

#include <QByteArray>

namespace kivratrace {

// SVG timeline for a person: datagrams per second and the longest wait between game datagrams
// in each second, one series per direction (<g class="series" data-direction="o|i">), on a
// time axis in seconds, with a title (quark, wall-clock start), a legend, the events the trace
// holds (pings, delay proposals, first game datagram each way) and gaps over 100 ms shaded
// (<rect class="gap">) and labelled with their length. Its size is SvgWidth by svgHeight().
QByteArray svgTimeline(const Trace &trace, const Summary &summary);
inline constexpr int SvgWidth = 1000; // px
int svgHeight();

// Classic libpcap file, LINKTYPE_RAW (IPv4), one UDP packet per data line. Addresses:
//   to the emulator: 127.0.0.1:7001 -> 127.0.0.1:6000 (the emulator's port is not traced)
//   to the peer:     192.0.2.1:6006 -> 198.51.100.1:6006 (documentation addresses)
QByteArray pcapFile(const Trace &trace, const char *data);

} // namespace kivratrace
