// The rendezvous server reads datagrams from anyone on the Internet: any bytes must parse
// without fault, what it accepts must be exactly what a proxy writes, and what it answers
// must read back on the proxy's side as the same match, side and endpoint.
#include "fuzzcheck.h"
#include "wire/signalwire.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

void checkAnswers(const wire::signalling::ClientMessage &message)
{
    using wire::signalling::SignalKind;
    const QString matchId = QString::fromUtf8(message.matchId);
    if (message.type == wire::signalling::ClientMessageType::PeerAck) {
        const QByteArray ack = wire::signalling::peerAckMessage(matchId, message.host, message.port);
        const auto reread = wire::signalling::parseClientMessage(ack);
        FUZZ_CHECK(reread && reread->type == message.type, "the proxy's own peer_ack is accepted");
        FUZZ_CHECK(reread->host == message.host && reread->port == message.port, "endpoint survives");
        // The server announces endpoints in the same text form: the proxy must read it back.
        const QByteArray peer = wire::signalling::peerMessage(message.matchId, message.host, message.port);
        const wire::signalling::SignalMessage announced = wire::signalling::parseSignalMessage(peer);
        FUZZ_CHECK(announced.kind == SignalKind::Peer, "announcement reads as peer");
        FUZZ_CHECK(announced.matchId == matchId, "announced match id survives");
        FUZZ_CHECK(announced.address == message.host && announced.port == message.port,
                   "announced endpoint survives");
        return;
    }
    const char *type = message.type == wire::signalling::ClientMessageType::Register   ? "register"
                       : message.type == wire::signalling::ClientMessageType::UdpReady ? "udp_ready"
                                                                                 : "udp_failed";
    const auto reread = wire::signalling::parseClientMessage(wire::signalling::signalMessage(type, message.matchId, message.side));
    FUZZ_CHECK(reread && reread->type == message.type, "the proxy's own message is accepted");
    FUZZ_CHECK(reread->matchId == message.matchId && reread->side == message.side, "match and side survive");

    const QByteArray answer = message.type == wire::signalling::ClientMessageType::Register
                                  ? wire::signalling::registeredMessage(message.matchId, message.side)
                              : message.type == wire::signalling::ClientMessageType::UdpReady
                                  ? wire::signalling::readyAckMessage(message.matchId, message.side)
                                  : wire::signalling::failureAckMessage(message.matchId, message.side);
    const wire::signalling::SignalMessage acknowledged = wire::signalling::parseSignalMessage(answer);
    const SignalKind expected = message.type == wire::signalling::ClientMessageType::Register   ? SignalKind::Registered
                                : message.type == wire::signalling::ClientMessageType::UdpReady ? SignalKind::ReadyAck
                                                                                          : SignalKind::FailureAck;
    FUZZ_CHECK(acknowledged.kind == expected, "the answer has the matching type");
    FUZZ_CHECK(acknowledged.matchId == matchId && acknowledged.side == message.side,
               "the proxy recognises its own acknowledgement");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    int value = 0;
    if (wire::signalling::parseCanonicalInt(datagram, &value))
        FUZZ_CHECK(QByteArray::number(value) == datagram, "a canonical number is written back the same");

    const auto message = wire::signalling::parseClientMessage(datagram);
    if (!message)
        return 0;
    FUZZ_CHECK(datagram.size() <= wire::signalling::MaxDatagramBytes, "long datagrams are dropped");
    FUZZ_CHECK(!message->matchId.isEmpty() && message->matchId.size() <= wire::signalling::MaxMatchIdBytes,
               "match ids are bounded");
    FUZZ_CHECK(!message->matchId.contains('/'), "a match id holds no separator");
    for (const char c : message->matchId)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "match ids are printable");
    checkAnswers(*message);
    return 0;
}
