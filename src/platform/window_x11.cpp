// Front-end window watch on X11: asks the server named by DISPLAY whether a window id
// still exists. Anything short of a clear BadWindow answer is Unknown, so that a missing,
// broken or silent display never ends a match.
//
// The watch runs on the main thread, beside the relay and every deadline, so it speaks the
// little X11 it needs itself (x11proto) over a non-blocking socket and keeps its connection as
// a state machine across calls: each call makes whatever progress is possible without
// waiting, plus at most a short wait while the server has been answering. A server that
// missed its last answer gets no wait at all until it answers again; an answer that arrives
// on a later call is still used.
#include "platform/platform.h"
#include "platform/x11proto.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

namespace x11 = platform::x11proto;
using Clock = std::chrono::steady_clock;

constexpr int AnsweringWaitMs = 50;        // longest wait of one call, only for a server that answers
constexpr int StallLimitMs = 2000;         // a phase without progress this long drops the connection
constexpr int FirstBackoffMs = 1000;       // before reconnecting after a failure; doubles each time
constexpr int MaxBackoffMs = 30000;        // a display that comes back is found within this
constexpr int MaxRoundsPerCall = 8;        // progress-and-wait rounds of one call
constexpr std::size_t ReadChunkBytes = 4096;
constexpr int MaxReadsPerRound = 64;       // 256 KiB per round: a whole setup reply of a big server
constexpr std::size_t MaxFileBytes = 256 * 1024; // Xauthority and /etc/hosts; real ones are a few KiB
constexpr int MaxFileReads = 128;          // read() calls per file
constexpr std::size_t MaxHostAddresses = 4; // addresses tried for one TCP display name
constexpr std::size_t MaxHostNameBytes = 256;
constexpr std::uint64_t MaxWindowId = 0xFFFFFFFFu; // X resource ids are 32 bits wide

enum class Phase { Disconnected, Connecting, SettingUp, Ready, Querying };

struct Target
{
    sockaddr_storage address{};
    socklen_t length = 0;
    x11::AuthPeer peer;
};

struct Watch
{
    Phase phase = Phase::Disconnected;
    int fd = -1;
    std::vector<Target> targets;
    std::size_t nextTarget = 0;
    x11::AuthPeer peer;
    std::string out;          // bytes still to send
    std::string in;           // bytes received and not yet used
    bool setupKnown = false;
    std::size_t setupLeft = 0; // bytes of the setup reply still to skip
    Clock::time_point lastProgress{};
    Clock::time_point nextAttempt{};
    int backoffMs = FirstBackoffMs;
    bool answering = true;    // the server answered the last time we waited for it
    std::uint16_t sequence = 0;
    std::uint32_t asked = 0;  // the window of the query in flight
};

Watch &watch()
{
    static Watch state;
    return state;
}

void closeSocket(Watch &w)
{
    if (w.fd >= 0)
        ::close(w.fd);
    w.fd = -1;
    w.out.clear();
    w.in.clear();
    w.setupKnown = false;
    w.setupLeft = 0;
}

void dropConnection(Watch &w, Clock::time_point now)
{
    closeSocket(w);
    w.phase = Phase::Disconnected;
    w.targets.clear();
    w.nextAttempt = now + std::chrono::milliseconds(w.backoffMs);
    w.backoffMs = std::min(w.backoffMs * 2, MaxBackoffMs);
}

// A small regular file, read without following it into a FIFO or device (which could block).
bool readSmallFile(const char *path, std::string *text)
{
    if (!path || !*path)
        return false;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
              && static_cast<unsigned long long>(info.st_size) <= MaxFileBytes;
    text->clear();
    char buffer[ReadChunkBytes];
    for (int round = 0; ok && round < MaxFileReads && text->size() <= MaxFileBytes; ++round) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            ok = errno == EINTR;
            continue;
        }
        text->append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return ok && text->size() <= MaxFileBytes;
}

std::string hostName()
{
    char name[MaxHostNameBytes] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

x11::Cookie cookieFor(const x11::AuthPeer &peer)
{
    std::string path;
    if (const char *given = std::getenv("XAUTHORITY"); given && *given)
        path = given;
    else if (const char *home = std::getenv("HOME"); home && *home)
        path = std::string(home) + "/.Xauthority";
    std::string bytes;
    x11::Cookie cookie;
    // No file or no entry for us: an empty authorisation, which a server without -auth accepts.
    if (!path.empty() && readSmallFile(path.c_str(), &bytes))
        x11::pickCookie(x11::parseXauthority(bytes), peer, &cookie);
    return cookie;
}

Target unixTarget(const std::string &path, bool abstract, int number)
{
    Target target;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0; // abstract names start with a NUL byte
    const std::size_t copied = std::min(path.size(), sizeof address.sun_path - 1 - offset);
    std::memcpy(address.sun_path + offset, path.data(), copied);
    target.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + copied + (abstract ? 0 : 1));
    std::memcpy(&target.address, &address, sizeof address);
    target.peer = {x11::FamilyLocal, hostName(), number};
    return target;
}

