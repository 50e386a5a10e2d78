// STUN messages and ChannelData come from the TURN server's address, which anyone can forge:
// any bytes must parse or be refused without fault, every attribute the parser keeps must lie
// inside the message, what parses must survive being encoded again, and a relay client fed
// them must stay within them.
#include "fuzzcheck.h"
#include "proxy/turnclient.h"
#include "wire/stunwire.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>

namespace stun = wire::stun;

namespace {

const QByteArray Key = stun::longTermKey("user", "kivra", "pass");

bool sameEndpoint(const std::optional<stun::Endpoint> &a, const std::optional<stun::Endpoint> &b)
{
    if (!a || !b)
        return !a && !b;
    return a->port == b->port && a->address.isEqual(b->address, QHostAddress::ConvertV4MappedToIPv4);
}

void checkMessage(const char *data, qint64 size)
{
    const std::optional<stun::Message> message = stun::parse(data, size);
    FUZZ_CHECK(!message || stun::looksLikeStun(data, size), "only what looks like STUN parses");
    if (!message)
        return;
    FUZZ_CHECK(message->raw.size() == size && message->transactionId.size() == stun::TransactionIdBytes,
               "the message and its transaction id are kept whole");
    QList<stun::RawAttribute> attributes;
    for (const stun::Attribute &a : message->attributes) {
        FUZZ_CHECK(a.offset >= stun::HeaderBytes + 4 && a.offset + a.length <= size, "attributes lie inside");
        FUZZ_CHECK(a.type != stun::attribute::MessageIntegrity && a.type != stun::attribute::Fingerprint,
                   "integrity and fingerprint are not kept as attributes");
        attributes.append({a.type, message->raw.mid(a.offset, a.length)});
    }
    if (message->integrityOffset >= 0)
        FUZZ_CHECK(message->integrityOffset + 24 <= size, "MESSAGE-INTEGRITY lies inside");
    (void)stun::checkIntegrity(*message, Key);
    (void)message->unknownRequired();
    const std::optional<stun::ErrorCode> error = message->errorCode();
    FUZZ_CHECK(!error || (error->code >= 300 && error->code <= 699), "error codes are 300..699");
    if (const std::optional<stun::Attribute> carried = message->data())
        FUZZ_CHECK(carried->offset + carried->length <= size, "DATA lies inside");

    // Encoded again (with our credentials and a fingerprint), it parses to the same attributes.
    const QByteArray again = stun::encode(message->method, message->messageClass, message->transactionId, attributes,
                                          stun::Credentials{{}, {}, {}, Key});
    if (again.isEmpty())
        return;   // too long once integrity and fingerprint are added
    const std::optional<stun::Message> back = stun::parse(again.constData(), again.size());
    FUZZ_CHECK(back && back->hasFingerprint && stun::checkIntegrity(*back, Key), "our own encoding parses, signed");
    FUZZ_CHECK(back->method == message->method && back->messageClass == message->messageClass, "same type");
    FUZZ_CHECK(back->attributes.size() == message->attributes.size(), "same attributes");
    for (int i = 0; i < back->attributes.size(); ++i)
        FUZZ_CHECK(back->raw.mid(back->attributes[i].offset, back->attributes[i].length) == attributes[i].value,
                   "same attribute values");
    FUZZ_CHECK(sameEndpoint(back->xorPeerAddress(), message->xorPeerAddress()), "same peer");

    // A decoded address encodes to one that decodes the same.
    if (const std::optional<stun::Endpoint> peer = message->xorPeerAddress()) {
        const QByteArray value = stun::xorAddressValue(*peer, message->transactionId);
        const QByteArray wrapped = stun::encode(stun::Method::Data, stun::Class::Indication, message->transactionId,
                                                {{stun::attribute::XorPeerAddress, value}});
        const std::optional<stun::Message> rewrapped = stun::parse(wrapped.constData(), wrapped.size());
        FUZZ_CHECK(rewrapped && sameEndpoint(rewrapped->xorPeerAddress(), peer), "XOR addresses round-trip");
    }
}

void checkChannelData(const char *data, qint64 size)
{
    const std::optional<stun::ChannelData> parsed = stun::parseChannelData(data, size);
    FUZZ_CHECK(!parsed || stun::looksLikeChannelData(data, size), "only what looks like ChannelData parses");
    if (!parsed)
        return;
    FUZZ_CHECK(parsed->channel >= stun::FirstChannel && parsed->channel <= stun::LastChannel, "channel range");
    FUZZ_CHECK(parsed->data == data + 4 && parsed->size <= size - 4, "payload lies inside");
    FUZZ_CHECK(!stun::looksLikeStun(data, size), "ChannelData is never STUN");
    const QByteArray again = stun::channelData(parsed->channel, parsed->data, parsed->size);
    FUZZ_CHECK(again == QByteArray(data, qsizetype(4 + parsed->size)), "ChannelData framing round-trips");
}

// The server's signed answer to the client's last request.
QByteArray answer(const QByteArray &request, const QList<stun::RawAttribute> &attributes, bool challenge = false)
{
    const std::optional<stun::Message> r = stun::parse(request.constData(), request.size());
    if (!r)
        return {};
    if (challenge)
        return stun::encode(r->method, stun::Class::ErrorResponse, r->transactionId,
                            {{stun::attribute::ErrorCode, stun::errorCodeValue(401, "Unauthorized")},
                             {stun::attribute::Realm, "kivra"},
                             {stun::attribute::Nonce, "n"}});
    return stun::encode(r->method, stun::Class::SuccessResponse, r->transactionId, attributes, {{}, {}, {}, Key});
}

// A client with an allocation, a permission for 127.0.0.2 and a channel to 127.0.0.2:7000;
// made once, copied for every input.
TurnClient makeClient(qint64 &now)
{
    const QHostAddress server(QStringLiteral("127.0.0.1"));
    const QHostAddress peer(QStringLiteral("127.0.0.2"));
    TurnClient client;
    const auto exchange = [&](const QList<stun::RawAttribute> &attributes, bool challenge = false) {
        const QList<QByteArray> out = client.takeOutgoing(now);
        FUZZ_CHECK(!out.isEmpty(), "a request is due");
        const QByteArray reply = answer(out.last(), attributes, challenge);
        client.handleServerDatagram(reply.constData(), reply.size(), now);
        now += 10;
    };
    client.start(TurnServerConfig{server, 3478, "user", "pass"}, now);
    exchange({}, true);
    exchange({{stun::attribute::XorRelayedAddress, stun::xorAddressValue({server, 50000}, QByteArray(12, '\0'))},
              {stun::attribute::Lifetime, stun::uint32Value(600)}});
    FUZZ_CHECK(client.state() == TurnClient::State::Allocated, "allocated");
    client.permit(peer, now);
    exchange({});
    for (int i = 0; i < 8; ++i)
        client.wrapForPeer(peer, 7000, "x", 1, now);
    exchange({});
    FUZZ_CHECK(client.channel(peer, 7000) == stun::FirstChannel, "channel bound");
    return client;
}

// Whatever the client hands on as a peer datagram lies inside the bytes it was given.
void checkClient(const char *data, qint64 size)
{
    static qint64 madeAt = 0;
    static const TurnClient prototype = makeClient(madeAt);
    TurnClient client = prototype;
    const TurnClient::PeerDatagram got = client.handleServerDatagram(data, size, madeAt);
    if (got.valid)
        FUZZ_CHECK(got.data >= data && got.size >= 0 && got.data + got.size <= data + size, "payload lies inside");
    (void)client.takeOutgoing(madeAt + 1000);
    FUZZ_CHECK(client.state() != TurnClient::State::Idle, "a datagram never ends the allocation silently");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    checkMessage(bytes, qint64(size));
    checkChannelData(bytes, qint64(size));
    checkClient(bytes, qint64(size));
    return 0;
}
