// The practical limit for the relay: a minimal single-threaded epoll relay around the shared
// minimal relay work (minimalrelay.h).
// Usage: bench-relay-epoll --peer ADDRESS PORT [--seconds S]
#include "minimalrelay.h"

#include <sys/epoll.h>

#include <chrono>

namespace {

constexpr int WaitSliceMs = 1000; // ms: how often the lifetime is checked

minimalrelay::Relay relay; // static: its buffer holds any datagram

} // namespace

int main(int argc, char *argv[])
{
    if (const int code = relay.open("bench-relay-epoll", argc, argv))
        return code;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        std::printf("error %s\n", std::strerror(errno));
        return 5;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = relay.local;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, relay.local, &ev);
    ev.data.fd = relay.remote;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, relay.remote, &ev);
    relay.sayStarted();

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(relay.lifetimeS);
    while (std::chrono::steady_clock::now() < deadline) {
        epoll_event events[2];
        const int n = ::epoll_wait(ep, events, 2, WaitSliceMs);
        for (int e = 0; e < n; ++e)
            relay.drain(events[e].data.fd);
    }
    return 0;
}
