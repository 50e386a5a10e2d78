// Hostile-load benchmark of kivra-rendezvous: 100 matches of proxy-like sides register while
// about a thousand lab source endpoints flood the server with spoofed registrations, reflection
// pairs (fast, and slow ones registering once per 5 s), takeover attempts on paired matches,
// forged reports and acknowledgements and junk, as fast as this machine sends. The same 100 matches first register without the flood: that phase is the
// baseline every ratio is taken against.
//
// Runs inside the private network namespace run.sh makes: the server on 127.66.0.1, the players
// on 127.66.1.1 (side 1) and 127.66.1.2 (side 2), each side on its own port as behind a carrier
// NAT, the flood sources on 127.67.x.y. Both are in lo's loopback range there, so every
// answer the server sends to a flood source arrives at that source's socket and is counted.
// Plain POSIX and epoll, one thread: the driver must not be what limits the rate.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char *ServerAddress = "127.66.0.1"; // on lo, in the loopback range
constexpr int ServerPort = 7001;        // the served command's default signalling port
constexpr int Matches = 100;            // real matches per phase (count)
constexpr int RegisterIntervalMs = 750; // a proxy's register repeat
constexpr int RegistrationDeadlineMs = 25000; // a proxy gives up after this
constexpr int MatchStartSpreadMs = 20;  // matches start this far apart (ms)
constexpr int FloodLeadMs = 3000;       // the flood runs this long before the matches start
constexpr int PhaseLimitMs = 40000;     // hard bound of one phase (ms)
constexpr int FloodMinimumMs = 20000;   // the flood phase lasts at least this long (ms)
constexpr int FloodAddresses = 500;     // flood source addresses, 127.67.x.y (count)
constexpr int FloodPortsPerAddress = 2; // sockets per flood address: per-address rules see both (count)
constexpr int FloodBatch = 64;          // datagrams sent between two polls (count)
constexpr int SamplePeriodMs = 200;     // server CPU and memory samples
constexpr long long MaxFloodDatagrams = 50'000'000; // bound of a whole run (count)
constexpr int SlowReflectorPeriodMs = 5000; // the slow reflectors register this often (ms)

// What a flood source sends (see floodMessage); source i has role i % RoleCount.
enum class Role
{
    FreshRegisters,
    ReflectionSide1,
    ReflectionSide2,
    Takeover,
    ForgedReports,
    Junk,
    SlowReflection,
};
constexpr int RoleCount = 7;

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

sockaddr_in endpoint(const std::string &address, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

int boundSocket(const std::string &address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a = endpoint(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int localPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

struct Player
{
    int fd = -1;
    std::string address;
    int port = 0;
    std::string matchId;
    int side = 0;
    long long startMs = 0;      // first register, phase time
    long long nextRegisterMs = 0;
    long long pairedMs = -1;    // first "peer" naming the real other side
    bool stopped = false;       // heard "peer" or "registered": registers no more
    int wrongPeers = 0;         // announcements of anyone but the real other side
    std::string expectedPeer;   // "ADDR/PORT" of the other side
    size_t index = 0;           // in its phase's list
};

struct FloodSource
{
    int fd = -1;
    Role role = Role::FreshRegisters;
    long long bytesSent = 0;
    long long bytesReceived = 0;
    long long datagramsReceived = 0;
    long long nextSendMs = 0; // slow reflectors only
};

struct ServerSample
{
    long long cpuTicks = 0; // utime + stime
    long long rssKb = 0;
};

ServerSample sampleServer(pid_t pid)
{
    ServerSample s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                s.cpuTicks += std::atoll(field.c_str());
            if (i == 15)
                s.cpuTicks += std::atoll(field.c_str());
        }
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssKb = std::atoll(line.c_str() + 6);
    }
    return s;
}

// Datagrams the kernel dropped at the server's socket (its receive buffer was full).
long long serverSocketDrops()
{
    std::ifstream udp("/proc/net/udp");
    std::string line;
    // The kernel prints the address as the raw (network order) 32-bit value in hex.
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "%08X:%04X", endpoint(ServerAddress, 0).sin_addr.s_addr, ServerPort);
    while (std::getline(udp, line)) {
        if (line.find(wanted) == std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string field, last;
        while (fields >> field)
            last = field;
        return std::atoll(last.c_str());
    }
    return -1;
}

double percentile(std::vector<long long> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size() - 1) + 0.5));
    return double(values[index]);
}

