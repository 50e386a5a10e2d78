// The socket side of the rendezvous server: one UDP socket, one tick timer, the table.
#pragma once

#include "matchtable.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

namespace rendezvous {

class RendezvousServer : public QObject
{
    Q_OBJECT
public:
    explicit RendezvousServer(const TableLimits &limits, QObject *parent = nullptr);

    // Binds and starts serving; false (with the reason) when the address cannot be bound.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    QHostAddress localAddress() const { return socket.localAddress(); }
    quint16 localPort() const { return socket.localPort(); }

private:
    void handleDatagrams();
    void handleTick();
    void flush(const TableOutput &out);

    MatchTable table;
    QUdpSocket socket;
    QTimer tickTimer;
    QElapsedTimer clock;
    QByteArray receiveBuffer;
};

} // namespace rendezvous
