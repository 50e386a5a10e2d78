// Pictures and captures made from a trace: an SVG timeline and a libpcap file.
#pragma once

#include "reader.h"
#include "summary.h"

#include <QByteArray>

namespace tracereader {

// SVG timeline: rate per second and worst inter-arrival per second, one series per direction.
QByteArray svgTimeline(const Trace &trace, const Summary &summary);

// Classic libpcap file, LINKTYPE_RAW (IPv4), one UDP packet per data line. Addresses:
//   to the emulator: 127.0.0.1:7001 -> 127.0.0.1:6000 (the emulator's port is not traced)
//   to the peer:     192.0.2.1:6006 -> 198.51.100.1:6006 (documentation addresses)
QByteArray pcapFile(const Trace &trace, const char *data);

} // namespace tracereader
