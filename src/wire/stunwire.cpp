#include "wire/stunwire.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>
#include <array>

namespace wire::stun {
namespace {

constexpr int AttributeHeaderBytes = 4;   // type, length
constexpr int IntegrityBytes = 20;        // HMAC-SHA1
constexpr int IntegrityAttributeBytes = AttributeHeaderBytes + IntegrityBytes;
constexpr int FingerprintAttributeBytes = AttributeHeaderBytes + 4;
constexpr quint32 FingerprintXor = 0x5354554e;   // "STUN": tells a FINGERPRINT from a bare CRC
constexpr int MaxBodyBytes = 0xFFFF;             // bytes: the 16-bit length field
constexpr quint16 ComprehensionOptionalFrom = 0x8000;
constexpr quint8 FamilyIpv4 = 0x01;
constexpr quint8 FamilyIpv6 = 0x02;
constexpr int Ipv4ValueBytes = 8;    // reserved, family, port, address
constexpr int Ipv6ValueBytes = 20;
constexpr int MinErrorCode = 300;    // ERROR-CODE classes 3..6
constexpr int MaxErrorCode = 699;
constexpr quint8 FirstChannelByte = 0x40;   // ChannelData: first two bits 01
constexpr quint8 LastChannelByte = 0x7F;

// The reflected CRC-32 (polynomial 0xEDB88320) FINGERPRINT is defined with.
constexpr std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}
constexpr std::array<quint32, 256> CrcTable = makeCrcTable();

quint16 readU16(const char *p) { return qFromBigEndian<quint16>(p); }
quint32 readU32(const char *p) { return qFromBigEndian<quint32>(p); }

void appendU16(QByteArray &out, quint16 v)
{
    char b[2];
    qToBigEndian(v, b);
    out.append(b, 2);
}

void appendU32(QByteArray &out, quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

void appendAttribute(QByteArray &out, quint16 type, const char *value, qint64 size)
{
    appendU16(out, type);
    appendU16(out, quint16(size));
    out.append(value, qsizetype(size));
    out.append(qsizetype((4 - size % 4) % 4), '\0');
}

void setLength(QByteArray &message, int bodyBytes)
{
    qToBigEndian(quint16(bodyBytes), message.data() + 2);
}

QByteArray integrityOver(const QByteArray &key, const char *data, int upTo)
{
    // The length field as if the message ended with MESSAGE-INTEGRITY.
    QByteArray covered(data, upTo);
    setLength(covered, upTo + IntegrityAttributeBytes - HeaderBytes);
    return QMessageAuthenticationCode::hash(covered, key, QCryptographicHash::Sha1);
}

} // namespace

bool Message::has(quint16 type) const
{
    for (const Attribute &a : attributes)
        if (a.type == type)
            return true;
    return false;
}

QByteArray Message::value(quint16 type) const
{
    for (const Attribute &a : attributes)
        if (a.type == type)
            return raw.mid(a.offset, a.length);
    return {};
}

std::optional<Endpoint> Message::xorAddress(quint16 type) const
{
    for (const Attribute &a : attributes) {
        if (a.type != type)
            continue;
        const char *v = raw.constData() + a.offset;
        if (a.length < 4)
            return std::nullopt;
        const quint8 family = quint8(v[1]);
        Endpoint endpoint;
        endpoint.port = quint16(readU16(v + 2) ^ (MagicCookie >> 16));
        if (family == FamilyIpv4 && a.length == Ipv4ValueBytes) {
            endpoint.address = QHostAddress(readU32(v + 4) ^ MagicCookie);
        } else if (family == FamilyIpv6 && a.length == Ipv6ValueBytes) {
            Q_IPV6ADDR address;
            const QByteArray mask = raw.mid(4, 4 + TransactionIdBytes);   // cookie, transaction id
            for (int i = 0; i < 16; ++i)
                address[i] = quint8(v[4 + i] ^ mask.at(i));
            endpoint.address = QHostAddress(address);
        } else {
            return std::nullopt;
        }
        return endpoint;
    }
    return std::nullopt;
}

std::optional<quint32> Message::lifetime() const
{
    for (const Attribute &a : attributes)
        if (a.type == attribute::Lifetime)
            return a.length == 4 ? std::optional<quint32>(readU32(raw.constData() + a.offset)) : std::nullopt;
    return std::nullopt;
}

std::optional<ErrorCode> Message::errorCode() const
{
    for (const Attribute &a : attributes) {
        if (a.type != attribute::ErrorCode)
            continue;
        if (a.length < 4)
            return std::nullopt;
        const char *v = raw.constData() + a.offset;
        const int number = quint8(v[3]);
        const int code = (quint8(v[2]) & 0x07) * 100 + number;
        if (number > 99 || code < MinErrorCode || code > MaxErrorCode)
            return std::nullopt;
        return ErrorCode{code, QByteArray(v + 4, a.length - 4)};
    }
    return std::nullopt;
}

std::optional<quint16> Message::channelNumber() const
{
    for (const Attribute &a : attributes)
        if (a.type == attribute::ChannelNumber)
            return a.length == 4 ? std::optional<quint16>(readU16(raw.constData() + a.offset)) : std::nullopt;
    return std::nullopt;
}

std::optional<Attribute> Message::data() const
{
    for (const Attribute &a : attributes)
        if (a.type == attribute::Data)
            return a;
    return std::nullopt;
}

QList<quint16> Message::unknownRequired() const
{
    namespace a = attribute;
    static constexpr quint16 Known[] = {a::MappedAddress,     a::Username,       a::MessageIntegrity, a::ErrorCode,
                                        a::UnknownAttributes, a::ChannelNumber,  a::Lifetime,         a::XorPeerAddress,
                                        a::Data,              a::Realm,          a::Nonce,            a::XorRelayedAddress,
                                        a::RequestedTransport, a::XorMappedAddress};
    QList<quint16> unknown;
    for (const Attribute &each : attributes) {
        if (each.type >= ComprehensionOptionalFrom)
            continue;
        if (std::find(std::begin(Known), std::end(Known), each.type) == std::end(Known) && !unknown.contains(each.type))
            unknown.append(each.type);
    }
    return unknown;
}

QByteArray longTermKey(const QByteArray &username, const QByteArray &realm, const QByteArray &password)
{
    return QCryptographicHash::hash(username + ':' + realm + ':' + password, QCryptographicHash::Md5);
}

QByteArray newTransactionId()
{
    std::array<quint32, TransactionIdBytes / 4> words;
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    return QByteArray(reinterpret_cast<const char *>(words.data()), TransactionIdBytes);
}

quint16 messageType(Method method, Class messageClass)
{
    const quint16 m = quint16(method) & 0x0FFF;
    const quint16 c = quint16(messageClass);
    return quint16((m & 0x000F) | ((m & 0x0070) << 1) | ((m & 0x0F80) << 2) | ((c & 0x1) << 4) | ((c & 0x2) << 7));
}

quint32 fingerprintOf(const char *data, qint64 size)
{
    quint32 crc = 0xFFFFFFFFu;
    for (qint64 i = 0; i < size; ++i)
        crc = CrcTable[(crc ^ quint8(data[i])) & 0xFF] ^ (crc >> 8);
    return (crc ^ 0xFFFFFFFFu) ^ FingerprintXor;
}

bool looksLikeStun(const char *data, qint64 size)
{
    if (!data || size < HeaderBytes || size > HeaderBytes + MaxBodyBytes)
        return false;
    if ((quint8(data[0]) & 0xC0) != 0 || readU32(data + 4) != MagicCookie)
        return false;
    const quint16 length = readU16(data + 2);
    return length % 4 == 0 && HeaderBytes + qint64(length) == size;
}

bool looksLikeChannelData(const char *data, qint64 size)
{
    if (!data || size < ChannelHeaderBytes)
        return false;
    const quint8 first = quint8(data[0]);
    return first >= FirstChannelByte && first <= LastChannelByte && readU16(data + 2) <= size - ChannelHeaderBytes;
}

std::optional<Message> parse(const char *data, qint64 size)
{
    if (!looksLikeStun(data, size))
        return std::nullopt;
    Message message;
    const quint16 type = readU16(data);
    const quint16 method = quint16((type & 0x000F) | ((type & 0x00E0) >> 1) | ((type & 0x3E00) >> 2));
    message.method = Method(method);
    message.messageClass = Class(((type & 0x0010) >> 4) | ((type & 0x0100) >> 7));
    message.transactionId = QByteArray(data + 8, TransactionIdBytes);
    message.raw = QByteArray(data, qsizetype(size));

    const int total = int(size);
    int pos = HeaderBytes;
    while (pos < total) {
        if (message.hasFingerprint)
            return std::nullopt;   // FINGERPRINT must be last
        if (total - pos < AttributeHeaderBytes)
            return std::nullopt;
        const quint16 attrType = readU16(data + pos);
        const quint16 length = readU16(data + pos + 2);
        const int padded = (int(length) + 3) & ~3;
        if (padded > total - pos - AttributeHeaderBytes)
            return std::nullopt;
        const int valueOffset = pos + AttributeHeaderBytes;
        if (attrType == attribute::Fingerprint) {
            if (length != 4 || readU32(data + valueOffset) != fingerprintOf(data, pos))
                return std::nullopt;
            message.hasFingerprint = true;
        } else if (message.integrityOffset >= 0) {
            // Anything between MESSAGE-INTEGRITY and FINGERPRINT is not covered: ignored.
        } else if (attrType == attribute::MessageIntegrity) {
            if (length != IntegrityBytes)
                return std::nullopt;
            message.integrityOffset = pos;
        } else {
            message.attributes.append(Attribute{attrType, length, valueOffset});
        }
        pos = valueOffset + padded;
    }
    return message;
}

bool checkIntegrity(const Message &message, const QByteArray &key)
{
    const int at = message.integrityOffset;
    if (at < HeaderBytes || at + IntegrityAttributeBytes > message.raw.size() || key.isEmpty())
        return false;
    const QByteArray expected = integrityOver(key, message.raw.constData(), at);
    return expected == QByteArray::fromRawData(message.raw.constData() + at + AttributeHeaderBytes, IntegrityBytes);
}

bool checkIntegrity(const char *data, qint64 size, const QByteArray &key)
{
    const std::optional<Message> message = parse(data, size);
    return message && checkIntegrity(*message, key);
}

QByteArray encode(Method method, Class messageClass, const QByteArray &transactionId,
                  const QList<RawAttribute> &attributes, const Credentials &credentials, bool fingerprint)
{
    if (transactionId.size() != TransactionIdBytes)
        return {};
    QByteArray out;
    appendU16(out, messageType(method, messageClass));
    appendU16(out, 0);
    appendU32(out, MagicCookie);
    out.append(transactionId);
    qint64 budget = MaxBodyBytes - (credentials.isEmpty() ? 0 : IntegrityAttributeBytes)
                    - (fingerprint ? FingerprintAttributeBytes : 0);
    const auto add = [&](quint16 type, const QByteArray &value) {
        const qint64 bytes = AttributeHeaderBytes + ((value.size() + 3) & ~qint64(3));
        if (value.size() > MaxBodyBytes || bytes > budget)
            return false;
        budget -= bytes;
        appendAttribute(out, type, value.constData(), value.size());
        return true;
    };
    for (const RawAttribute &a : attributes)
        if (!add(a.type, a.value))
            return {};
    if (!credentials.isEmpty()) {
        if (!credentials.username.isEmpty() && !add(attribute::Username, credentials.username))
            return {};
        if (!credentials.nonce.isEmpty() && !add(attribute::Nonce, credentials.nonce))
            return {};
        if (!credentials.realm.isEmpty() && !add(attribute::Realm, credentials.realm))
            return {};
        const QByteArray mac = integrityOver(credentials.key, out.constData(), int(out.size()));
        appendAttribute(out, attribute::MessageIntegrity, mac.constData(), mac.size());
    }
    if (fingerprint) {
        setLength(out, int(out.size()) + FingerprintAttributeBytes - HeaderBytes);
        const quint32 crc = fingerprintOf(out.constData(), out.size());
        appendU16(out, attribute::Fingerprint);
        appendU16(out, 4);
        appendU32(out, crc);
    }
    setLength(out, int(out.size()) - HeaderBytes);
    return out;
}

QByteArray xorAddressValue(const Endpoint &endpoint, const QByteArray &transactionId)
{
    QByteArray value;
    bool isV4 = false;
    const quint32 v4 = endpoint.address.toIPv4Address(&isV4);
    value.append('\0');
    value.append(char(isV4 ? FamilyIpv4 : FamilyIpv6));
    appendU16(value, quint16(endpoint.port ^ (MagicCookie >> 16)));
    if (isV4) {
        appendU32(value, v4 ^ MagicCookie);
        return value;
    }
    QByteArray mask;
    appendU32(mask, MagicCookie);
    mask.append(transactionId.left(TransactionIdBytes));
    mask.append(TransactionIdBytes - qMin<qsizetype>(TransactionIdBytes, transactionId.size()), '\0');
    const Q_IPV6ADDR address = endpoint.address.toIPv6Address();
    for (int i = 0; i < 16; ++i)
        value.append(char(address[i] ^ quint8(mask.at(i))));
    return value;
}

QByteArray errorCodeValue(int code, const QByteArray &reason)
{
    QByteArray value;
    appendU16(value, 0);
    value.append(char((code / 100) & 0x07));
    value.append(char(code % 100));
    value.append(reason);
    return value;
}

QByteArray uint32Value(quint32 v)
{
    QByteArray value;
    appendU32(value, v);
    return value;
}

QByteArray bindingRequest(const QByteArray &transactionId)
{
    return encode(Method::Binding, Class::Request, transactionId, {});
}

QByteArray allocateRequest(const QByteArray &transactionId, quint32 lifetimeS, const Credentials &credentials)
{
    QList<RawAttribute> attributes{{attribute::RequestedTransport, QByteArray(1, char(TransportUdp)) + QByteArray(3, '\0')}};
    if (lifetimeS > 0)
        attributes.append({attribute::Lifetime, uint32Value(lifetimeS)});
    return encode(Method::Allocate, Class::Request, transactionId, attributes, credentials);
}

QByteArray refreshRequest(const QByteArray &transactionId, quint32 lifetimeS, const Credentials &credentials)
{
    return encode(Method::Refresh, Class::Request, transactionId, {{attribute::Lifetime, uint32Value(lifetimeS)}},
                  credentials);
}

QByteArray createPermissionRequest(const QByteArray &transactionId, const QList<QHostAddress> &peers,
                                   const Credentials &credentials)
{
    QList<RawAttribute> attributes;
    for (const QHostAddress &peer : peers)
        attributes.append({attribute::XorPeerAddress, xorAddressValue({peer, 0}, transactionId)});
    return encode(Method::CreatePermission, Class::Request, transactionId, attributes, credentials);
}

QByteArray channelBindRequest(const QByteArray &transactionId, quint16 channel, const Endpoint &peer,
                              const Credentials &credentials)
{
    QByteArray number;
    appendU16(number, channel);
    appendU16(number, 0);
    return encode(Method::ChannelBind, Class::Request, transactionId,
                  {{attribute::ChannelNumber, number}, {attribute::XorPeerAddress, xorAddressValue(peer, transactionId)}},
                  credentials);
}

QByteArray sendIndication(const QByteArray &transactionId, const Endpoint &peer, const char *data, qint64 size)
{
    if (size < 0 || size > MaxBodyBytes)
        return {};
    return encode(Method::Send, Class::Indication, transactionId,
                  {{attribute::XorPeerAddress, xorAddressValue(peer, transactionId)},
                   {attribute::Data, QByteArray(data, qsizetype(size))}});
}

QByteArray dataIndication(const QByteArray &transactionId, const Endpoint &peer, const char *data, qint64 size)
{
    if (size < 0 || size > MaxBodyBytes)
        return {};
    return encode(Method::Data, Class::Indication, transactionId,
                  {{attribute::XorPeerAddress, xorAddressValue(peer, transactionId)},
                   {attribute::Data, QByteArray(data, qsizetype(size))}});
}

QByteArray channelData(quint16 channel, const char *data, qint64 size, bool padded)
{
    if (size < 0 || size > MaxBodyBytes)
        return {};
    QByteArray out;
    out.reserve(qsizetype(ChannelHeaderBytes + size + 3));
    appendU16(out, channel);
    appendU16(out, quint16(size));
    out.append(data, qsizetype(size));
    if (padded)
        out.append(qsizetype((4 - size % 4) % 4), '\0');
    return out;
}

std::optional<ChannelData> parseChannelData(const char *data, qint64 size)
{
    if (!looksLikeChannelData(data, size))
        return std::nullopt;
    const quint16 channel = readU16(data);
    if (channel < FirstChannel || channel > LastChannel)
        return std::nullopt;
    return ChannelData{channel, data + ChannelHeaderBytes, qint64(readU16(data + 2))};
}

} // namespace wire::stun
