// The relay client of one match: one TURN allocation over UDP with long-term credentials, its
// permissions and channels. A pure state machine: the caller owns the socket and the clock,
// hands it every datagram from the TURN server and sends what it returns.
#pragma once

#include "wire/stunwire.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QtGlobal>

struct TurnServerConfig
{
    QHostAddress address;
    quint16 port = 3478;
    QByteArray user;
    QByteArray password;
};

class TurnClient
{
public:
    TurnClient();

    enum class State
    {
        Idle,
        Allocating,
        Allocated,
        Failed,
    };
    enum class Permission
    {
        None,      // never asked for
        Pending,   // CreatePermission sent, no answer yet
        Granted,   // the server confirmed it
        Refused,   // the server refused it, or never answered
    };

    // A peer datagram carried by a Data indication or ChannelData; data points into the
    // buffer handed to handleServerDatagram.
    struct PeerDatagram
    {
        bool valid = false;
        QHostAddress peer;
        quint16 peerPort = 0;
        const char *data = nullptr;
        qint64 size = 0;
    };

    // Queues the first (unauthenticated) Allocate; the 401 retry with credentials follows.
    void start(const TurnServerConfig &config, qint64 nowMs);
    // Queues a Refresh with lifetime 0 (take it with takeOutgoing at once) and goes Idle.
    void stop(qint64 nowMs);

    bool isServer(const QHostAddress &sender, quint16 port) const;

    // One datagram from the TURN server. Responses are consumed; one without valid integrity
    // (except the 401/438 challenges) or for no open transaction changes nothing.
    PeerDatagram handleServerDatagram(const char *data, qint64 size, qint64 nowMs);
    // The same, for a datagram from anyone: a stranger's changes nothing.
    PeerDatagram handleDatagram(const QHostAddress &sender, quint16 port, const char *data, qint64 size,
                                qint64 nowMs);

    // One datagram for a peer: ChannelData once that endpoint has a bound channel, else a Send
    // indication. Asks for the peer's permission (and, after steady traffic, a channel) itself:
    // send takeOutgoing(nowMs) before the returned bytes. Empty when not allocated, when the
    // server refused the peer's permission, or past 16 peer addresses.
    QByteArray wrapForPeer(const QHostAddress &peer, quint16 peerPort, const char *data, qint64 size, qint64 nowMs);
    // CreatePermission for that address now (unless already asked), kept refreshed; asked for
    // while allocating, it goes out once allocated.
    void permit(const QHostAddress &peer, qint64 nowMs);

    // Requests due at nowMs: first sends, retransmissions, the allocation's Refresh, the
    // permissions' and channels' refreshes. Call from every read and write and from a timer.
    QList<QByteArray> takeOutgoing(qint64 nowMs);
    // When takeOutgoing has work next; -1 when nothing is scheduled.
    qint64 nextDueMs() const;

    // How often permissions and channels are renewed (the server does not say their lifetime):
    // by default 240 s and 540 s, within the standard 300 s and 600 s. Only shortening counts
    // (each is clamped to 1 s .. its default), for servers configured with shorter lifetimes.
    void setUpkeepPeriods(qint64 permissionMs, qint64 channelMs);

    State state() const { return state_; }
    QString failure() const { return failure_; }   // "timeout", "401 bad credentials", "403 Forbidden", ...
    QHostAddress relayedAddress() const { return relayed_.address; }
    quint16 relayedPort() const { return relayed_.port; }
    QHostAddress mappedAddress() const { return mapped_.address; }
    quint16 mappedPort() const { return mapped_.port; }
    qint64 grantedLifetimeMs() const { return lifetimeMs_; }
    Permission permission(const QHostAddress &peer) const;
    bool permitted(const QHostAddress &peer) const { return permission(peer) == Permission::Granted; }
    // The channel bound to that endpoint, 0 when none (yet).
    quint16 channel(const QHostAddress &peer, quint16 peerPort) const;

private:
    enum class Purpose
    {
        Allocate,
        Refresh,
        Reclaim,            // Refresh 0 for an allocation left on our 5-tuple, then Allocate again
        CreatePermission,
        ChannelBind,
    };
    // One request awaiting its answer. Invariants: tid is unique among open transactions and
    // the bytes carry it; an open transaction is dropped by giveUpMs at the latest;
    // staleRetried is set on the one retry a 438 answer earns.
    struct Transaction
    {
        Purpose purpose = Purpose::Allocate;
        QByteArray tid;
        QByteArray bytes;
        wire::stun::Endpoint peer;   // CreatePermission (address only), ChannelBind
        quint16 channel = 0;         // ChannelBind
        qint64 nextSendMs = 0;
        qint64 rtoMs = 0;
        qint64 giveUpMs = 0;
        bool authenticated = false;
        bool staleRetried = false;
    };
    // One peer address. Invariants: dueMs >= 0 only while no CreatePermission for it is open
    // and it is not Refused; Granted only after the server's success.
    struct PermissionEntry
    {
        Permission state = Permission::None;
        qint64 dueMs = -1;   // when the next CreatePermission opens
    };
    // A channel for one peer endpoint. Invariants: number is unique and in 0x4000..0x4FFF;
    // bound only after the server's success; a failed channel is never bound again (the
    // endpoint keeps its Send indications); dueMs >= 0 only while no ChannelBind is open.
    struct ChannelEntry
    {
        quint16 number = 0;
        wire::stun::Endpoint peer;
        bool bound = false;
        bool failed = false;
        qint64 dueMs = -1;
    };
    // Datagrams to one endpoint in the current window, for the steady-traffic rule.
    struct TrafficEntry
    {
        qint64 windowStartMs = 0;
        int count = 0;
    };

    void reset();
    static wire::stun::Method methodOf(Purpose purpose);
    void openTransaction(Purpose purpose, qint64 nowMs, qint64 giveUpMs, const wire::stun::Endpoint &peer = {},
                         quint16 channel = 0, bool staleRetried = false);
    QByteArray buildRequest(const Transaction &t) const;
    void handleResponse(const wire::stun::Message &message, qint64 nowMs);
    void handleSuccess(const Transaction &t, const wire::stun::Message &message, qint64 nowMs);
    void handleError(const Transaction &t, const wire::stun::ErrorCode &error, const wire::stun::Message &message,
                     qint64 nowMs);
    void giveUp(const Transaction &t, const QString &why);
    void startUpkeep(qint64 nowMs);
    void fail(const QString &why);

    TurnServerConfig config_;
    State state_ = State::Idle;
    QString failure_;
    wire::stun::Credentials credentials_;
    wire::stun::Endpoint relayed_;
    wire::stun::Endpoint mapped_;
    qint64 lifetimeMs_ = 0;
    qint64 refreshDueMs_ = -1;        // -1 while a Refresh is open or not allocated
    qint64 allocateDeadlineMs_ = -1;  // the whole Allocating phase ends by then
    bool reclaimed_ = false;          // the one Reclaim of an allocation mismatch was made
    qint64 permissionPeriodMs_;
    qint64 channelPeriodMs_;
    quint16 nextChannel_ = wire::stun::FirstChannel;
    QList<Transaction> transactions_;
    QList<QByteArray> outgoing_;      // one-shot datagrams (the release)
    QHash<QHostAddress, PermissionEntry> permissions_;
    QHash<QString, ChannelEntry> channels_;   // by endpoint key
    QHash<QString, TrafficEntry> traffic_;    // by endpoint key
};