struct PhaseResult
{
    std::string name;
    int matchesPaired = 0;
    int sidesPaired = 0;
    int wrongPeers = 0;
    std::vector<long long> pairTimes; // ms from a side's first register to its "peer"
    long long serverCpuMs = 0;
    long long datagramsToServer = 0;
    long long bytesToServer = 0;
    long long drops = 0;
    long long maxRssKb = 0;
    long long phaseMs = 0;
    long long floodDatagrams = 0;
    std::vector<FloodSource> sources;
};

class Bench
{
public:
    Bench(pid_t serverPid, int epollFd) : server(serverPid), epfd(epollFd), rng(20261210) {}

    PhaseResult run(const std::string &name, bool flood)
    {
        PhaseResult result;
        result.name = name;
        std::vector<Player> players;
        paired.clear();
        for (int m = 0; m < Matches; ++m) {
            for (int side = 1; side <= 2; ++side) {
                Player p;
                p.address = side == 1 ? "127.66.1.1" : "127.66.1.2";
                p.fd = boundSocket(p.address, 0);
                if (p.fd < 0) {
                    std::perror("player socket");
                    std::exit(1);
                }
                p.port = localPort(p.fd);
                p.matchId = "bench-" + name + "-" + std::to_string(m);
                p.side = side;
                p.startMs = (flood ? FloodLeadMs : 0) + m * MatchStartSpreadMs;
                p.nextRegisterMs = p.startMs;
                p.index = players.size();
                players.push_back(p);
            }
        }
        for (size_t i = 0; i < players.size(); i += 2) {
            players[i].expectedPeer = players[i + 1].address + "/" + std::to_string(players[i + 1].port);
            players[i + 1].expectedPeer = players[i].address + "/" + std::to_string(players[i].port);
        }
        std::vector<FloodSource> sources;
        if (flood) {
            for (int a = 0; a < FloodAddresses; ++a) {
                const std::string address = "127.67." + std::to_string(1 + a / 250) + "." + std::to_string(1 + a % 250);
                for (int k = 0; k < FloodPortsPerAddress; ++k) {
                    FloodSource s;
                    s.fd = boundSocket(address, 0);
                    if (s.fd < 0) {
                        std::perror("flood socket");
                        std::exit(1);
                    }
                    s.role = Role(sources.size() % RoleCount);
                    sources.push_back(s);
                }
            }
        }
        for (size_t i = 0; i < players.size(); ++i)
            watch(players[i].fd, uint64_t(i));
        for (size_t i = 0; i < sources.size(); ++i)
            watch(sources[i].fd, uint64_t(1) << 32 | uint64_t(i));

        const sockaddr_in to = endpoint(ServerAddress, ServerPort);
        const long long dropsBefore = serverSocketDrops();
        const ServerSample before = sampleServer(server);
        const auto start = Clock::now();
        long long nextSampleMs = 0;
        long long freshId = 0;
        size_t nextSource = 0;
        char buffer[2048];
        // Reads what epoll reports within timeoutMs: sources only count it, players answer.
        const auto serveReady = [&](int timeoutMs) {
            epoll_event events[256];
            const int ready = ::epoll_wait(epfd, events, 256, timeoutMs);
            for (int e = 0; e < ready; ++e) {
                const uint64_t tag = events[e].data.u64;
                const bool isSource = (tag >> 32) != 0;
                const size_t index = size_t(tag & 0xffffffffu);
                const int fd = isSource ? sources[index].fd : players[index].fd;
                for (int k = 0; k < 64; ++k) {
                    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                    if (n < 0)
                        break;
                    if (isSource) {
                        sources[index].bytesReceived += n;
                        sources[index].datagramsReceived += 1;
                        continue;
                    }
                    handlePlayerDatagram(players[index], std::string(buffer, size_t(n)), msSince(start), to);
                }
            }
        };
        for (;;) {
            const long long now = msSince(start);
            bool playing = false;
            for (Player &p : players) {
                // Waiting for its peer until the deadline, registering until it heard anything.
                if (p.pairedMs >= 0 || p.wrongPeers > 0 || now - p.startMs >= RegistrationDeadlineMs)
                    continue;
                playing = true;
                if (!p.stopped && now >= p.nextRegisterMs) {
                    const std::string message = "register/" + p.matchId + "/" + std::to_string(p.side);
                    ::sendto(p.fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
                    result.datagramsToServer += 1;
                    result.bytesToServer += long(message.size());
                    p.nextRegisterMs += RegisterIntervalMs;
                }
            }
            // The flood lasts long enough for slow reflectors to show what they earn.
            if ((!playing && (!flood || now >= FloodMinimumMs)) || now >= PhaseLimitMs)
                break;
            if (now >= nextSampleMs) {
                result.maxRssKb = std::max(result.maxRssKb, sampleServer(server).rssKb);
                nextSampleMs = now + SamplePeriodMs;
            }
            if (flood && totalFlood < MaxFloodDatagrams) {
                for (int n = 0; n < FloodBatch; ++n) {
                    FloodSource &s = sources[nextSource];
                    if (s.role == Role::SlowReflection) {
                        if (now < s.nextSendMs) {
                            nextSource = (nextSource + 1) % sources.size();
                            continue;
                        }
                        s.nextSendMs = now + SlowReflectorPeriodMs;
                    }
                    const std::string message = floodMessage(s, nextSource, players, &freshId);
                    nextSource = (nextSource + 1) % sources.size();
                    const ssize_t sent = ::sendto(s.fd, message.data(), message.size(), 0,
                                                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
                    if (sent > 0) {
                        s.bytesSent += sent;
                        result.datagramsToServer += 1;
                        result.bytesToServer += sent;
                        result.floodDatagrams += 1;
                        ++totalFlood;
                    }
                }
            }
            serveReady(flood ? 0 : 5);
        }
        // The answers still on their way belong to this phase.
        const auto drainUntil = Clock::now() + std::chrono::milliseconds(1000);
        while (Clock::now() < drainUntil) {
            serveReady(50);
        }
        const ServerSample after = sampleServer(server);
        result.phaseMs = msSince(start);
        result.serverCpuMs = (after.cpuTicks - before.cpuTicks) * 1000 / ::sysconf(_SC_CLK_TCK);
        result.maxRssKb = std::max(result.maxRssKb, after.rssKb);
        result.drops = serverSocketDrops() - dropsBefore;
        for (size_t i = 0; i < players.size(); i += 2) {
            const bool both = players[i].pairedMs >= 0 && players[i + 1].pairedMs >= 0;
            result.matchesPaired += both ? 1 : 0;
        }
        for (const Player &p : players) {
            if (p.pairedMs >= 0) {
                ++result.sidesPaired;
                result.pairTimes.push_back(p.pairedMs - p.startMs);
            }
            result.wrongPeers += p.wrongPeers;
            ::epoll_ctl(epfd, EPOLL_CTL_DEL, p.fd, nullptr);
            ::close(p.fd);
        }
        for (FloodSource &s : sources) {
            ::epoll_ctl(epfd, EPOLL_CTL_DEL, s.fd, nullptr);
            ::close(s.fd);
        }
        result.sources = sources;
        return result;
    }

private:
    void watch(int fd, uint64_t tag)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = tag;
        ::epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &event);
    }

