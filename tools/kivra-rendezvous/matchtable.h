// Pairing logic of the rendezvous server, free of sockets and clocks: the caller passes
// each datagram with its sender and the current time, and sends what comes back.
//
// Anyone can send us datagrams with any source address, so the rules here assume a sender
// may be spoofed until it proves otherwise:
// - credit: to a side that has not acknowledged an announcement we never send more bytes than
//   it sent us; beyond that, sends to acknowledged sides draw on a per-address byte budget;
// - a side belongs to its host: another host never takes it over, and a new port of the same
//   host only once the old endpoint has gone quiet;
// - a match none of whose sides acknowledged is "pending": it lives a few seconds after its
//   last register, and the oldest pending match makes room when the table is full;
// - every log line kind has its own small budget; what is dropped is counted in a summary.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QtGlobal>

#include <array>
#include <map>

namespace rendezvous {

struct Endpoint
{
    QHostAddress address;
    quint16 port = 0;
    bool operator==(const Endpoint &other) const { return port == other.port && address == other.address; }
    bool operator!=(const Endpoint &other) const { return !(*this == other); }
};

struct Outgoing
{
    QByteArray datagram;
    Endpoint to;
    // The server socket to send from (the shell numbers its sockets): the one the receiving
    // side last sent to, since a proxy takes signalling only from the address and port it
    // sends to. 0 on a one-socket server.
    quint16 fromSocket = 0;
};

struct TableLimits
{
    // About 5 % of a core serves this many matches; a pending match costs a few hundred bytes.
    int maxMatches = 50000;
    qint64 idleTimeoutMs = 60000;
    // A side waiting for its peer registers every 750 ms; a pending match silent this long
    // (ms) is forgotten. Never longer than idleTimeoutMs.
    qint64 pendingLifetimeMs = 5000;
    // Sides held for one address: hundreds of players share one carrier NAT address (count).
    int maxSidesPerAddress = 2048;
    // A new port of a side's host takes the side over only after the old endpoint has been
    // silent this long (ms): a moved NAT mapping goes quiet at once, a thief's victim does not.
    qint64 rebindQuietMs = 2000;
    int announceRepeats = 60;       // "peer" datagrams per announcement, the first included
    qint64 announceIntervalMs = 500;
    // Bytes per second an address may receive beyond what it sent, once acknowledged, and the
    // burst (bytes): re-announcements after the other side moved, "registered" to a restart.
    qint64 addressBudgetBytesPerSecond = 2048;
    qint64 addressBudgetBurstBytes = 4096;
    int noticeLinesPerTick = 20;    // log lines of one kind in a burst; then one per second
    qint64 summaryIntervalMs = 10000;
};

// What one call produced: datagrams to send and log lines (one event each).
struct TableOutput
{
    QList<Outgoing> datagrams;
    QList<QByteArray> log;
};

// Per-kind log budget: a token bucket per first word of the line. Dropped lines are counted
// and reported by summary(), at most once per interval.
struct LogLimiter
{
    struct Bucket
    {
        double tokens = 0;
        qint64 lastMs = 0;
    };
    int burst = 20;               // lines of a kind in a burst
    qint64 refillMs = 1000;       // one more line of a kind per this many ms
    qint64 summaryIntervalMs = 10000;
    QHash<QByteArray, Bucket> buckets; // one per kind word: a fixed, small set
    QHash<QByteArray, qint64> suppressed;
    qint64 suppressedTotal = 0;
    qint64 lastSummaryMs = -1;    // -1: none printed yet, the first is due at once

    void write(const QByteArray &line, qint64 nowMs, TableOutput *out);
    // "suppressed N kind=N ..." when lines were dropped and the interval has passed.
    void summary(qint64 nowMs, TableOutput *out);
};

class MatchTable
{
public:
    explicit MatchTable(const TableLimits &limits = TableLimits());

    // receivedOn: the server socket the datagram arrived on (0 when the server has only one).
    void handleDatagram(const QByteArray &datagram, const Endpoint &sender, qint64 nowMs, TableOutput *out,
                        quint16 receivedOn = 0);
    // Repeats due announcements and forgets idle matches; call at least every interval.
    void tick(qint64 nowMs, TableOutput *out);

    int matchCount() const { return int(matches.size()); }
    int pendingCount() const { return int(pendingOrder.size()); }
    bool hasMatch(const QByteArray &matchId) const { return matches.contains(matchId); }