// A numeric address as a target; false for anything else.
bool tcpTarget(const std::string &text, int number, Target *target)
{
    const auto port = static_cast<std::uint16_t>(x11::tcpPort(number));
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr = v4;
        std::memcpy(&target->address, &address, sizeof address);
        target->length = sizeof address;
        const auto *bytes = reinterpret_cast<const char *>(&v4);
        // The server's own loopback clients are "local" to its authorisation file.
        if (static_cast<unsigned char>(bytes[0]) == 127)
            target->peer = {x11::FamilyLocal, hostName(), number};
        else
            target->peer = {x11::FamilyInternet, std::string(bytes, 4), number};
        return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = v6;
        std::memcpy(&target->address, &address, sizeof address);
        target->length = sizeof address;
        if (IN6_IS_ADDR_LOOPBACK(&v6))
            target->peer = {x11::FamilyLocal, hostName(), number};
        else
            target->peer = {x11::FamilyInternet6, std::string(reinterpret_cast<const char *>(&v6), 16), number};
        return true;
    }
    return false;
}

std::vector<Target> targetsFor(const x11::DisplayName &name)
{
    std::vector<Target> targets;
    if (name.kind == x11::DisplayKind::Unix) {
        if (!name.host.empty()) {
            targets.push_back(unixTarget(name.host, false, name.number));
        } else {
            const std::string path = x11::unixSocketPath(name.number);
            targets.push_back(unixTarget(path, true, name.number));
            targets.push_back(unixTarget(path, false, name.number));
        }
        return targets;
    }
    if (name.kind != x11::DisplayKind::Tcp)
        return targets;
    Target target;
    if (tcpTarget(name.host, name.number, &target)) {
        targets.push_back(target);
        return targets;
    }
    // A host name: only what /etc/hosts says. A DNS lookup can take many seconds and the
    // resolver has no non-blocking call without a thread, so any other name stays Unknown.
    std::string hosts;
    std::vector<std::string> addresses;
    if (readSmallFile("/etc/hosts", &hosts))
        addresses = x11::hostsAddresses(hosts, name.host, MaxHostAddresses);
    std::string lowered = name.host;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    if (addresses.empty() && lowered == "localhost")
        addresses.push_back("127.0.0.1");
    for (const std::string &address : addresses) {
        if (tcpTarget(address, name.number, &target))
            targets.push_back(target);
    }
    return targets;
}

void beginSetup(Watch &w, Clock::time_point now)
{
    w.phase = Phase::SettingUp;
    w.out = x11::setupRequest(cookieFor(w.peer));
    w.in.clear();
    w.setupKnown = false;
    w.setupLeft = 0;
    w.sequence = 0;
    w.lastProgress = now;
}

// Starts a non-blocking connect to the next target; drops the attempt when none is left.
void connectNext(Watch &w, Clock::time_point now)
{
    closeSocket(w);
    while (w.nextTarget < w.targets.size()) {
        const Target &target = w.targets[w.nextTarget++];
        const int fd = ::socket(target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        w.fd = fd;
        w.peer = target.peer;
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&target.address), target.length) == 0) {
            beginSetup(w, now);
            return;
        }
        if (errno == EINPROGRESS) {
            w.phase = Phase::Connecting;
            w.lastProgress = now;
            return;
        }
        closeSocket(w);
    }
    dropConnection(w, now);
}

void startAttempt(Watch &w, Clock::time_point now)
{
    const char *display = std::getenv("DISPLAY");
    const x11::DisplayName name = x11::parseDisplayName(display ? display : "");
    w.targets = targetsFor(name);
    w.nextTarget = 0;
    connectNext(w, now);
}

