// The window watch reads the DISPLAY name, the user's Xauthority file and whatever the X
// server sends: any bytes must parse without fault, and what is accepted must keep the
// protocol's shape (whole units, four-byte padding, Gone only from a BadWindow error).
#include "fuzzcheck.h"
#include "platform/x11proto.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace wire = platform::x11proto;

namespace {

constexpr std::uint32_t Window = 0x00400006;

void checkDisplayName(const std::string &text)
{
    const wire::DisplayName name = wire::parseDisplayName(text);
    if (name.kind == wire::DisplayKind::Invalid)
        return;
    FUZZ_CHECK(name.number >= 0 && wire::tcpPort(name.number) <= 65535, "the display's port is a port");
    FUZZ_CHECK(name.screen >= 0, "screen not negative");
    if (name.kind == wire::DisplayKind::Tcp)
        FUZZ_CHECK(!name.host.empty() && name.host.find('\0') == std::string::npos, "a TCP display has a host");
    else if (!name.host.empty())
        FUZZ_CHECK(name.host.front() == '/' && name.host.size() < 108, "a socket path fits sockaddr_un");
}

void checkXauthority(const std::string &bytes)
{
    const std::vector<wire::AuthEntry> entries = wire::parseXauthority(bytes);
    std::size_t total = 0;
    for (const wire::AuthEntry &entry : entries)
        total += 2 + 8 + entry.address.size() + entry.number.size() + entry.name.size() + entry.data.size();
    FUZZ_CHECK(total <= bytes.size(), "entries come from the file's bytes");
    wire::Cookie cookie;
    if (wire::pickCookie(entries, {wire::FamilyLocal, "box", 0}, &cookie)) {
        FUZZ_CHECK(cookie.name == "MIT-MAGIC-COOKIE-1", "only the MIT cookie is picked");
        const std::string request = wire::setupRequest(cookie);
        FUZZ_CHECK(request.size() % 4 == 0 && request.size() >= 12 + cookie.data.size(), "setup request padded");
    }
}

void checkServerBytes(const unsigned char *data, std::size_t size)
{
    const wire::SetupHeader header = wire::parseSetupHeader(data, size);
    if (header.status != wire::SetupStatus::Incomplete && header.status != wire::SetupStatus::Invalid)
        FUZZ_CHECK(header.totalLength >= 8 && header.totalLength <= 8 + 4 * 65535, "setup length bounded");

    const std::uint16_t sequence = size >= 2 ? static_cast<std::uint16_t>(data[0] | (data[1] << 8)) : 0;
    const wire::Scan scan = wire::scanForAnswer(data, size, sequence, Window);
    FUZZ_CHECK(scan.consumed <= size, "never reads past the bytes");
    if (scan.answer == wire::Answer::Gone) {
        const unsigned char *last = data + scan.consumed - wire::UnitSize;
        const wire::ServerUnit unit = wire::classifyUnit(last, wire::UnitSize);
        FUZZ_CHECK(unit.kind == wire::UnitKind::Error && unit.errorCode == wire::BadWindowError
                       && unit.badValue == Window && unit.sequence == sequence,
                   "Gone only from a BadWindow error about our window and request");
    }
    // Walking the units one by one ends at the same place when nothing was answered.
    std::size_t at = 0;
    for (std::size_t round = 0; at < size && round <= size / wire::UnitSize; ++round) {
        const wire::ServerUnit unit = wire::classifyUnit(data + at, size - at);
        if (unit.kind == wire::UnitKind::Incomplete || unit.kind == wire::UnitKind::Invalid)
            break;
        FUZZ_CHECK(unit.length >= wire::UnitSize && unit.length <= wire::MaxUnitSize, "unit length bounded");
        at += unit.length;
    }
    FUZZ_CHECK(at <= size, "units stay inside the bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    checkDisplayName(text);
    checkXauthority(text);
    checkServerBytes(data, size);
    wire::hostsAddresses(text, "localhost", 4);
    return 0;
}
