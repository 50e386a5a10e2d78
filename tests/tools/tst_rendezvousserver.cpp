// The real kivra-rendezvous program on 127.0.0.1 with two sockets playing the two sides.
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <memory>

namespace {

constexpr int ReplyWaitMs = 3000; // ms; generous for a loaded CI machine

// One proxy stand-in: a socket on 127.0.0.1 that talks to the server.
class Side
{
public:
    explicit Side(quint16 serverPort, const QHostAddress &serverAddress = QHostAddress(QHostAddress::LocalHost))
        : server(serverPort), serverHost(serverAddress)
    {
        socket.bind(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return socket.localPort(); }
    void send(const QByteArray &datagram) { socket.writeDatagram(datagram, serverHost, server); }
    // Later sends go to another port of the server.
    void sendTo(quint16 serverPort, const QByteArray &datagram)
    {
        server = serverPort;
        send(datagram);
    }

    // Next datagram that starts with prefix, within timeoutMs; others are collected in seen.
    QByteArray waitFor(const QByteArray &prefix, int timeoutMs = ReplyWaitMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            while (socket.hasPendingDatagrams()) {
                QByteArray data(int(socket.pendingDatagramSize()), '\0');
                quint16 senderPort = 0;
                QHostAddress senderAddress;
                socket.readDatagram(data.data(), data.size(), &senderAddress, &senderPort);
                if (data.startsWith(prefix)) {
                    lastFromPort = senderPort;
                    lastFromAddress = senderAddress;
                    return data;
                }
                seen.append(data);
            }
            socket.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - clock.elapsed())));
        }
        return {};
    }

    QUdpSocket socket;
    QList<QByteArray> seen;
    quint16 lastFromPort = 0; // server port the last awaited datagram came from
    QHostAddress lastFromAddress; // and its address

private:
    quint16 server;
    QHostAddress serverHost;
};

constexpr int RegisterIntervalMs = 750; // ms between a proxy's registers

// The sides register as proxies do: at once and every 750 ms until each has its "peer" (an
// unconfirmed side pays for its announcement with its registers). Returns the announcements,
// empty where none came within 10 rounds.
QList<QByteArray> registerLikeProxies(const QList<Side *> &sides, const QList<QByteArray> &registers)
{
    QList<QByteArray> peers(sides.size());
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < sides.size(); ++i) {
            if (peers.at(i).isEmpty())
                sides.at(i)->send(registers.at(i));
        }
        QElapsedTimer slice;
        slice.start();
        for (int i = 0; i < sides.size(); ++i) {
            if (peers.at(i).isEmpty())
                peers[i] = sides.at(i)->waitFor("peer/", int(qMax<qint64>(1, RegisterIntervalMs - slice.elapsed())));
        }
        if (!peers.contains(QByteArray()))
            break;
        const qint64 rest = RegisterIntervalMs - slice.elapsed();
        if (rest > 0)
            sides.first()->waitFor("never", int(rest)); // keeps the 750 ms rhythm
    }
    return peers;
}

} // namespace

class TestRendezvousServer : public QObject
{
    Q_OBJECT
private slots:
    void playsTwoSides();
    void announcesRebindingSide();
    void refusesBeyondMaxMatches();
    void forgetsIdleMatches();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();
    void refusesBadOptions_data();
    void refusesBadOptions();
    void listensOnEveryPort();
    void answersFromTheAddressAsked();

private:
    // Starts the server on an ephemeral 127.0.0.1 port; returns the port or 0.
    quint16 startServer(QProcess &process, const QStringList &extra = {});
};

quint16 TestRendezvousServer::startServer(QProcess &process, const QStringList &extra)
{
    const QByteArray line = testsupport::startFixture(
        process, QStringLiteral(RENDEZVOUS_BIN),
        QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0")}
            + extra);
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 3 || words.at(0) != "listening" || words.at(1) != "127.0.0.1")
        return 0;
    return quint16(words.at(2).toUShort());
}

void TestRendezvousServer::playsTwoSides()
{
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    const quint16 port = startServer(server);
    QVERIFY(port != 0);
    Side a(port);
    Side b(port);

    a.send("this is not a message");
    const QByteArray toA = "peer/match-1234/127.0.0.1/" + QByteArray::number(b.port());
    const QByteArray toB = "peer/match-1234/127.0.0.1/" + QByteArray::number(a.port());
    const QList<QByteArray> peers = registerLikeProxies({&a, &b}, {"register/match-1234/1", "register/match-1234/2"});
    QCOMPARE(peers.at(0), toA);
    QCOMPARE(peers.at(1), toB);
    // Unacknowledged, the announcement comes again when the side registers again.
    a.send("register/match-1234/1");
    QCOMPARE(a.waitFor("peer/"), toA);

    a.send("peer_ack/match-1234/127.0.0.1/" + QByteArray::number(b.port()));
    a.waitFor("never", 700); // drain what was already on its way
    QCOMPARE(a.waitFor("peer/", 1300), QByteArray());
    // Acknowledged, a register (a restarted proxy) gets its "registered" and the announcement.
    a.send("register/match-1234/1");
    QCOMPARE(a.waitFor("registered/"), QByteArray("registered/match-1234/1"));
    QCOMPARE(a.waitFor("peer/"), toA);

    b.send("udp_ready/match-1234/2");
    QCOMPARE(b.waitFor("ready_ack/"), QByteArray("ready_ack/match-1234/2"));
    a.send("udp_failed/match-1234/1");
    QCOMPARE(a.waitFor("failure_ack/"), QByteArray("failure_ack/match-1234/1"));
    QVERIFY(!a.seen.contains("this is not a message"));
    QCOMPARE(server.state(), QProcess::Running);
}

