// Relay benchmark driver. Plays the emulator (127.0.0.1) and the remote peer (127.0.0.2), and
// for the proxy also the rendezvous server, around each relay under test in turn:
//   direct  - no relay at all, the floor for round-trip times;
//   epoll   - bench-relay-epoll, the practical limit;
//   socat   - socat UDP4-LISTEN <-> UDP4, a second reference;
//   qt-floor- bench-relay-qtfloor, the epoll relay's work woken by Qt's event loop;
//   qt      - the proxy (bench-relay-qt) with the trace disabled;
//   qt-trace- the proxy writing its trace file;
//   qt-other, qt-other-trace - the same for a second build of bench-relay-qt (--other-qt).
// Each relay runs in its own process; its CPU time is read from /proc/<pid>/task/*/schedstat
// (nanoseconds on the CPU, user and system) around each load. Loads: ping-pong (one datagram in
// flight) at 64 and 512 bytes, a 60 Hz match in both directions, and a flood each way.
// Only for a private network namespace (see run.sh): it refuses to run where any interface
// other than lo exists.
#include "benchwire.h"
#include "wire/probewire.h"
#include "wire/punchwire.h"
#include "wire/signalwire.h"

#include <QHostAddress>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr unsigned short EmulatorFacingPort = 7001;
constexpr unsigned short PeerFacingPort = 6006;
constexpr int EndBufferBytes = 64 * 1024 * 1024;  // receive queue of our ends: losses stay in the relay
constexpr std::int64_t ReplyTimeoutNs = 200000000; // 200 ms: a ping-pong datagram counts as lost
constexpr std::int64_t LingerNs = 300000000;       // 300 ms of quiet ends a load
constexpr std::int64_t FramePeriodNs = 16666667;   // 60 Hz
constexpr std::int64_t StartTimeoutNs = 20000000000; // 20 s: launch, punch (~0.5 s), probe (~1.2 s)
constexpr int FloodBatch = 32;                     // datagrams per sendmmsg
constexpr int DrainBatch = 64;                     // datagrams per recvmmsg
constexpr int MaxDrainCalls = 4096;                // recvmmsg calls per drain
constexpr int WarmupRounds = 500;                  // ping-pongs before anything is measured
constexpr char MatchId[] = "bench-4321";
constexpr int Side = 1;
constexpr int PeerSide = 2;

// Latency loads run the driver and the relay on one CPU: in a VM, waking the relay on an idle
// second CPU costs tens of microseconds that belong to neither relay and swamp the figures.
// Floods give the relay a CPU of its own, as it has on a player's machine.
void pin(pid_t pid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(pid, sizeof set, &set);
}

void pinLoad(pid_t relay, bool ownCpu)
{
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return;
    pin(0, 0);
    if (relay > 0)
        pin(relay, ownCpu ? 1 : 0);
}

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

sockaddr_in ipv4(const char *address, unsigned short port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address, &sa.sin_addr);
    sa.sin_port = htons(port);
    return sa;
}

int boundEnd(const char *address)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa = ipv4(address, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return -1;
    int bytes = EndBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return fd;
}

unsigned short localPort(int fd)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length);
    return ntohs(sa.sin_port);
}

bool onlyLoopback()
{
    struct if_nameindex *names = if_nameindex();
    if (!names)
        return false;
    int interfaces = 0;
    bool others = false;
    for (const struct if_nameindex *n = names; n->if_index != 0; ++n, ++interfaces)
        others = others || std::strcmp(n->if_name, "lo") != 0;
    if_freenameindex(names);
    return interfaces >= 1 && !others;
}

// CPU time of all threads of a process, in ns.
std::int64_t cpuNs(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    std::int64_t total = 0;
    for (int n = 0; n < 4096; ++n) {
        const dirent *entry = readdir(d);
        if (!entry)
            break;
        if (entry->d_name[0] == '.')
            continue;
        std::FILE *f = std::fopen((dir + '/' + entry->d_name + "/schedstat").c_str(), "r");
        if (!f)
            continue;
        long long onCpu = 0;
        if (std::fscanf(f, "%lld", &onCpu) == 1)
            total += onCpu;
        std::fclose(f);
    }
    closedir(d);
    return total;
}

// VmRSS or VmHWM of a process, in KiB.
long statusKib(pid_t pid, const char *key)
{
    std::FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const std::size_t keyLength = std::strlen(key);
    for (int n = 0; n < 200 && std::fgets(line, sizeof line, f); ++n) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = std::atol(line + keyLength + 1);
            break;
        }
    }
    std::fclose(f);
    return value;
}

