#include "proxy/turnclient.h"

#include <algorithm>

namespace stun = wire::stun;

namespace {

// ms: first retransmission timeout. A usable relay answers well within it; doubling from
// here gives four sends within the Allocate budget.
constexpr qint64 InitialRtoMs = 100;
constexpr qint64 MaxRtoMs = 1600;            // ms: retransmissions of upkeep requests stay this close
// ms: the whole Allocating phase, 401 retry included: a silent or refusing server must leave
// the proxy free to go on with the direct path within a second.
constexpr qint64 AllocateBudgetMs = 1000;
// ms: a new permission or channel is answered or given up as quickly, so a refusal is known
// while the punch loop still runs.
constexpr qint64 FirstRequestBudgetMs = 1000;
// ms: refreshes keep retrying longer; the allocation has half its lifetime left when they start.
constexpr qint64 UpkeepBudgetMs = 5000;
constexpr quint32 RequestedLifetimeS = 600;  // s: the standard allocation lifetime
constexpr quint32 MaxLifetimeS = 3600;       // s: the longest lifetime a server may grant
constexpr qint64 MinRefreshDelayMs = 1000;   // ms: even a very short grant is not refreshed faster
constexpr qint64 DefaultPermissionPeriodMs = 240000;   // ms: permissions last 300 s
constexpr qint64 DefaultChannelPeriodMs = 540000;      // ms: channel bindings last 600 s
constexpr qint64 MinUpkeepPeriodMs = 1000;             // ms: the shortest period a test may set
// Steady traffic: this many datagrams to one endpoint within the window earn it a channel,
// whose 4-byte header replaces the Send indication's 36 bytes. Game traffic (60 a second)
// reaches it at once; a handful of punch datagrams to a candidate that goes quiet does not.
constexpr int SteadyTrafficDatagrams = 8;
constexpr qint64 SteadyTrafficWindowMs = 4000;   // ms
// Bounds on the bookkeeping, whatever the caller sends to: peer addresses with permissions,
// endpoints with channels, endpoints counted for the steady-traffic rule.
constexpr int MaxPermissions = 16;
constexpr int MaxChannels = 16;
constexpr int MaxCountedEndpoints = 64;
constexpr int UnauthorizedCode = 401;
constexpr int AllocationMismatchCode = 437;
constexpr int StaleNonceCode = 438;

// Addresses as keys: an IPv4-mapped IPv6 address is the IPv4 address.
QHostAddress normalized(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString endpointKey(const QHostAddress &peer, quint16 port)
{
    return normalized(peer).toString() + QLatin1Char('/') + QString::number(port);
}

QString describe(const stun::ErrorCode &error)
{
    return QString::number(error.code) + QLatin1Char(' ') + QString::fromUtf8(error.reason).left(80);
}

} // namespace

TurnClient::TurnClient() : permissionPeriodMs_(DefaultPermissionPeriodMs), channelPeriodMs_(DefaultChannelPeriodMs)
{
}

void TurnClient::reset()
{
    state_ = State::Idle;
    failure_.clear();
    credentials_ = {};
    relayed_ = {};
    mapped_ = {};
    lifetimeMs_ = 0;
    refreshDueMs_ = -1;
    allocateDeadlineMs_ = -1;
    reclaimed_ = false;
    nextChannel_ = stun::FirstChannel;
    transactions_.clear();
    permissions_.clear();
    channels_.clear();
    traffic_.clear();
}

void TurnClient::start(const TurnServerConfig &config, qint64 nowMs)
{
    reset();
    outgoing_.clear();
    config_ = config;
    config_.address = normalized(config.address);
    state_ = State::Allocating;
    allocateDeadlineMs_ = nowMs + AllocateBudgetMs;
    openTransaction(Purpose::Allocate, nowMs, allocateDeadlineMs_);
}

void TurnClient::stop(qint64 nowMs)
{
    Q_UNUSED(nowMs)
    // An allocation may exist once an authenticated Allocate went out: release it.
    if (state_ != State::Idle && state_ != State::Failed && !credentials_.isEmpty())
        outgoing_.append(stun::refreshRequest(stun::newTransactionId(), 0, credentials_));
    reset();
}

bool TurnClient::isServer(const QHostAddress &sender, quint16 port) const
{
    return state_ != State::Idle && port == config_.port && normalized(sender) == config_.address;
}

void TurnClient::setUpkeepPeriods(qint64 permissionMs, qint64 channelMs)
{
    permissionPeriodMs_ = std::clamp(permissionMs, MinUpkeepPeriodMs, DefaultPermissionPeriodMs);
    channelPeriodMs_ = std::clamp(channelMs, MinUpkeepPeriodMs, DefaultChannelPeriodMs);
}

TurnClient::Permission TurnClient::permission(const QHostAddress &peer) const
{
    return permissions_.value(normalized(peer)).state;
}

quint16 TurnClient::channel(const QHostAddress &peer, quint16 peerPort) const
{
    const auto it = channels_.constFind(endpointKey(peer, peerPort));
    return it != channels_.cend() && it->bound ? it->number : 0;
}

void TurnClient::openTransaction(Purpose purpose, qint64 nowMs, qint64 giveUpMs, const stun::Endpoint &peer,
                                 quint16 channel, bool staleRetried)
{
    Transaction t;
    t.purpose = purpose;
    t.tid = stun::newTransactionId();
    t.peer = peer;
    t.channel = channel;
    t.nextSendMs = nowMs;
    t.rtoMs = InitialRtoMs;
    t.giveUpMs = giveUpMs;
    t.authenticated = !credentials_.isEmpty();
    t.staleRetried = staleRetried;
    t.bytes = buildRequest(t);
    transactions_.append(t);
}

QByteArray TurnClient::buildRequest(const Transaction &t) const
{
    const stun::Credentials &credentials = t.authenticated ? credentials_ : stun::Credentials{};
    switch (t.purpose) {
    case Purpose::Allocate:
        return stun::allocateRequest(t.tid, RequestedLifetimeS, credentials);
    case Purpose::Refresh:
        return stun::refreshRequest(t.tid, RequestedLifetimeS, credentials);
    case Purpose::Reclaim:
        return stun::refreshRequest(t.tid, 0, credentials);
    case Purpose::CreatePermission:
        return stun::createPermissionRequest(t.tid, {t.peer.address}, credentials);
    case Purpose::ChannelBind:
        return stun::channelBindRequest(t.tid, t.channel, t.peer, credentials);
    }
    return {};
}

void TurnClient::fail(const QString &why)
{
    reset();
    state_ = State::Failed;
    failure_ = why;
}

void TurnClient::giveUp(const Transaction &t, const QString &why)
{
    switch (t.purpose) {
    case Purpose::Allocate:
    case Purpose::Reclaim:
    case Purpose::Refresh:   // the allocation lapses: the relay is gone
        fail(why);
        break;
    case Purpose::CreatePermission: {
        const auto it = permissions_.find(t.peer.address);
        if (it != permissions_.end()) {
            it->state = Permission::Refused;
            it->dueMs = -1;
        }
        break;
    }
    case Purpose::ChannelBind: {
        // The endpoint keeps its Send indications.
        const auto it = channels_.find(endpointKey(t.peer.address, t.peer.port));
        if (it != channels_.end()) {
            it->bound = false;
            it->failed = true;
            it->dueMs = -1;
        }
        break;
    }
    }
}

void TurnClient::startUpkeep(qint64 nowMs)
{
    if (state_ != State::Allocated)
        return;
    if (refreshDueMs_ >= 0 && nowMs >= refreshDueMs_) {
        refreshDueMs_ = -1;
        openTransaction(Purpose::Refresh, nowMs, nowMs + UpkeepBudgetMs);
    }
    for (auto it = permissions_.begin(); it != permissions_.end(); ++it) {
        if (it->dueMs < 0 || nowMs < it->dueMs)
            continue;
        it->dueMs = -1;
        const qint64 budget = it->state == Permission::Granted ? UpkeepBudgetMs : FirstRequestBudgetMs;
        openTransaction(Purpose::CreatePermission, nowMs, nowMs + budget, {it.key(), 0});
    }
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (it->failed || it->dueMs < 0 || nowMs < it->dueMs)
            continue;
        it->dueMs = -1;
        const qint64 budget = it->bound ? UpkeepBudgetMs : FirstRequestBudgetMs;
        openTransaction(Purpose::ChannelBind, nowMs, nowMs + budget, it->peer, it->number);
    }
}

