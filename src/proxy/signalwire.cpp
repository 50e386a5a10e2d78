#include "proxy/signalwire.h"

#include <QList>

namespace signalwire {
namespace {

constexpr char RegisteredType[] = "registered";
constexpr char ReadyAckType[] = "ready_ack";
constexpr char FailureAckType[] = "failure_ack";
constexpr char PeerType[] = "peer";
constexpr char PeerAckType[] = "peer_ack";
constexpr char FieldSeparator = '/';
constexpr int AckFieldCount = 3;  // type, match id, side
constexpr int PeerFieldCount = 4; // type, match id, address, port

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

QByteArray peerAckMessage(const QString &matchId, const QHostAddress &address, quint16 port)
{
    QByteArray message(PeerAckType);
    message += FieldSeparator;
    message += matchId.toUtf8();
    message += FieldSeparator;
    message += address.toString().toUtf8();
    message += FieldSeparator;
    message += QByteArray::number(port);
    return message;
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

} // namespace signalwire
