// STUN messages and the TURN methods and attributes the proxy's relay client uses, and TURN
// ChannelData framing. Pure functions over byte buffers: no sockets, no clock, no state.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QtGlobal>

#include <optional>

namespace wire::stun {

inline constexpr quint32 MagicCookie = 0x2112A442;
inline constexpr int HeaderBytes = 20;          // type, length, cookie, transaction id
inline constexpr int TransactionIdBytes = 12;   // 96 bits
inline constexpr int ChannelHeaderBytes = 4;    // channel number, length
inline constexpr quint16 FirstChannel = 0x4000; // the channel numbers a client may bind
inline constexpr quint16 LastChannel = 0x4FFF;
inline constexpr quint8 TransportUdp = 17;      // REQUESTED-TRANSPORT: the IP protocol number

enum class Method : quint16
{
    Binding = 0x001,
    Allocate = 0x003,
    Refresh = 0x004,
    Send = 0x006,
    Data = 0x007,
    CreatePermission = 0x008,
    ChannelBind = 0x009,
};

enum class Class : quint8
{
    Request,
    Indication,
    SuccessResponse,
    ErrorResponse,
};

// Attribute types. Below 0x8000 a receiver must understand them; above, it may ignore them.
namespace attribute {
inline constexpr quint16 MappedAddress = 0x0001;
inline constexpr quint16 Username = 0x0006;
inline constexpr quint16 MessageIntegrity = 0x0008;
inline constexpr quint16 ErrorCode = 0x0009;
inline constexpr quint16 UnknownAttributes = 0x000A;
inline constexpr quint16 ChannelNumber = 0x000C;
inline constexpr quint16 Lifetime = 0x000D;
inline constexpr quint16 XorPeerAddress = 0x0012;
inline constexpr quint16 Data = 0x0013;
inline constexpr quint16 Realm = 0x0014;
inline constexpr quint16 Nonce = 0x0015;
inline constexpr quint16 XorRelayedAddress = 0x0016;
inline constexpr quint16 RequestedTransport = 0x0019;
inline constexpr quint16 XorMappedAddress = 0x0020;
inline constexpr quint16 Software = 0x8022;
inline constexpr quint16 Fingerprint = 0x8028;
} // namespace attribute

struct Endpoint
{
    QHostAddress address;
    quint16 port = 0;
    friend bool operator==(const Endpoint &a, const Endpoint &b) { return a.port == b.port && a.address == b.address; }
    friend bool operator!=(const Endpoint &a, const Endpoint &b) { return !(a == b); }
};

struct ErrorCode
{
    int code = 0;        // 300..699
    QByteArray reason;   // UTF-8 reason phrase as the server wrote it
};

// One attribute of a parsed message: where its value lies in Message::raw.
struct Attribute
{
    quint16 type = 0;
    quint16 length = 0;   // value bytes, without padding
    int offset = 0;       // of the value, from the start of the message
};

// A message that passed parse(): header, attribute walk and (when present) FINGERPRINT.
struct Message
{
    Method method = Method::Binding;
    Class messageClass = Class::Request;
    QByteArray transactionId;     // 12 bytes
    QByteArray raw;               // the whole message, as received
    QList<Attribute> attributes;  // in order; none after MESSAGE-INTEGRITY but FINGERPRINT
    int integrityOffset = -1;     // of the MESSAGE-INTEGRITY attribute header, -1 when absent
    bool hasFingerprint = false;  // present and correct (a wrong one fails the parse)