    // One flood datagram for source s, by its role.
    std::string floodMessage(const FloodSource &s, size_t index, const std::vector<Player> &players, long long *freshId)
    {
        const Player &victim = players[rng() % players.size()];
        switch (s.role) {
        case Role::FreshRegisters: // table exhaustion: a fresh match each time
            return "register/f" + std::to_string((*freshId)++) + "/1";
        case Role::ReflectionSide1: // reflection: two sources pair with each other and keep registering
        case Role::ReflectionSide2:
            return "register/r" + std::to_string(index / RoleCount) + "/"
                   + (s.role == Role::ReflectionSide1 ? "1" : "2");
        case Role::SlowReflection: // the same, one register per 5 s: the cheapest way to ask for a flood
            return "register/s" + std::to_string(index / (2 * RoleCount)) + "/" + std::to_string(1 + (index / RoleCount) % 2);
        case Role::Takeover: { // a side of a real match that has paired, from another host
            if (paired.empty())
                return "register/f" + std::to_string((*freshId)++) + "/1";
            const Player &target = players[paired[rng() % paired.size()]];
            return "register/" + target.matchId + "/" + std::to_string(target.side);
        }
        case Role::ForgedReports: // forged reports and acknowledgements
            if (rng() % 2 == 0)
                return "udp_failed/" + victim.matchId + "/" + std::to_string(victim.side);
            return "peer_ack/" + victim.matchId + "/127.67.9.9/" + std::to_string(1 + rng() % 65535);
        case Role::Junk: {
            std::string junk(1 + rng() % 600, '\0');
            for (char &c : junk)
                c = char(rng());
            return junk;
        }
        }
        return {};
    }

