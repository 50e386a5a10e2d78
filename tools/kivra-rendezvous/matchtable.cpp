#include "matchtable.h"

#include "wire/signalwire.h"

#include <algorithm>

namespace rendezvous {

using wire::signalling::ClientMessage;
using wire::signalling::ClientMessageType;
using wire::signalling::parseClientMessage;
using wire::signalling::registeredMessage;
using wire::signalling::peerMessage;
using wire::signalling::readyAckMessage;
using wire::signalling::failureAckMessage;

namespace {

// A sender that is no side gets its report answered from credit kept this long (ms): proxies
// repeat reports every 750 ms.
constexpr qint64 ReportCreditLifetimeMs = 5000;
// Full budgets are dropped this often (ms), so the map holds only addresses that drew lately.
constexpr qint64 BudgetSweepIntervalMs = 10000;

} // namespace

QByteArray endpointText(const Endpoint &endpoint)
{
    return endpoint.address.toString().toUtf8() + ':' + QByteArray::number(endpoint.port);
}

void LogLimiter::write(const QByteArray &line, qint64 nowMs, TableOutput *out)
{
    const qsizetype space = line.indexOf(' ');
    const QByteArray kind = space < 0 ? line : line.left(space);
    auto it = buckets.find(kind);
    if (it == buckets.end())
        it = buckets.insert(kind, Bucket{double(burst), nowMs});
    Bucket &bucket = it.value();
    if (nowMs > bucket.lastMs) {
        bucket.tokens = std::min(double(burst), bucket.tokens + double(nowMs - bucket.lastMs) / double(refillMs));
        bucket.lastMs = nowMs;
    }
    if (bucket.tokens >= 1.0) {
        bucket.tokens -= 1.0;
        out->log.append(line);
        return;
    }
    ++suppressed[kind];
    ++suppressedTotal;
}

void LogLimiter::summary(qint64 nowMs, TableOutput *out)
{
    if (suppressedTotal == 0 || (lastSummaryMs >= 0 && nowMs - lastSummaryMs < summaryIntervalMs))
        return;
    QByteArray line = "suppressed " + QByteArray::number(suppressedTotal);
    QList<QByteArray> kinds = suppressed.keys();
    std::sort(kinds.begin(), kinds.end());
    for (const QByteArray &kind : std::as_const(kinds))
        line += ' ' + kind + '=' + QByteArray::number(suppressed.value(kind));
    out->log.append(line);
    suppressed.clear();
    suppressedTotal = 0;
    lastSummaryMs = nowMs;
}

MatchTable::MatchTable(const TableLimits &tableLimits) : limits(tableLimits)
{
    limits.pendingLifetimeMs = std::min(limits.pendingLifetimeMs, limits.idleTimeoutMs);
    logLimiter.burst = limits.noticeLinesPerTick;
    logLimiter.summaryIntervalMs = limits.summaryIntervalMs;
}

void MatchTable::log(const QByteArray &line, qint64 nowMs, TableOutput *out)
{
    logLimiter.write(line, nowMs, out);
}

void MatchTable::send(const QByteArray &datagram, const Endpoint &to, quint16 fromSocket, TableOutput *out)
{
    ++totals.datagramsOut;
    totals.bytesOut += datagram.size();
    out->datagrams.append({datagram, to, fromSocket});
}

void MatchTable::handleDatagram(const QByteArray &datagram, const Endpoint &sender, qint64 nowMs, TableOutput *out,
                                quint16 receivedOn)
{
    ++totals.datagramsIn;
    totals.bytesIn += datagram.size();
    const std::optional<ClientMessage> message = parseClientMessage(datagram);
    if (!message) {
        log("malformed " + endpointText(sender) + " bytes=" + QByteArray::number(datagram.size()), nowMs, out);
        return;
    }
    const int size = int(datagram.size());
    switch (message->type) {
    case ClientMessageType::Register:
        handleRegister(message->matchId, message->side, sender, receivedOn, size, nowMs, out);
        break;
    case ClientMessageType::PeerAck:
        handlePeerAck(message->matchId, Endpoint{message->host, message->port}, sender, receivedOn, size, nowMs, out);
        break;
    case ClientMessageType::UdpReady:
        handleReport(true, message->matchId, message->side, sender, receivedOn, size, nowMs, out);
        break;
    case ClientMessageType::UdpFailed:
        handleReport(false, message->matchId, message->side, sender, receivedOn, size, nowMs, out);
        break;
    }
}

MatchTable::MatchMap::iterator MatchTable::createMatch(const QByteArray &matchId, const Endpoint &sender,
                                                       int sideNumber, qint64 nowMs, TableOutput *out)
{
    if (matchCount() >= limits.maxMatches) {
        if (pendingOrder.empty()) {
            log("refused " + matchId + ' ' + QByteArray::number(sideNumber) + ' ' + endpointText(sender)
                    + " table_full",
                nowMs, out);
            return matches.end();
        }
        // The oldest pending match makes room: a waiting proxy registers every 750 ms and
        // so stays young; a spoofed one-off does not.
        const auto oldest = matches.find(pendingOrder.begin()->second);
        if (oldest == matches.end()) { // cannot happen: every order key names a held match
            pendingOrder.erase(pendingOrder.begin());
            return createMatch(matchId, sender, sideNumber, nowMs, out);
        }
        log("evicted " + oldest.key() + " sides=" + QByteArray::number(oldest->sides.size()), nowMs, out);
        ++totals.evicted;
        removeMatch(oldest);
    }
    auto it = matches.insert(matchId, Match());
    it->lastActivityMs = nowMs;
    it->orderKey = nextOrderKey++;
    pendingOrder.emplace(it->orderKey, matchId);
    return it;
}

void MatchTable::touch(const QByteArray &matchId, Match &match, qint64 nowMs)
{
    match.lastActivityMs = nowMs;
    const bool pending = std::none_of(match.sides.cbegin(), match.sides.cend(),
                                      [](const Side &side) { return side.confirmed; });
    (match.pending ? pendingOrder : establishedOrder).erase(match.orderKey);
    match.orderKey = nextOrderKey++;
    match.pending = pending;
    (pending ? pendingOrder : establishedOrder).emplace(match.orderKey, matchId);
}

void MatchTable::removeMatch(MatchMap::iterator it)
{
    (it->pending ? pendingOrder : establishedOrder).erase(it->orderKey);
    announcingMatches.remove(it.key());
    for (const Side &side : std::as_const(it->sides)) {
        auto count = sidesPerAddress.find(side.endpoint.address);
        if (count != sidesPerAddress.end() && --count.value() <= 0)
            sidesPerAddress.erase(count);
    }
    matches.erase(it);
}

void MatchTable::handleRegister(const QByteArray &matchId, int sideNumber, const Endpoint &sender,
                                quint16 receivedOn, int size, qint64 nowMs, TableOutput *out)
{
    const QByteArray sideText = QByteArray::number(sideNumber);
    const auto refuse = [&](const char *why) {
        log("refused " + matchId + ' ' + sideText + ' ' + endpointText(sender) + ' ' + why, nowMs, out);
    };
    auto it = matches.find(matchId);
    if (it == matches.end()) {
        if (sidesPerAddress.value(sender.address) >= limits.maxSidesPerAddress) {
            refuse("address_full");
            return;
        }
        it = createMatch(matchId, sender, sideNumber, nowMs, out);
        if (it == matches.end())
            return;
    }
    Match &match = it.value();

    int index = -1;
    for (int i = 0; i < match.sides.size(); ++i) {
        if (match.sides.at(i).number == sideNumber)
            index = i;
    }
    if (index < 0 && match.sides.size() >= 2) {
        refuse("match_full");
        return;
    }

    if (index < 0) {
        if (sidesPerAddress.value(sender.address) >= limits.maxSidesPerAddress) {
            refuse("address_full");
            return;
        }
        Side side;
        side.number = sideNumber;
        side.endpoint = sender;
        side.serverSocket = receivedOn;
        side.bytesIn = size;
        side.lastHeardMs = nowMs;
        match.sides.append(side);
        ++sidesPerAddress[sender.address];
        touch(matchId, match, nowMs);
        log("registered " + matchId + ' ' + sideText + ' ' + endpointText(sender), nowMs, out);
        if (match.sides.size() == 2) {
            log("paired " + matchId + ' ' + endpointText(match.sides.at(0).endpoint) + ' '
                    + endpointText(match.sides.at(1).endpoint),
                nowMs, out);
            startAnnouncing(matchId, match, 0, nowMs, out);
            startAnnouncing(matchId, match, 1, nowMs, out);
        }
        return;
    }

    Side &side = match.sides[index];
    bool moved = false;
    if (side.endpoint != sender) {
        // The side stays with its host. A new port of that host is a moved NAT mapping or a
        // restarted proxy only when the old endpoint has stopped talking to us.
        if (side.endpoint.address != sender.address) {
            refuse("other_host");
            return;
        }
        if (nowMs - side.lastHeardMs < limits.rebindQuietMs) {
            refuse("endpoint_active");
            return;
        }
        log("rebound " + matchId + ' ' + sideText + ' ' + endpointText(side.endpoint) + " -> "
                + endpointText(sender),
            nowMs, out);
        // A new endpoint starts without credit: it has shown nothing yet.
        side.endpoint = sender;
        side.bytesIn = 0;
        side.bytesOut = 0;
        side.confirmed = false;
        moved = true;
    }
    side.bytesIn += size;
    side.lastHeardMs = nowMs;
    side.serverSocket = receivedOn;
    touch(matchId, match, nowMs);
    // "registered" only to an endpoint that showed it receives: an unconfirmed side keeps
    // registering (and so earns the credit for its announcement) until "peer" comes.
    if (side.confirmed)
        sendToSide(side, registeredMessage(matchId, sideNumber), nowMs, out);
    if (match.sides.size() < 2)
        return;
    if (moved) {
        startAnnouncing(matchId, match, index, nowMs, out);
        startAnnouncing(matchId, match, 1 - index, nowMs, out);
        return;
    }
    // A register after pairing: the side has not heard its announcement (yet), or restarted.
    if (!side.announcing) {
        // Given up on an unconfirmed side stays given up: its registers could be anyone's.
        if (side.confirmed || side.announcesSent < limits.announceRepeats)
            startAnnouncing(matchId, match, index, nowMs, out);
    } else if (side.announcesSent >= limits.announceRepeats) {
        side.announcing = false;
        log("announce_exhausted " + matchId + ' ' + sideText + ' ' + endpointText(side.endpoint), nowMs, out);
    } else {
        sendAnnouncement(matchId, match, side, nowMs, out);
    }
}

void MatchTable::startAnnouncing(const QByteArray &matchId, Match &match, int sideIndex, qint64 nowMs,
                                 TableOutput *out)
{
    Side &side = match.sides[sideIndex];
    side.announcing = true;
    side.announcesSent = 0;
    side.nextAnnounceMs = nowMs;
    // Only a confirmed side gets repeats on the clock; an unconfirmed one gets its repeats
    // as answers to its own registers, which pay for them.
    if (side.confirmed)
        announcingMatches.insert(matchId);
    sendAnnouncement(matchId, match, side, nowMs, out);
}

bool MatchTable::sendAnnouncement(const QByteArray &matchId, Match &match, Side &side, qint64 nowMs,
                                  TableOutput *out)
{
    const Side &other = match.sides.at(match.sides.at(0).number == side.number ? 1 : 0);
    if (!sendToSide(side, peerMessage(matchId, other.endpoint.address, other.endpoint.port), nowMs, out))
        return false;
    if (side.announcesSent == 0) {
        log("announce " + matchId + ' ' + QByteArray::number(side.number) + ' ' + endpointText(side.endpoint)
                + " peer=" + endpointText(other.endpoint),
            nowMs, out);
    }
    ++side.announcesSent;
    side.nextAnnounceMs = nowMs + limits.announceIntervalMs;
    return true;
}

bool MatchTable::sendToSide(Side &side, const QByteArray &datagram, qint64 nowMs, TableOutput *out)
{
    const qint64 size = datagram.size();
    if (side.bytesOut + size <= side.bytesIn) {
        side.bytesOut += size;
        send(datagram, side.endpoint, side.serverSocket, out);
        return true;
    }
    if (!side.confirmed) {
        ++totals.withheld;
        return false;
    }
    auto it = budgets.find(side.endpoint.address);
    if (it == budgets.end())
        it = budgets.insert(side.endpoint.address, Budget{double(limits.addressBudgetBurstBytes), nowMs});
    Budget &budget = it.value();
    if (nowMs > budget.lastMs) {
        budget.bytes = std::min(double(limits.addressBudgetBurstBytes),
                                budget.bytes + double(nowMs - budget.lastMs) * double(limits.addressBudgetBytesPerSecond)
                                                   / 1000.0);
        budget.lastMs = nowMs;
    }
    if (budget.bytes < double(size)) {
        ++totals.withheld;
        return false;
    }
    budget.bytes -= double(size);
    send(datagram, side.endpoint, side.serverSocket, out);
    return true;
}

void MatchTable::handlePeerAck(const QByteArray &matchId, const Endpoint &announced, const Endpoint &sender,
                               quint16 receivedOn, int size, qint64 nowMs, TableOutput *out)
{
    auto it = matches.find(matchId);
    if (it == matches.end() || it->sides.size() < 2) {
        log("stale_ack " + matchId + ' ' + endpointText(sender) + " unknown_match", nowMs, out);
        return;
    }
    Match &match = it.value();
    for (int i = 0; i < 2; ++i) {
        Side &side = match.sides[i];
        const Side &other = match.sides.at(1 - i);
        // The ack must name the endpoint currently announced to this side and come from its
        // host (its port may differ: a proxy can rebind while it punches).
        if (other.endpoint != announced || side.endpoint.address != sender.address)
            continue;
        side.serverSocket = receivedOn;
        // Only the endpoint we announced to proves with its ack that it receives from us.
        if (side.endpoint == sender) {
            side.bytesIn += size;
            side.lastHeardMs = nowMs;
            side.confirmed = true;
        }
        touch(matchId, match, nowMs);
        if (side.announcing) {
            side.announcing = false;
            log("peer_ack " + matchId + ' ' + QByteArray::number(side.number) + ' ' + endpointText(sender)
                    + " after=" + QByteArray::number(side.announcesSent),
                nowMs, out);
        }
        return;
    }
    log("stale_ack " + matchId + ' ' + endpointText(sender) + " peer=" + endpointText(announced), nowMs, out);
}

void MatchTable::handleReport(bool ready, const QByteArray &matchId, int sideNumber, const Endpoint &sender,
                              quint16 receivedOn, int size, qint64 nowMs, TableOutput *out)
{
    const QByteArray sideText = QByteArray::number(sideNumber);
    // Acknowledged even for a match we no longer hold: the proxy repeats until it hears one.
    const QByteArray answer = ready ? readyAckMessage(matchId, sideNumber) : failureAckMessage(matchId, sideNumber);
    QByteArray state = "unknown_match";
    bool answered = false;
    bool fromSide = false;
    auto it = matches.find(matchId);
    if (it != matches.end()) {
        state = "unknown_side";
        for (Side &side : it->sides) {
            if (side.number != sideNumber)
                continue;
            if (side.endpoint.address != sender.address) {
                state = "other_host";
                continue;
            }
            state = "known";
            side.serverSocket = receivedOn;
            touch(matchId, it.value(), nowMs);
            if (side.endpoint == sender) {
                side.bytesIn += size;
                side.lastHeardMs = nowMs;
                fromSide = true;
                answered = sendToSide(side, answer, nowMs, out);
            }
        }
    }
    if (!fromSide) {
        // No side's credit to draw on: a small fixed table of what each sender sent lately.
        const size_t key = qHash(sender.address, size_t(sender.port) * 2654435761u);
        ReportCredit &credit = reportCredits[key % ReportCreditSlots];
        if (credit.key != key || nowMs - credit.lastMs > ReportCreditLifetimeMs)
            credit = ReportCredit{key, 0, nowMs};
        credit.bytes += size;
        credit.lastMs = nowMs;
        if (credit.bytes >= answer.size()) {
            credit.bytes -= answer.size();
            send(answer, sender, receivedOn, out);
            answered = true;
        } else {
            ++totals.withheld;
        }
    }
    log((ready ? "ready " : "failed ") + matchId + ' ' + sideText + ' ' + endpointText(sender) + ' ' + state
            + (answered ? "" : " unanswered"),
        nowMs, out);
}

void MatchTable::expire(std::map<quint64, QByteArray> &order, qint64 lifetimeMs, const char *state, qint64 nowMs,
                        TableOutput *out)
{
    while (!order.empty()) {
        const auto it = matches.find(order.begin()->second);
        if (it == matches.end()) { // cannot happen: every order key names a held match
            order.erase(order.begin());
            continue;
        }
        if (nowMs - it->lastActivityMs < lifetimeMs)
            return;
        log("expired " + it.key() + " sides=" + QByteArray::number(it->sides.size()) + ' ' + state, nowMs, out);
        removeMatch(it);
    }
}

void MatchTable::tick(qint64 nowMs, TableOutput *out)
{
    logLimiter.summary(nowMs, out);
    if (nowMs - lastSummaryMs >= limits.summaryIntervalMs) {
        if (totals.datagramsIn != atLastSummary.datagramsIn) {
            out->log.append("summary datagrams_in=" + QByteArray::number(totals.datagramsIn - atLastSummary.datagramsIn)
                            + " bytes_in=" + QByteArray::number(totals.bytesIn - atLastSummary.bytesIn)
                            + " datagrams_out=" + QByteArray::number(totals.datagramsOut - atLastSummary.datagramsOut)
                            + " bytes_out=" + QByteArray::number(totals.bytesOut - atLastSummary.bytesOut)
                            + " withheld=" + QByteArray::number(totals.withheld - atLastSummary.withheld)
                            + " evicted=" + QByteArray::number(totals.evicted - atLastSummary.evicted)
                            + " matches=" + QByteArray::number(matchCount())
                            + " pending=" + QByteArray::number(pendingCount()));
        }
        atLastSummary = totals;
        lastSummaryMs = nowMs;
    }

    expire(pendingOrder, limits.pendingLifetimeMs, "pending", nowMs, out);
    expire(establishedOrder, limits.idleTimeoutMs, "established", nowMs, out);

    for (auto it = announcingMatches.begin(); it != announcingMatches.end();) {
        const auto found = matches.find(*it);
        bool running = false;
        if (found != matches.end() && found->sides.size() == 2) {
            for (Side &side : found->sides) {
                if (!side.announcing || !side.confirmed)
                    continue;
                if (nowMs >= side.nextAnnounceMs) {
                    if (side.announcesSent >= limits.announceRepeats) {
                        side.announcing = false;
                        log("announce_exhausted " + found.key() + ' ' + QByteArray::number(side.number) + ' '
                                + endpointText(side.endpoint),
                            nowMs, out);
                        continue;
                    }
                    sendAnnouncement(found.key(), found.value(), side, nowMs, out);
                }
                running = true;
            }
        }
        it = running ? std::next(it) : announcingMatches.erase(it);
    }

    if (nowMs - lastBudgetSweepMs >= BudgetSweepIntervalMs) {
        lastBudgetSweepMs = nowMs;
        for (auto it = budgets.begin(); it != budgets.end();) {
            const double refilled = it->bytes + double(nowMs - it->lastMs) * double(limits.addressBudgetBytesPerSecond)
                                                    / 1000.0;
            it = refilled >= double(limits.addressBudgetBurstBytes) ? budgets.erase(it) : std::next(it);
        }
    }
}

} // namespace rendezvous
