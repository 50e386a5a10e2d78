// The relay client against a real TURN server (Debian's coturn) in a private network namespace,
// over a real socket: allocate, permit, relay to a plain UDP peer and back as Data indications
// and as ChannelData, keep it all alive past the server's short lifetimes, and fail fast on a
// wrong password or a denied peer.
#include "proxy/turnclient.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace {

const QHostAddress Loopback(QHostAddress::LocalHost);
const QHostAddress DeniedPeer(QStringLiteral("127.0.0.3"));
// s: the server's lifetimes for allocations, permissions and channels, short so the test sees
// every refresh happen; the client renews permissions and channels at half of them.
constexpr int ServerLifetimeS = 4;
constexpr qint64 UpkeepPeriodMs = 2000;
constexpr int StaleNonceS = 3;       // s: the server's nonce expires too, so refreshes meet 438
constexpr int KeepAliveMs = 9000;    // ms: two full lifetimes and more of relaying
constexpr qint64 StepMs = 20;           // ms: longest wait for a datagram between upkeep rounds

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(Loopback, 0);
    return probe.localPort();
}

// One client socket, its TurnClient, and a plain UDP socket as the peer.
struct Relay
{
    TurnClient client;
    QUdpSocket socket;
    QUdpSocket peer;
    QElapsedTimer clock;
    QList<QByteArray> fromPeer;   // payloads the client unwrapped
    QList<QByteArray> atPeer;     // payloads the peer received from the relayed address

    Relay()
    {
        clock.start();
        socket.bind(Loopback, 0);
        peer.bind(Loopback, 0);
    }
    qint64 now() const { return clock.elapsed(); }
    void flush()
    {
        const QList<QByteArray> out = client.takeOutgoing(now());
        for (const QByteArray &d : out)
            socket.writeDatagram(d, Loopback, serverPort);
    }
    void readAll()
    {
        while (socket.hasPendingDatagrams()) {
            QHostAddress sender;
            quint16 port = 0;
            QByteArray d(int(socket.pendingDatagramSize()), '\0');
            d.resize(int(socket.readDatagram(d.data(), d.size(), &sender, &port)));
            const TurnClient::PeerDatagram got = client.handleDatagram(sender, port, d.constData(), d.size(), now());
            if (got.valid && got.peer == Loopback && got.peerPort == peer.localPort())
                fromPeer.append(QByteArray(got.data, int(got.size)));
        }
        while (peer.hasPendingDatagrams()) {
            QHostAddress sender;
            quint16 port = 0;
            QByteArray d(int(peer.pendingDatagramSize()), '\0');
            d.resize(int(peer.readDatagram(d.data(), d.size(), &sender, &port)));
            if (sender.isEqual(client.relayedAddress(), QHostAddress::ConvertV4MappedToIPv4) && port == client.relayedPort())
                atPeer.append(d);
        }
        flush();
    }
    // Upkeep from every read and from the due time, as the proxy runs it, until done() or the time is up.
    bool pump(const std::function<bool()> &done, int timeoutMs)
    {
        const qint64 until = now() + timeoutMs;
        QSignalSpy fromServer(&socket, &QUdpSocket::readyRead);
        QSignalSpy atPeerSpy(&peer, &QUdpSocket::readyRead);
        flush();
        while (!done() && now() < until) {
            const qint64 due = client.nextDueMs();
            const qint64 wait = due < 0 ? StepMs : qBound(qint64(1), due - now(), StepMs);
            if (!fromServer.wait(int(wait)))
                atPeerSpy.wait(1);
            readAll();
        }
        return done();
    }
    void send(const QByteArray &payload)
    {
        const QByteArray wrapped = client.wrapForPeer(Loopback, peer.localPort(), payload.constData(), payload.size(), now());
        flush();   // a permission or channel request goes first
        if (!wrapped.isEmpty())
            socket.writeDatagram(wrapped, Loopback, serverPort);
    }
    void answer(const QByteArray &payload) { peer.writeDatagram(payload, client.relayedAddress(), client.relayedPort()); }

    quint16 serverPort = 0;
};

} // namespace

class TestTurnClientCoturn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void relayThroughCoturn();
    void wrongPasswordFailsFast();
    void deniedPeerRefused();

private:
    bool allocate(Relay &relay, const QByteArray &password);
    QTemporaryDir dir_;
    QProcess server_;
    std::unique_ptr<testsupport::ProcessGuard> guard_;
    quint16 port_ = 0;
};