QList<QByteArray> TurnClient::takeOutgoing(qint64 nowMs)
{
    startUpkeep(nowMs);
    QList<QByteArray> out;
    out.swap(outgoing_);
    // Give-ups may fail the whole client (which clears the list): walk a copy.
    const QList<Transaction> open = transactions_;
    for (const Transaction &t : open) {
        const auto it = std::find_if(transactions_.begin(), transactions_.end(),
                                     [&](const Transaction &each) { return each.tid == t.tid; });
        if (it == transactions_.end())
            continue;
        if (nowMs >= it->giveUpMs) {
            const Transaction expired = *it;
            transactions_.erase(it);
            giveUp(expired, QStringLiteral("timeout"));
            continue;
        }
        if (nowMs >= it->nextSendMs) {
            out.append(it->bytes);
            it->nextSendMs = nowMs + it->rtoMs;
            it->rtoMs = std::min(it->rtoMs * 2, MaxRtoMs);
        }
    }
    return out;
}

qint64 TurnClient::nextDueMs() const
{
    qint64 next = -1;
    const auto consider = [&next](qint64 at) {
        if (at >= 0 && (next < 0 || at < next))
            next = at;
    };
    if (!outgoing_.isEmpty())
        consider(0);
    for (const Transaction &t : transactions_)
        consider(std::min(t.nextSendMs, t.giveUpMs));
    if (state_ == State::Allocated) {
        consider(refreshDueMs_);
        for (const PermissionEntry &p : permissions_)
            consider(p.dueMs);
        for (const ChannelEntry &c : channels_)
            if (!c.failed)
                consider(c.dueMs);
    }
    return next;
}