    // Totals since start, for the summary and the benchmark.
    struct Counters
    {
        qint64 datagramsIn = 0;
        qint64 bytesIn = 0;
        qint64 datagramsOut = 0;
        qint64 bytesOut = 0;
        qint64 withheld = 0; // answers not sent for want of credit or budget
        qint64 evicted = 0;
    };
    const Counters &counters() const { return totals; }

private:
    struct Side
    {
        int number = 0;
        Endpoint endpoint;
        quint16 serverSocket = 0; // the server socket this side last sent to
        // Credit of this endpoint: bytesOut <= bytesIn while !confirmed.
        qint64 bytesIn = 0;
        qint64 bytesOut = 0;
        bool confirmed = false;  // it acknowledged an announcement: it receives what we send
        qint64 lastHeardMs = 0;  // last datagram from exactly this endpoint
        // Announcement of the other side's endpoint to this side.
        bool announcing = false;
        int announcesSent = 0;
        qint64 nextAnnounceMs = 0;
    };
    struct Match
    {
        QList<Side> sides; // at most two
        qint64 lastActivityMs = 0;
        // Its key in pendingOrder while no side is confirmed, else in establishedOrder.
        quint64 orderKey = 0;
        bool pending = true;
    };
    // Bytes an address may still get beyond its credit.
    struct Budget
    {
        double bytes = 0;
        qint64 lastMs = 0;
    };
    // Answers to reports from senders that are not a side: the answer can be one byte longer
    // than the question ("failure_ack" vs "udp_failed"), so it waits for a repeat. A fixed
    // table indexed by a hash of the sender: no memory grows with the senders.
    struct ReportCredit
    {
        size_t key = 0;
        qint64 bytes = 0;
        qint64 lastMs = 0;
    };
    static constexpr int ReportCreditSlots = 4096;

    using MatchMap = QHash<QByteArray, Match>;

    void handleRegister(const QByteArray &matchId, int sideNumber, const Endpoint &sender, quint16 receivedOn,
                        int size, qint64 nowMs, TableOutput *out);
    void handlePeerAck(const QByteArray &matchId, const Endpoint &announced, const Endpoint &sender,
                       quint16 receivedOn, int size, qint64 nowMs, TableOutput *out);
    void handleReport(bool ready, const QByteArray &matchId, int sideNumber, const Endpoint &sender,
                      quint16 receivedOn, int size, qint64 nowMs, TableOutput *out);
    MatchMap::iterator createMatch(const QByteArray &matchId, const Endpoint &sender, int sideNumber, qint64 nowMs,
                                   TableOutput *out);
    void startAnnouncing(const QByteArray &matchId, Match &match, int sideIndex, qint64 nowMs, TableOutput *out);
    // Sends the due announcement to side if its credit allows; false when it was withheld.
    bool sendAnnouncement(const QByteArray &matchId, Match &match, Side &side, qint64 nowMs, TableOutput *out);
    bool sendToSide(Side &side, const QByteArray &datagram, qint64 nowMs, TableOutput *out);
    void send(const QByteArray &datagram, const Endpoint &to, quint16 fromSocket, TableOutput *out);
    void touch(const QByteArray &matchId, Match &match, qint64 nowMs);
    void removeMatch(MatchMap::iterator it);
    void expire(std::map<quint64, QByteArray> &order, qint64 lifetimeMs, const char *state, qint64 nowMs,
                TableOutput *out);
    void log(const QByteArray &line, qint64 nowMs, TableOutput *out);

    TableLimits limits;
    MatchMap matches;
    // Matches by last activity, oldest first; every match is in exactly one of the two.
    std::map<quint64, QByteArray> pendingOrder;
    std::map<quint64, QByteArray> establishedOrder;
    quint64 nextOrderKey = 1;
    QSet<QByteArray> announcingMatches; // matches with a side whose announcement runs
    QHash<QHostAddress, int> sidesPerAddress; // sides held, by address; no zero entries
    QHash<QHostAddress, Budget> budgets;      // only addresses that drew on it lately
    std::array<ReportCredit, ReportCreditSlots> reportCredits{};
    LogLimiter logLimiter;
    Counters totals;
    qint64 lastBudgetSweepMs = 0;
    qint64 lastSummaryMs = 0;
    Counters atLastSummary;
};

QByteArray endpointText(const Endpoint &endpoint);

} // namespace rendezvous
