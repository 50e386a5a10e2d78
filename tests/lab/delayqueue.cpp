// kivra-delayqueue: adds a fixed delay to the packets an nftables "queue" rule hands it.
//
// The lab's kernel has no sch_netem, so a router namespace sends the packets it should
// delay to an NFQUEUE; this consumer holds each one for --delay-ms and then accepts it, in
// arrival order (the delay is the same for all, so the oldest packet is always due first).
//
// usage: kivra-delayqueue --queue N --delay-ms MS [--cap PACKETS] [--max-seconds S]
//
// Prints "ready" on stdout once the queue is bound, and one "delayqueue ..." summary line on
// stderr when it ends. Ends on SIGTERM or SIGINT (every held packet is accepted first, so
// nothing is lost on the way out), or after --max-seconds as a safety bound.
// Beyond --cap held packets a new packet is DROPPED, as a full router buffer would: accepting
// it at once would let it overtake the held ones.
// netinet/in.h (through arpa/inet.h) must come before linux/netfilter.h, whose linux/in.h
// would otherwise define the same structures again.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <libnetfilter_queue/libnetfilter_queue.h>
#include <libnfnetlink/libnfnetlink.h>
#include <linux/netfilter.h>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
// Held packets at most (packets): far above what a lab match has in flight over 100 ms, and
// small enough that a flood cannot grow this process without bound.
constexpr std::size_t DefaultCap = 4096;
// Upper bound of a run (seconds): a consumer left behind by a killed script ends by itself.
constexpr long DefaultMaxSeconds = 600;
// Largest delay accepted (milliseconds): the lab needs at most a few hundred.
constexpr long MaxDelayMs = 10000;
// Netlink messages read per poll wake-up (messages): bounds one pass, the next poll resumes.
constexpr int ReadsPerWake = 256;
// Kernel queue length (packets): the kernel drops beyond it when we fall behind.
constexpr std::uint32_t KernelQueueLength = 8192;
// Netlink receive buffer (bytes): room for a burst of queued-packet messages.
constexpr unsigned int ReceiveBufferBytes = 4u * 1024u * 1024u;
// Receive buffer for one netlink message (bytes): metadata only, payloads are not copied.
constexpr std::size_t MessageBufferBytes = 65536;

struct Held {
    std::uint32_t id;
    std::int64_t dueNs;
};

// Fixed-size ring of held packets: arrival order is release order.
struct Ring {
    std::vector<Held> slots;
    std::size_t head = 0;
    std::size_t size = 0;
    bool push(const Held &h)
    {
        if (size == slots.size())
            return false;
        slots[(head + size) % slots.size()] = h;
        ++size;
        return true;
    }
    const Held &front() const { return slots[head]; }
    void pop()
    {
        head = (head + 1) % slots.size();
        --size;
    }
};

struct State {
    nfq_q_handle *queue = nullptr;
    Ring ring;
    std::int64_t delayNs = 0;
    std::uint64_t held = 0;
    std::uint64_t dropped = 0;
    std::uint64_t released = 0;
    std::size_t maxDepth = 0;
};

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int onPacket(nfq_q_handle *queue, nfgenmsg *, nfq_data *data, void *context)
{
    auto *state = static_cast<State *>(context);
    const nfqnl_msg_packet_hdr *header = nfq_get_msg_packet_hdr(data);
    if (!header)
        return 0;
    const std::uint32_t id = ntohl(header->packet_id);
    if (!state->ring.push(Held{id, nowNs() + state->delayNs})) {
        ++state->dropped;
        return nfq_set_verdict(queue, id, NF_DROP, 0, nullptr);
    }
    ++state->held;
    if (state->ring.size > state->maxDepth)
        state->maxDepth = state->ring.size;
    return 0;
}

// Accepts every held packet that is due (all of them when `all`).
void release(State &state, bool all)
{
    const std::int64_t now = nowNs();
    while (state.ring.size > 0 && (all || state.ring.front().dueNs <= now)) {
        nfq_set_verdict(state.queue, state.ring.front().id, NF_ACCEPT, 0, nullptr);
        state.ring.pop();
        ++state.released;
    }
}

