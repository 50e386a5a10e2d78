// Pairing logic of the rendezvous server, free of sockets and clocks: the caller passes
// each datagram with its sender and the current time, and sends what comes back.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QtGlobal>

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
    // The server port to send from: the one the receiving side last sent to, since a proxy
    // takes signalling only from the address and port it sends to. 0 on a one-port server.
    quint16 fromPort = 0;
};

struct TableLimits
{
    int maxMatches = 1024;
    qint64 idleTimeoutMs = 60000;
    int announceRepeats = 60;       // "peer" datagrams per announcement, the first included
    qint64 announceIntervalMs = 500;
    int noticeLinesPerTick = 20;    // refused/malformed log lines allowed between two ticks
};

// What one call produced: datagrams to send and log lines (one event each).
struct TableOutput
{
    QList<Outgoing> datagrams;
    QList<QByteArray> log;
};

class MatchTable
{
public:
    explicit MatchTable(const TableLimits &limits = TableLimits());

    // receivedOn: the server port the datagram arrived on (0 when the server has only one).
    void handleDatagram(const QByteArray &datagram, const Endpoint &sender, qint64 nowMs, TableOutput *out,
                        quint16 receivedOn = 0);
    // Repeats due announcements and forgets idle matches; call at least every interval.
    void tick(qint64 nowMs, TableOutput *out);

    int matchCount() const { return int(matches.size()); }
    bool hasMatch(const QByteArray &matchId) const { return matches.contains(matchId); }

private:
    struct Side
    {
        int number = 0;
        Endpoint endpoint;
        quint16 serverPort = 0; // the server port this side last sent to
        // Announcement of the other side's endpoint to this side.
        bool announcing = false;
        int announcesSent = 0;
        qint64 nextAnnounceMs = 0;
    };
    struct Match
    {
        QList<Side> sides; // at most two
        qint64 lastActivityMs = 0;
    };

    void handleRegister(const QByteArray &matchId, int sideNumber, const Endpoint &sender, quint16 receivedOn,
                        qint64 nowMs, TableOutput *out);
    void handlePeerAck(const QByteArray &matchId, const Endpoint &announced, const Endpoint &sender,
                       quint16 receivedOn, qint64 nowMs, TableOutput *out);
    void handleReport(bool ready, const QByteArray &matchId, int sideNumber, const Endpoint &sender,
                      quint16 receivedOn, qint64 nowMs, TableOutput *out);
    void startAnnouncing(const QByteArray &matchId, Match &match, int sideIndex, qint64 nowMs, TableOutput *out);
    void sendAnnouncement(const QByteArray &matchId, const Match &match, Side &side, qint64 nowMs, TableOutput *out);
    void notice(const QByteArray &line, TableOutput *out);

    TableLimits limits;
    QMap<QByteArray, Match> matches;
    int noticesThisTick = 0;
    int suppressedNotices = 0;
};

QByteArray endpointText(const Endpoint &endpoint);

} // namespace rendezvous