void TurnClient::permit(const QHostAddress &peer, qint64 nowMs)
{
    if (state_ != State::Allocating && state_ != State::Allocated)
        return;
    const QHostAddress address = normalized(peer);
    if (permissions_.contains(address) || permissions_.size() >= MaxPermissions)
        return;
    // Opened by the next takeOutgoing once allocated.
    permissions_.insert(address, PermissionEntry{Permission::Pending, nowMs});
}

QByteArray TurnClient::wrapForPeer(const QHostAddress &peer, quint16 peerPort, const char *data, qint64 size,
                                   qint64 nowMs)
{
    if (state_ != State::Allocated || !data || size < 0)
        return {};
    const QHostAddress address = normalized(peer);
    permit(address, nowMs);
    const Permission permission = permissions_.value(address).state;
    if (permission == Permission::Refused || permission == Permission::None)
        return {};
    const QString key = endpointKey(address, peerPort);
    const auto channel = channels_.constFind(key);
    if (channel != channels_.cend() && channel->bound)
        return stun::channelData(channel->number, data, size);
    if (channel == channels_.cend()) {
        if (!traffic_.contains(key) && traffic_.size() >= MaxCountedEndpoints)
            traffic_.clear();   // a spray of endpoints only restarts the counting
        TrafficEntry &traffic = traffic_[key];
        if (traffic.count == 0 || nowMs - traffic.windowStartMs > SteadyTrafficWindowMs)
            traffic = TrafficEntry{nowMs, 0};
        ++traffic.count;
        if (traffic.count >= SteadyTrafficDatagrams && channels_.size() < MaxChannels
            && nextChannel_ <= stun::LastChannel) {
            channels_.insert(key, ChannelEntry{nextChannel_++, {address, peerPort}, false, false, nowMs});
            traffic_.remove(key);
        }
    }
    return stun::sendIndication(stun::newTransactionId(), {address, peerPort}, data, size);
}