void finishConnect(Watch &w, Clock::time_point now)
{
    pollfd descriptor{w.fd, POLLOUT, 0};
    if (::poll(&descriptor, 1, 0) <= 0)
        return;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(w.fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
        beginSetup(w, now);
    else
        connectNext(w, now);
}

// Sends what is queued, without waiting. False when the connection broke.
bool flush(Watch &w)
{
    if (w.out.empty())
        return true;
    const ssize_t sent = ::send(w.fd, w.out.data(), w.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
        w.out.erase(0, static_cast<std::size_t>(sent));
        return true;
    }
    return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Takes what the server has sent, without waiting. False when the connection broke or closed.
bool receive(Watch &w, Clock::time_point now)
{
    char buffer[ReadChunkBytes];
    for (int round = 0; round < MaxReadsPerRound; ++round) {
        const ssize_t got = ::recv(w.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            w.in.append(buffer, static_cast<std::size_t>(got));
            w.lastProgress = now;
            w.answering = true;
            continue;
        }
        if (got == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

// Reads the setup reply off the front of the input. False when the server refused us.
bool takeSetup(Watch &w, Clock::time_point now)
{
    if (!w.setupKnown) {
        const x11::SetupHeader header =
            x11::parseSetupHeader(reinterpret_cast<const unsigned char *>(w.in.data()), w.in.size());
        if (header.status == x11::SetupStatus::Incomplete)
            return true;
        if (header.status != x11::SetupStatus::Success)
            return false; // refused, needs another authorisation, or not an X server
        w.setupKnown = true;
        w.setupLeft = header.totalLength;
    }
    const std::size_t skipped = std::min(w.setupLeft, w.in.size());
    w.in.erase(0, skipped);
    w.setupLeft -= skipped;
    if (w.setupLeft == 0) {
        w.phase = Phase::Ready;
        w.lastProgress = now;
    }
    return true;
}

// One round of non-blocking progress. Returns the answer to the query in flight once it is
// there (for the window that query asked about).
x11::Answer step(Watch &w, std::uint32_t window, Clock::time_point now)
{
    if (w.phase == Phase::Disconnected) {
        if (now < w.nextAttempt)
            return x11::Answer::None;
        startAttempt(w, now);
    }
    if (w.phase == Phase::Connecting)
        finishConnect(w, now);
    if (w.phase == Phase::Disconnected || w.phase == Phase::Connecting) {
        if (w.phase == Phase::Connecting && now - w.lastProgress > std::chrono::milliseconds(StallLimitMs))
            dropConnection(w, now);
        return x11::Answer::None;
    }
    if (!flush(w) || !receive(w, now)) {
        dropConnection(w, now);
        return x11::Answer::None;
    }
    if (w.phase == Phase::SettingUp && !takeSetup(w, now)) {
        dropConnection(w, now);
        return x11::Answer::None;
    }
    x11::Answer answer = x11::Answer::None;
    if (w.phase == Phase::Querying || w.phase == Phase::Ready) {
        // In Ready only stray units can come (no events are selected); they are skipped.
        const x11::Scan scan = x11::scanForAnswer(reinterpret_cast<const unsigned char *>(w.in.data()),
                                                    w.in.size(), w.sequence, w.asked);
        w.in.erase(0, scan.consumed);
        if (scan.answer == x11::Answer::Broken) {
            dropConnection(w, now);
            return x11::Answer::None;
        }
        if (w.phase == Phase::Querying && scan.answer != x11::Answer::None) {
            w.phase = Phase::Ready;
            w.backoffMs = FirstBackoffMs;
            answer = w.asked == window ? scan.answer : x11::Answer::Unknown;
        }
    }
    if (answer == x11::Answer::None && w.phase == Phase::Ready) {
        w.out += x11::getWindowAttributesRequest(window);
        ++w.sequence;
        w.asked = window;
        w.phase = Phase::Querying;
        w.lastProgress = now;
        if (!flush(w)) {
            dropConnection(w, now);
            return x11::Answer::None;
        }
    }
    if (answer == x11::Answer::None && now - w.lastProgress > std::chrono::milliseconds(StallLimitMs))
        dropConnection(w, now);
    return answer;
}

} // namespace

namespace platform {

WindowState windowState(std::uint64_t handle)
{
    // No X window can carry a wider id, so there is nothing to ask the server (truncating
    // would ask about some other window). A handle the watch cannot ask about says nothing
    // about the front-end's window: the match goes on.
    if (handle > MaxWindowId)
        return WindowState::Unknown;
    const auto window = static_cast<std::uint32_t>(handle);
    Watch &w = watch();
    const Clock::time_point start = Clock::now();
    const int waitMs = w.answering ? AnsweringWaitMs : 0;
    x11::Answer answer = x11::Answer::None;
    for (int round = 0; round < MaxRoundsPerCall; ++round) {
        answer = step(w, window, Clock::now());
        if (answer != x11::Answer::None || w.phase == Phase::Disconnected)
            break;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const int left = waitMs - static_cast<int>(spent);
        if (left <= 0)
            break;
        short events = POLLIN;
        if (w.phase == Phase::Connecting)
            events = POLLOUT;
        else if (!w.out.empty())
            events |= POLLOUT;
        pollfd descriptor{w.fd, events, 0};
        if (::poll(&descriptor, 1, left) < 0 && errno != EINTR)
            break;
    }
    // Waited for the server and got nothing: no more waiting until it answers again.
    if (answer == x11::Answer::None && w.phase != Phase::Disconnected)
        w.answering = false;
    switch (answer) {
    case x11::Answer::Exists:
        return WindowState::Exists;
    case x11::Answer::Gone:
        return WindowState::Gone;
    default:
        return WindowState::Unknown;
    }
}

} // namespace platform
