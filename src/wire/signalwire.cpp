#include "wire/signalwire.h"

#include <QList>
#include <QStringDecoder>

#include <limits>

namespace wire::signalling {
namespace {

// Every word of the exchange, once: the proxy sends the first four, the server the rest.
constexpr char RegisterType[] = "register";
constexpr char ReadyType[] = "udp_ready";
constexpr char FailedType[] = "udp_failed";
constexpr char PeerAckType[] = "peer_ack";
constexpr char RegisteredType[] = "registered";
constexpr char ReadyAckType[] = "ready_ack";
constexpr char FailureAckType[] = "failure_ack";
constexpr char PeerType[] = "peer";
constexpr char FieldSeparator = '/';
constexpr int AckFieldCount = 3;  // type, match id, side
constexpr int PeerFieldCount = 4; // type, match id, address, port
constexpr int MaxCanonicalIntChars = 11; // "-2147483648"

bool validMatchId(const QByteArray &matchId)
{
    if (matchId.isEmpty() || matchId.size() > MaxMatchIdBytes)
        return false;
    for (const char c : matchId) {
        const auto byte = static_cast<unsigned char>(c);
        // Control bytes would break the server's one-event-per-line log.
        if (byte < 0x20 || byte == 0x7f)
            return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder(matchId);
    Q_UNUSED(decoded)
    return !decoder.hasError();
}

// "type/<matchId>/<address text>/<port>": the announcement and its acknowledgement.
QByteArray endpointMessage(const char *type, const QByteArray &matchId, const QHostAddress &address, quint16 port)
{
    QByteArray message(type);
    message += FieldSeparator;
    message += matchId;
    message += FieldSeparator;
    message += address.toString().toUtf8();
    message += FieldSeparator;
    message += QByteArray::number(port);
    return message;
}

} // namespace

QByteArray signalMessage(const char *type, const QByteArray &payload, int value)
{
    QByteArray message(type);
    message += FieldSeparator;
    message += payload;
    message += FieldSeparator;
    message += QByteArray::number(value);
    return message;
}

QByteArray registerMessage(const QByteArray &matchId, int side)
{
    return signalMessage(RegisterType, matchId, side);
}

QByteArray readyMessage(const QByteArray &matchId, int side)
{
    return signalMessage(ReadyType, matchId, side);
}

QByteArray failedMessage(const QByteArray &matchId, int side)
{
    return signalMessage(FailedType, matchId, side);
}

QByteArray peerAckMessage(const QString &matchId, const QHostAddress &address, quint16 port)
{
    return endpointMessage(PeerAckType, matchId.toUtf8(), address, port);
}

SignalMessage parseSignalMessage(const QByteArray &datagram)
{
    SignalMessage message;
    const QList<QByteArray> fields = datagram.split(FieldSeparator);
    const QByteArray &type = fields.first();
    SignalKind kind = SignalKind::Other;
    if (type == RegisteredType)
        kind = SignalKind::Registered;
    else if (type == ReadyAckType)
        kind = SignalKind::ReadyAck;
    else if (type == FailureAckType)
        kind = SignalKind::FailureAck;
    else if (type == PeerType)
        kind = SignalKind::Peer;

    if (kind == SignalKind::Other)
        return message;
    if (kind == SignalKind::Peer) {
        if (fields.size() < PeerFieldCount)
            return message;
        message.matchId = QString::fromUtf8(fields.at(1));
        message.address = QHostAddress(QString::fromUtf8(fields.at(2)));
        bool ok = false;
        const quint16 port = fields.at(3).toUShort(&ok, 10);
        message.port = ok ? port : 0;
        message.kind = kind;
        return message;
    }
    if (fields.size() < AckFieldCount)
        return message;
    message.matchId = QString::fromUtf8(fields.at(1));
    message.side = fields.at(2).toInt(nullptr, 10);
    message.kind = kind;
    return message;
}

QString matchIdFromQuark(const QString &quark)
{
    const qsizetype dot = quark.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? quark : quark.left(dot);
}

int sideFromQuark(const QString &quark)
{
    const qsizetype dot = quark.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return 0;
    bool ok = false;
    const int value = quark.mid(dot + 1).toInt(&ok, 10);
    return ok ? value : 0;
}

int derivedPortFromQuark(const QString &quark)
{
    if (quark.isEmpty())
        return 0;
    const qsizetype dash = quark.indexOf(QLatin1Char('-'));
    if (dash < 0)
        return 0;
    const qsizetype start = dash + 1;
    if (start >= quark.size())
        return 0;
    const qsizetype end = quark.indexOf(QLatin1Char('.'), start);
    const QString digits = end < 0 ? quark.mid(start) : quark.mid(start, end - start);
    bool ok = false;
    const int value = (QLatin1Char('4') + digits).toInt(&ok, 10);
    return ok && value >= 1 && value <= 65535 ? value : 0;
}

bool parseCanonicalInt(const QByteArray &text, int *value)
{
    if (text.isEmpty() || text.size() > MaxCanonicalIntChars)
        return false;
    int index = 0;
    const bool negative = text.at(0) == '-';
    if (negative)
        index = 1;
    if (index >= text.size())
        return false;
    if (text.at(index) == '0' && text.size() > index + 1)
        return false;
    if (negative && text.at(index) == '0')
        return false;
    qint64 magnitude = 0;
    for (int i = index; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + (c - '0');
    }
    const qint64 result = negative ? -magnitude : magnitude;
    if (result < std::numeric_limits<int>::min() || result > std::numeric_limits<int>::max())
        return false;
    *value = int(result);
    return true;
}

std::optional<ClientMessage> parseClientMessage(const QByteArray &datagram)
{
    if (datagram.isEmpty() || datagram.size() > MaxDatagramBytes)
        return std::nullopt;
    const QList<QByteArray> fields = datagram.split(FieldSeparator);
    ClientMessage message;
    const QByteArray &type = fields.at(0);
    if (type == RegisterType)
        message.type = ClientMessageType::Register;
    else if (type == ReadyType)
        message.type = ClientMessageType::UdpReady;
    else if (type == FailedType)
        message.type = ClientMessageType::UdpFailed;
    else if (type == PeerAckType)
        message.type = ClientMessageType::PeerAck;
    else
        return std::nullopt;

    // Exact counts: a match identifier holding "/" could never be acknowledged, since the
    // proxies split the answer at every "/"; better to refuse it here.
    const int expected = message.type == ClientMessageType::PeerAck ? PeerFieldCount : AckFieldCount;
    if (fields.size() != expected || !validMatchId(fields.at(1)))
        return std::nullopt;
    message.matchId = fields.at(1);

    if (message.type != ClientMessageType::PeerAck) {
        if (!parseCanonicalInt(fields.at(2), &message.side) || message.side == 0)
            return std::nullopt;
        return message;
    }

    const QHostAddress host(QString::fromLatin1(fields.at(2)));
    int port = 0;
    if (host.isNull() || !parseCanonicalInt(fields.at(3), &port) || port < 1 || port > 65535)
        return std::nullopt;
    message.host = host;
    message.port = quint16(port);
    return message;
}

QByteArray registeredMessage(const QByteArray &matchId, int side)
{
    return signalMessage(RegisteredType, matchId, side);
}

QByteArray readyAckMessage(const QByteArray &matchId, int side)
{
    return signalMessage(ReadyAckType, matchId, side);
}

QByteArray failureAckMessage(const QByteArray &matchId, int side)
{
    return signalMessage(FailureAckType, matchId, side);
}

QByteArray peerMessage(const QByteArray &matchId, const QHostAddress &address, quint16 port)
{
    return endpointMessage(PeerType, matchId, address, port);
}

} // namespace wire::signalling
