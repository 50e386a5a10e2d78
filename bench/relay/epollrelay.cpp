// The practical limit for the relay: a minimal single-threaded epoll relay with the proxy's
// topology (127.0.0.1:7001 for the emulator, 0.0.0.0:6006 toward one known peer). It learns
// the emulator's port from its datagrams, drops peer-side datagrams from other hosts, reads
// each socket until it is empty and forwards every datagram unchanged. Nothing else.
// Usage: bench-relay-epoll --peer ADDRESS PORT [--seconds S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned short EmulatorFacingPort = 7001;
constexpr unsigned short PeerFacingPort = 6006;
constexpr int DefaultLifetimeS = 1800;         // s: a forgotten relay ends by itself
constexpr int WaitSliceMs = 1000;              // ms: how often the lifetime is checked
constexpr int MaxReadsPerWakeup = 1024;        // datagrams, as the proxy's cap per notification
constexpr std::size_t BufferBytes = 65536;     // holds any UDP datagram

int boundSocket(in_addr_t address, unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4 || std::strcmp(argv[1], "--peer") != 0) {
        std::fprintf(stderr, "usage: bench-relay-epoll --peer ADDRESS PORT [--seconds S]\n");
        return 2;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    if (::inet_pton(AF_INET, argv[2], &peer.sin_addr) != 1)
        return 2;
    peer.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[3])));
    const int lifetimeS = argc >= 6 && std::strcmp(argv[4], "--seconds") == 0 ? std::atoi(argv[5]) : DefaultLifetimeS;

    const int local = boundSocket(htonl(INADDR_LOOPBACK), EmulatorFacingPort);
    const int remote = boundSocket(htonl(INADDR_ANY), PeerFacingPort);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (local < 0 || remote < 0 || ep < 0) {
        std::printf("error %s\n", std::strerror(errno));
        return 5;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = local;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, local, &ev);
    ev.data.fd = remote;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, remote, &ev);
    std::printf("started %u -\n", PeerFacingPort);
    std::fflush(stdout);

    static char buffer[BufferBytes];
    sockaddr_in emulator{};
    emulator.sin_family = AF_INET;
    emulator.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lifetimeS);
    while (std::chrono::steady_clock::now() < deadline) {
        epoll_event events[2];
        const int n = ::epoll_wait(ep, events, 2, WaitSliceMs);
        for (int e = 0; e < n; ++e) {
            const int fd = events[e].data.fd;
            for (int i = 0; i < MaxReadsPerWakeup; ++i) {
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t got =
                    ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
                if (got < 0)
                    break;
                if (fd == local) {
                    emulator.sin_port = from.sin_port;
                    ::sendto(remote, buffer, std::size_t(got), 0, reinterpret_cast<const sockaddr *>(&peer),
                             sizeof peer);
                } else if (from.sin_addr.s_addr == peer.sin_addr.s_addr && emulator.sin_port != 0) {
                    ::sendto(local, buffer, std::size_t(got), 0, reinterpret_cast<const sockaddr *>(&emulator),
                             sizeof emulator);
                }
            }
        }
    }
    return 0;
}