bool udpPortBound(unsigned short port)
{
    std::FILE *f = std::fopen("/proc/net/udp", "r");
    if (!f)
        return false;
    char line[512];
    char needle[16];
    std::snprintf(needle, sizeof needle, ":%04X ", port);
    bool found = false;
    for (int n = 0; n < 10000 && std::fgets(line, sizeof line, f); ++n) {
        const char *local = std::strchr(line, ':'); // after the slot number
        if (local && std::strstr(local + 1, needle) && std::strstr(local + 1, needle) < local + 20)
            found = true;
    }
    std::fclose(f);
    return found;
}

struct Figures
{
    std::int64_t cpu = 0;        // ns of relay CPU during the load
    std::int64_t relayed = 0;    // datagrams that came out of the relay
    std::int64_t sent = 0;       // datagrams put into the relay
    std::int64_t lost = 0;
    std::int64_t damaged = 0;    // changed, duplicated or out of order
    std::vector<double> rttUs;
    double rate = 0;             // relayed datagrams per second (floods)
    double offered = 0;          // sent datagrams per second (floods)

    double cpuPerDatagramNs() const { return relayed > 0 ? double(cpu) / double(relayed) : 0; }
};

struct RelayRun
{
    std::string name;
    bool available = true;
    std::string why;
    std::map<std::string, Figures> loads;
    long rssStartKib = -1;
    long rssEndKib = -1;
    long peakKib = -1;
    std::int64_t relayedBetween = 0;
};

class Bench
{
public:
    Bench(int emulator, int peer, int server) : e(emulator), p(peer), s(server) {}

    bool start(const std::string &kind, const std::string &qtBin, const std::string &tracePath, std::string *why);
    void finish();
    bool warmup(std::string *why);
    Figures pingPong(std::size_t size, int rounds);
    Figures match(int seconds);
    Figures flood(bool fromEmulator, int count, std::size_t size);
    pid_t pid() const { return child; }

private:
    bool startChild(const std::vector<std::string> &argv, const std::vector<std::string> &env);
    bool readLine(std::string *line, std::int64_t deadline);
    void service(int fd);
    bool readGame(int fd, std::uint64_t *seq, std::uint64_t *sentNs, std::size_t *size, bool *damaged);
    bool waitReadable(int fd, std::int64_t deadline);
    void sendTo(int fd, const char *data, std::size_t size, const sockaddr_in &to);

    int e, p, s;
    pid_t child = -1;
    int childOut = -1;
    std::string pending;
    sockaddr_in toLocal{};  // where the emulator sends
    sockaddr_in toPeer{};   // where the peer sends
    sockaddr_in serverPeer{}; // proxy's peer socket as the server saw it
    bool delayAnswered = false;
    std::uint64_t nextSeq = 1;
    char buffer[65536];
};

