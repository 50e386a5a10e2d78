#include "peerharness.h"

#include "proxy/udpproxymanager.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QTest>

#include <sys/socket.h>

namespace proxytest {
namespace {

constexpr char PingPrefix[] = "KVRA ping ";
constexpr char PongPrefix[] = "KVRA pong ";
constexpr int MaxReadsPerWakeup = 4096; // the socket reports again for whatever is left
constexpr char PeerToken[] = "0.4242424242424242";
constexpr int ThreadPeerSliceMs = 50; // how soon a thread peer notices finish
constexpr int ThreadPeerBindMs = 2000;

} // namespace

UdpEnd::UdpEnd(QObject *parent) : QObject(parent)
{
    clock.start();
    connect(&socket, &QUdpSocket::readyRead, this, &UdpEnd::readAll);
}

bool UdpEnd::bind(const QHostAddress &address, quint16 port)
{
    boundAddress = address;
    return socket.bind(address, port);
}

void UdpEnd::send(const QByteArray &data, const QHostAddress &to, quint16 toPort)
{
    socket.writeDatagram(data, to, toPort);
}

bool UdpEnd::setReceiveBuffer(int bytes)
{
    const int fd = int(socket.socketDescriptor());
    if (fd < 0)
        return false;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        return true;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

QList<QByteArray> UdpEnd::payloads(const QByteArray &prefix) const
{
    QList<QByteArray> result;
    for (const Datagram &d : datagrams) {
        if (d.data.startsWith(prefix))
            result.append(d.data);
    }
    return result;
}

int UdpEnd::count(const QByteArray &prefix) const
{
    int n = 0;
    for (const Datagram &d : datagrams) {
        if (d.data.startsWith(prefix))
            ++n;
    }
    return n;
}

QList<QByteArray> UdpEnd::payloadsExcept(const QList<QByteArray> &prefixes) const
{
    QList<QByteArray> result;
    for (const Datagram &d : datagrams) {
        bool skip = false;
        for (const QByteArray &prefix : prefixes)
            skip = skip || d.data.startsWith(prefix);
        if (!skip)
            result.append(d.data);
    }
    return result;
}

void UdpEnd::readAll()
{
    bool any = false;
    for (int i = 0; i < MaxReadsPerWakeup && socket.hasPendingDatagrams(); ++i) {
        Datagram d;
        d.data.resize(qMax<qint64>(socket.pendingDatagramSize(), 0));
        const qint64 n = socket.readDatagram(d.data.data(), d.data.size(), &d.sender, &d.senderPort);
        if (n < 0)
            break;
        d.data.truncate(n);
        d.atMs = clock.elapsed();
        if (answerPings && d.data.startsWith(PingPrefix))
            socket.writeDatagram(PongPrefix + d.data.mid(int(sizeof PingPrefix) - 1), d.sender, d.senderPort);
        datagrams.append(d);
        any = true;
    }
    if (any)
        emit datagramReceived();
}

PeerHarness::PeerHarness(QObject *parent) : QObject(parent) {}

bool PeerHarness::start(const QHostAddress &serverAddress, const QHostAddress &peerAddress, quint16 peerPort)
{
    return server.bind(serverAddress) && peer.bind(peerAddress, peerPort)
           && emulator.bind(QHostAddress(QStringLiteral("127.0.0.1")));
}

QMap<QString, QVariant> PeerHarness::launch(UdpProxyManager &proxy, const QString &quark, quint16 localPort,
                                            const QString &otherSignalHost)
{
    const auto result = proxy.launch(quark, localPort, otherSignalHost.isEmpty() ? signalHost() : otherSignalHost,
                                     signalPort(), QStringLiteral("127.0.0.1"));
    useLaunchResult(result);
    return result;
}

bool PeerHarness::launched(UdpProxyManager &proxy, const QString &quark, quint16 localPort,
                           const QString &otherSignalHost)
{
    return launch(proxy, quark, localPort, otherSignalHost).value(QStringLiteral("status")).toString()
           == QLatin1String("started");
}

void PeerHarness::useLaunchResult(const QMap<QString, QVariant> &result)
{
    proxyLocalPort = quint16(result.value(QStringLiteral("localUdpPort")).toInt());
    proxyPeerPort = quint16(result.value(QStringLiteral("peerUdpPort")).toInt());
}

void PeerHarness::serverSend(const QByteArray &datagram)
{
    const QList<Datagram> &got = server.received();
    if (!got.isEmpty())
        server.send(datagram, got.last().sender, got.last().senderPort);
    else
        server.send(datagram, QHostAddress(QStringLiteral("127.0.0.1")), proxyPeerPort);
}

void PeerHarness::announcePeer(const QString &matchId, const UdpEnd *end)
{
    if (!end)
        end = &peer;
    serverSend("peer/" + matchId.toUtf8() + '/' + end->address().toString().toUtf8() + '/'
               + QByteArray::number(end->port()));
}

void PeerHarness::sendToProxy(UdpEnd &from, const QByteArray &datagram)
{
    from.send(datagram, QHostAddress(QStringLiteral("127.0.0.1")), proxyPeerPort);
}

void PeerHarness::emulatorSend(const QByteArray &datagram)
{
    emulator.send(datagram, QHostAddress(QStringLiteral("127.0.0.1")), proxyLocalPort);
}

void PeerHarness::startHandshake(const QString &matchId)
{
    announcePeer(matchId);
    peerSend(peerPunchReply());
}

bool PeerHarness::connectProxy(QObject *proxy, const QString &matchId, int timeoutMs)
{
    QSignalSpy succeeded(proxy, SIGNAL(punchingSucceeded(QString)));
    startHandshake(matchId);
    if (!succeeded.wait(timeoutMs))
        return false;
    connectedMatchId = matchId;
    // Let the punches the proxy sent while it blocked arrive, so tests start from a quiet peer.
    return sync(timeoutMs);
}

bool PeerHarness::sync(int timeoutMs)
{
    if (connectedMatchId.isEmpty())
        return false;
    const int before = server.count("peer_ack/");
    announcePeer(connectedMatchId);
    QDeadlineTimer deadline(timeoutMs);
    while (server.count("peer_ack/") <= before && !deadline.hasExpired()) {
        QSignalSpy got(&server, &UdpEnd::datagramReceived);
        got.wait(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return server.count("peer_ack/") > before;
}

QByteArray PeerHarness::peerPunchReply()
{
    return QByteArray(PeerToken) + " 0.1000000000000000 ok";
}

QByteArray PeerHarness::peerPunchHello()
{
    return QByteArray(PeerToken) + " _";
}

ThreadPeer::ThreadPeer(const QHostAddress &peerAddress, Handler onDatagram, int runLimitMs)
    : address(peerAddress), handler(std::move(onDatagram)), runMs(runLimitMs)
{
}

ThreadPeer::~ThreadPeer()
{
    finish = true;
    wait(); // run() is bounded by runMs
}

bool ThreadPeer::bind()
{
    start();
    return bound.tryAcquire(1, ThreadPeerBindMs) && boundPort != 0;
}

void ThreadPeer::reply(const QByteArray &data, const QHostAddress &to, quint16 toPort)
{
    if (socket)
        socket->writeDatagram(data, to, toPort);
}

int ThreadPeer::count(const QByteArray &prefix) const
{
    QMutexLocker lock(&mutex);
    int n = 0;
    for (const QByteArray &data : got)
        n += data.startsWith(prefix) ? 1 : 0;
    return n;
}

void ThreadPeer::run()
{
    QUdpSocket own;
    if (own.bind(address, 0))
        boundPort = own.localPort();
    socket = &own;
    bound.release();
    QElapsedTimer clock;
    clock.start();
    while (boundPort != 0 && !finish && clock.elapsed() < runMs) {
        if (!own.waitForReadyRead(ThreadPeerSliceMs))
            continue;
        for (int i = 0; i < MaxReadsPerWakeup && own.hasPendingDatagrams(); ++i) {
            QByteArray data(int(qMax<qint64>(own.pendingDatagramSize(), 0)), Qt::Uninitialized);
            QHostAddress from;
            quint16 fromPort = 0;
            const qint64 n = own.readDatagram(data.data(), data.size(), &from, &fromPort);
            if (n < 0)
                break;
            data.truncate(n);
            {
                QMutexLocker lock(&mutex);
                got.append(data);
            }
            if (handler)
                handler(*this, data, from, fromPort);
        }
    }
    socket = nullptr;
}

QByteArray punchAnswer(const QByteArray &heard, const QByteArray &ownToken)
{
    return ownToken + ' ' + heard.split(' ').first() + " ok";
}

} // namespace proxytest
