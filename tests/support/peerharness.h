// Test stand-ins around one UdpProxyManager, all on real sockets in the test's namespace:
// a rendezvous server, a remote peer (127.0.0.2 by default) and an emulator (127.0.0.1).
//
// The punch sequence blocks the proxy's thread (which is the test's thread), so the peer
// cannot answer while it runs. Instead the handshake queues the peer's answer right behind
// the server's "peer" message: the proxy reads both in order and punching succeeds in about
// half a second.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QThread>
#include <QUdpSocket>
#include <QVariant>

#include <atomic>
#include <functional>

class UdpProxyManager;

namespace proxytest {

struct Datagram
{
    QByteArray data;
    QHostAddress sender;
    quint16 senderPort = 0;
    qint64 atMs = 0; // harness clock when read
};

// One bound UDP socket that records everything it receives.
class UdpEnd : public QObject
{
    Q_OBJECT

public:
    explicit UdpEnd(QObject *parent = nullptr);

    bool bind(const QHostAddress &address, quint16 port = 0);
    QHostAddress address() const { return boundAddress; }
    quint16 port() const { return socket.localPort(); }
    void send(const QByteArray &data, const QHostAddress &to, quint16 toPort);
    // Enlarges the kernel's receive queue (beyond the system limit when run as root), for
    // ends that get thousands of datagrams in one go.
    bool setReceiveBuffer(int bytes);

    const QList<Datagram> &received() const { return datagrams; }
    // Received payloads that start with prefix (all of them for an empty prefix).
    QList<QByteArray> payloads(const QByteArray &prefix = QByteArray()) const;
    int count(const QByteArray &prefix = QByteArray()) const;
    // Received payloads that do not start with any of the prefixes.
    QList<QByteArray> payloadsExcept(const QList<QByteArray> &prefixes) const;
    void clear() { datagrams.clear(); }

    // Answer "KVRA ping a b" with "KVRA pong a b" to its sender.
    bool answerPings = false;

Q_SIGNALS:
    void datagramReceived();

private:
    void readAll();

    QUdpSocket socket;
    QHostAddress boundAddress;
    QList<Datagram> datagrams;
    QElapsedTimer clock;
};

// A peer on a thread of its own, for what must answer while the punch sequence blocks the
// test's thread. The handler runs on that thread for every datagram and answers through
// reply(). The thread ends after runMs, or soon after finish is set.
class ThreadPeer : public QThread
{
public:
    using Handler = std::function<void(ThreadPeer &peer, const QByteArray &data, const QHostAddress &from,
                                       quint16 fromPort)>;
    ThreadPeer(const QHostAddress &address, Handler handler, int runMs = 20000);
    ~ThreadPeer() override;

    // Starts the thread and waits for its socket; false when it could not be bound.
    bool bind();
    quint16 port() const { return boundPort; }
    // From the handler only.
    void reply(const QByteArray &data, const QHostAddress &to, quint16 toPort);
    // Received payloads that start with prefix; safe from the test's thread at any time.
    int count(const QByteArray &prefix) const;

    std::atomic<bool> finish{false};

protected:
    void run() override;

private:
    QHostAddress address;
    Handler handler;
    int runMs;
    quint16 boundPort = 0;
    QUdpSocket *socket = nullptr;
    QSemaphore bound;
    mutable QMutex mutex;
    QList<QByteArray> got;
};

// A punch datagram that quotes the token of the proxy's punch `heard`: "<ours> <theirs> ok".
QByteArray punchAnswer(const QByteArray &heard, const QByteArray &ownToken = QByteArrayLiteral("0.7777777777777777"));

class PeerHarness : public QObject
{
    Q_OBJECT

public:
    explicit PeerHarness(QObject *parent = nullptr);

    // Binds the three ends (ephemeral ports unless given). False when one bind fails.
    bool start(const QHostAddress &serverAddress = QHostAddress(QStringLiteral("127.0.0.1")),
               const QHostAddress &peerAddress = QHostAddress(QStringLiteral("127.0.0.2")),
               quint16 peerPort = 0);

    // Arguments for launch().
    QString signalHost() const { return server.address().toString(); }
    quint16 signalPort() const { return server.port(); }

    // Launches the proxy for quark against this harness's server (or signalHost when given),
    // with its emulator side on localPort, and takes its ports from the result.
    QMap<QString, QVariant> launch(UdpProxyManager &proxy, const QString &quark, quint16 localPort = 7001,
                                   const QString &signalHost = QString());
    // launch(), true when the run started.
    bool launched(UdpProxyManager &proxy, const QString &quark, quint16 localPort = 7001,
                  const QString &signalHost = QString());

    // Takes the proxy's ports from a "started" launch result.
    void useLaunchResult(const QMap<QString, QVariant> &result);
    quint16 proxyLocalPort = 0; // emulator-facing port (127.0.0.1)
    quint16 proxyPeerPort = 0;  // peer-facing port at launch (reached on 127.0.0.1)

    // Server -> proxy: to the source of the last datagram the server got, else the launch port.
    void serverSend(const QByteArray &datagram);
    // "peer/<matchId>/<address>/<port>" announcing `end` (the harness peer by default).
    void announcePeer(const QString &matchId, const UdpEnd *end = nullptr);
    // Any end -> the proxy's peer-facing port.
    void sendToProxy(UdpEnd &from, const QByteArray &datagram);
    void peerSend(const QByteArray &datagram) { sendToProxy(peer, datagram); }
    // Emulator -> the proxy's emulator-facing port.
    void emulatorSend(const QByteArray &datagram);

    // Announces the peer and queues its punch answer; the proxy then emits punchingSucceeded.
    void startHandshake(const QString &matchId);
    // startHandshake, then waits for punchingSucceeded of `proxy` (any QObject with that
    // signal) and for the proxy's punch datagrams to reach the peer. False on time-out.
    bool connectProxy(QObject *proxy, const QString &matchId, int timeoutMs = 5000);

    // Round trip through the proxy's peer socket: the server repeats the announcement of the
    // connected peer and waits for the acknowledgement. Every datagram sent to the proxy's
    // peer socket before it has then been handled. Needs a prior connectProxy.
    bool sync(int timeoutMs = 5000);

    // A punch datagram as a peer that has learned our token sends it (ends a punch call early).
    static QByteArray peerPunchReply();
    // A punch datagram from a peer that knows nothing yet ("<token> _").
    static QByteArray peerPunchHello();

    UdpEnd server;
    UdpEnd peer;
    UdpEnd emulator;

private:
    QString connectedMatchId;
};

} // namespace proxytest
