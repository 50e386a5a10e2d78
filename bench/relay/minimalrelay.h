// The work of the benchmark's minimal relays, shared so that the epoll relay and the Qt
// event-loop relay differ only in how they are woken: the proxy's topology (127.0.0.1:7001 for
// the emulator, 0.0.0.0:6006 toward one known peer), the emulator's port learned from its
// datagrams, peer-side datagrams from other hosts dropped, each socket read until it is empty,
// every datagram forwarded unchanged. Nothing else.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace minimalrelay {

constexpr unsigned short EmulatorFacingPort = 7001;
constexpr unsigned short PeerFacingPort = 6006;
constexpr int DefaultLifetimeS = 1800;         // s: a forgotten relay ends by itself
constexpr int MaxReadsPerWakeup = 1024;        // datagrams, as the proxy's cap per notification
constexpr std::size_t BufferBytes = 65536;     // holds any UDP datagram

inline int boundSocket(in_addr_t address, unsigned short port)
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

struct Relay
{
    int local = -1;
    int remote = -1;
    int lifetimeS = DefaultLifetimeS;
    sockaddr_in peer{};
    sockaddr_in emulator{};
    char buffer[BufferBytes];

    // Parses "--peer ADDRESS PORT [--seconds S]" and binds both sockets. Returns the exit
    // code to end with, or 0 to go on.
    int open(const char *program, int argc, char *argv[])
    {
        if (argc < 4 || std::strcmp(argv[1], "--peer") != 0) {
            std::fprintf(stderr, "usage: %s --peer ADDRESS PORT [--seconds S]\n", program);
            return 2;
        }
        peer.sin_family = AF_INET;
        if (::inet_pton(AF_INET, argv[2], &peer.sin_addr) != 1)
            return 2;
        peer.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[3])));
        if (argc >= 6 && std::strcmp(argv[4], "--seconds") == 0)
            lifetimeS = std::atoi(argv[5]);
        emulator.sin_family = AF_INET;
        emulator.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        local = boundSocket(htonl(INADDR_LOOPBACK), EmulatorFacingPort);
        remote = boundSocket(htonl(INADDR_ANY), PeerFacingPort);
        if (local < 0 || remote < 0) {
            std::printf("error %s\n", std::strerror(errno));
            return 5;
        }
        return 0;
    }

    void sayStarted() const
    {
        std::printf("started %u -\n", PeerFacingPort);
        std::fflush(stdout);
    }

    // Reads fd until it is empty (or the cap) and forwards each datagram.
    void drain(int fd)
    {
        for (int i = 0; i < MaxReadsPerWakeup; ++i) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got =
                ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (got < 0)
                return;
            if (fd == local) {
                emulator.sin_port = from.sin_port;
                ::sendto(remote, buffer, std::size_t(got), 0, reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
            } else if (from.sin_addr.s_addr == peer.sin_addr.s_addr && emulator.sin_port != 0) {
                ::sendto(local, buffer, std::size_t(got), 0, reinterpret_cast<const sockaddr *>(&emulator),
                         sizeof emulator);
            }
        }
    }
};

} // namespace minimalrelay
