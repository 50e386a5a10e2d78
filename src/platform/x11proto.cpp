#include "platform/x11proto.h"

#include <algorithm>
#include <cctype>

namespace platform::x11proto {

namespace {

constexpr std::size_t MaxDisplayNameLength = 1024; // bytes; real names are a few dozen
constexpr int MaxDisplayNumber = 65535 - 6000;     // keeps the TCP port 6000 + n a port
constexpr std::size_t MaxNumberDigits = 5;         // "59535"
constexpr std::size_t MaxUnixPathLength = 107;     // sockaddr_un holds 108 bytes with the NUL
constexpr int TcpBasePort = 6000;                  // X11 over TCP: display n listens on 6000 + n
constexpr std::size_t MaxAuthEntries = 4096;       // far more than any real file holds
constexpr std::size_t MaxCountedLength = 0xFFFF;   // the protocol's 16-bit lengths
constexpr std::uint16_t ProtocolMajor = 11;
constexpr std::uint16_t ProtocolMinor = 0;
constexpr unsigned char LittleEndianOrder = 'l';
constexpr std::size_t SetupHeaderSize = 8;         // bytes before the variable part
constexpr std::uint8_t GenericEventCode = 35;      // the one event with a length of its own
constexpr std::uint8_t SendEventFlag = 0x80;       // set on events sent by other clients
const std::string MitMagicCookie = "MIT-MAGIC-COOKIE-1";

std::uint16_t le16(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
           | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void putLe16(std::string &out, std::size_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void padTo4(std::string &out)
{
    while (out.size() % 4 != 0)
        out.push_back('\0');
}

// Decimal digits only, within the display range; -1 otherwise.
int displayNumber(const std::string &digits)
{
    if (digits.empty() || digits.size() > MaxNumberDigits)
        return -1;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value <= MaxDisplayNumber ? value : -1;
}

bool printableWithoutBlanks(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F;
    });
}

std::string lowered(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Counted string of an Xauthority entry: big-endian 16-bit length, then the bytes.
bool readCounted(const std::string &bytes, std::size_t *pos, std::string *out)
{
    if (bytes.size() - *pos < 2)
        return false;
    const std::size_t length = (static_cast<unsigned char>(bytes[*pos]) << 8) | static_cast<unsigned char>(bytes[*pos + 1]);
    *pos += 2;
    if (bytes.size() - *pos < length)
        return false;
    out->assign(bytes, *pos, length);
    *pos += length;
    return true;
}

} // namespace

DisplayName parseDisplayName(const std::string &text)
{
    DisplayName invalid;
    if (text.empty() || text.size() > MaxDisplayNameLength || text.find('\0') != std::string::npos)
        return invalid;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return invalid;
    std::string host = text.substr(0, colon);
    const std::string rest = text.substr(colon + 1);

    DisplayName name;
    const std::size_t dot = rest.find('.');
    name.number = displayNumber(rest.substr(0, dot));
    if (name.number < 0)
        return invalid;
    if (dot != std::string::npos) {
        name.screen = displayNumber(rest.substr(dot + 1));
        if (name.screen < 0)
            return invalid;
    }

    if (!host.empty() && host.front() == '/') {
        // A socket path of its own (as launchd and some forwarders hand out).
        if (host.size() > MaxUnixPathLength || host.find(':') != std::string::npos)
            return invalid;
        name.kind = DisplayKind::Unix;
        name.host = host;
        return name;
    }
    bool tcpAsked = false;
    const std::size_t slash = host.find('/');
    if (slash != std::string::npos) {
        const std::string protocol = lowered(host.substr(0, slash));
        host = host.substr(slash + 1);
        if (protocol == "unix") {
            if (!host.empty())
                return invalid;
            name.kind = DisplayKind::Unix;
            return name;
        }
        if (protocol != "tcp" && protocol != "inet" && protocol != "inet6")
            return invalid;
        tcpAsked = true;
        if (host.empty())
            host = "localhost";
    }
    if (!tcpAsked && (host.empty() || lowered(host) == "unix")) {
        name.kind = DisplayKind::Unix;
        return name;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return invalid; // "host::n" is DECnet; a bare IPv6 literal needs its brackets
    if (host.empty() || !printableWithoutBlanks(host) || host.find('/') != std::string::npos)
        return invalid;
    name.kind = DisplayKind::Tcp;
    name.host = host;
    return name;
}

std::string unixSocketPath(int number)
{
    return "/tmp/.X11-unix/X" + std::to_string(number);
}

int tcpPort(int number)
{
    return TcpBasePort + number;
}

std::vector<AuthEntry> parseXauthority(const std::string &bytes)
{
    std::vector<AuthEntry> entries;
    std::size_t pos = 0;
    while (pos < bytes.size() && entries.size() < MaxAuthEntries) {
        if (bytes.size() - pos < 2)
            break;
        AuthEntry entry;
        entry.family = static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[pos]) << 8)
                                                  | static_cast<unsigned char>(bytes[pos + 1]));
        pos += 2;
        if (!readCounted(bytes, &pos, &entry.address) || !readCounted(bytes, &pos, &entry.number)
            || !readCounted(bytes, &pos, &entry.name) || !readCounted(bytes, &pos, &entry.data))
            break;
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool pickCookie(const std::vector<AuthEntry> &entries, const AuthPeer &peer, Cookie *cookie)
{
    const std::string number = std::to_string(peer.number);
    for (const AuthEntry &entry : entries) {
        if (entry.name != MitMagicCookie)
            continue;
        if (!entry.number.empty() && entry.number != number)
            continue;
        if (entry.family != FamilyWild && (entry.family != peer.family || entry.address != peer.address))
            continue;
        cookie->name = entry.name;
        cookie->data = entry.data;
        return true;
    }
    return false;
}

std::vector<std::string> hostsAddresses(const std::string &hostsText, const std::string &name,
                                        std::size_t limit)
{
    std::vector<std::string> addresses;
    const std::string wanted = lowered(name);
    std::size_t lineStart = 0;
    while (lineStart < hostsText.size() && addresses.size() < limit) {
        std::size_t lineEnd = hostsText.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = hostsText.size();
        std::string line = hostsText.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        std::vector<std::string> words;
        std::size_t pos = 0;
        while (pos < line.size()) {
            while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos])))
                ++pos;
            const std::size_t start = pos;
            while (pos < line.size() && !std::isspace(static_cast<unsigned char>(line[pos])))
                ++pos;
            if (pos > start)
                words.push_back(line.substr(start, pos - start));
        }
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (lowered(words[i]) == wanted) {
                addresses.push_back(words[0]);
                break;
            }
        }
    }
    return addresses;
}