TurnClient::PeerDatagram TurnClient::handleDatagram(const QHostAddress &sender, quint16 port, const char *data,
                                                    qint64 size, qint64 nowMs)
{
    if (!isServer(sender, port))
        return {};
    return handleServerDatagram(data, size, nowMs);
}

TurnClient::PeerDatagram TurnClient::handleServerDatagram(const char *data, qint64 size, qint64 nowMs)
{
    PeerDatagram peer;
    if (state_ == State::Idle || state_ == State::Failed)
        return peer;
    if (stun::looksLikeChannelData(data, size)) {
        const std::optional<stun::ChannelData> frame = stun::parseChannelData(data, size);
        if (!frame)
            return peer;
        for (const ChannelEntry &c : std::as_const(channels_)) {
            // The server uses a channel only once our ChannelBind reached it: accept it while
            // the answer is still on its way, never after a failure.
            if (c.number != frame->channel || c.failed)
                continue;
            peer = PeerDatagram{true, c.peer.address, c.peer.port, frame->data, frame->size};
            break;
        }
        return peer;
    }
    const std::optional<stun::Message> message = stun::parse(data, size);
    if (!message)
        return peer;
    if (message->messageClass == stun::Class::SuccessResponse || message->messageClass == stun::Class::ErrorResponse) {
        handleResponse(*message, nowMs);
        return peer;
    }
    if (message->messageClass != stun::Class::Indication || message->method != stun::Method::Data
        || state_ != State::Allocated)
        return peer;
    const std::optional<stun::Endpoint> from = message->xorPeerAddress();
    const std::optional<stun::Attribute> carried = message->data();
    if (!from || !carried)
        return peer;
    const QHostAddress address = normalized(from->address);
    // The server relays only from addresses we asked for; anything else is forged.
    const Permission permission = permissions_.value(address).state;
    if (permission != Permission::Pending && permission != Permission::Granted)
        return peer;
    return PeerDatagram{true, address, from->port, data + carried->offset, carried->length};
}

stun::Method TurnClient::methodOf(Purpose purpose)
{
    switch (purpose) {
    case Purpose::Allocate:
        return stun::Method::Allocate;
    case Purpose::Refresh:
    case Purpose::Reclaim:
        return stun::Method::Refresh;
    case Purpose::CreatePermission:
        return stun::Method::CreatePermission;
    case Purpose::ChannelBind:
        return stun::Method::ChannelBind;
    }
    return stun::Method::Binding;
}

void TurnClient::handleResponse(const stun::Message &message, qint64 nowMs)
{
    const auto it = std::find_if(transactions_.begin(), transactions_.end(),
                                 [&](const Transaction &t) { return t.tid == message.transactionId; });
    if (it == transactions_.end() || message.method != methodOf(it->purpose))
        return;
    const Transaction t = *it;
    const std::optional<stun::ErrorCode> error =
        message.messageClass == stun::Class::ErrorResponse ? message.errorCode() : std::nullopt;
    if (message.messageClass == stun::Class::ErrorResponse && !error)
        return;
    // The 401 and 438 challenges cannot be signed with a key the client does not have yet (or
    // with a nonce it must learn from them); every other answer must carry valid integrity.
    const bool challenge = error && (error->code == UnauthorizedCode || error->code == StaleNonceCode);
    if (!challenge && (!t.authenticated || !stun::checkIntegrity(message, credentials_.key)))
        return;
    transactions_.erase(it);
    if (error)
        handleError(t, *error, message, nowMs);
    else
        handleSuccess(t, message, nowMs);
}

