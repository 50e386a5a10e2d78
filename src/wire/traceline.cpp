#include "wire/traceline.h"

#include "wire/probewire.h"

#include <algorithm>
#include <cstring>

namespace wire::trace {
namespace {

const QByteArray QuarkHeader = QByteArrayLiteral("# quark ");          // header line 1 up to the quark
const QByteArray ClockHeaderStart = QByteArrayLiteral("# clock wall_us "); // header line 2 up to wall_us
const QByteArray MonoField = QByteArrayLiteral(" mono_us ");           // header line 2 before mono_us
const QByteArray RelayedNoteStart = QByteArrayLiteral("# relayed ");   // the relay note up to the address
constexpr qint64 MaxNoteAddressBytes = 64; // an IPv4 or IPv6 text with its port fits easily
constexpr char HexDigits[] = "0123456789abcdef";
constexpr int MaxDecimalDigits = 18; // digits read: fits a signed 64-bit value without overflow

// Writes a signed decimal number and returns the end of what was written.
char *writeDecimal(char *out, qint64 value)
{
    // Through the unsigned type so that the most negative value needs no special case.
    quint64 magnitude = value < 0 ? quint64(0) - quint64(value) : quint64(value);
    if (value < 0)
        *out++ = '-';
    char digits[20];
    int count = 0;
    do {
        digits[count++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads an optionally signed decimal at p; false on no digits or too many.
bool readDecimal(const char *&p, const char *end, qint64 *value, bool allowSign)
{
    bool negative = false;
    if (allowSign && p < end && *p == '-') {
        negative = true;
        ++p;
    }
    const char *start = p;
    qint64 v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (p - start >= MaxDecimalDigits)
            return false;
        v = v * 10 + (*p - '0');
        ++p;
    }
    if (p == start)
        return false;
    *value = negative ? -v : v;
    return true;
}

bool startsWith(const char *p, const char *end, const QByteArray &prefix)
{
    return end - p >= prefix.size() && std::memcmp(p, prefix.constData(), std::size_t(prefix.size())) == 0;
}

void decodeInto(char *out, const char *hex, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = char(hexValue(hex[2 * i]) << 4 | hexValue(hex[2 * i + 1]));
}

} // namespace

std::size_t formatTraceLine(char *out, qint64 timeUs, char direction, const char *data, qint64 length)
{
    char *p = writeDecimal(out, timeUs);
    *p++ = ' ';
    *p++ = direction;
    *p++ = ' ';
    p = writeDecimal(p, length);
    *p++ = ' ';
    const qint64 shown = data ? std::clamp<qint64>(length, 0, TraceContentBytes) : 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    for (qint64 i = 0; i < shown; ++i) {
        *p++ = HexDigits[bytes[i] >> 4];
        *p++ = HexDigits[bytes[i] & 0x0f];
    }
    *p++ = '\n';
    return std::size_t(p - out);
}

QByteArray traceHeader(const QString &quark, qint64 wallUs, qint64 monoUs)
{
    QByteArray name = quark.toUtf8();
    for (char &c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '_';
    }
    return QuarkHeader + name + '\n' + ClockHeaderStart + QByteArray::number(wallUs) + MonoField
           + QByteArray::number(monoUs) + '\n';
}

QByteArray relayedNote(const QString &address, quint16 port)
{
    return RelayedNoteStart + address.toLatin1() + ':' + QByteArray::number(port) + '\n';
}

bool parseRelayedNote(const char *p, const char *end, QString *address, quint16 *port)
{
    if (!startsWith(p, end, RelayedNoteStart))
        return false;
    const QByteArray rest(p + RelayedNoteStart.size(), int(end - p - RelayedNoteStart.size()));
    const int colon = rest.lastIndexOf(':');
    if (colon <= 0 || rest.size() > MaxNoteAddressBytes)
        return false;
    bool ok = false;
    const uint value = rest.mid(colon + 1).toUInt(&ok, 10);
    if (!ok || value == 0 || value > 65535)
        return false;
    if (address)
        *address = QString::fromLatin1(rest.left(colon));
    if (port)
        *port = quint16(value);
    return true;
}

qsizetype recognitionBytes()
{
    return QuarkHeader.size();
}

bool parseQuarkHeader(const char *p, const char *end, QString *quark)
{
    if (!startsWith(p, end, QuarkHeader))
        return false;
    if (quark)
        *quark = QString::fromUtf8(p + QuarkHeader.size(), end - p - QuarkHeader.size());
    return true;
}

ClockHeader parseClockHeader(const char *p, const char *end, qint64 *wallUs, qint64 *monoUs)
{
    if (!startsWith(p, end, ClockHeaderStart))
        return ClockHeader::NotClock;
    p += ClockHeaderStart.size();
    qint64 wall = 0, mono = 0;
    if (!readDecimal(p, end, &wall, true) || !startsWith(p, end, MonoField))
        return ClockHeader::Malformed;
    p += MonoField.size();
    if (!readDecimal(p, end, &mono, true) || p != end)
        return ClockHeader::Malformed;
    *wallUs = wall;
    *monoUs = mono;
    return ClockHeader::Good;
}

QString parseDataLine(const char *p, const char *end, DataLine *line)
{
    if (!readDecimal(p, end, &line->timeUs, true))
        return QStringLiteral("malformed data line: no time stamp");
    if (p + 3 > end || p[0] != ' ' || (p[1] != ToPeer && p[1] != ToEmulator) || p[2] != ' ')
        return QStringLiteral("malformed data line: expected \" o \" or \" i \" after the time");
    line->direction = p[1];
    p += 3;
    if (!readDecimal(p, end, &line->length, false))
        return QStringLiteral("malformed data line: no length");
    if (p >= end || *p != ' ')
        return QStringLiteral("malformed data line: no blank after the length");
    ++p;
    const qint64 digits = end - p;
    const qint64 expected = 2 * std::min<qint64>(line->length, TraceContentBytes);
    for (const char *q = p; q < end; ++q) {
        if (hexValue(*q) < 0)
            return QStringLiteral("non-hex content byte '%1'").arg(QChar::fromLatin1(*q));
    }
    if (digits != expected)
        return QStringLiteral("content has %1 hex digits, length %2 needs %3").arg(digits).arg(line->length).arg(expected);
    line->hex = p;
    line->recordedBytes = int(digits / 2);
    // The proxy's own probes are short enough to be recorded whole; the recogniser looks at the
    // full length and the head, which is always among the recorded bytes.
    line->probe = false;
    if (line->direction == ToPeer) {
        char head[TraceContentBytes];
        decodeInto(head, p, line->recordedBytes);
        line->probe = wire::probe::isProbeDatagram(head, line->length);
    }
    return {};
}

QByteArray decodeContent(const char *hex, int bytes)
{
    QByteArray out(bytes, '\0');
    decodeInto(out.data(), hex, bytes);
    return out;
}

} // namespace wire::trace
