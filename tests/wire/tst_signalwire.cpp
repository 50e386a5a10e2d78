// Messages to and from the rendezvous server, and the values taken from the quark.
#include "wire/signalwire.h"

#include <QTest>

using wire::signalling::SignalKind;

Q_DECLARE_METATYPE(wire::signalling::SignalKind)

class TestSignalWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matchIdFromQuark_data()
    {
        QTest::addColumn<QString>("quark");
        QTest::addColumn<QString>("matchId");
        QTest::addColumn<int>("side");
        QTest::newRow("matchIdFromQuark: plain") << "abc.1" << "abc" << 1;
        QTest::newRow("matchIdFromQuark: no dot") << "abc" << "abc" << 0;
        QTest::newRow("matchIdFromQuark: several dots, last separates") << "a.b.c.2" << "a.b.c" << 2;
        QTest::newRow("matchIdFromQuark: side not a number") << "abc.x" << "abc" << 0;
        QTest::newRow("matchIdFromQuark: side zero") << "abc.0" << "abc" << 0;
        QTest::newRow("matchIdFromQuark: negative side") << "abc.-3" << "abc" << -3;
        QTest::newRow("matchIdFromQuark: side overflows int") << "abc.99999999999" << "abc" << 0;
        QTest::newRow("matchIdFromQuark: empty side") << "abc." << "abc" << 0;
        QTest::newRow("matchIdFromQuark: dot first") << ".7" << "" << 7;
        QTest::newRow("matchIdFromQuark: empty quark") << "" << "" << 0;
        QTest::newRow("matchIdFromQuark: utf-8 id") << QStringLiteral("sal\u00f3n-12.2") << QStringLiteral("sal\u00f3n-12") << 2;
    }
    void matchIdFromQuark()
    {
        QFETCH(QString, quark);
        QFETCH(QString, matchId);
        QFETCH(int, side);
        QCOMPARE(wire::signalling::matchIdFromQuark(quark), matchId);
        QCOMPARE(wire::signalling::sideFromQuark(quark), side);
    }

    void derivedPort_data()
    {
        QTest::addColumn<QString>("quark");
        QTest::addColumn<int>("port");
        QTest::newRow("derivedPort: four digits") << "m-1234.1" << 41234;
        QTest::newRow("derivedPort: three digits") << "m-123.1" << 4123;
        QTest::newRow("derivedPort: five digits overflow") << "m-12345.1" << 0;
        QTest::newRow("derivedPort: dash then dot") << "m-.1" << 4;
        QTest::newRow("derivedPort: no dash") << "m1234.1" << 0;
        QTest::newRow("derivedPort: dash last") << "m-" << 0;
        QTest::newRow("derivedPort: no dot after the run") << "m-5535" << 45535;
        QTest::newRow("derivedPort: first dash counts") << "a-12-34.1" << 0;
        QTest::newRow("derivedPort: letter in run") << "m-12a4.1" << 0;
        QTest::newRow("derivedPort: empty quark") << "" << 0;
        QTest::newRow("derivedPort: largest") << "m-5535.1" << 45535;
        QTest::newRow("derivedPort: sign in run") << "m-+12.1" << 0;
    }
    void derivedPort()
    {
        QFETCH(QString, quark);
        QFETCH(int, port);
        QCOMPARE(wire::signalling::derivedPortFromQuark(quark), port);
    }

    void buildMessages()
    {
        QCOMPARE(wire::signalling::signalMessage("register", "abc", 1), QByteArray("register/abc/1"));
        QCOMPARE(wire::signalling::signalMessage("udp_ready", "abc", -2), QByteArray("udp_ready/abc/-2"));
        QCOMPARE(wire::signalling::signalMessage("udp_failed", "", 3), QByteArray("udp_failed//3"));
        QCOMPARE(wire::signalling::peerAckMessage(QStringLiteral("abc"), QHostAddress(QStringLiteral("10.1.2.3")), 6006),
                 QByteArray("peer_ack/abc/10.1.2.3/6006"));
        QCOMPARE(wire::signalling::signalMessage("register", QStringLiteral("sal\u00f3n").toUtf8(), 1),
                 QByteArray("register/sal\xc3\xb3n/1"));
    }

    void parseMessages_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<SignalKind>("kind");
        QTest::addColumn<QString>("matchId");
        QTest::addColumn<int>("side");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");
        QTest::newRow("parseMessages: registered") << QByteArray("registered/abc/1") << SignalKind::Registered << "abc" << 1 << "" << 0;
        QTest::newRow("parseMessages: extra fields ignored") << QByteArray("registered/abc/1/x/y") << SignalKind::Registered << "abc" << 1 << "" << 0;
        QTest::newRow("parseMessages: ready_ack") << QByteArray("ready_ack/abc/2") << SignalKind::ReadyAck << "abc" << 2 << "" << 0;
        QTest::newRow("parseMessages: failure_ack negative side") << QByteArray("failure_ack/abc/-1") << SignalKind::FailureAck << "abc" << -1 << "" << 0;
        QTest::newRow("parseMessages: too few fields") << QByteArray("registered/abc") << SignalKind::Other << "" << 0 << "" << 0;
        QTest::newRow("parseMessages: upper case type") << QByteArray("Registered/abc/1") << SignalKind::Other << "" << 0 << "" << 0;
        QTest::newRow("parseMessages: type with suffix") << QByteArray("registeredx/abc/1") << SignalKind::Other << "" << 0 << "" << 0;
        QTest::newRow("parseMessages: unknown type") << QByteArray("hello/abc/1") << SignalKind::Other << "" << 0 << "" << 0;
        QTest::newRow("parseMessages: empty") << QByteArray("") << SignalKind::Other << "" << 0 << "" << 0;
        QTest::newRow("parseMessages: side not a number") << QByteArray("registered/abc/x") << SignalKind::Registered << "abc" << 0 << "" << 0;
        QTest::newRow("parseMessages: peer") << QByteArray("peer/abc/203.0.113.9/40123") << SignalKind::Peer << "abc" << 0 << "203.0.113.9" << 40123;
        QTest::newRow("parseMessages: peer host name") << QByteArray("peer/abc/example.org/40123") << SignalKind::Peer << "abc" << 0 << "" << 40123;
        QTest::newRow("parseMessages: peer port zero") << QByteArray("peer/abc/203.0.113.9/0") << SignalKind::Peer << "abc" << 0 << "203.0.113.9" << 0;
        QTest::newRow("parseMessages: peer port too big") << QByteArray("peer/abc/203.0.113.9/65536") << SignalKind::Peer << "abc" << 0 << "203.0.113.9" << 0;
        QTest::newRow("parseMessages: peer port not a number") << QByteArray("peer/abc/203.0.113.9/80x") << SignalKind::Peer << "abc" << 0 << "203.0.113.9" << 0;
        QTest::newRow("parseMessages: peer too few fields") << QByteArray("peer/abc/203.0.113.9") << SignalKind::Other << "" << 0 << "" << 0;
    }
    void parseMessages()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(SignalKind, kind);
        QFETCH(QString, matchId);
        QFETCH(int, side);
        QFETCH(QString, address);
        QFETCH(int, port);
        const wire::signalling::SignalMessage message = wire::signalling::parseSignalMessage(datagram);
        QCOMPARE(message.kind, kind);
        QCOMPARE(message.matchId, matchId);
        QCOMPARE(message.side, side);
        QCOMPARE(message.address, address.isEmpty() ? QHostAddress() : QHostAddress(address));
        QCOMPARE(int(message.port), port);
    }
};

QTEST_GUILESS_MAIN(TestSignalWire)
#include "tst_signalwire.moc"