void TurnClient::handleSuccess(const Transaction &t, const stun::Message &message, qint64 nowMs)
{
    const auto refreshIn = [this, &message, nowMs] {
        const quint32 seconds = std::min(message.lifetime().value_or(RequestedLifetimeS), MaxLifetimeS);
        lifetimeMs_ = qint64(seconds) * 1000;
        // Halfway through the grant: time for a retry on a lost answer, and it scales with a
        // server that grants less than asked.
        refreshDueMs_ = nowMs + std::max(lifetimeMs_ / 2, MinRefreshDelayMs);
    };
    switch (t.purpose) {
    case Purpose::Allocate: {
        const std::optional<stun::Endpoint> relayed = message.xorRelayedAddress();
        if (!relayed) {
            fail(QStringLiteral("no relayed address"));
            return;
        }
        relayed_ = *relayed;
        mapped_ = message.xorMappedAddress().value_or(stun::Endpoint{});
        state_ = State::Allocated;
        allocateDeadlineMs_ = -1;
        refreshIn();
        for (PermissionEntry &p : permissions_)
            if (p.dueMs >= 0)
                p.dueMs = nowMs;   // asked for while allocating
        break;
    }
    case Purpose::Refresh:
        refreshIn();
        break;
    case Purpose::Reclaim:
        openTransaction(Purpose::Allocate, nowMs, allocateDeadlineMs_);
        break;
    case Purpose::CreatePermission: {
        const auto it = permissions_.find(t.peer.address);
        if (it != permissions_.end()) {
            it->state = Permission::Granted;
            it->dueMs = nowMs + permissionPeriodMs_;
        }
        break;
    }
    case Purpose::ChannelBind: {
        const auto it = channels_.find(endpointKey(t.peer.address, t.peer.port));
        if (it != channels_.end() && !it->failed) {
            it->bound = true;
            it->dueMs = nowMs + channelPeriodMs_;
        }
        break;
    }
    }
}

void TurnClient::handleError(const Transaction &t, const stun::ErrorCode &error, const stun::Message &message,
                             qint64 nowMs)
{
    const qint64 giveUpMs = t.purpose == Purpose::Allocate || t.purpose == Purpose::Reclaim ? allocateDeadlineMs_
                                                                                             : t.giveUpMs;
    if (error.code == UnauthorizedCode && !t.authenticated && t.purpose == Purpose::Allocate) {
        if (message.realm().isEmpty() || message.nonce().isEmpty()) {
            fail(QStringLiteral("401 without realm or nonce"));
            return;
        }
        credentials_ = {config_.user, message.realm(), message.nonce(),
                        stun::longTermKey(config_.user, message.realm(), config_.password)};
        openTransaction(Purpose::Allocate, nowMs, giveUpMs);
        return;
    }
    if (error.code == StaleNonceCode && !t.staleRetried && !message.nonce().isEmpty() && !credentials_.isEmpty()) {
        credentials_.nonce = message.nonce();
        if (!message.realm().isEmpty() && message.realm() != credentials_.realm) {
            credentials_.realm = message.realm();
            credentials_.key = stun::longTermKey(config_.user, credentials_.realm, config_.password);
        }
        openTransaction(t.purpose, nowMs, giveUpMs, t.peer, t.channel, true);
        return;
    }
    if (error.code == AllocationMismatchCode && t.purpose == Purpose::Allocate && !reclaimed_) {
        // An allocation of an earlier run still holds our 5-tuple: release it, then allocate.
        reclaimed_ = true;
        openTransaction(Purpose::Reclaim, nowMs, giveUpMs);
        return;
    }
    if (t.purpose == Purpose::Reclaim) {
        // Whatever the answer, the old allocation is gone or was never there.
        openTransaction(Purpose::Allocate, nowMs, giveUpMs);
        return;
    }
    if (error.code == UnauthorizedCode && t.purpose == Purpose::Allocate) {
        giveUp(t, QStringLiteral("401 bad credentials"));
        return;
    }
    giveUp(t, describe(error));
}
