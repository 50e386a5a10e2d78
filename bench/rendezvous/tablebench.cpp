// What the rendezvous table itself costs, without sockets: the 100 ms tick with 50,000 held
// (acknowledged) matches against the same tick on an empty table, and the work per datagram
// for the kinds a flood sends. Prints one markdown table; ratios are against the empty table
// measured in the same run.
#include "matchtable.h"

#include <QByteArray>
#include <QHostAddress>

#include <cstdio>
#include <ctime>

namespace {

using rendezvous::Endpoint;
using rendezvous::MatchTable;
using rendezvous::TableOutput;

constexpr int HeldMatches = 50000;     // the default table size (count)
constexpr int Ticks = 100;             // 10 s of server time at one tick per 100 ms (count)
constexpr int TickIntervalMs = 100;    // the server's tick (ms)
constexpr int FloodDatagrams = 500000; // per kind of flood datagram (count)

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

Endpoint endpointOf(quint32 address, quint16 port)
{
    return Endpoint{QHostAddress(address), port};
}

// CPU seconds of Ticks ticks, starting at startMs.
double tickCost(MatchTable &table, qint64 startMs)
{
    TableOutput sink;
    const double before = cpuSeconds();
    for (int i = 0; i < Ticks; ++i) {
        table.tick(startMs + i * TickIntervalMs, &sink);
        sink.datagrams.clear();
        sink.log.clear();
    }
    return cpuSeconds() - before;
}

// Nanoseconds per datagram of one kind, each from its own source.
template<typename Make>
double perDatagram(MatchTable &table, qint64 nowMs, Make make)
{
    TableOutput sink;
    const double before = cpuSeconds();
    for (int i = 0; i < FloodDatagrams; ++i) {
        table.handleDatagram(make(i), endpointOf(0x0a430000u + quint32(i % 60000), quint16(1024 + i % 50000)),
                             nowMs + i / 1000, &sink);
        if (sink.datagrams.size() > 1000 || sink.log.size() > 1000) {
            sink.datagrams.clear();
            sink.log.clear();
        }
    }
    return (cpuSeconds() - before) * 1e9 / FloodDatagrams;
}

} // namespace

int main()
{
    MatchTable empty;
    const double emptyCost = tickCost(empty, 0);

    MatchTable held;
    TableOutput sink;
    const double fillStart = cpuSeconds();
    for (int m = 0; m < HeldMatches; ++m) {
        const QByteArray id = "held-" + QByteArray::number(m);
        const Endpoint one = endpointOf(0x0a420000u + quint32(m % 30000), quint16(10000 + m % 20000));
        const Endpoint two = endpointOf(0x0a440000u + quint32(m % 30000), quint16(10000 + m % 20000));
        for (int round = 0; round < 2; ++round) {
            held.handleDatagram("register/" + id + "/1", one, round * 750, &sink);
            held.handleDatagram("register/" + id + "/2", two, round * 750, &sink);
        }
        held.handleDatagram("peer_ack/" + id + '/' + two.address.toString().toUtf8() + '/' + QByteArray::number(two.port),
                            one, 800, &sink);
        held.handleDatagram("peer_ack/" + id + '/' + one.address.toString().toUtf8() + '/' + QByteArray::number(one.port),
                            two, 800, &sink);
        sink.datagrams.clear();
        sink.log.clear();
    }
    const double fillCost = cpuSeconds() - fillStart;
    const double heldCost = tickCost(held, 1000);

    std::printf("| table | matches | CPU per 100 ms tick (us) | share of a core | vs empty |\n|---|---|---|---|---|\n");
    std::printf("| empty | 0 | %.1f | %.4f %% | 1.00x |\n", emptyCost * 1e6 / Ticks, emptyCost / (Ticks * 0.1) * 100);
    std::printf("| held (both sides acknowledged) | %d | %.1f | %.4f %% | %.2fx |\n", held.matchCount(),
                heldCost * 1e6 / Ticks, heldCost / (Ticks * 0.1) * 100, emptyCost > 0 ? heldCost / emptyCost : 0.0);
    std::printf("\nFilling it: %.0f ns per datagram (6 per match).\n\n", fillCost * 1e9 / (HeldMatches * 6.0));

    MatchTable flooded;
    std::printf("| datagram kind (each from its own source) | ns per datagram in the table |\n|---|---|\n");
    std::printf("| junk | %.0f |\n", perDatagram(flooded, 0, [](int i) { return QByteArray(1 + i % 300, char(i)); }));
    std::printf("| fresh register | %.0f |\n",
                perDatagram(flooded, 0, [](int i) { return "register/f" + QByteArray::number(i) + "/1"; }));
    std::printf("| udp_failed for no match | %.0f |\n",
                perDatagram(flooded, 10000, [](int i) { return "udp_failed/x" + QByteArray::number(i) + "/1"; }));
    std::printf("| takeover register for a held match | %.0f |\n", perDatagram(held, 2000, [](int i) {
                    return "register/held-" + QByteArray::number(i % HeldMatches) + "/1";
                }));
    return 0;
}