bool Bench::startChild(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        for (const std::string &assignment : env)
            putenv(const_cast<char *>(assignment.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    childOut = out[0];
    fcntl(childOut, F_SETFL, O_NONBLOCK);
    return true;
}

void Bench::finish()
{
    if (child > 0) {
        kill(child, SIGTERM);
        int status = 0;
        const std::int64_t deadline = nowNs() + 2000000000;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (nowNs() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            usleep(10000);
        }
    }
    if (childOut >= 0)
        close(childOut);
    child = -1;
    childOut = -1;
    pending.clear();
}

// Reads one line of the child's stdout, servicing our ends meanwhile.
bool Bench::readLine(std::string *line, std::int64_t deadline)
{
    for (int n = 0; n < 100000; ++n) {
        const std::size_t eol = pending.find('\n');
        if (eol != std::string::npos) {
            *line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            return true;
        }
        const std::int64_t left = deadline - nowNs();
        if (left <= 0)
            return false;
        pollfd fds[3] = {{childOut, POLLIN, 0}, {s, POLLIN, 0}, {p, POLLIN, 0}};
        if (poll(fds, 3, int(left / 1000000) + 1) < 0)
            return false;
        if (fds[1].revents & POLLIN)
            service(s);
        if (fds[2].revents & POLLIN)
            service(p);
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char chunk[512];
            const ssize_t got = read(childOut, chunk, sizeof chunk);
            if (got == 0)
                return false;
            if (got > 0)
                pending.append(chunk, std::size_t(got));
        }
    }
    return false;
}

void Bench::sendTo(int fd, const char *data, std::size_t size, const sockaddr_in &to)
{
    sendto(fd, data, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// Answers the proxy's control traffic as a server and a peer would; game datagrams are left.
void Bench::service(int fd)
{
    for (int n = 0; n < 1024; ++n) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(fd, buffer, sizeof buffer, MSG_PEEK, reinterpret_cast<sockaddr *>(&from),
                                     &fromLength);
        if (got < 0)
            return;
        if (got >= 2 && buffer[0] == 'K' && buffer[1] == 'B')
            return; // a game datagram: the load's own reader takes it
        recv(fd, buffer, sizeof buffer, 0);
        const QByteArray datagram(buffer, int(got));
        if (fd == s) {
            if (datagram.startsWith("register/")) {
                serverPeer = from;
                const QByteArray answer = wire::signalling::registeredMessage(MatchId, Side);
                sendTo(s, answer.constData(), std::size_t(answer.size()), from);
            } else if (datagram.startsWith("udp_ready/")) {
                const QByteArray answer = wire::signalling::readyAckMessage(MatchId, Side);
                sendTo(s, answer.constData(), std::size_t(answer.size()), from);
            }
            continue;
        }
        if (fd == p) {
            const wire::probe::ProbeMessage probe = wire::probe::parseProbeDatagram(datagram.constData(), got);
            if (probe.kind == wire::probe::ProbeKind::Ping) {
                const QByteArray pong = wire::probe::pongDatagram(probe.field3, probe.field4);
                sendTo(p, pong.constData(), std::size_t(pong.size()), from);
            } else if (probe.kind == wire::probe::ProbeKind::Delay && !delayAnswered) {
                delayAnswered = true;
                const QByteArray delay = wire::probe::delayDatagram(0, PeerSide);
                sendTo(p, delay.constData(), std::size_t(delay.size()), from);
            }
            // keepalive "ping" and punch datagrams need no answer
        }
    }
}

// Reads the next of our game datagrams from fd, if one is waiting; control traffic in front
// of it is answered and skipped.
bool Bench::readGame(int fd, std::uint64_t *seq, std::uint64_t *sentNs, std::size_t *size, bool *damaged)
{
    for (int n = 0; n < 1024; ++n) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_PEEK);
        if (got < 0)
            return false;
        if (got < 2 || buffer[0] != 'K' || buffer[1] != 'B') {
            service(fd);
            continue;
        }
        recv(fd, buffer, sizeof buffer, 0);
        *size = std::size_t(got);
        *damaged = !benchwire::parseGameDatagram(buffer, std::size_t(got), seq, sentNs);
        return true;
    }
    return false;
}

bool Bench::waitReadable(int fd, std::int64_t deadline)
{
    for (int n = 0; n < 100000; ++n) {
        const std::int64_t left = deadline - nowNs();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{fd, POLLIN, 0}, {s, POLLIN, 0}};
        const timespec timeout{time_t(left / 1000000000), long(left % 1000000000)};
        if (ppoll(fds, 2, &timeout, nullptr) < 0)
            return false;
        if (fds[1].revents & POLLIN)
            service(s);
        if (fds[0].revents & POLLIN)
            return true;
    }
    return false;
}

