#include "rendezvousmessages.h"

#include <QList>
#include <QStringDecoder>

#include <limits>

namespace rendezvous {
namespace {

const QByteArray RegisterType = QByteArrayLiteral("register");
const QByteArray PeerAckType = QByteArrayLiteral("peer_ack");
const QByteArray UdpReadyType = QByteArrayLiteral("udp_ready");
const QByteArray UdpFailedType = QByteArrayLiteral("udp_failed");
constexpr char Separator = '/';

bool validMatchId(const QByteArray &matchId)
{
    if (matchId.isEmpty() || matchId.size() > MaxMatchIdBytes)
        return false;
    for (const char c : matchId) {
        const auto byte = static_cast<unsigned char>(c);
        // Control bytes would break the one-event-per-line log.
        if (byte < 0x20 || byte == 0x7f)
            return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder(matchId);
    Q_UNUSED(decoded)
    return !decoder.hasError();
}

QByteArray join(const QByteArray &type, const QByteArray &matchId, const QByteArray &tail)
{
    QByteArray out;
    out.reserve(type.size() + matchId.size() + tail.size() + 2);
    out += type;
    out += Separator;
    out += matchId;
    out += Separator;
    out += tail;
    return out;
}

} // namespace

bool parseCanonicalInt(const QByteArray &text, int *value)
{
    if (text.isEmpty() || text.size() > 11)
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
    const QList<QByteArray> fields = datagram.split(Separator);
    ClientMessage message;
    const QByteArray &type = fields.at(0);
    if (type == RegisterType)
        message.type = ClientMessageType::Register;
    else if (type == UdpReadyType)
        message.type = ClientMessageType::UdpReady;
    else if (type == UdpFailedType)
        message.type = ClientMessageType::UdpFailed;
    else if (type == PeerAckType)
        message.type = ClientMessageType::PeerAck;
    else
        return std::nullopt;

    // Exact counts: a match identifier holding "/" could never be acknowledged, since the
    // proxies split the answer at every "/"; better to refuse it here.
    const int expected = message.type == ClientMessageType::PeerAck ? 4 : 3;
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
    return join(QByteArrayLiteral("registered"), matchId, QByteArray::number(side));
}

QByteArray readyAckMessage(const QByteArray &matchId, int side)
{
    return join(QByteArrayLiteral("ready_ack"), matchId, QByteArray::number(side));
}

QByteArray failureAckMessage(const QByteArray &matchId, int side)
{
    return join(QByteArrayLiteral("failure_ack"), matchId, QByteArray::number(side));
}

QByteArray peerMessage(const QByteArray &matchId, const QHostAddress &address, quint16 port)
{
    return join(QByteArrayLiteral("peer"), matchId,
                address.toString().toUtf8() + Separator + QByteArray::number(port));
}

} // namespace rendezvous
