// The few pieces of the X11 core protocol the window watch speaks, as pure functions: the
// DISPLAY name, the Xauthority file, the connection setup, GetWindowAttributes and the
// units the server sends back. No sockets here; every parser is bounded and takes any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::x11proto {

enum class DisplayKind { Invalid, Unix, Tcp };

struct DisplayName
{
    DisplayKind kind = DisplayKind::Invalid;
    // Tcp: the host as written (brackets of an IPv6 literal removed). Unix: the socket path
    // when the name gave one, else empty (the server's usual socket for `number`).
    std::string host;
    int number = -1;
    int screen = 0;
};

// ":N", ":N.S", "unix:N", "host:N", "tcp/host:N", "/absolute/socket/path:N", "[v6]:N".
DisplayName parseDisplayName(const std::string &text);

// The server's usual Unix socket for a display number.
std::string unixSocketPath(int number);

// TCP port of a display: 6000 + number.
int tcpPort(int number);

// One entry of an Xauthority file (all counted strings big-endian, as xauth writes them).
struct AuthEntry
{
    std::uint16_t family = 0;
    std::string address;
    std::string number; // display number in decimal; empty matches any
    std::string name;
    std::string data;
};

inline constexpr std::uint16_t FamilyInternet = 0;
inline constexpr std::uint16_t FamilyInternet6 = 6;
inline constexpr std::uint16_t FamilyLocal = 256;
inline constexpr std::uint16_t FamilyWild = 65535;

// The complete entries of a file, in order; a truncated last entry ends the list.
std::vector<AuthEntry> parseXauthority(const std::string &bytes);

// Who we are to the Xauthority file: `family` FamilyLocal with our host name for a Unix or
// loopback connection, FamilyInternet / FamilyInternet6 with the server's address bytes.
struct AuthPeer
{
    std::uint16_t family = FamilyLocal;
    std::string address;
    int number = -1;
};

struct Cookie
{
    std::string name;
    std::string data;
};

// The first MIT-MAGIC-COOKIE-1 entry for this peer (FamilyWild matches any address).
// False when there is none: the connection then goes without authorisation.
bool pickCookie(const std::vector<AuthEntry> &entries, const AuthPeer &peer, Cookie *cookie);

// The addresses /etc/hosts gives a name (case-insensitive; comments skipped), in file order,
// at most `limit` of them.
std::vector<std::string> hostsAddresses(const std::string &hostsText, const std::string &name,
                                        std::size_t limit);

// Connection setup request: little-endian, protocol 11.0, authorisation name and data padded
// to four bytes. Empty when either is longer than the protocol's 16-bit length allows.
std::string setupRequest(const Cookie &cookie);

enum class SetupStatus { Incomplete, Failed, Success, Authenticate, Invalid };

struct SetupHeader
{
    SetupStatus status = SetupStatus::Incomplete;
    std::size_t totalLength = 0; // bytes of the whole setup reply, header included
};

// The first eight bytes of the server's setup reply (fewer: Incomplete).
SetupHeader parseSetupHeader(const unsigned char *data, std::size_t size);

// GetWindowAttributes (opcode 3) for a window.
std::string getWindowAttributesRequest(std::uint32_t window);

inline constexpr std::uint8_t GetWindowAttributesOpcode = 3;
inline constexpr std::uint8_t BadWindowError = 3;
inline constexpr std::size_t UnitSize = 32;           // bytes of every reply, error and event head
inline constexpr std::size_t MaxUnitSize = 64 * 1024; // bytes; larger is not for us: the link is broken

enum class UnitKind { Incomplete, Reply, Error, Event, Invalid };

struct ServerUnit
{
    UnitKind kind = UnitKind::Incomplete;
    std::size_t length = 0;      // bytes of the whole unit (valid for Reply, Error, Event)
    std::uint16_t sequence = 0;  // reply and error: the request's sequence number
    std::uint8_t errorCode = 0;  // error only
    std::uint32_t badValue = 0;  // error only: the resource id the server complains about
    std::uint8_t majorOpcode = 0; // error only
};

// The unit at the start of bytes the server sent after its setup reply.
ServerUnit classifyUnit(const unsigned char *data, std::size_t size);

enum class Answer { None, Exists, Gone, Unknown, Broken };

struct Scan
{
    Answer answer = Answer::None;
    std::size_t consumed = 0; // bytes of whole units read, up to and including the answer
};

// Reads units until the answer to GetWindowAttributes with `sequence` about `window`:
// a reply means Exists, a BadWindow error naming that window Gone, any other error Unknown.
// Events and answers to other sequence numbers are skipped. None: not there yet; Broken:
// bytes no server sends (drop the connection).
Scan scanForAnswer(const unsigned char *data, std::size_t size, std::uint16_t sequence, std::uint32_t window);

} // namespace platform::x11proto