bool parseLong(const char *text, long low, long high, long *out)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    *out = v;
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: kivra-delayqueue --queue N --delay-ms MS [--cap PACKETS] [--max-seconds S]\n");
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    long queueNum = -1, delayMs = -1, cap = long(DefaultCap), maxSeconds = DefaultMaxSeconds;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc)
            return usage();
        long *target = nullptr;
        long low = 0, high = 0;
        if (!std::strcmp(argv[i], "--queue")) {
            target = &queueNum;
            high = 65535;
        } else if (!std::strcmp(argv[i], "--delay-ms")) {
            target = &delayMs;
            high = MaxDelayMs;
        } else if (!std::strcmp(argv[i], "--cap")) {
            target = &cap;
            low = 1;
            high = 1 << 20;
        } else if (!std::strcmp(argv[i], "--max-seconds")) {
            target = &maxSeconds;
            low = 1;
            high = 86400;
        } else {
            return usage();
        }
        if (!parseLong(argv[i + 1], low, high, target))
            return usage();
    }
    if (queueNum < 0 || delayMs < 0)
        return usage();

    // SIGTERM/SIGINT arrive through a descriptor in the poll set: no handler, no race.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return 1;
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("delayqueue: signalfd");
        return 1;
    }

    State state;
    state.delayNs = std::int64_t(delayMs) * 1000000;
    state.ring.slots.resize(std::size_t(cap));

    nfq_handle *handle = nfq_open();
    if (!handle) {
        std::perror("delayqueue: nfq_open");
        return 1;
    }
    state.queue = nfq_create_queue(handle, std::uint16_t(queueNum), &onPacket, &state);
    if (!state.queue) {
        std::perror("delayqueue: nfq_create_queue");
        nfq_close(handle);
        return 1;
    }
    if (nfq_set_mode(state.queue, NFQNL_COPY_META, 0) < 0) {
        std::perror("delayqueue: nfq_set_mode");
        nfq_destroy_queue(state.queue);
        nfq_close(handle);
        return 1;
    }
    nfq_set_queue_maxlen(state.queue, KernelQueueLength);
    nfnl_rcvbufsiz(nfq_nfnlh(handle), ReceiveBufferBytes);
    const int fd = nfq_fd(handle);
    // An overrun receive buffer would otherwise end every later read with ENOBUFS.
    const int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &one, sizeof one);
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<char> buffer(MessageBufferBytes);
    const std::int64_t endNs = nowNs() + std::int64_t(maxSeconds) * 1000000000;
    std::uint64_t readErrors = 0;
    const char *why = "time limit";
    for (;;) {
        const std::int64_t now = nowNs();
        if (now >= endNs)
            break;
        // Sleep until the oldest held packet is due, or until the run's end.
        std::int64_t waitNs = endNs - now;
        if (state.ring.size > 0)
            waitNs = state.ring.front().dueNs - now;
        const int timeoutMs = waitNs <= 0 ? 0 : int((waitNs + 999999) / 1000000);
        pollfd fds[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            std::perror("delayqueue: poll");
            why = "poll error";
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            why = "signal";
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            for (int i = 0; i < ReadsPerWake; ++i) {
                const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                        ++readErrors;
                    break;
                }
                nfq_handle_packet(handle, buffer.data(), int(n));
            }
        }
        release(state, false);
    }
    // Nothing held stays in the kernel's queue when we go.
    release(state, true);
    nfq_destroy_queue(state.queue);
    nfq_close(handle);
    close(signalFd);
    std::fprintf(stderr,
                 "delayqueue end=%s delay_ms=%ld held=%llu released=%llu dropped=%llu max_depth=%zu read_errors=%llu\n",
                 why, delayMs, static_cast<unsigned long long>(state.held),
                 static_cast<unsigned long long>(state.released), static_cast<unsigned long long>(state.dropped),
                 state.maxDepth, static_cast<unsigned long long>(readErrors));
    return 0;
}
