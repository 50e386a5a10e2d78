// The socket side of the rendezvous server: one UDP socket per listening port, one tick
// timer, one table for all of them.
#pragma once

#include "matchtable.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <vector>

namespace rendezvous {

class RendezvousServer : public QObject
{
    Q_OBJECT
public:
    explicit RendezvousServer(const TableLimits &limits, QObject *parent = nullptr);

    // Binds and starts serving; false (with the reason) when the address cannot be bound.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    // The same on every port (0 picks a free one each); all or nothing.
    bool listen(const QHostAddress &address, const QList<quint16> &ports, QString *error);
    QHostAddress localAddress() const;
    quint16 localPort() const;
    QList<quint16> localPorts() const;

private:
    void handleDatagrams(QUdpSocket *socket);
    void handleTick();
    void flush(const TableOutput &out);
    QUdpSocket *socketForPort(quint16 port) const;

    MatchTable table;
    // Held by pointer: QUdpSocket cannot be moved, and the count is known only at listen().
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    QTimer tickTimer;
    QElapsedTimer clock;
    QByteArray receiveBuffer;
};

} // namespace rendezvous