void TestTurnClientCoturn::initTestCase()
{
    KIVRA_REQUIRE_NETNS();
    const QString turnserver = QStandardPaths::findExecutable(QStringLiteral("turnserver"));
    if (turnserver.isEmpty()) {
        if (testsupport::underCi())
            QFAIL("turnserver (coturn) is missing: scripts/install-deps.sh");
        QSKIP("turnserver (coturn) is missing: scripts/install-deps.sh");
    }
    QVERIFY(dir_.isValid());
    port_ = freeUdpPort();
    QVERIFY(port_ != 0);
    const QStringList arguments{
        "-n", "--listening-ip=127.0.0.1", QStringLiteral("--listening-port=%1").arg(port_), "--relay-ip=127.0.0.1",
        "--min-port=49152", "--max-port=49200", "--lt-cred-mech", "--user=u:p", "--realm=kivra",
        "--userdb=" + dir_.filePath("turndb"), "--pidfile=" + dir_.filePath("turnserver.pid"), "--no-tls", "--no-dtls",
        "--no-cli", "--allow-loopback-peers", "--denied-peer-ip=" + DeniedPeer.toString(), "--fingerprint",
        QStringLiteral("--max-allocate-lifetime=%1").arg(ServerLifetimeS),
        QStringLiteral("--permission-lifetime=%1").arg(ServerLifetimeS),
        QStringLiteral("--channel-lifetime=%1").arg(ServerLifetimeS), QStringLiteral("--stale-nonce=%1").arg(StaleNonceS),
        "--log-file=stdout", "--simple-log"};
    server_.setProcessChannelMode(QProcess::MergedChannels);
    server_.setStandardOutputFile(dir_.filePath("turnserver.log"));
    server_.start(turnserver, arguments);
    guard_ = std::make_unique<testsupport::ProcessGuard>(&server_);
    QVERIFY(server_.waitForStarted(5000));

    // Ready once it answers a Binding request (sent again every 100 ms, for at most 10 s).
    QUdpSocket probe;
    QVERIFY(probe.bind(Loopback, 0));
    QSignalSpy answered(&probe, &QUdpSocket::readyRead);
    for (int i = 0; i < 100 && answered.isEmpty() && server_.state() == QProcess::Running; ++i) {
        probe.writeDatagram(wire::stun::bindingRequest(wire::stun::newTransactionId()), Loopback, port_);
        answered.wait(100);
    }
    QVERIFY2(!answered.isEmpty(), "turnserver never answered a Binding request");
}

void TestTurnClientCoturn::cleanup()
{
    QFile log(dir_.filePath("turnserver.log"));
    if (QTest::currentTestFailed() && log.open(QIODevice::ReadOnly))
        qWarning("turnserver log:\n%s", log.readAll().right(4000).constData());
}

void TestTurnClientCoturn::cleanupTestCase()
{
    guard_.reset();
}

bool TestTurnClientCoturn::allocate(Relay &relay, const QByteArray &password)
{
    relay.serverPort = port_;
    relay.client.setUpkeepPeriods(UpkeepPeriodMs, UpkeepPeriodMs);
    relay.client.start(TurnServerConfig{Loopback, port_, "u", password}, relay.now());
    return relay.pump([&] { return relay.client.state() != TurnClient::State::Allocating; }, 3000);
}

void TestTurnClientCoturn::relayThroughCoturn()
{
    Relay relay;
    QVERIFY(allocate(relay, "p"));
    QCOMPARE(relay.client.state(), TurnClient::State::Allocated);
    QCOMPARE(relay.client.relayedAddress(), Loopback);
    QCOMPARE(relay.client.mappedPort(), relay.socket.localPort());
    QCOMPARE(relay.client.grantedLifetimeMs(), ServerLifetimeS * 1000);

    // Send indications and Data indications.
    relay.client.permit(Loopback, relay.now());
    QVERIFY(relay.pump([&] { return relay.client.permitted(Loopback); }, 2000));
    relay.send("to peer 1");
    QVERIFY(relay.pump([&] { return !relay.atPeer.isEmpty(); }, 2000));
    QCOMPARE(relay.atPeer.first(), QByteArray("to peer 1"));
    relay.answer("from peer 1");
    QVERIFY(relay.pump([&] { return !relay.fromPeer.isEmpty(); }, 2000));
    QCOMPARE(relay.fromPeer.first(), QByteArray("from peer 1"));

    // Steady traffic earns a channel; both directions then use ChannelData.
    for (int i = 0; i < 8; ++i)
        relay.send("steady");
    QVERIFY(relay.pump([&] { return relay.client.channel(Loopback, relay.peer.localPort()) != 0; }, 2000));
    relay.atPeer.clear();
    relay.fromPeer.clear();
    relay.send("over the channel");
    QVERIFY(relay.pump([&] { return relay.atPeer.contains("over the channel"); }, 2000));
    relay.answer("back over the channel");
    QVERIFY(relay.pump([&] { return relay.fromPeer.contains("back over the channel"); }, 2000));

    // Past two lifetimes (and stale nonces) the allocation, permission and channel still carry.
    QVERIFY(!relay.pump([&] { return relay.client.state() != TurnClient::State::Allocated; }, KeepAliveMs));
    relay.atPeer.clear();
    relay.fromPeer.clear();
    relay.send("still there");
    relay.answer("still here");
    QVERIFY(relay.pump([&] { return relay.atPeer.contains("still there") && relay.fromPeer.contains("still here"); },
                       2000));
    QVERIFY(relay.client.channel(Loopback, relay.peer.localPort()) != 0);

    relay.client.stop(relay.now());
    relay.flush();
}

void TestTurnClientCoturn::wrongPasswordFailsFast()
{
    Relay relay;
    const qint64 startedAt = relay.now();
    QVERIFY(allocate(relay, "wrong"));
    QCOMPARE(relay.client.state(), TurnClient::State::Failed);
    QCOMPARE(relay.client.failure(), QStringLiteral("401 bad credentials"));
    QVERIFY(relay.now() - startedAt < 1000);
}

void TestTurnClientCoturn::deniedPeerRefused()
{
    Relay relay;
    QVERIFY(allocate(relay, "p"));
    const qint64 askedAt = relay.now();
    relay.client.permit(DeniedPeer, askedAt);
    QVERIFY(relay.pump([&] { return relay.client.permission(DeniedPeer) != TurnClient::Permission::Pending; }, 2000));
    QCOMPARE(relay.client.permission(DeniedPeer), TurnClient::Permission::Refused);
    QVERIFY(relay.now() - askedAt < 1000);
    QCOMPARE(relay.client.state(), TurnClient::State::Allocated);
    relay.client.stop(relay.now());
    relay.flush();
}

KIVRA_NETNS_TEST_MAIN(TestTurnClientCoturn)
#include "tst_turnclient_coturn.moc"
