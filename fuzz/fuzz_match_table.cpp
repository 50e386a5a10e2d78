// The rendezvous table takes datagrams from anyone, with any source: a fuzzer-chosen run of
// registers, acknowledgements, reports, junk and clock ticks from a few endpoints must never
// fault, never hold more than its limits, and never send an endpoint that has not sent a
// single "peer_ack" more bytes than it received from it.
#include "fuzzcheck.h"
#include "matchtable.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>

#include <cstddef>
#include <cstdint>

namespace {

using rendezvous::Endpoint;

constexpr int Endpoints = 8;   // two hosts with two ports each, and four more hosts
constexpr int MatchIds = 4;

Endpoint endpointFor(int index)
{
    static const char *const Hosts[] = {"203.0.113.1", "203.0.113.1", "203.0.113.2", "203.0.113.2",
                                        "198.51.100.3", "198.51.100.4", "198.51.100.5", "100.64.0.6"};
    return Endpoint{QHostAddress(QString::fromLatin1(Hosts[index])), quint16(6006 + index % 2)};
}

QByteArray endpointFields(const Endpoint &endpoint)
{
    return endpoint.address.toString().toUtf8() + '/' + QByteArray::number(endpoint.port);
}

struct Ledger
{
    qint64 received = 0;
    qint64 sent = 0;
    bool acknowledged = false; // sent a peer_ack at all
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    rendezvous::TableLimits limits;
    limits.maxMatches = 3; // small, so that eviction and refusals are reached
    limits.maxSidesPerAddress = 3;
    rendezvous::MatchTable table(limits);
    QHash<int, Ledger> ledgers;
    qint64 nowMs = 0;
    // Each step: 2 bytes (what, who/which) and for junk a length and bytes.
    for (size_t i = 0; i + 1 < size;) {
        const uint8_t what = data[i];
        const uint8_t which = data[i + 1];
        i += 2;
        const int who = which % Endpoints;
        const QByteArray matchId = "m" + QByteArray::number((which / Endpoints) % MatchIds);
        const int side = 1 + (what >> 4) % 3;
        QByteArray datagram;
        rendezvous::TableOutput out;
        switch (what % 8) {
        case 0:
            nowMs += 100 * (1 + which % 40);
            table.tick(nowMs, &out);
            break;
        case 1:
        case 2:
            datagram = "register/" + matchId + '/' + QByteArray::number(side);
            break;
        case 3:
            datagram = "peer_ack/" + matchId + '/' + endpointFields(endpointFor((what >> 4) % Endpoints));
            break;
        case 4:
            datagram = "udp_ready/" + matchId + '/' + QByteArray::number(side);
            break;
        case 5:
            datagram = "udp_failed/" + matchId + '/' + QByteArray::number(side);
            break;
        case 6:
            nowMs += what >> 4;
            datagram = "register/" + matchId + '/' + QByteArray::number(side);
            break;
        default: {
            const size_t length = std::min<size_t>(what >> 3, size - i);
            datagram = QByteArray(reinterpret_cast<const char *>(data + i), qsizetype(length));
            i += length;
            break;
        }
        }
        if (!datagram.isEmpty()) {
            Ledger &ledger = ledgers[who];
            ledger.received += datagram.size();
            ledger.acknowledged = ledger.acknowledged || datagram.startsWith("peer_ack/");
            table.handleDatagram(datagram, endpointFor(who), nowMs, &out, quint16(which % 3));
        }
        for (const rendezvous::Outgoing &o : std::as_const(out.datagrams)) {
            int to = -1;
            for (int e = 0; e < Endpoints; ++e) {
                if (endpointFor(e) == o.to)
                    to = e;
            }
            FUZZ_CHECK(to >= 0, "answers go only to endpoints that sent something");
            Ledger &ledger = ledgers[to];
            ledger.sent += o.datagram.size();
            FUZZ_CHECK(ledger.acknowledged || ledger.sent <= ledger.received,
                       "an endpoint that never acknowledged gets no more than it sent");
        }
        FUZZ_CHECK(table.matchCount() <= limits.maxMatches, "the table stays within its size");
        FUZZ_CHECK(table.pendingCount() <= table.matchCount(), "pending matches are held matches");
    }
    return 0;
}