void TestRendezvousServer::announcesRebindingSide()
{
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    const quint16 port = startServer(server);
    QVERIFY(port != 0);
    Side a(port);
    Side b(port);
    const QList<QByteArray> peers = registerLikeProxies({&a, &b}, {"register/m/1", "register/m/2"});
    QVERIFY(!peers.at(0).isEmpty() && !peers.at(1).isEmpty());
    a.send("peer_ack/m/127.0.0.1/" + QByteArray::number(b.port()));

    // Side 2 comes back from another port of its host, as after a NAT rebinding or a restart;
    // its old endpoint is silent, so after a short quiet time the new one has the side.
    Side moved(port);
    const QByteArray toMoved = registerLikeProxies({&moved}, {"register/m/2"}).at(0);
    if (toMoved.isEmpty())
        qWarning() << "server log:" << (server.waitForReadyRead(500), server.readAllStandardError());
    QCOMPARE(toMoved, "peer/m/127.0.0.1/" + QByteArray::number(a.port()));
    QCOMPARE(a.waitFor("peer/m/127.0.0.1/" + QByteArray::number(moved.port())),
             "peer/m/127.0.0.1/" + QByteArray::number(moved.port()));
}

void TestRendezvousServer::refusesBeyondMaxMatches()
{
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    const quint16 port = startServer(server, {QStringLiteral("--max-matches"), QStringLiteral("1")});
    QVERIFY(port != 0);
    Side a(port);
    Side b(port);
    Side c(port);
    // An acknowledged match: no longer pending, it cannot be made to room.
    const QList<QByteArray> peers = registerLikeProxies({&a, &b}, {"register/first/1", "register/first/2"});
    QVERIFY(!peers.at(0).isEmpty());
    a.send("peer_ack/first/127.0.0.1/" + QByteArray::number(b.port()));
    QCOMPARE(registerLikeProxies({&c}, {"register/second/1"}).at(0), QByteArray());
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += server.readAllStandardError()).contains("refused second 1"), ReplyWaitMs);
}

void TestRendezvousServer::forgetsIdleMatches()
{
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    const quint16 port = startServer(server, {QStringLiteral("--idle-timeout-ms"), QStringLiteral("300")});
    QVERIFY(port != 0);
    Side a(port);
    Side b(port);
    a.send("register/m/1");
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += server.readAllStandardError()).contains("expired m"), ReplyWaitMs);
    b.send("register/m/2");
    b.send("register/m/2");
    QCOMPARE(b.waitFor("peer/", 800), QByteArray());
    QCOMPARE(a.waitFor("peer/", 200), QByteArray());
}

void TestRendezvousServer::endsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestRendezvousServer::endsCleanlyOnSignal()
{
    QFETCH(int, signalNumber);
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    QVERIFY(startServer(server) != 0);
    ::kill(pid_t(server.processId()), signalNumber);
    QVERIFY(server.waitForFinished(ReplyWaitMs));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(server.readAllStandardError().contains("stopping"));
}

void TestRendezvousServer::refusesBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port too big") << QStringList{"--port", "65536"};
    QTest::newRow("port not a number") << QStringList{"--port", "x"};
    QTest::newRow("bind host name") << QStringList{"--bind", "localhost"};
    QTest::newRow("second bind host name") << QStringList{"--bind", "127.0.0.1", "--bind", "localhost"};
    QTest::newRow("same address twice") << QStringList{"--bind", "127.0.0.1", "--bind", "127.0.0.1"};
    QTest::newRow("max matches zero") << QStringList{"--max-matches", "0"};
    QTest::newRow("idle timeout negative") << QStringList{"--idle-timeout-ms", "-1"};
    QTest::newRow("unknown option") << QStringList{"--frobnicate"};
    QTest::newRow("stray argument") << QStringList{"extra"};
    QTest::newRow("second port too big") << QStringList{"--port", "0", "--port", "65536"};
}

void TestRendezvousServer::refusesBadOptions()
{
    QFETCH(QStringList, arguments);
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    server.start(QStringLiteral(RENDEZVOUS_BIN), arguments);
    QVERIFY(server.waitForFinished(ReplyWaitMs));
    QCOMPARE(server.exitCode(), 2);
    QVERIFY(server.readAllStandardOutput().isEmpty());
}