bool Bench::start(const std::string &kind, const std::string &qtBin, const std::string &tracePath, std::string *why)
{
    delayAnswered = false;
    const unsigned short peerPort = localPort(p);
    if (kind == "direct") {
        toLocal = ipv4("127.0.0.2", peerPort);
        toPeer = ipv4("127.0.0.1", localPort(e));
        return true;
    }
    toLocal = ipv4("127.0.0.1", EmulatorFacingPort);
    toPeer = ipv4("127.0.0.1", PeerFacingPort);
    std::string line;
    if (kind == "epoll" || kind == "qt-floor") {
        const char *bin = kind == "epoll" ? EPOLL_RELAY_BIN : QTFLOOR_RELAY_BIN;
        if (!startChild({bin, "--peer", "127.0.0.2", std::to_string(peerPort)}, {})
            || !readLine(&line, nowNs() + StartTimeoutNs) || line.rfind("started", 0) != 0) {
            *why = kind + " relay did not start: " + line;
            return false;
        }
        return true;
    }
    if (kind == "socat") {
        if (!startChild({"socat", "-b", "65536", "UDP4-LISTEN:7001,bind=127.0.0.1",
                         "UDP4:127.0.0.2:" + std::to_string(peerPort) + ",bind=0.0.0.0:6006"},
                        {})) {
            *why = "socat did not start";
            return false;
        }
        const std::int64_t deadline = nowNs() + StartTimeoutNs;
        // socat opens its peer side only after the emulator's first datagram
        while (!udpPortBound(EmulatorFacingPort)) {
            int status = 0;
            if (nowNs() > deadline || waitpid(child, &status, WNOHANG) == child) {
                *why = "socat did not bind 127.0.0.1:7001 (is it installed?)";
                return false;
            }
            usleep(10000);
        }
        return true;
    }
    // The proxy: launch, then the handshake of a rendezvous server and a peer.
    if (!startChild({qtBin, "--signal-port", std::to_string(localPort(s)),
                     "--quark", std::string(MatchId) + "." + std::to_string(Side)},
                    {"KIVRA_NET_TRACE=" + tracePath})
        || !readLine(&line, nowNs() + StartTimeoutNs) || line.rfind("started ", 0) != 0) {
        *why = "proxy did not start: " + line;
        return false;
    }
    const unsigned short proxyPeerPort = static_cast<unsigned short>(std::atoi(line.c_str() + 8));
    toPeer = ipv4("127.0.0.1", proxyPeerPort);
    const std::int64_t deadline = nowNs() + StartTimeoutNs;
    while (serverPeer.sin_port == 0 && waitReadable(s, deadline))
        service(s);
    if (serverPeer.sin_port == 0) {
        *why = "proxy did not register";
        return false;
    }
    const QByteArray announce =
        wire::signalling::peerMessage(MatchId, QHostAddress(QStringLiteral("127.0.0.2")), peerPort);
    sendTo(s, announce.constData(), std::size_t(announce.size()), serverPeer);
    const QByteArray punchReply = wire::punch::punchDatagram("0.4242424242424242", "0.1000000000000000");
    sendTo(p, punchReply.constData(), std::size_t(punchReply.size()), toPeer);
    for (int n = 0; n < 10; ++n) {
        if (!readLine(&line, deadline)) {
            *why = "proxy handshake did not finish";
            return false;
        }
        if (line.rfind("delay ", 0) == 0)
            return true;
        if (line == "failed") {
            *why = "proxy punching failed";
            return false;
        }
    }
    *why = "proxy said too much";
    return false;
}

bool Bench::warmup(std::string *why)
{
    const Figures f = pingPong(64, WarmupRounds);
    if (f.relayed < WarmupRounds) {
        *why = "warm-up lost datagrams: " + std::to_string(f.relayed) + " of " + std::to_string(2 * WarmupRounds);
        return false;
    }
    return true;
}

Figures Bench::pingPong(std::size_t size, int rounds)
{
    Figures f;
    const std::int64_t cpu0 = child > 0 ? cpuNs(child) : 0;
    std::vector<char> out(size);
    for (int r = 0; r < rounds; ++r) {
        const std::uint64_t seq = nextSeq++;
        const std::int64_t t0 = nowNs();
        benchwire::gameDatagram(out.data(), size, seq, std::uint64_t(t0));
        sendTo(e, out.data(), size, toLocal);
        ++f.sent;
        // to the peer, and back from it unchanged
        bool arrived = false;
        for (int leg = 0; leg < 2; ++leg) {
            const int fd = leg == 0 ? p : e;
            arrived = false;
            const std::int64_t deadline = nowNs() + ReplyTimeoutNs;
            while (!arrived && waitReadable(fd, deadline)) {
                std::uint64_t gotSeq = 0, sentNs = 0;
                std::size_t gotSize = 0;
                bool damaged = false;
                while (readGame(fd, &gotSeq, &sentNs, &gotSize, &damaged)) {
                    if (gotSeq != seq)
                        continue; // a late one from an earlier round
                    arrived = true;
                    ++f.relayed;
                    if (damaged || gotSize != size)
                        ++f.damaged;
                    break;
                }
            }
            if (!arrived)
                break;
            if (leg == 0) {
                sendTo(p, out.data(), size, toPeer);
                ++f.sent;
            }
        }
        if (arrived)
            f.rttUs.push_back(double(nowNs() - t0) / 1000.0);
        else
            ++f.lost;
    }
    f.cpu = child > 0 ? cpuNs(child) - cpu0 : 0;
    return f;
}

