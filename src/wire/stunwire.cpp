#include "wire/stunwire.h"

namespace wire::stun {

bool Message::has(quint16) const { return false; }
QByteArray Message::value(quint16) const { return {}; }
std::optional<Endpoint> Message::xorAddress(quint16) const { return std::nullopt; }
std::optional<quint32> Message::lifetime() const { return std::nullopt; }
std::optional<ErrorCode> Message::errorCode() const { return std::nullopt; }
std::optional<quint16> Message::channelNumber() const { return std::nullopt; }
std::optional<Attribute> Message::data() const { return std::nullopt; }
QList<quint16> Message::unknownRequired() const { return {}; }
QByteArray longTermKey(const QByteArray &, const QByteArray &, const QByteArray &) { return {}; }
QByteArray newTransactionId() { return QByteArray(TransactionIdBytes, '\0'); }
quint16 messageType(Method, Class) { return 0; }
quint32 fingerprintOf(const char *, qint64) { return 0; }
bool looksLikeStun(const char *, qint64) { return false; }
bool looksLikeChannelData(const char *, qint64) { return false; }
std::optional<Message> parse(const char *, qint64) { return std::nullopt; }
bool checkIntegrity(const Message &, const QByteArray &) { return false; }
bool checkIntegrity(const char *, qint64, const QByteArray &) { return false; }
QByteArray encode(Method, Class, const QByteArray &, const QList<RawAttribute> &, const Credentials &, bool) { return {}; }
QByteArray xorAddressValue(const Endpoint &, const QByteArray &) { return {}; }
QByteArray errorCodeValue(int, const QByteArray &) { return {}; }
QByteArray uint32Value(quint32) { return {}; }
QByteArray bindingRequest(const QByteArray &) { return {}; }
QByteArray allocateRequest(const QByteArray &, quint32, const Credentials &) { return {}; }
QByteArray refreshRequest(const QByteArray &, quint32, const Credentials &) { return {}; }
QByteArray createPermissionRequest(const QByteArray &, const QList<QHostAddress> &, const Credentials &) { return {}; }
QByteArray channelBindRequest(const QByteArray &, quint16, const Endpoint &, const Credentials &) { return {}; }
QByteArray sendIndication(const QByteArray &, const Endpoint &, const char *, qint64) { return {}; }
QByteArray dataIndication(const QByteArray &, const Endpoint &, const char *, qint64) { return {}; }
QByteArray channelData(quint16, const char *, qint64, bool) { return {}; }
std::optional<ChannelData> parseChannelData(const char *, qint64) { return std::nullopt; }

} // namespace wire::stun
