#include "matchtable.h"

#include "wire/signalwire.h"

namespace rendezvous {

using wire::signalling::ClientMessage;
using wire::signalling::ClientMessageType;
using wire::signalling::parseClientMessage;
using wire::signalling::registeredMessage;
using wire::signalling::peerMessage;
using wire::signalling::readyAckMessage;
using wire::signalling::failureAckMessage;

QByteArray endpointText(const Endpoint &endpoint)
{
    return endpoint.address.toString().toUtf8() + ':' + QByteArray::number(endpoint.port);
}

MatchTable::MatchTable(const TableLimits &tableLimits) : limits(tableLimits) {}

void MatchTable::notice(const QByteArray &line, TableOutput *out)
{
    // Junk and refusals come from anyone; cap their share of the log.
    if (noticesThisTick < limits.noticeLinesPerTick) {
        ++noticesThisTick;
        out->log.append(line);
    } else {
        ++suppressedNotices;
    }
}

void MatchTable::handleDatagram(const QByteArray &datagram, const Endpoint &sender, qint64 nowMs, TableOutput *out,
                                quint16 receivedOn)
{
    const std::optional<ClientMessage> message = parseClientMessage(datagram);
    if (!message) {
        notice("malformed " + endpointText(sender) + " bytes=" + QByteArray::number(datagram.size()), out);
        return;
    }
    switch (message->type) {
    case ClientMessageType::Register:
        handleRegister(message->matchId, message->side, sender, receivedOn, nowMs, out);
        break;
    case ClientMessageType::PeerAck:
        handlePeerAck(message->matchId, Endpoint{message->host, message->port}, sender, receivedOn, nowMs, out);
        break;
    case ClientMessageType::UdpReady:
        handleReport(true, message->matchId, message->side, sender, receivedOn, nowMs, out);
        break;
    case ClientMessageType::UdpFailed:
        handleReport(false, message->matchId, message->side, sender, receivedOn, nowMs, out);
        break;
    }
}

void MatchTable::handleRegister(const QByteArray &matchId, int sideNumber, const Endpoint &sender,
                                quint16 receivedOn, qint64 nowMs, TableOutput *out)
{
    const QByteArray sideText = QByteArray::number(sideNumber);
    auto it = matches.find(matchId);
    if (it == matches.end()) {
        if (matchCount() >= limits.maxMatches) {
            notice("refused " + matchId + ' ' + sideText + ' ' + endpointText(sender) + " table_full", out);
            return;
        }
        it = matches.insert(matchId, Match());
    }
    Match &match = it.value();

    int index = -1;
    for (int i = 0; i < match.sides.size(); ++i) {
        if (match.sides.at(i).number == sideNumber)
            index = i;
    }
    if (index < 0 && match.sides.size() >= 2) {
        notice("refused " + matchId + ' ' + sideText + ' ' + endpointText(sender) + " match_full", out);
        return;
    }

    match.lastActivityMs = nowMs;
    out->datagrams.append({registeredMessage(matchId, sideNumber), sender, receivedOn});

    if (index < 0) {
        Side side;
        side.number = sideNumber;
        side.endpoint = sender;
        side.serverPort = receivedOn;
        match.sides.append(side);
        index = int(match.sides.size()) - 1;
        out->log.append("registered " + matchId + ' ' + sideText + ' ' + endpointText(sender));
        if (match.sides.size() == 2) {
            out->log.append("paired " + matchId + ' ' + endpointText(match.sides.at(0).endpoint) + ' '
                            + endpointText(match.sides.at(1).endpoint));
            startAnnouncing(matchId, match, 0, nowMs, out);
            startAnnouncing(matchId, match, 1, nowMs, out);
        }
        return;
    }

    match.sides[index].serverPort = receivedOn;
    const bool moved = match.sides.at(index).endpoint != sender;
    if (moved) {
        out->log.append("rebound " + matchId + ' ' + sideText + ' ' + endpointText(match.sides.at(index).endpoint)
                        + " -> " + endpointText(sender));
        match.sides[index].endpoint = sender;
    }
    if (match.sides.size() < 2)
        return;
    // A register after pairing means the side lost its announcement or restarted: tell it
    // again. When it moved, the other side needs the new endpoint as well.
    startAnnouncing(matchId, match, index, nowMs, out);
    if (moved)
        startAnnouncing(matchId, match, 1 - index, nowMs, out);
}

void MatchTable::startAnnouncing(const QByteArray &matchId, Match &match, int sideIndex, qint64 nowMs,
                                 TableOutput *out)
{
    Side &side = match.sides[sideIndex];
    side.announcing = true;
    side.announcesSent = 0;
    sendAnnouncement(matchId, match, side, nowMs, out);
}

void MatchTable::sendAnnouncement(const QByteArray &matchId, const Match &match, Side &side, qint64 nowMs,
                                  TableOutput *out)
{
    const Side &other = match.sides.at(match.sides.at(0).number == side.number ? 1 : 0);
    if (side.announcesSent == 0) {
        out->log.append("announce " + matchId + ' ' + QByteArray::number(side.number) + ' '
                        + endpointText(side.endpoint) + " peer=" + endpointText(other.endpoint));
    }
    out->datagrams.append(
        {peerMessage(matchId, other.endpoint.address, other.endpoint.port), side.endpoint, side.serverPort});
    ++side.announcesSent;
    side.nextAnnounceMs = nowMs + limits.announceIntervalMs;
}

void MatchTable::handlePeerAck(const QByteArray &matchId, const Endpoint &announced, const Endpoint &sender,
                               quint16 receivedOn, qint64 nowMs, TableOutput *out)
{
    auto it = matches.find(matchId);
    if (it == matches.end() || it->sides.size() < 2) {
        notice("stale_ack " + matchId + ' ' + endpointText(sender) + " unknown_match", out);
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
        match.lastActivityMs = nowMs;
        side.serverPort = receivedOn;
        if (side.announcing) {
            side.announcing = false;
            out->log.append("peer_ack " + matchId + ' ' + QByteArray::number(side.number) + ' '
                            + endpointText(sender) + " after=" + QByteArray::number(side.announcesSent));
        }
        return;
    }
    notice("stale_ack " + matchId + ' ' + endpointText(sender) + " peer=" + endpointText(announced), out);
}

void MatchTable::handleReport(bool ready, const QByteArray &matchId, int sideNumber, const Endpoint &sender,
                              quint16 receivedOn, qint64 nowMs, TableOutput *out)
{
    const QByteArray sideText = QByteArray::number(sideNumber);
    // Acknowledge even for a match we no longer hold: the proxy repeats until it hears one,
    // and the answer is no larger than the question.
    out->datagrams.append({ready ? readyAckMessage(matchId, sideNumber) : failureAckMessage(matchId, sideNumber),
                           sender, receivedOn});
    QByteArray state = "unknown_match";
    auto it = matches.find(matchId);
    if (it != matches.end()) {
        for (Side &side : it->sides) {
            if (side.number == sideNumber) {
                it->lastActivityMs = nowMs;
                state = side.endpoint.address == sender.address ? QByteArray("known") : QByteArray("other_host");
                if (state == "known")
                    side.serverPort = receivedOn;
            }
        }
        if (state == "unknown_match")
            state = "unknown_side";
    }
    const QByteArray line = (ready ? "ready " : "failed ") + matchId + ' ' + sideText + ' ' + endpointText(sender)
                            + ' ' + state;
    if (state == "known")
        out->log.append(line);
    else
        notice(line, out);
}

void MatchTable::tick(qint64 nowMs, TableOutput *out)
{
    if (suppressedNotices > 0)
        out->log.append("suppressed " + QByteArray::number(suppressedNotices));
    suppressedNotices = 0;
    noticesThisTick = 0;

    for (auto it = matches.begin(); it != matches.end();) {
        Match &match = it.value();
        if (nowMs - match.lastActivityMs >= limits.idleTimeoutMs) {
            out->log.append("expired " + it.key() + " sides=" + QByteArray::number(match.sides.size()));
            it = matches.erase(it);
            continue;
        }
        if (match.sides.size() == 2) {
            for (Side &side : match.sides) {
                if (!side.announcing || nowMs < side.nextAnnounceMs)
                    continue;
                if (side.announcesSent >= limits.announceRepeats) {
                    side.announcing = false;
                    out->log.append("announce_exhausted " + it.key() + ' ' + QByteArray::number(side.number) + ' '
                                    + endpointText(side.endpoint));
                    continue;
                }
                sendAnnouncement(it.key(), match, side, nowMs, out);
            }
        }
        ++it;
    }
}

} // namespace rendezvous
