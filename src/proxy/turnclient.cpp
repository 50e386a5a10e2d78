#include "proxy/turnclient.h"

void TurnClient::start(const TurnServerConfig &config, qint64) { config_ = config; }
void TurnClient::stop(qint64) { state_ = State::Idle; }
bool TurnClient::isServer(const QHostAddress &sender, quint16 port) const
{
    return port == config_.port && sender.isEqual(config_.address, QHostAddress::ConvertV4MappedToIPv4);
}
TurnClient::PeerDatagram TurnClient::handleServerDatagram(const char *, qint64, qint64) { return {}; }
TurnClient::PeerDatagram TurnClient::handleDatagram(const QHostAddress &, quint16, const char *, qint64, qint64)
{
    return {};
}
QByteArray TurnClient::wrapForPeer(const QHostAddress &, quint16, const char *, qint64, qint64) { return {}; }
void TurnClient::permit(const QHostAddress &, qint64) {}
QList<QByteArray> TurnClient::takeOutgoing(qint64) { return {}; }
qint64 TurnClient::nextDueMs() const { return -1; }
void TurnClient::setUpkeepPeriods(qint64 permissionMs, qint64 channelMs)
{
    permissionPeriodMs_ = permissionMs;
    channelPeriodMs_ = channelMs;
}
TurnClient::Permission TurnClient::permission(const QHostAddress &) const { return Permission::None; }
quint16 TurnClient::channel(const QHostAddress &, quint16) const { return 0; }
