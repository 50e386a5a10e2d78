// The relay client's state machine against fabricated server answers on a fabricated clock:
// the Allocate exchanges and how each failure ends, which answers are ignored, the refresh
// schedule, permissions, channels after steady traffic, and what arrives from peers.
#include "proxy/turnclient.h"

#include <QTest>

namespace stun = wire::stun;
using State = TurnClient::State;
using Permission = TurnClient::Permission;

Q_DECLARE_METATYPE(TurnClient::State)

namespace {

const QHostAddress ServerAddress("127.0.0.1");
constexpr quint16 ServerPort = 3478;
const QByteArray Realm = "kivra";
const QByteArray Key = stun::longTermKey("u", Realm, "p");
const QHostAddress Peer("198.51.100.7");
constexpr quint16 PeerPort = 6006;
const stun::Endpoint Relayed{QHostAddress("203.0.113.1"), 50000};
const stun::Endpoint Mapped{QHostAddress("192.0.2.10"), 40000};
const QByteArray Game = "game datagram";

stun::Message parsed(const QByteArray &bytes)
{
    const std::optional<stun::Message> message = stun::parse(bytes.constData(), bytes.size());
    return message.value_or(stun::Message{});
}

// The fake server's answer to one request. Kinds: "success" (signed), "badsig" (signed with
// another key), "401", "438" (unsigned challenges with a fresh nonce), "403", "486", "437"
// (signed errors), "403unsigned".
QByteArray answer(const QByteArray &request, const QString &kind, quint32 lifetimeS = 600)
{
    const stun::Message r = parsed(request);
    const stun::Credentials sign{{}, {}, {}, kind == QLatin1String("badsig") ? QByteArray("wrong") : Key};
    if (kind == QLatin1String("success") || kind == QLatin1String("badsig")) {
        QList<stun::RawAttribute> attributes;
        if (r.method == stun::Method::Allocate)
            attributes = {{stun::attribute::XorRelayedAddress, stun::xorAddressValue(Relayed, r.transactionId)},
                          {stun::attribute::XorMappedAddress, stun::xorAddressValue(Mapped, r.transactionId)}};
        if (r.method == stun::Method::Allocate || r.method == stun::Method::Refresh)
            attributes.append({stun::attribute::Lifetime, stun::uint32Value(lifetimeS)});
        return stun::encode(r.method, stun::Class::SuccessResponse, r.transactionId, attributes, sign);
    }
    const int code = kind.left(3).toInt();
    QList<stun::RawAttribute> attributes{{stun::attribute::ErrorCode, stun::errorCodeValue(code, "Reason")}};
    if (code == 401 || code == 438)
        attributes += {{stun::attribute::Realm, Realm}, {stun::attribute::Nonce, "nonce-" + r.transactionId.toHex()}};
    const bool signedError = code != 401 && code != 438 && !kind.endsWith(QLatin1String("unsigned"));
    return stun::encode(r.method, stun::Class::ErrorResponse, r.transactionId, attributes,
                        signedError ? sign : stun::Credentials{});
}

// A client and the requests it sent, on a clock the test moves.
struct Harness
{
    TurnClient client;
    qint64 now = 0;
    QList<QByteArray> sent;   // every datagram takeOutgoing gave, in order

    QList<QByteArray> take()
    {
        const QList<QByteArray> out = client.takeOutgoing(now);
        sent += out;
        return out;
    }
    QByteArray last() const { return sent.isEmpty() ? QByteArray() : sent.last(); }
    void feed(const QByteArray &datagram) { client.handleDatagram(ServerAddress, ServerPort, datagram.constData(), datagram.size(), now); }
    void reply(const QString &kind, quint32 lifetimeS = 600) { feed(answer(last(), kind, lifetimeS)); }
    // Advances in 10 ms steps, taking what falls due, until the state leaves `from` or the time is up.
    void runWhile(State from, qint64 untilMs)
    {
        while (client.state() == from && now < untilMs) {
            now += 10;
            take();
        }
    }
    int count(stun::Method method) const
    {
        int n = 0;
        for (const QByteArray &d : sent)
            if (stun::looksLikeStun(d.constData(), d.size()) && parsed(d).method == method
                && parsed(d).messageClass == stun::Class::Request)
                ++n;
        return n;
    }
    void start()
    {
        client.start(TurnServerConfig{ServerAddress, ServerPort, "u", "p"}, now);
        take();
    }
    void allocate(quint32 lifetimeS = 600)
    {
        start();
        reply("401");
        take();
        reply("success", lifetimeS);
    }
    void permit()
    {
        client.permit(Peer, now);
        take();
        reply("success");
    }
};

} // namespace

class TestTurnClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void allocation_data();
    void allocation();
    void silentServerRetransmitsThenFails();
    void ignoredAnswers_data();
    void ignoredAnswers();
    void refreshSchedule();
    void refreshLapses();
    void permissions_data();
    void permissions();
    void permissionRefresh();
    void permitWhileAllocating();
    void channelAfterSteadyTraffic();
    void noChannelForSparseTraffic();
    void fromPeers_data();
    void fromPeers();
    void stopReleases();
};

void TestTurnClient::allocation_data()
{
    // The answers to the requests after the first Allocate, which always gets the 401 challenge.
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<State>("state");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("allocates");   // Allocate requests sent, retransmissions aside
    QTest::newRow("401 then success") << QStringList{"success"} << State::Allocated << QString() << 2;
    QTest::newRow("438 retried once") << QStringList{"438", "success"} << State::Allocated << QString() << 3;
    QTest::newRow("438 twice") << QStringList{"438", "438"} << State::Failed << QString("438 Reason") << 3;
    QTest::newRow("wrong credentials") << QStringList{"401"} << State::Failed << QString("401 bad credentials") << 2;
    QTest::newRow("403") << QStringList{"403"} << State::Failed << QString("403 Reason") << 2;
    QTest::newRow("486") << QStringList{"486"} << State::Failed << QString("486 Reason") << 2;
    QTest::newRow("437: old allocation released, then allocated")
        << QStringList{"437", "success", "success"} << State::Allocated << QString() << 3;
    QTest::newRow("437 twice") << QStringList{"437", "437", "437"} << State::Failed << QString("437 Reason") << 3;
    QTest::newRow("unsigned 403 ignored: timeout") << QStringList{"403unsigned"} << State::Failed << QString("timeout")
                                                   << 2;
}

void TestTurnClient::allocation()
{
    QFETCH(QStringList, answers);
    QFETCH(State, state);
    QFETCH(QString, failure);
    QFETCH(int, allocates);
    Harness h;
    h.start();
    QCOMPARE(h.client.state(), State::Allocating);
    QVERIFY(!stun::checkIntegrity(parsed(h.last()), Key));   // the first Allocate is unauthenticated
    h.reply("401");
    for (const QString &kind : std::as_const(answers)) {
        h.now += 10;
        h.take();
        QVERIFY(stun::checkIntegrity(parsed(h.last()), Key));
        h.reply(kind);
    }
    h.runWhile(State::Allocating, 1500);
    QCOMPARE(h.client.state(), state);
    QCOMPARE(h.client.failure(), failure);
    QVERIFY(h.now <= 1000);   // the direct path goes on within a second of start
    QList<QByteArray> distinct;
    for (const QByteArray &d : std::as_const(h.sent))
        if (parsed(d).method == stun::Method::Allocate && !distinct.contains(d))
            distinct.append(d);
    QCOMPARE(int(distinct.size()), allocates);
    if (answers.first() == QLatin1String("437"))
        QCOMPARE(parsed(h.sent.at(2)).lifetime().value_or(99), 0u);   // the release of the old allocation
    if (state == State::Allocated) {
        QCOMPARE(h.client.relayedAddress(), Relayed.address);
        QCOMPARE(h.client.relayedPort(), Relayed.port);
        QCOMPARE(h.client.mappedAddress(), Mapped.address);
        QCOMPARE(h.client.mappedPort(), Mapped.port);
        QCOMPARE(h.client.grantedLifetimeMs(), 600000);
    }
}