std::string setupRequest(const Cookie &cookie)
{
    if (cookie.name.size() > MaxCountedLength || cookie.data.size() > MaxCountedLength)
        return {};
    std::string out;
    out.push_back(static_cast<char>(LittleEndianOrder));
    out.push_back('\0');
    putLe16(out, ProtocolMajor);
    putLe16(out, ProtocolMinor);
    putLe16(out, cookie.name.size());
    putLe16(out, cookie.data.size());
    putLe16(out, 0);
    out += cookie.name;
    padTo4(out);
    out += cookie.data;
    padTo4(out);
    return out;
}

SetupHeader parseSetupHeader(const unsigned char *data, std::size_t size)
{
    SetupHeader header;
    if (!data || size < SetupHeaderSize)
        return header;
    // The length field counts four-byte units after the header, whatever the status.
    header.totalLength = SetupHeaderSize + 4 * static_cast<std::size_t>(le16(data + 6));
    switch (data[0]) {
    case 0:
        header.status = SetupStatus::Failed;
        break;
    case 1:
        header.status = SetupStatus::Success;
        break;
    case 2:
        header.status = SetupStatus::Authenticate;
        break;
    default:
        header.status = SetupStatus::Invalid;
        header.totalLength = 0;
        break;
    }
    return header;
}

std::string getWindowAttributesRequest(std::uint32_t window)
{
    std::string out;
    out.push_back(static_cast<char>(GetWindowAttributesOpcode));
    out.push_back('\0');
    putLe16(out, 2); // request length in four-byte units
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((window >> shift) & 0xFF));
    return out;
}

ServerUnit classifyUnit(const unsigned char *data, std::size_t size)
{
    ServerUnit unit;
    if (!data || size < UnitSize)
        return unit;
    const std::uint8_t code = data[0];
    if (code == 0) {
        unit.kind = UnitKind::Error;
        unit.length = UnitSize;
        unit.errorCode = data[1];
        unit.sequence = le16(data + 2);
        unit.badValue = le32(data + 4);
        unit.majorOpcode = data[10];
        return unit;
    }
    std::size_t length = UnitSize;
    if (code == 1 || (code & ~SendEventFlag) == GenericEventCode) {
        const std::uint32_t extra = le32(data + 4);
        if (extra > (MaxUnitSize - UnitSize) / 4) {
            unit.kind = UnitKind::Invalid;
            return unit;
        }
        length += 4 * static_cast<std::size_t>(extra);
    }
    if (size < length)
        return unit; // Incomplete: wait for the rest
    unit.kind = code == 1 ? UnitKind::Reply : UnitKind::Event;
    unit.length = length;
    unit.sequence = le16(data + 2);
    return unit;
}

Scan scanForAnswer(const unsigned char *data, std::size_t size, std::uint16_t sequence, std::uint32_t window)
{
    Scan scan;
    // Every step consumes at least one 32-byte unit, so the loop ends within size / 32 rounds.
    while (data && scan.consumed < size) {
        const ServerUnit unit = classifyUnit(data + scan.consumed, size - scan.consumed);
        if (unit.kind == UnitKind::Incomplete)
            return scan;
        if (unit.kind == UnitKind::Invalid) {
            scan.answer = Answer::Broken;
            return scan;
        }
        scan.consumed += unit.length;
        if (unit.kind == UnitKind::Event || unit.sequence != sequence)
            continue;
        if (unit.kind == UnitKind::Reply) {
            scan.answer = Answer::Exists;
            return scan;
        }
        const bool badWindow = unit.errorCode == BadWindowError && unit.badValue == window
                               && unit.majorOpcode == GetWindowAttributesOpcode;
        scan.answer = badWindow ? Answer::Gone : Answer::Unknown;
        return scan;
    }
    return scan;
}

} // namespace platform::x11proto