    void handlePlayerDatagram(Player &p, const std::string &datagram, long long nowMs, const sockaddr_in &to)
    {
        const std::string peerPrefix = "peer/" + p.matchId + "/";
        if (datagram.rfind("registered/" + p.matchId + "/", 0) == 0) {
            p.stopped = true; // a proxy stops registering; its deadline still runs
            return;
        }
        if (datagram.rfind(peerPrefix, 0) != 0)
            return;
        const std::string announced = datagram.substr(peerPrefix.size());
        // A proxy acknowledges every "peer".
        const std::string ack = "peer_ack/" + p.matchId + "/" + announced;
        ::sendto(p.fd, ack.data(), ack.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        p.stopped = true;
        if (announced != p.expectedPeer) {
            ++p.wrongPeers;
            return;
        }
        if (p.pairedMs < 0) {
            p.pairedMs = nowMs;
            paired.push_back(p.index);
        }
    }

    pid_t server;
    int epfd;
    std::vector<size_t> paired; // players of this phase that heard their real peer
    std::mt19937 rng;
    long long totalFlood = 0;
};

void printPhase(const PhaseResult &r, const PhaseResult &baseline)
{
    const double p50 = percentile(r.pairTimes, 50), p99 = percentile(r.pairTimes, 99);
    const double b50 = percentile(baseline.pairTimes, 50), b99 = percentile(baseline.pairTimes, 99);
    const long long handled = r.datagramsToServer - std::max(0LL, r.drops);
    const double cpuPerDatagramNs = handled > 0 ? double(r.serverCpuMs) * 1e6 / double(handled) : 0;
    std::printf("| %s | %d/%d | %d | %.0f | %.0f | %.2fx | %.2fx | %lld | %.0f | %lld | %lld | %lld | %.0f | %lld |\n",
                r.name.c_str(), r.matchesPaired, Matches, r.wrongPeers, p50, p99, b50 > 0 ? p50 / b50 : 0,
                b99 > 0 ? p99 / b99 : 0, r.datagramsToServer, double(r.datagramsToServer) * 1000.0 / double(r.phaseMs),
                r.drops, r.serverCpuMs, handled, cpuPerDatagramNs, r.maxRssKb);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s KIVRA_RENDEZVOUS [SERVER_LOG]\n", argv[0]);
        return 2;
    }
    const std::string logPath = argc > 2 ? argv[2] : "/dev/null";
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &files);

    // The server on CPU 1, the driver on CPU 0, so each has a core of this 2-CPU machine.
    const pid_t server = ::fork();
    if (server == 0) {
        if (std::getenv("BENCH_PIN_SERVER")) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(1, &one);
            ::sched_setaffinity(0, sizeof one, &one);
        }
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0)
            ::dup2(log, 2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execl(argv[1], argv[1], "--bind", ServerAddress, "--port", std::to_string(ServerPort).c_str(),
                static_cast<char *>(nullptr));
        _exit(127);
    }
    cpu_set_t zero;
    CPU_ZERO(&zero);
    CPU_SET(0, &zero);
    ::sched_setaffinity(0, sizeof zero, &zero);
    // Ready once its port is bound (it has no answer for a lone register: ask with a report).
    {
        const int probe = boundSocket("127.66.1.3", 0);
        const sockaddr_in to = endpoint(ServerAddress, ServerPort);
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            const char ask[] = "udp_ready/probe/1";
            ::sendto(probe, ask, sizeof ask - 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            ::usleep(50000);
            char answer[64];
            up = ::recv(probe, answer, sizeof answer, 0) > 0;
        }
        ::close(probe);
        if (!up) {
            std::fprintf(stderr, "bench-rendezvous: the server did not answer\n");
            ::kill(server, SIGKILL);
            ::waitpid(server, nullptr, 0);
            return 1;
        }
    }
    const int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    Bench bench(server, epfd);
    const PhaseResult quiet = bench.run("quiet", false);
    const PhaseResult flooded = bench.run("flood", true);
    const ServerSample end = sampleServer(server);

    std::printf("| phase | matches paired | wrong peers | pair p50 ms | pair p99 ms | p50 vs quiet | p99 vs quiet "
                "| datagrams to server | per s | dropped by kernel | server CPU ms | handled | CPU ns/datagram "
                "| max RSS kB |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    printPhase(quiet, quiet);
    printPhase(flooded, quiet);
    std::printf("\n");

    // Bytes the server sent to each flood source against the bytes it got from it.
    static const char *const Roles[] = {"fresh registers", "reflection side 1",  "reflection side 2",
                                        "takeover registers", "forged reports/acks", "junk",
                                        "slow reflection (1 register/5 s)"};
    std::printf("| flood role | sources | bytes sent | bytes received | datagrams received | received/sent "
                "| worst source received/sent |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    double worstOverall = 0;
    for (int role = 0; role < RoleCount; ++role) {
        long long sent = 0, received = 0, datagrams = 0, count = 0;
        double worst = 0;
        for (const FloodSource &s : flooded.sources) {
            if (s.role != Role(role))
                continue;
            ++count;
            sent += s.bytesSent;
            received += s.bytesReceived;
            datagrams += s.datagramsReceived;
            if (s.bytesSent > 0)
                worst = std::max(worst, double(s.bytesReceived) / double(s.bytesSent));
        }
        worstOverall = std::max(worstOverall, worst);
        std::printf("| %s | %lld | %lld | %lld | %lld | %.4f | %.4f |\n", Roles[role], count, sent, received, datagrams,
                    sent > 0 ? double(received) / double(sent) : 0.0, worst);
    }
    std::printf("\nflood datagrams %lld over %lld ms; worst received/sent of any flood source %.4f; server RSS at end "
                "%lld kB\n",
                flooded.floodDatagrams, flooded.phaseMs, worstOverall, end.rssKb);

    ::kill(server, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(server, &status, WNOHANG) == server)
            return 0;
        ::usleep(100000);
    }
    ::kill(server, SIGKILL);
    ::waitpid(server, &status, 0);
    return 0;
}