void TestTurnClient::silentServerRetransmitsThenFails()
{
    Harness h;
    h.start();
    QList<qint64> sendTimes{0};
    while (h.client.state() == State::Allocating && h.now < 5000) {
        h.now += 10;
        if (!h.take().isEmpty())
            sendTimes.append(h.now);
    }
    QCOMPARE(sendTimes, (QList<qint64>{0, 100, 300, 700}));   // RTO 100 ms, doubling
    QCOMPARE(h.client.state(), State::Failed);
    QCOMPARE(h.client.failure(), QString("timeout"));
    QCOMPARE(h.now, 1000);
    QCOMPARE(h.client.nextDueMs(), -1);
}

void TestTurnClient::ignoredAnswers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("sender");   // "address port"
    QTest::addColumn<bool>("otherTransaction");
    const QString server = QStringLiteral("127.0.0.1 3478");
    QTest::newRow("wrong integrity") << QString("badsig") << server << false;
    QTest::newRow("answer from a stranger") << QString("success") << QString("127.0.0.2 3478") << false;
    QTest::newRow("answer from the server's address, other port") << QString("success") << QString("127.0.0.1 3479")
                                                                  << false;
    QTest::newRow("unknown transaction") << QString("success") << server << true;
    QTest::newRow("answer of another method") << QString("refresh") << server << false;
}

void TestTurnClient::ignoredAnswers()
{
    QFETCH(QString, kind);
    QFETCH(QString, sender);
    QFETCH(bool, otherTransaction);
    Harness h;
    h.start();
    h.reply("401");
    h.take();
    const QByteArray request = h.last();
    QByteArray forged = answer(request, kind);
    if (otherTransaction)
        forged = answer(stun::allocateRequest(stun::newTransactionId(), 600, {}), kind);
    if (kind == QLatin1String("refresh"))
        forged = stun::encode(stun::Method::Refresh, stun::Class::SuccessResponse, parsed(request).transactionId, {},
                              {{}, {}, {}, Key});
    const QStringList from = sender.split(' ');
    const TurnClient::PeerDatagram none =
        h.client.handleDatagram(QHostAddress(from.at(0)), quint16(from.at(1).toUInt()), forged.constData(), forged.size(), h.now);
    QVERIFY(!none.valid);
    QCOMPARE(h.client.state(), State::Allocating);
    h.now += 100;
    QCOMPARE(h.take(), QList<QByteArray>{request});   // still waiting: retransmitted
    h.feed(answer(request, "success"));
    QCOMPARE(h.client.state(), State::Allocated);
}

void TestTurnClient::refreshSchedule()
{
    // A server granting 20 s (the lab's short lifetimes) is refreshed halfway, every time.
    Harness h;
    h.allocate(20);
    QCOMPARE(h.client.grantedLifetimeMs(), 20000);
    const qint64 allocatedAt = h.now;
    QCOMPARE(h.client.nextDueMs(), allocatedAt + 10000);
    h.now = allocatedAt + 9990;
    QVERIFY(h.take().isEmpty());
    h.now = allocatedAt + 10000;
    QCOMPARE(h.take().size(), 1);
    QCOMPARE(parsed(h.last()).method, stun::Method::Refresh);
    QCOMPARE(parsed(h.last()).lifetime().value_or(0), 600u);
    h.reply("438");   // the nonce expired: retried at once with the new one
    h.take();
    QCOMPARE(parsed(h.last()).nonce(), "nonce-" + parsed(h.sent.at(h.sent.size() - 2)).transactionId.toHex());
    h.reply("success", 20);
    QCOMPARE(h.client.state(), State::Allocated);
    QCOMPARE(h.client.nextDueMs(), h.now + 10000);
}

void TestTurnClient::refreshLapses()
{
    Harness h;
    h.allocate(20);
    h.now += 10000;
    h.take();
    h.runWhile(State::Allocated, h.now + 10000);
    QCOMPARE(h.client.state(), State::Failed);
    QCOMPARE(h.client.failure(), QString("timeout"));
}

void TestTurnClient::permissions_data()
{
    QTest::addColumn<QString>("kind");   // the answer to CreatePermission, empty for none
    QTest::addColumn<int>("permission");
    QTest::addColumn<bool>("wraps");
    QTest::newRow("granted") << QString("success") << int(Permission::Granted) << true;
    QTest::newRow("403 refused") << QString("403") << int(Permission::Refused) << false;
    QTest::newRow("silent: refused within a second") << QString() << int(Permission::Refused) << false;
    QTest::newRow("wrong integrity: refused within a second") << QString("badsig") << int(Permission::Refused) << false;
}

