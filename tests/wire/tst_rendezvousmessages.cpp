// Wire parse/build of the rendezvous server.
#include "wire/signalwire.h"

#include <QTest>

using namespace wire::signalling;

class TestRendezvousMessages : public QObject
{
    Q_OBJECT
private slots:
    void parsesAccepted_data();
    void parsesAccepted();
    void refusesMalformed_data();
    void refusesMalformed();
    void canonicalInt_data();
    void canonicalInt();
    void builds_data();
    void builds();
};

void TestRendezvousMessages::parsesAccepted_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("matchId");
    QTest::addColumn<int>("side");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    const int reg = int(ClientMessageType::Register);
    QTest::newRow("register") << QByteArray("register/m-1234/1") << reg << QByteArray("m-1234") << 1 << QString() << 0;
    QTest::newRow("register negative side") << QByteArray("register/m/-2") << reg << QByteArray("m") << -2 << QString() << 0;
    QTest::newRow("register dotted id") << QByteArray("register/a.b.c/2") << reg << QByteArray("a.b.c") << 2 << QString() << 0;
    QTest::newRow("register utf8 id") << QByteArray("register/m\xc3\xa4tch/1") << reg << QByteArray("m\xc3\xa4tch") << 1 << QString() << 0;
    QTest::newRow("udp_ready") << QByteArray("udp_ready/m/1") << int(ClientMessageType::UdpReady) << QByteArray("m") << 1 << QString() << 0;
    QTest::newRow("udp_failed") << QByteArray("udp_failed/m/2") << int(ClientMessageType::UdpFailed) << QByteArray("m") << 2 << QString() << 0;
    QTest::newRow("peer_ack") << QByteArray("peer_ack/m/203.0.113.7/6006") << int(ClientMessageType::PeerAck) << QByteArray("m") << 0 << QString("203.0.113.7") << 6006;
    QTest::newRow("peer_ack port max") << QByteArray("peer_ack/m/10.0.0.1/65535") << int(ClientMessageType::PeerAck) << QByteArray("m") << 0 << QString("10.0.0.1") << 65535;
    QTest::newRow("peer_ack ipv6") << QByteArray("peer_ack/m/::1/1") << int(ClientMessageType::PeerAck) << QByteArray("m") << 0 << QString("::1") << 1;
}

void TestRendezvousMessages::parsesAccepted()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, type);
    QFETCH(QByteArray, matchId);
    QFETCH(int, side);
    QFETCH(QString, host);
    QFETCH(int, port);
    const std::optional<ClientMessage> message = parseClientMessage(datagram);
    QVERIFY(message.has_value());
    QCOMPARE(int(message->type), type);
    QCOMPARE(message->matchId, matchId);
    QCOMPARE(message->side, side);
    if (!host.isEmpty())
        QCOMPARE(message->host, QHostAddress(host));
    QCOMPARE(int(message->port), port);
}

void TestRendezvousMessages::refusesMalformed_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("type only") << QByteArray("register");
    QTest::newRow("type in capitals") << QByteArray("REGISTER/m/1");
    QTest::newRow("unknown type") << QByteArray("hello/m/1");
    QTest::newRow("server type echoed") << QByteArray("registered/m/1");
    QTest::newRow("missing side") << QByteArray("register/m");
    QTest::newRow("empty side") << QByteArray("register/m/");
    QTest::newRow("side zero") << QByteArray("register/m/0");
    QTest::newRow("side leading zero") << QByteArray("register/m/01");
    QTest::newRow("side plus") << QByteArray("register/m/+1");
    QTest::newRow("side too large") << QByteArray("register/m/2147483648");
    QTest::newRow("side not a number") << QByteArray("register/m/x");
    QTest::newRow("extra field") << QByteArray("register/m/1/x");
    QTest::newRow("slash in id") << QByteArray("register/a/b/1");
    QTest::newRow("empty id") << QByteArray("register//1");
    QTest::newRow("newline in id") << QByteArray("register/a\nfake line/1");
    QTest::newRow("nul in id") << QByteArray("register/a\0b/1", 14);
    QTest::newRow("invalid utf8 id") << QByteArray("register/\xff\xfe/1");
    QTest::newRow("id too long") << QByteArray("register/" + QByteArray(MaxMatchIdBytes + 1, 'a') + "/1");
    QTest::newRow("datagram too long") << QByteArray("register/m/1" + QByteArray(MaxDatagramBytes, ' '));
    QTest::newRow("ack host name") << QByteArray("peer_ack/m/example.org/6006");
    QTest::newRow("ack port zero") << QByteArray("peer_ack/m/10.0.0.1/0");
    QTest::newRow("ack port too big") << QByteArray("peer_ack/m/10.0.0.1/65536");
    QTest::newRow("ack port missing") << QByteArray("peer_ack/m/10.0.0.1");
    QTest::newRow("ack extra field") << QByteArray("peer_ack/m/10.0.0.1/1/2");
    QTest::newRow("punch datagram") << QByteArray("0.1234567890123456 _");
}

void TestRendezvousMessages::refusesMalformed()
{
    QFETCH(QByteArray, datagram);
    QVERIFY(!parseClientMessage(datagram).has_value());
}

void TestRendezvousMessages::canonicalInt_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("zero") << QByteArray("0") << true << 0;
    QTest::newRow("min") << QByteArray("-2147483648") << true << int(-2147483647 - 1);
    QTest::newRow("max") << QByteArray("2147483647") << true << 2147483647;
    QTest::newRow("minus zero") << QByteArray("-0") << false << 0;
    QTest::newRow("minus only") << QByteArray("-") << false << 0;
    QTest::newRow("leading zero") << QByteArray("007") << false << 0;
    QTest::newRow("blank") << QByteArray(" 1") << false << 0;
    QTest::newRow("overflow") << QByteArray("99999999999") << false << 0;
}

void TestRendezvousMessages::canonicalInt()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    int parsed = 12345;
    QCOMPARE(parseCanonicalInt(text, &parsed), ok);
    if (ok)
        QCOMPARE(parsed, value);
}

void TestRendezvousMessages::builds_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("registered") << registeredMessage("m-1", 1) << QByteArray("registered/m-1/1");
    QTest::newRow("registered negative") << registeredMessage("m", -3) << QByteArray("registered/m/-3");
    QTest::newRow("ready_ack") << readyAckMessage("a.b", 2) << QByteArray("ready_ack/a.b/2");
    QTest::newRow("failure_ack") << failureAckMessage("m", 1) << QByteArray("failure_ack/m/1");
    QTest::newRow("peer") << peerMessage("m", QHostAddress("203.0.113.10"), 6006)
                          << QByteArray("peer/m/203.0.113.10/6006");
}

void TestRendezvousMessages::builds()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built, expected);
}

QTEST_GUILESS_MAIN(TestRendezvousMessages)
#include "tst_rendezvousmessages.moc"
