// The socket side of the rendezvous server: one UDP socket per listening address and port,
// one tick timer, one table for all of them.
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
    // Every port on every address, all or nothing. On a host with several addresses each one
    // given here answers from itself; a wildcard address answers from whatever address the
    // route to the sender picks, which a proxy on another address drops.
    bool listen(const QList<QHostAddress> &addresses, const QList<quint16> &ports, QString *error);
    QHostAddress localAddress() const;
    quint16 localPort() const;
    // The ports bound on the first address, or on the address with that index.
    QList<quint16> localPorts(int addressIndex = 0) const;
    int addressCount() const;
    QHostAddress localAddress(int addressIndex) const;

private:
    void handleDatagrams(quint16 socketId);
    void handleTick();
    void flush(const TableOutput &out);
    QUdpSocket *socketFor(quint16 socketId) const;

    MatchTable table;
    // Held by pointer: QUdpSocket cannot be moved, and the count is known only at listen().
    // Address by address, each with every port; a socket's index is its id for the table.
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    int portsPerAddress = 0;
    QTimer tickTimer;
    QElapsedTimer clock;
    QByteArray receiveBuffer;
};

} // namespace rendezvous