void TestTurnClient::permissions()
{
    QFETCH(QString, kind);
    QFETCH(int, permission);
    QFETCH(bool, wraps);
    Harness h;
    h.allocate();
    h.client.permit(QHostAddress("::ffff:198.51.100.7"), h.now);   // the same peer, as a dual-stack socket names it
    QCOMPARE(h.take().size(), 1);
    const stun::Message request = parsed(h.last());
    QCOMPARE(request.method, stun::Method::CreatePermission);
    QCOMPARE(request.xorPeerAddress().value_or(stun::Endpoint{}).address, Peer);
    QCOMPARE(h.client.permission(Peer), Permission::Pending);
    const qint64 askedAt = h.now;
    if (!kind.isEmpty())
        h.reply(kind);
    while (h.client.permission(Peer) == Permission::Pending && h.now < askedAt + 2000) {
        h.now += 10;
        h.take();
    }
    QCOMPARE(int(h.client.permission(Peer)), permission);
    QVERIFY(h.now <= askedAt + 1000);
    QCOMPARE(h.client.state(), State::Allocated);   // a refused peer leaves the allocation alone
    QCOMPARE(!h.client.wrapForPeer(Peer, PeerPort, Game.constData(), Game.size(), h.now).isEmpty(), wraps);
}

void TestTurnClient::permissionRefresh()
{
    Harness h;
    h.client.setUpkeepPeriods(8000, 9000);
    h.allocate(600);
    h.permit();
    QVERIFY(h.client.permitted(Peer));
    const qint64 grantedAt = h.now;
    h.now = grantedAt + 7990;
    QVERIFY(h.take().isEmpty());
    h.now = grantedAt + 8000;
    QCOMPARE(h.take().size(), 1);
    QCOMPARE(parsed(h.last()).method, stun::Method::CreatePermission);
    QVERIFY(h.client.permitted(Peer));   // still in force while the refresh is on its way
    h.reply("success");
    QCOMPARE(h.client.nextDueMs(), h.now + 8000);
}

void TestTurnClient::permitWhileAllocating()
{
    Harness h;
    h.start();
    h.client.permit(Peer, h.now);
    h.reply("401");
    h.take();
    QCOMPARE(h.count(stun::Method::CreatePermission), 0);
    h.reply("success");
    QCOMPARE(h.take().size(), 1);
    QCOMPARE(parsed(h.last()).method, stun::Method::CreatePermission);
    h.reply("success");
    QVERIFY(h.client.permitted(Peer));
}

void TestTurnClient::channelAfterSteadyTraffic()
{
    Harness h;
    h.client.setUpkeepPeriods(240000, 9000);
    h.allocate();
    h.permit();
    for (int i = 1; i <= 8; ++i) {
        h.now += 16;
        const QByteArray wrapped = h.client.wrapForPeer(Peer, PeerPort, Game.constData(), Game.size(), h.now);
        const stun::Message send = parsed(wrapped);
        QCOMPARE(send.method, stun::Method::Send);
        QCOMPARE(send.xorPeerAddress().value_or(stun::Endpoint{}), (stun::Endpoint{Peer, PeerPort}));
        QCOMPARE(wrapped.mid(send.data()->offset, send.data()->length), Game);
        QCOMPARE(h.take().size(), i == 8 ? 1 : 0);   // the 8th datagram asks for a channel
    }
    const stun::Message bind = parsed(h.last());
    QCOMPARE(bind.method, stun::Method::ChannelBind);
    QCOMPARE(bind.channelNumber().value_or(0), stun::FirstChannel);
    QCOMPARE(bind.xorPeerAddress().value_or(stun::Endpoint{}), (stun::Endpoint{Peer, PeerPort}));
    h.reply("success");
    QCOMPARE(h.client.channel(Peer, PeerPort), stun::FirstChannel);
    QCOMPARE(h.client.wrapForPeer(Peer, PeerPort, Game.constData(), Game.size(), h.now),
             stun::channelData(stun::FirstChannel, Game.constData(), Game.size()));
    // Another port of the same peer has no channel yet.
    QCOMPARE(parsed(h.client.wrapForPeer(Peer, PeerPort + 1, "x", 1, h.now)).method, stun::Method::Send);
    const qint64 boundAt = h.now;
    h.now = boundAt + 9000;
    h.take();
    QCOMPARE(parsed(h.last()).method, stun::Method::ChannelBind);   // refreshed on the channel period
    QCOMPARE(h.client.channel(Peer, PeerPort), stun::FirstChannel);
}

