// The floor of any relay built on Qt's event loop: the epoll relay's work (same sockets, same
// forwarding, plain recvfrom/sendto) but woken by QSocketNotifier through QCoreApplication's
// event dispatcher. What it costs above the epoll relay is what the event loop costs, which
// no relay code running in that loop can win back.
// Usage: bench-relay-qtfloor --peer ADDRESS PORT [--seconds S]
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned short EmulatorFacingPort = 7001;
constexpr unsigned short PeerFacingPort = 6006;
constexpr int DefaultLifetimeS = 1800;         // s: a forgotten relay ends by itself
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

char buffer[BufferBytes];

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4 || std::strcmp(argv[1], "--peer") != 0) {
        std::fprintf(stderr, "usage: bench-relay-qtfloor --peer ADDRESS PORT [--seconds S]\n");
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
    if (local < 0 || remote < 0) {
        std::printf("error %s\n", std::strerror(errno));
        return 5;
    }
    sockaddr_in emulator{};
    emulator.sin_family = AF_INET;
    emulator.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const auto drain = [&](int fd) {
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
    };
    QSocketNotifier localNotifier(local, QSocketNotifier::Read);
    QSocketNotifier remoteNotifier(remote, QSocketNotifier::Read);
    QObject::connect(&localNotifier, &QSocketNotifier::activated, &app, [&] { drain(local); });
    QObject::connect(&remoteNotifier, &QSocketNotifier::activated, &app, [&] { drain(remote); });
    std::printf("started %u -\n", PeerFacingPort);
    std::fflush(stdout);

    QTimer::singleShot(lifetimeS * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