Figures Bench::match(int seconds)
{
    Figures f;
    const std::int64_t cpu0 = child > 0 ? cpuNs(child) : 0;
    const int frames = seconds * 60;
    const std::uint64_t firstSeq = nextSeq;
    nextSeq += std::uint64_t(frames);
    std::vector<int> seenAtPeer(std::size_t(frames), 0);
    std::vector<int> seenBack(std::size_t(frames), 0);
    char out[64];
    const std::int64_t start = nowNs();
    const auto handle = [&](int fd) {
        std::uint64_t seq = 0, sentNs = 0;
        std::size_t size = 0;
        bool damaged = false;
        for (int n = 0; n < 1024 && readGame(fd, &seq, &sentNs, &size, &damaged); ++n) {
            if (damaged || seq < firstSeq || seq >= firstSeq + std::uint64_t(frames)) {
                ++f.damaged;
                continue;
            }
            const std::size_t index = std::size_t(seq - firstSeq);
            ++f.relayed;
            if (fd == p) {
                if (seenAtPeer[index]++ != 0)
                    ++f.damaged;
                sendTo(p, buffer, size, toPeer); // the peer's frame goes back the same way
                ++f.sent;
            } else {
                if (seenBack[index]++ != 0)
                    ++f.damaged;
                else
                    f.rttUs.push_back(double(nowNs() - std::int64_t(sentNs)) / 1000.0);
            }
        }
    };
    for (int k = 0; k <= frames; ++k) {
        const std::int64_t due = start + std::int64_t(k) * FramePeriodNs;
        const std::int64_t until = k < frames ? due + FramePeriodNs : due + LingerNs;
        if (k < frames) {
            const std::int64_t t = nowNs();
            benchwire::gameDatagram(out, sizeof out, firstSeq + std::uint64_t(k), std::uint64_t(t));
            sendTo(e, out, sizeof out, toLocal);
            ++f.sent;
        }
        for (int n = 0; n < 10000; ++n) {
            const std::int64_t left = until - nowNs();
            if (left <= 0)
                break;
            pollfd fds[3] = {{e, POLLIN, 0}, {p, POLLIN, 0}, {s, POLLIN, 0}};
            const timespec timeout{time_t(left / 1000000000), long(left % 1000000000)};
            if (ppoll(fds, 3, &timeout, nullptr) <= 0)
                continue;
            if (fds[1].revents & POLLIN)
                handle(p);
            if (fds[0].revents & POLLIN)
                handle(e);
            if (fds[2].revents & POLLIN)
                service(s);
        }
    }
    for (int i = 0; i < frames; ++i) {
        if (seenAtPeer[std::size_t(i)] == 0)
            ++f.lost;
        else if (seenBack[std::size_t(i)] == 0)
            ++f.lost;
    }
    f.cpu = child > 0 ? cpuNs(child) - cpu0 : 0;
    return f;
}