void TestTurnClient::noChannelForSparseTraffic()
{
    Harness h;
    h.allocate();
    h.permit();
    for (int i = 0; i < 20; ++i) {
        h.now += 1000;   // one datagram a second: never 8 within the window
        h.client.wrapForPeer(Peer, PeerPort, Game.constData(), Game.size(), h.now);
        h.take();
    }
    QCOMPARE(h.count(stun::Method::ChannelBind), 0);
}

void TestTurnClient::fromPeers_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("fromServer");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("peer");   // "address port" of the sender handed on
    const QByteArray tid = stun::newTransactionId();
    const QString peer = Peer.toString() + " 7000";
    QTest::newRow("Data indication") << stun::dataIndication(tid, {Peer, 7000}, Game.constData(), Game.size()) << true
                                     << true << peer;
    QTest::newRow("Data indication from a stranger")
        << stun::dataIndication(tid, {Peer, 7000}, Game.constData(), Game.size()) << false << false << QString();
    QTest::newRow("Data indication for an address without permission")
        << stun::dataIndication(tid, {QHostAddress("198.51.100.8"), 7000}, Game.constData(), Game.size()) << true
        << false << QString();
    QTest::newRow("ChannelData on the bound channel")
        << stun::channelData(stun::FirstChannel, Game.constData(), Game.size()) << true << true
        << (Peer.toString() + " 6006");
    QTest::newRow("ChannelData on an unbound channel")
        << stun::channelData(stun::FirstChannel + 1, Game.constData(), Game.size()) << true << false << QString();
    QTest::newRow("Send indication echoed") << stun::sendIndication(tid, {Peer, 7000}, Game.constData(), Game.size())
                                            << true << false << QString();
    QTest::newRow("game bytes") << Game << true << false << QString();
}

void TestTurnClient::fromPeers()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, fromServer);
    QFETCH(bool, valid);
    QFETCH(QString, peer);
    Harness h;
    h.allocate();
    h.permit();
    for (int i = 0; i < 8; ++i)
        h.client.wrapForPeer(Peer, PeerPort, Game.constData(), Game.size(), h.now);
    h.take();
    h.reply("success");
    QCOMPARE(h.client.channel(Peer, PeerPort), stun::FirstChannel);
    const TurnClient::PeerDatagram got = h.client.handleDatagram(
        fromServer ? ServerAddress : QHostAddress("127.0.0.9"), ServerPort, datagram.constData(), datagram.size(), h.now);
    QCOMPARE(got.valid, valid);
    if (!valid)
        return;
    QCOMPARE(got.peer.toString() + ' ' + QString::number(got.peerPort), peer);
    QCOMPARE(QByteArray(got.data, int(got.size)), Game);
    QVERIFY(got.data >= datagram.constData() && got.data + got.size <= datagram.constData() + datagram.size());
}

void TestTurnClient::stopReleases()
{
    Harness h;
    h.allocate();
    h.client.stop(h.now);
    QCOMPARE(h.client.state(), State::Idle);
    const QList<QByteArray> out = h.take();
    QCOMPARE(out.size(), 1);
    QCOMPARE(parsed(out.first()).method, stun::Method::Refresh);
    QCOMPARE(parsed(out.first()).lifetime().value_or(99), 0u);
    QVERIFY(stun::checkIntegrity(parsed(out.first()), Key));
    QVERIFY(h.take().isEmpty());
    QCOMPARE(h.client.nextDueMs(), -1);
}

QTEST_GUILESS_MAIN(TestTurnClient)
#include "tst_turnclient.moc"
