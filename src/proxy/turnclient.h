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
    // send takeOutgoing(nowMs) before the returned bytes. Empty when not allocated.
    QByteArray wrapForPeer(const QHostAddress &peer, quint16 peerPort, const char *data, qint64 size, qint64 nowMs);
    // CreatePermission for that address now (unless already asked), kept refreshed.
    void permit(const QHostAddress &peer, qint64 nowMs);

    // Requests due at nowMs: first sends, retransmissions, the allocation's Refresh, the
    // permissions' and channels' refreshes. Call from every read and write and from a timer.
    QList<QByteArray> takeOutgoing(qint64 nowMs);
    // When takeOutgoing has work next; -1 when nothing is scheduled.
    qint64 nextDueMs() const;

    // How often permissions and channels are renewed (the server does not say their lifetime);
    // defaults 240 s and 540 s, below the standard 300 s and 600 s.
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
        Release,
        CreatePermission,
        ChannelBind,
    };
    // One request awaiting its answer. Invariants: tid is unique among open transactions;
    // nextSendMs <= giveUpMs while open; staleRetried is set once a 438 retry was made.
    struct Transaction
    {
        Purpose purpose = Purpose::Allocate;
        QByteArray tid;
        QByteArray bytes;
        QHostAddress peer;        // CreatePermission, ChannelBind
        quint16 peerPort = 0;     // ChannelBind
        quint16 channel = 0;      // ChannelBind
        qint64 nextSendMs = 0;
        qint64 rtoMs = 0;
        qint64 giveUpMs = 0;
        bool authenticated = false;
        bool staleRetried = false;
    };
    struct PermissionEntry
    {
        Permission state = Permission::None;
        qint64 refreshDueMs = -1;   // -1 while a request is open or after a refusal
    };
    // A channel for one peer endpoint. bound only after the server's success; refreshDueMs
    // is -1 while a ChannelBind is open.
    struct ChannelEntry
    {
        quint16 number = 0;
        bool bound = false;
        bool failed = false;
        qint64 refreshDueMs = -1;
    };
    // Datagrams to one endpoint in the current window, for the steady-traffic rule.
    struct TrafficEntry
    {
        qint64 windowStartMs = 0;
        int count = 0;
    };

    static QString endpointKey(const QHostAddress &peer, quint16 port);
    void openTransaction(Purpose purpose, qint64 nowMs, qint64 budgetMs, const QHostAddress &peer = {},
                         quint16 peerPort = 0, quint16 channel = 0);
    QByteArray buildRequest(const Transaction &t) const;
    void handleResponse(const wire::stun::Message &message, qint64 nowMs);
    void fail(const QString &why);

    TurnServerConfig config_;
    State state_ = State::Idle;
    QString failure_;
    wire::stun::Credentials credentials_;
    wire::stun::Endpoint relayed_;
    wire::stun::Endpoint mapped_;
    qint64 lifetimeMs_ = 0;
    qint64 refreshDueMs_ = -1;
    qint64 allocateDeadlineMs_ = -1;
    bool mismatchRetried_ = false;
    qint64 permissionPeriodMs_ = 240000;
    qint64 channelPeriodMs_ = 540000;
    quint16 nextChannel_ = wire::stun::FirstChannel;
    QList<Transaction> transactions_;
    QList<QByteArray> outgoing_;
    QHash<QHostAddress, PermissionEntry> permissions_;
    QHash<QString, ChannelEntry> channels_;
    QHash<QString, TrafficEntry> traffic_;
};