void TestRendezvousServer::listensOnEveryPort()
{
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    const QByteArray line = testsupport::startFixture(
        server, QStringLiteral(RENDEZVOUS_BIN),
        QStringList{"--bind", "127.0.0.1", "--port", "0", "--port", "0", "--port", "0"});
    const QList<QByteArray> words = line.trimmed().split(' ');
    QCOMPARE(words.size(), 5);
    QCOMPARE(words.at(0), QByteArray("listening"));
    const quint16 first = words.at(2).toUShort();
    const quint16 second = words.at(3).toUShort();
    const quint16 third = words.at(4).toUShort();
    QVERIFY(first != 0 && second != 0 && third != 0 && first != second && second != third);

    // One table: the two sides of a match meet although each came to another port, and each
    // hears everything from the port it sent to.
    Side a(first);
    Side b(second);
    const QList<QByteArray> peers = registerLikeProxies({&a, &b}, {"register/m/1", "register/m/2"});
    QCOMPARE(peers.at(0), "peer/m/127.0.0.1/" + QByteArray::number(b.port()));
    QCOMPARE(a.lastFromPort, first);
    QCOMPARE(peers.at(1), "peer/m/127.0.0.1/" + QByteArray::number(a.port()));
    QCOMPARE(b.lastFromPort, second);
    // Repeated announcements, too.
    QCOMPARE(registerLikeProxies({&b}, {"register/m/2"}).at(0), "peer/m/127.0.0.1/" + QByteArray::number(a.port()));
    QCOMPARE(b.lastFromPort, second);

    // Side 1 acknowledges, then turns to the third port: the renewed announcement and the
    // acks follow it.
    a.send("peer_ack/m/127.0.0.1/" + QByteArray::number(b.port()));
    // The ack and the register reach different sockets of the server, which may read the
    // register first; a proxy repeats it every 750 ms, and so do we, three times at most.
    QByteArray registered;
    for (int i = 0; i < 3 && registered.isEmpty(); ++i) {
        a.sendTo(third, "register/m/1");
        registered = a.waitFor("registered/", RegisterIntervalMs);
    }
    QCOMPARE(registered, QByteArray("registered/m/1"));
    QCOMPARE(a.lastFromPort, third);
    QCOMPARE(a.waitFor("peer/"), "peer/m/127.0.0.1/" + QByteArray::number(b.port()));
    QCOMPARE(a.lastFromPort, third);
    a.send("udp_ready/m/1");
    QCOMPARE(a.waitFor("ready_ack/"), QByteArray("ready_ack/m/1"));
    QCOMPARE(a.lastFromPort, third);
}

void TestRendezvousServer::answersFromTheAddressAsked()
{
    // Two addresses of one host (127.0.0.2 is ours inside the test's network namespace): each
    // request is answered from the address it was sent to, or the proxy would drop the answer.
    KIVRA_REQUIRE_NETNS();
    const QHostAddress first(QStringLiteral("127.0.0.1"));
    const QHostAddress second(QStringLiteral("127.0.0.2"));
    constexpr quint16 Port = 7001; // free: the namespace is the test's own
    QProcess server;
    testsupport::ProcessGuard guard(&server);
    const QByteArray line = testsupport::startFixture(
        server, QStringLiteral(RENDEZVOUS_BIN), QStringList{"--bind", "127.0.0.1", "--bind", "127.0.0.2", "--port", "7001"});
    QCOMPARE(line, QByteArray("listening 127.0.0.1 7001"));
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), ReplyWaitMs);
    QCOMPARE(server.readLine().trimmed(), QByteArray("listening 127.0.0.2 7001"));

    Side a(Port, first);
    Side b(Port, second);
    a.send("udp_ready/r/1");
    QCOMPARE(a.waitFor("ready_ack/"), QByteArray("ready_ack/r/1"));
    QCOMPARE(a.lastFromAddress, first);
    b.send("udp_ready/r/2");
    QCOMPARE(b.waitFor("ready_ack/"), QByteArray("ready_ack/r/2"));
    QCOMPARE(b.lastFromAddress, second);

    // The two sides of a match asked different addresses: one table, each hears from its own.
    const QList<QByteArray> peers = registerLikeProxies({&a, &b}, {"register/m/1", "register/m/2"});
    QCOMPARE(peers.at(0), "peer/m/127.0.0.1/" + QByteArray::number(b.port()));
    QCOMPARE(a.lastFromAddress, first);
    QCOMPARE(peers.at(1), "peer/m/127.0.0.1/" + QByteArray::number(a.port()));
    QCOMPARE(b.lastFromAddress, second);
}

KIVRA_NETNS_TEST_MAIN(TestRendezvousServer)
#include "tst_rendezvousserver.moc"