    bool has(quint16 type) const;
    // The first attribute of that type, value bytes only; empty when absent.
    QByteArray value(quint16 type) const;
    std::optional<Endpoint> xorAddress(quint16 type) const;
    std::optional<Endpoint> xorMappedAddress() const { return xorAddress(attribute::XorMappedAddress); }
    std::optional<Endpoint> xorRelayedAddress() const { return xorAddress(attribute::XorRelayedAddress); }
    std::optional<Endpoint> xorPeerAddress() const { return xorAddress(attribute::XorPeerAddress); }
    std::optional<quint32> lifetime() const;          // seconds
    std::optional<ErrorCode> errorCode() const;
    std::optional<quint16> channelNumber() const;
    QByteArray realm() const { return value(attribute::Realm); }
    QByteArray nonce() const { return value(attribute::Nonce); }
    // The DATA attribute as a view into raw (offset, length); nullopt when absent.
    std::optional<Attribute> data() const;
    // Comprehension-required attribute types this codec does not know (none for a clean answer).
    QList<quint16> unknownRequired() const;
};

// Long-term credentials for a request: USERNAME, NONCE, REALM, then MESSAGE-INTEGRITY keyed
// with `key`. An empty key means an unauthenticated request (the first Allocate).
struct Credentials
{
    QByteArray username;
    QByteArray realm;
    QByteArray nonce;
    QByteArray key;   // longTermKey(username, realm, password), or a short-term password
    bool isEmpty() const { return key.isEmpty(); }
};

// One attribute to encode: type and value (the encoder adds the padding).
struct RawAttribute
{
    quint16 type = 0;
    QByteArray value;
};

// MD5(username ":" realm ":" password), the long-term credential key.
QByteArray longTermKey(const QByteArray &username, const QByteArray &realm, const QByteArray &password);

// 12 random bytes from the system generator.
QByteArray newTransactionId();

// The 14-bit method and 2-bit class interleaved into a message type, and back.
quint16 messageType(Method method, Class messageClass);

// RFC 5389 CRC-32 of the message up to the FINGERPRINT attribute, XOR 0x5354554e.
quint32 fingerprintOf(const char *data, qint64 size);

// A STUN message header: first two bits zero, the magic cookie, a length that is a multiple
// of four and matches the size exactly.
bool looksLikeStun(const char *data, qint64 size);
// TURN ChannelData: first byte 0x40..0x7F and at least the header and the stated length.
bool looksLikeChannelData(const char *data, qint64 size);

// Header, a bounded attribute walk (every length checked against the buffer) and, when present,
// FINGERPRINT (which must be last and correct). nullopt for anything else.
std::optional<Message> parse(const char *data, qint64 size);

// MESSAGE-INTEGRITY (HMAC-SHA1 over the message up to it, with the length field as if it
// ended there). False when absent or wrong.
bool checkIntegrity(const Message &message, const QByteArray &key);
bool checkIntegrity(const char *data, qint64 size, const QByteArray &key);

// Generic encoder: header, attributes padded to four bytes with zeros, then the credentials'
// USERNAME, NONCE, REALM and MESSAGE-INTEGRITY (when a key is given), then FINGERPRINT.
QByteArray encode(Method method, Class messageClass, const QByteArray &transactionId,
                  const QList<RawAttribute> &attributes, const Credentials &credentials = {},
                  bool fingerprint = true);

// Attribute values, for the builders and for fake servers in tests.
QByteArray xorAddressValue(const Endpoint &endpoint, const QByteArray &transactionId);
QByteArray errorCodeValue(int code, const QByteArray &reason);
QByteArray uint32Value(quint32 value);

// Requests and indications the relay client sends; every one ends with FINGERPRINT.
QByteArray bindingRequest(const QByteArray &transactionId);
// lifetimeS 0 leaves LIFETIME out (the server's default).
QByteArray allocateRequest(const QByteArray &transactionId, quint32 lifetimeS, const Credentials &credentials);
// lifetimeS 0 releases the allocation.
QByteArray refreshRequest(const QByteArray &transactionId, quint32 lifetimeS, const Credentials &credentials);
QByteArray createPermissionRequest(const QByteArray &transactionId, const QList<QHostAddress> &peers,
                                   const Credentials &credentials);
QByteArray channelBindRequest(const QByteArray &transactionId, quint16 channel, const Endpoint &peer,
                              const Credentials &credentials);
QByteArray sendIndication(const QByteArray &transactionId, const Endpoint &peer, const char *data, qint64 size);
// The server's Data indication (for fake servers in tests and the fuzzer's round trips).
QByteArray dataIndication(const QByteArray &transactionId, const Endpoint &peer, const char *data, qint64 size);

// ChannelData framing; padded to four bytes only over TCP (UDP keeps the datagram's length).
QByteArray channelData(quint16 channel, const char *data, qint64 size, bool padded = false);

struct ChannelData
{
    quint16 channel = 0;
    const char *data = nullptr;   // into the parsed buffer
    qint64 size = 0;
};
// A ChannelData message with a channel in 0x4000..0x4FFF; extra (padding) bytes are ignored.
std::optional<ChannelData> parseChannelData(const char *data, qint64 size);

} // namespace wire::stun
