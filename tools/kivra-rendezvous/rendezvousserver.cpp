#include "rendezvousserver.h"

#include "wire/signalwire.h"

#include <cstdio>

namespace rendezvous {

using wire::signalling::MaxDatagramBytes;
namespace {

constexpr int TickIntervalMs = 100;       // ms; finer than the 500 ms announce spacing
constexpr int MaxDatagramsPerWakeup = 256; // bounds one readyRead pass under a flood

void writeLogLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

Endpoint normalised(const QHostAddress &address, quint16 port)
{
    // A dual-stack socket reports IPv4 senders as ::ffff:a.b.c.d; announce them as IPv4.
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return Endpoint{isV4 ? QHostAddress(v4) : address, port};
}

} // namespace

RendezvousServer::RendezvousServer(const TableLimits &limits, QObject *parent)
    : QObject(parent), table(limits), receiveBuffer(MaxDatagramBytes + 1, '\0')
{
    tickTimer.setInterval(TickIntervalMs);
    connect(&tickTimer, &QTimer::timeout, this, &RendezvousServer::handleTick);
}

bool RendezvousServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    return listen(address, QList<quint16>{port}, error);
}

bool RendezvousServer::listen(const QHostAddress &address, const QList<quint16> &ports, QString *error)
{
    return listen(QList<QHostAddress>{address}, ports, error);
}

bool RendezvousServer::listen(const QList<QHostAddress> &addresses, const QList<quint16> &ports, QString *error)
{
    if (!sockets.empty() || ports.isEmpty() || addresses.isEmpty()) {
        *error = QStringLiteral("already listening, or no address or port");
        return false;
    }
    for (const QHostAddress &address : addresses) {
        for (const quint16 port : ports) {
            auto socket = std::make_unique<QUdpSocket>();
            if (!socket->bind(address, port)) {
                *error = address.toString() + QLatin1Char(' ') + socket->errorString();
                sockets.clear();
                return false;
            }
            const auto id = quint16(sockets.size());
            connect(socket.get(), &QUdpSocket::readyRead, this, [this, id] { handleDatagrams(id); });
            sockets.push_back(std::move(socket));
        }
    }
    portsPerAddress = int(ports.size());
    clock.start();
    tickTimer.start();
    return true;
}

QHostAddress RendezvousServer::localAddress() const
{
    return localAddress(0);
}

quint16 RendezvousServer::localPort() const
{
    return sockets.empty() ? 0 : sockets.front()->localPort();
}

int RendezvousServer::addressCount() const
{
    return portsPerAddress == 0 ? 0 : int(sockets.size()) / portsPerAddress;
}

QHostAddress RendezvousServer::localAddress(int addressIndex) const
{
    if (addressIndex < 0 || addressIndex >= addressCount())
        return QHostAddress();
    return sockets.at(size_t(addressIndex * portsPerAddress))->localAddress();
}

QList<quint16> RendezvousServer::localPorts(int addressIndex) const
{
    QList<quint16> ports;
    if (addressIndex < 0 || addressIndex >= addressCount())
        return ports;
    for (int i = 0; i < portsPerAddress; ++i)
        ports.append(sockets.at(size_t(addressIndex * portsPerAddress + i))->localPort());
    return ports;
}

QUdpSocket *RendezvousServer::socketFor(quint16 socketId) const
{
    if (socketId < sockets.size())
        return sockets.at(socketId).get();
    return sockets.empty() ? nullptr : sockets.front().get();
}

void RendezvousServer::handleDatagrams(quint16 socketId)
{
    QUdpSocket *socket = socketFor(socketId);
    TableOutput out;
    for (int n = 0; n < MaxDatagramsPerWakeup && socket->hasPendingDatagrams(); ++n) {
        QHostAddress senderAddress;
        quint16 senderPort = 0;
        // Oversized datagrams are truncated to one byte past the limit, which the parser refuses.
        const qint64 length = socket->readDatagram(receiveBuffer.data(), receiveBuffer.size(), &senderAddress,
                                                   &senderPort);
        if (length < 0)
            continue;
        table.handleDatagram(QByteArray(receiveBuffer.constData(), int(length)),
                             normalised(senderAddress, senderPort), clock.elapsed(), &out, socketId);
    }
    flush(out);
    // Whatever is left is read on the next turn of the loop, after timers had their share.
    if (socket->hasPendingDatagrams())
        QMetaObject::invokeMethod(this, [this, socketId] { handleDatagrams(socketId); }, Qt::QueuedConnection);
}

void RendezvousServer::handleTick()
{
    // A read notification can be missed when a datagram lands just as a pass ends; the
    // tick picks such a datagram up within one interval.
    for (size_t id = 0; id < sockets.size(); ++id) {
        if (sockets.at(id)->hasPendingDatagrams())
            handleDatagrams(quint16(id));
    }
    TableOutput out;
    table.tick(clock.elapsed(), &out);
    flush(out);
}

void RendezvousServer::flush(const TableOutput &out)
{
    for (const QByteArray &line : out.log)
        writeLogLine(line);
    for (const Outgoing &datagram : out.datagrams) {
        if (QUdpSocket *socket = socketFor(datagram.fromSocket))
            socket->writeDatagram(datagram.datagram, datagram.to.address, datagram.to.port);
    }
}

} // namespace rendezvous