Figures Bench::flood(bool fromEmulator, int count, std::size_t size)
{
    Figures f;
    const int from = fromEmulator ? e : p;
    const int to = fromEmulator ? p : e;
    const sockaddr_in target = fromEmulator ? toLocal : toPeer;
    const std::int64_t cpu0 = child > 0 ? cpuNs(child) : 0;

    std::vector<char> out(std::size_t(FloodBatch) * size);
    mmsghdr sends[FloodBatch];
    iovec sendIov[FloodBatch];
    static char in[DrainBatch][2048];
    mmsghdr recvs[DrainBatch];
    iovec recvIov[DrainBatch];
    for (int i = 0; i < DrainBatch; ++i) {
        recvIov[i] = {in[i], sizeof in[i]};
        recvs[i] = {};
        recvs[i].msg_hdr.msg_iov = &recvIov[i];
        recvs[i].msg_hdr.msg_iovlen = 1;
    }
    std::uint64_t expected = nextSeq;
    std::int64_t lastArrival = 0;
    const auto drain = [&]() {
        int got = 0;
        for (int call = 0; call < MaxDrainCalls; ++call) {
            const int n = recvmmsg(to, recvs, DrainBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                break;
            for (int i = 0; i < n; ++i) {
                std::uint64_t seq = 0, sentNs = 0;
                if (!benchwire::parseGameDatagram(in[i], recvs[i].msg_len, &seq, &sentNs)) {
                    if (recvs[i].msg_len >= 2 && in[i][0] == 'K' && in[i][1] == 'B')
                        ++f.damaged;
                    continue; // keepalives and other control traffic
                }
                if (seq < expected || recvs[i].msg_len != size)
                    ++f.damaged; // duplicate or reordered (gaps are losses, not damage)
                expected = seq + 1;
                ++f.relayed;
            }
            got += n;
        }
        if (got > 0)
            lastArrival = nowNs();
        return got;
    };

    const std::int64_t start = nowNs();
    for (int sent = 0; sent < count;) {
        const int batch = std::min(FloodBatch, count - sent);
        for (int i = 0; i < batch; ++i) {
            char *slot = out.data() + std::size_t(i) * size;
            benchwire::gameDatagram(slot, size, nextSeq++, 0);
            sendIov[i] = {slot, size};
            sends[i] = {};
            sends[i].msg_hdr.msg_name = const_cast<sockaddr_in *>(&target);
            sends[i].msg_hdr.msg_namelen = sizeof target;
            sends[i].msg_hdr.msg_iov = &sendIov[i];
            sends[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = sendmmsg(from, sends, unsigned(batch), 0);
        if (n <= 0) {
            nextSeq -= std::uint64_t(batch);
            break;
        }
        nextSeq -= std::uint64_t(batch - n);
        sent += n;
        f.sent += n;
        drain();
    }
    const std::int64_t sendEnd = nowNs();
    std::int64_t quietSince = nowNs();
    for (int n = 0; n < 100000 && nowNs() - quietSince < LingerNs; ++n) {
        pollfd fd{to, POLLIN, 0};
        poll(&fd, 1, 20);
        if (drain() > 0)
            quietSince = nowNs();
    }
    f.lost = f.sent - f.relayed;
    f.cpu = child > 0 ? cpuNs(child) - cpu0 : 0;
    const std::int64_t end = lastArrival > start ? lastArrival : sendEnd;
    f.rate = double(f.relayed) / (double(end - start) / 1e9);
    f.offered = double(f.sent) / (double(sendEnd - start) / 1e9);
    return f;
}

struct Options
{
    int matchSeconds = 60;
    int pingPongs = 20000;
    int floodCount = 1000000;
    int rounds = 1;
    std::string tmpDir = "/tmp";
    std::string otherQtBin; // a second build of bench-relay-qt, as "qt-other" and "qt-other-trace"
    std::vector<std::string> relays{"direct", "epoll", "socat", "qt-floor", "qt", "qt-trace"};
};

const char *LoadOrder[] = {"pingpong64", "pingpong512", "match60", "flood-out", "flood-in"};

void runRelay(const Options &options, RelayRun &run, int e, int p, int s)
{
    Bench bench(e, p, s);
    const bool traced = run.name == "qt-trace" || run.name == "qt-other-trace";
    const bool other = run.name.rfind("qt-other", 0) == 0;
    const std::string kind = run.name.rfind("qt", 0) == 0 ? "qt" : run.name;
    const std::string qtBin = other ? options.otherQtBin : std::string(QT_RELAY_BIN);
    std::string tracePath = options.tmpDir; // a directory: fopen fails, no trace
    if (traced)
        tracePath = options.tmpDir + "/trace.txt";
    std::fprintf(stderr, "== %s\n", run.name.c_str());
    if (!bench.start(kind, qtBin, tracePath, &run.why) || !bench.warmup(&run.why)) {
        run.available = false;
        std::fprintf(stderr, "   skipped: %s\n", run.why.c_str());
        bench.finish();
        return;
    }
    const pid_t pid = bench.pid();
    if (pid > 0)
        run.rssStartKib = statusKib(pid, "VmRSS");
    pinLoad(pid, false);
    run.loads["pingpong64"] = bench.pingPong(64, options.pingPongs);
    run.loads["pingpong512"] = bench.pingPong(512, options.pingPongs);
    run.loads["match60"] = bench.match(options.matchSeconds);
    pinLoad(pid, true);
    run.loads["flood-out"] = bench.flood(true, options.floodCount, 64);
    run.loads["flood-in"] = bench.flood(false, options.floodCount, 64);
    if (pid > 0) {
        run.rssEndKib = statusKib(pid, "VmRSS");
        run.peakKib = statusKib(pid, "VmHWM");
    }
    for (const auto &load : run.loads)
        run.relayedBetween += load.second.relayed;
    bench.finish();
    if (traced)
        unlink(tracePath.c_str());
}

std::string ratio(double value, double reference)
{
    if (reference <= 0 || value <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", value / reference);
    return text;
}

// One relay's figures over all rounds: the median of each figure, losses added up.
struct LoadSummary
{
    double cpuNs = 0, p50 = 0, p99 = 0, max = 0, rate = 0, offered = 0;
    std::int64_t sent = 0, lost = 0, damaged = 0;
};

struct RelaySummary
{
    std::string name;
    bool available = false;
    std::string why;
    std::map<std::string, LoadSummary> loads;
    double rssStartKib = 0, rssEndKib = 0, growthKib = 0, peakKib = 0, relayedBetween = 0;
};

// The median of one figure over the rounds (or its largest value, for the worst round).
template <typename Figure>
double overRounds(const std::vector<const RelayRun *> &rounds, Figure figure, double p = 50)
{
    std::vector<double> values;
    for (const RelayRun *r : rounds)
        values.push_back(figure(*r));
    return benchwire::percentile(std::move(values), p);
}

RelaySummary summarise(const std::vector<RelayRun> &rounds)
{
    RelaySummary out;
    out.name = rounds.front().name;
    std::vector<const RelayRun *> ok;
    for (const RelayRun &r : rounds) {
        if (r.available)
            ok.push_back(&r);
        else
            out.why = r.why;
    }
    if (ok.empty())
        return out;
    out.available = true;
    for (const std::string load : LoadOrder) {
        LoadSummary &l = out.loads[load];
        const auto of = [&load](const RelayRun &r) -> const Figures & { return r.loads.at(load); };
        for (const RelayRun *r : ok) {
            l.sent += of(*r).sent;
            l.lost += of(*r).lost;
            l.damaged += of(*r).damaged;
        }
        l.cpuNs = overRounds(ok, [&](const RelayRun &r) { return of(r).cpuPerDatagramNs(); });
        l.p50 = overRounds(ok, [&](const RelayRun &r) { return benchwire::percentile(of(r).rttUs, 50); });
        l.p99 = overRounds(ok, [&](const RelayRun &r) { return benchwire::percentile(of(r).rttUs, 99); });
        l.max = overRounds(ok, [&](const RelayRun &r) { return benchwire::percentile(of(r).rttUs, 100); });
        l.rate = overRounds(ok, [&](const RelayRun &r) { return of(r).rate; });
        l.offered = overRounds(ok, [&](const RelayRun &r) { return of(r).offered; });
    }
    out.rssStartKib = overRounds(ok, [](const RelayRun &r) { return double(r.rssStartKib); });
    out.rssEndKib = overRounds(ok, [](const RelayRun &r) { return double(r.rssEndKib); });
    out.growthKib = overRounds(ok, [](const RelayRun &r) { return double(r.rssEndKib - r.rssStartKib); }, 100);
    out.peakKib = overRounds(ok, [](const RelayRun &r) { return double(r.peakKib); }, 100);
    out.relayedBetween = overRounds(ok, [](const RelayRun &r) { return double(r.relayedBetween); });
    return out;
}

void report(const Options &options, const std::vector<RelaySummary> &runs)
{
    const RelaySummary *reference = nullptr;
    const RelaySummary *direct = nullptr;
    for (const RelaySummary &r : runs) {
        if (r.name == "epoll" && r.available)
            reference = &r;
        if (r.name == "direct" && r.available)
            direct = &r;
    }
    std::printf("Loads: ping-pong %d round trips each at 64 and 512 bytes; 60 Hz match %d s (64-byte frames,\n"
                "echoed by the peer); floods of %d datagrams of 64 bytes each way. %d round(s), relays\n"
                "interleaved; each figure is the median over the rounds, losses are added up.\n"
                "Ping-pong and 60 Hz: driver and relay pinned to CPU 0; floods: relay on CPU 1.\n\n",
                options.pingPongs, options.matchSeconds, options.floodCount, options.rounds);

    std::printf("### CPU per relayed datagram (ns, and ratio to epoll)\n\n");
    std::printf("| relay | pingpong64 | pingpong512 | match60 | flood-out | flood-in |\n|---|---|---|---|---|---|\n");
    for (const RelaySummary &r : runs) {
        if (r.name == "direct")
            continue;
        std::printf("| %s |", r.name.c_str());
        for (const char *load : LoadOrder) {
            if (!r.available) {
                std::printf(" - |");
                continue;
            }
            const double v = r.loads.at(load).cpuNs;
            const double ref = reference ? reference->loads.at(load).cpuNs : 0;
            std::printf(" %.0f (%s) |", v, ratio(v, ref).c_str());
        }
        std::printf("\n");
    }

    std::printf("\n### Round trip through the relay, and added by it (us)\n\n");
    std::printf("Added = the relay's percentile minus the same percentile with no relay (direct).\n\n");
    std::printf("| relay | load | rtt p50 | p99 | max | added p50 | added p99 | added max | p99 vs epoll | lost | damaged |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const char *load : {"pingpong64", "pingpong512", "match60"}) {
        for (const RelaySummary &r : runs) {
            if (!r.available)
                continue;
            const LoadSummary &f = r.loads.at(load);
            const LoadSummary none;
            const LoadSummary &g = direct ? direct->loads.at(load) : none;
            std::string vsEpoll = "-";
            if (reference && r.name != "direct") {
                char text[32];
                std::snprintf(text, sizeof text, "%+.1f", f.p99 - reference->loads.at(load).p99);
                vsEpoll = text;
            }
            std::printf("| %s | %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %s | %" PRId64 " | %" PRId64 " |\n",
                        r.name.c_str(), load, f.p50, f.p99, f.max, f.p50 - g.p50, f.p99 - g.p99, f.max - g.max,
                        vsEpoll.c_str(), f.lost, f.damaged);
        }
    }

    std::printf("\n### Floods (64-byte datagrams, as fast as the sender goes)\n\n");
    std::printf("| relay | direction | offered /s | relayed /s | ratio to epoll | lost | loss %% | damaged |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const char *load : {"flood-out", "flood-in"}) {
        for (const RelaySummary &r : runs) {
            if (!r.available)
                continue;
            const LoadSummary &f = r.loads.at(load);
            const double ref = reference ? reference->loads.at(load).rate : 0;
            std::printf("| %s | %s | %.0f | %.0f | %s | %" PRId64 " | %.1f | %" PRId64 " |\n", r.name.c_str(),
                        std::strcmp(load, "flood-out") == 0 ? "emulator->peer" : "peer->emulator", f.offered, f.rate,
                        r.name == "direct" ? "-" : ratio(f.rate, ref).c_str(), f.lost,
                        f.sent > 0 ? 100.0 * double(f.lost) / double(f.sent) : 0.0, f.damaged);
        }
    }

    std::printf("\n### Memory (KiB)\n\n");
    std::printf("Growth: RSS at the end minus RSS after the warm-up (worst round), over all the loads'\n"
                "relayed datagrams. Peak: VmHWM at the end (worst round).\n\n");
    std::printf("| relay | RSS after warm-up | RSS at end | growth | datagrams relayed between | peak RSS | peak ratio to epoll |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const RelaySummary &r : runs) {
        if (!r.available || r.name == "direct")
            continue;
        std::printf("| %s | %.0f | %.0f | %+.0f | %.0f | %.0f | %s |\n", r.name.c_str(), r.rssStartKib, r.rssEndKib,
                    r.growthKib, r.relayedBetween, r.peakKib,
                    ratio(r.peakKib, reference ? reference->peakKib : 0).c_str());
    }
    for (const RelaySummary &r : runs) {
        if (!r.available)
            std::printf("\n%s: not measured (%s)\n", r.name.c_str(), r.why.c_str());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--quick") {
            options.matchSeconds = 10;
            options.pingPongs = 5000;
            options.floodCount = 200000;
        } else if (a == "--match-seconds" && hasValue) {
            options.matchSeconds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--pingpongs" && hasValue) {
            options.pingPongs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--flood" && hasValue) {
            options.floodCount = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--rounds" && hasValue) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--other-qt" && hasValue) {
            options.otherQtBin = argv[++i];
        } else if (a == "--tmp" && hasValue) {
            options.tmpDir = argv[++i];
        } else if (a == "--relays" && hasValue) {
            options.relays.clear();
            std::string list = argv[++i];
            for (std::size_t at = 0; at <= list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                options.relays.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: bench-relay [--quick] [--rounds R] [--match-seconds S] [--pingpongs N] [--flood N]\n"
                         "                   [--relays direct,epoll,socat,qt-floor,qt,qt-trace] [--tmp DIR]\n"
                         "                   [--other-qt BIN  (adds relays qt-other, qt-other-trace)]\n"
                         "Run it through bench/relay/run.sh, which makes the private network namespace.\n");
            return 2;
        }
    }
    if (!onlyLoopback()) {
        std::fprintf(stderr, "bench-relay: interfaces other than lo exist; run it through bench/relay/run.sh\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int e = boundEnd("127.0.0.1");
    const int p = boundEnd("127.0.0.2");
    const int s = boundEnd("127.0.0.1");
    if (e < 0 || p < 0 || s < 0) {
        std::fprintf(stderr, "bench-relay: cannot bind the driver's ends (is lo up?)\n");
        return 2;
    }
    // Rounds interleave the relays, so that a busy spell of the machine spreads over all of them.
    std::vector<std::vector<RelayRun>> runs(options.relays.size());
    for (int round = 0; round < options.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d\n", round + 1, options.rounds);
        for (std::size_t i = 0; i < options.relays.size(); ++i) {
            RelayRun run;
            run.name = options.relays[i];
            runRelay(options, run, e, p, s);
            runs[i].push_back(run);
        }
    }
    std::vector<RelaySummary> summaries;
    for (const std::vector<RelayRun> &rounds : runs)
        summaries.push_back(summarise(rounds));
    report(options, summaries);
    return 0;
}
