// The text lines of a datagram trace: the proxy writes them, kivra-trace reads them, and both
// sides live here so that one cannot change without the other. No files, no clocks.
//
//   # quark <quark as UTF-8>
//   # clock wall_us <wall clock, us> mono_us <steady clock, us>
//   # relayed <address>:<port>          (only when the match went through a TURN relay)
//   <steady clock, us> <o|i> <full length> <hex of the first 48 bytes>
// Readers skip "#" lines they do not know, so a note never breaks an older reader.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>

namespace wire::trace {

// Bytes needed by formatTraceLine: two signed 64-bit numbers, the direction, three blanks,
// 96 hex digits and the line feed, with room to spare.
inline constexpr std::size_t TraceLineCapacity = 160;
// Content bytes recorded per datagram: enough for every probe and the head of a game frame.
inline constexpr qint64 TraceContentBytes = 48;
// The direction field.
inline constexpr char ToPeer = 'o';
inline constexpr char ToEmulator = 'i';

// ---- Writer ----

// Formats "<timeUs> <direction> <length> <hex of the first 48 bytes>\n" into out, which must
// hold TraceLineCapacity bytes. Returns the number of bytes written (no terminating NUL).
// A negative length is written as given, with no content.
std::size_t formatTraceLine(char *out, qint64 timeUs, char direction, const char *data, qint64 length);

// The two header lines: "# quark <quark>\n# clock wall_us <w> mono_us <m>\n". Line breaks and
// other control characters in the quark become "_" so the header stays two lines.
QByteArray traceHeader(const QString &quark, qint64 wallUs, qint64 monoUs);

// "# relayed <address>:<port>\n": the match went through a TURN relay, and this is the
// relayed address the rendezvous server and the peer saw. Written once, after the headers.
QByteArray relayedNote(const QString &address, quint16 port);

// ---- Reader ----
// Lines are given without their line end (line feed, or carriage return and line feed).

// True when the line is header line 1; the quark after the header word goes to *quark when
// quark is not null. Also recognises a file by its first bytes.
bool parseQuarkHeader(const char *p, const char *end, QString *quark);
// How many first bytes of a file parseQuarkHeader needs to recognise a trace.
qsizetype recognitionBytes();

// True for a relayed note; its address text and port go to the pointers (when not null).
bool parseRelayedNote(const char *p, const char *end, QString *address, quint16 *port);

enum class ClockHeader
{
    NotClock,  // some other line
    Malformed, // begins with the clock header's words but does not continue as it should
    Good,
};
ClockHeader parseClockHeader(const char *p, const char *end, qint64 *wallUs, qint64 *monoUs);

struct DataLine
{
    qint64 timeUs = 0;       // steady clock, microseconds
    qint64 length = 0;       // full datagram length
    const char *hex = nullptr; // where the content's hex digits start (inside the given line)
    int recordedBytes = 0;   // content bytes recorded (at most TraceContentBytes)
    char direction = ToPeer;
    bool probe = false;      // one of the proxy's own probe or delay datagrams to the peer
};

// Parses one data line. Returns an empty string when it is good, else what is wrong with it.
QString parseDataLine(const char *p, const char *end, DataLine *line);

// The content bytes of `bytes` pairs of hex digits at `hex` (checked by parseDataLine).
QByteArray decodeContent(const char *hex, int bytes);

} // namespace wire::trace
