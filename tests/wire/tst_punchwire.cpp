// Punch datagrams, token acceptance, the scan order of the punch sequence, relay control words.
#include "wire/punchwire.h"
#include "wire/relaywire.h"

#include <QSet>
#include <QTest>

class TestPunchWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void isPunchDatagram_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("punch");
        QTest::newRow("isPunchDatagram: both placeholders") << QByteArray("_ _") << true;
        QTest::newRow("isPunchDatagram: hello") << QByteArray("0.1234567890123456 _") << true;
        QTest::newRow("isPunchDatagram: acknowledged") << QByteArray("0.1 0.2 ok") << true;
        QTest::newRow("isPunchDatagram: token, placeholder, ok") << QByteArray("0.5 _ ok") << true;
        QTest::newRow("isPunchDatagram: hex then decimal") << QByteArray("DEADbeef 0.77") << true;
        QTest::newRow("isPunchDatagram: bare 0.") << QByteArray("0. 0.") << true;
        QTest::newRow("isPunchDatagram: 0. with anything after") << QByteArray("0.x! _") << true;
        QTest::newRow("isPunchDatagram: single field") << QByteArray("0.1234") << false;
        QTest::newRow("isPunchDatagram: third field not ok") << QByteArray("0.1 0.2 OK") << false;
        QTest::newRow("isPunchDatagram: third field ok plus") << QByteArray("0.1 0.2 okk") << false;
        QTest::newRow("isPunchDatagram: four fields") << QByteArray("0.1 0.2 ok x") << false;
        QTest::newRow("isPunchDatagram: trailing space") << QByteArray("0.1 0.2 ok ") << false;
        QTest::newRow("isPunchDatagram: non-hex first field") << QByteArray("hello _") << false;
        QTest::newRow("isPunchDatagram: leading space") << QByteArray(" 0.1 _") << false;
        QTest::newRow("isPunchDatagram: two spaces") << QByteArray("0.1  _") << false;
        QTest::newRow("isPunchDatagram: empty") << QByteArray() << false;
        QTest::newRow("isPunchDatagram: keepalive") << QByteArray("ping") << false;
        QTest::newRow("isPunchDatagram: legacy PUNCH") << QByteArray("PUNCH") << false;
        QTest::newRow("isPunchDatagram: probe") << QByteArray("KVRA ping 1 2") << false;
        QTest::newRow("isPunchDatagram: hex pair") << QByteArray("ab 01") << true;
        QTest::newRow("isPunchDatagram: negative number") << QByteArray("-0.1 _") << false;
    }
    void isPunchDatagram()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, punch);
        QCOMPARE(wire::punch::isPunchDatagram(data), punch);
    }

    // The one parse the punch loop and the late-punch answer use.
    void parse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("quoted");
        QTest::addColumn<bool>("acknowledged");
        QTest::newRow("parse: hello") << QByteArray("0.1 _") << true << QByteArray("0.1") << QByteArray("_") << false;
        QTest::newRow("parse: answer") << QByteArray("0.1 0.2 ok") << true << QByteArray("0.1") << QByteArray("0.2")
                                       << true;
        QTest::newRow("parse: two tokens without ok") << QByteArray("0.1 0.2") << true << QByteArray("0.1")
                                                      << QByteArray("0.2") << false;
        QTest::newRow("parse: third field not ok") << QByteArray("0.1 0.2 no") << false << QByteArray()
                                                   << QByteArray() << false;
        QTest::newRow("parse: game bytes") << QByteArray("G1 frame") << false << QByteArray() << QByteArray()
                                           << false;
    }
    void parse()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, valid);
        QFETCH(QByteArray, sender);
        QFETCH(QByteArray, quoted);
        QFETCH(bool, acknowledged);
        const wire::punch::PunchFields fields = wire::punch::parsePunchDatagram(data);
        QCOMPARE(fields.valid, valid);
        QCOMPARE(fields.senderToken, sender);
        QCOMPARE(fields.quotedToken, quoted);
        QCOMPARE(fields.acknowledged, acknowledged);
    }

    void echoedToken_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("echoed");
        QTest::newRow("echoedToken: answer quoting a token") << QByteArray("0.1 0.2 ok") << QByteArray("0.2");
        QTest::newRow("echoedToken: two fields quoting a token") << QByteArray("abc 0.2") << QByteArray("0.2");
        QTest::newRow("echoedToken: hello quotes nothing") << QByteArray("0.1 _") << QByteArray();
        QTest::newRow("echoedToken: not a punch quotes nothing") << QByteArray("0.1 0.2 no") << QByteArray();
        QTest::newRow("echoedToken: empty second field") << QByteArray("0.1  ok") << QByteArray();
    }
    void echoedToken()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, echoed);
        QCOMPARE(wire::punch::echoedToken(data), echoed);
    }

    void tokens()
    {
        QCOMPARE(wire::punch::tokenFromRandom(0.0), QByteArray("0.0000000000000000"));
        QCOMPARE(wire::punch::tokenFromRandom(0.25), QByteArray("0.2500000000000000"));
        const QByteArray t = wire::punch::tokenFromRandom(0.123456789);
        QCOMPARE(t.size(), 18);
        QVERIFY(t.startsWith("0."));
        QCOMPARE(wire::punch::punchDatagram("0.1", wire::punch::UnknownToken), QByteArray("0.1 _"));
        QCOMPARE(wire::punch::punchDatagram("0.1", "0.2"), QByteArray("0.1 0.2 ok"));
        QVERIFY(wire::punch::isPunchDatagram(wire::punch::punchDatagram(t, wire::punch::UnknownToken)));
        QVERIFY(wire::punch::isPunchDatagram(wire::punch::punchDatagram(t, t)));
        QVERIFY(!wire::punch::isAcceptedToken(QByteArray()));
    }

    void wrapPort_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("wrapped");
        QTest::newRow("wrapPort: zero") << 0 << 65535;
        QTest::newRow("wrapPort: minus one") << -1 << 65534;
        QTest::newRow("wrapPort: one above") << 65536 << 1;
        QTest::newRow("wrapPort: in range") << 6006 << 6006;
        QTest::newRow("wrapPort: top") << 65535 << 65535;
        QTest::newRow("wrapPort: one") << 1 << 1;
    }
    void wrapPort()
    {
        QFETCH(int, port);
        QFETCH(int, wrapped);
        QCOMPARE(wire::punch::wrapPort(port), wrapped);
    }

    // The neighbourhood scan: nearest first, the higher port before the lower one.
    void scanOrder_data()
    {
        QTest::addColumn<int>("centre");
        QTest::addColumn<int>("firstOffset");
        QTest::addColumn<QList<int>>("firstPorts");
        QTest::newRow("scanOrder: middle") << 40000 << 1 << QList<int>{40001, 39999, 40002, 39998};
        QTest::newRow("scanOrder: from offset zero tries the centre twice")
            << 40000 << 0 << QList<int>{40000, 40000, 40001, 39999};
        QTest::newRow("scanOrder: near 1 wraps below to the top")
            << 2 << 1 << QList<int>{3, 1, 4, 65535, 5, 65534};
        QTest::newRow("scanOrder: at 1") << 1 << 1 << QList<int>{2, 65535, 3, 65534};
        QTest::newRow("scanOrder: near 65535 wraps above to 1")
            << 65534 << 1 << QList<int>{65535, 65533, 1, 65532, 2, 65531};
        QTest::newRow("scanOrder: at 65535") << 65535 << 1 << QList<int>{1, 65534, 2, 65533};
    }
    void scanOrder()
    {
        QFETCH(int, centre);
        QFETCH(int, firstOffset);
        QFETCH(QList<int>, firstPorts);
        for (int i = 0; i < firstPorts.size(); ++i)
            QCOMPARE(wire::punch::scanPort(centre, firstOffset, i), firstPorts.at(i));
    }

    void scanCovers_data()
    {
        QTest::addColumn<int>("centre");
        QTest::newRow("scanCovers: 100") << 100;
        QTest::newRow("scanCovers: 30000") << 30000;
        QTest::newRow("scanCovers: 65300") << 65300;
    }
    // 1024 steps cover exactly the 512 ports on each side, each once, all valid ports.
    void scanCovers()
    {
        QFETCH(int, centre);
        QSet<int> seen;
        for (int i = 0; i < 1024; ++i) {
            const int port = wire::punch::scanPort(centre, 1, i);
            QVERIFY(port >= 1 && port <= 65535);
            seen.insert(port);
        }
        QCOMPARE(seen.size(), 1024);
        QVERIFY(!seen.contains(centre));
        QCOMPARE(wire::punch::scanPort(centre, 1, 1022), wire::punch::wrapPort(centre + 512));
        QCOMPARE(wire::punch::scanPort(centre, 1, 1023), wire::punch::wrapPort(centre - 512));
    }

    void reservedPorts()
    {
        QVERIFY(!wire::punch::isReservedSourcePort(6999));
        QVERIFY(wire::punch::isReservedSourcePort(7000));
        QVERIFY(wire::punch::isReservedSourcePort(7002));
        QVERIFY(!wire::punch::isReservedSourcePort(7003));
        QVERIFY(!wire::punch::isScanExempt(6005));
        QVERIFY(wire::punch::isScanExempt(6006));
        QVERIFY(wire::punch::isScanExempt(6008));
        QVERIFY(!wire::punch::isScanExempt(6009));
    }

    void relayControl_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("keepalive");
        QTest::addColumn<bool>("startupControl");
        QTest::newRow("relayControl: ping") << QByteArray("ping") << true << true;
        QTest::newRow("relayControl: ping plus byte") << QByteArray("pingx") << false << false;
        QTest::newRow("relayControl: PUNCH") << QByteArray("PUNCH") << false << true;
        QTest::newRow("relayControl: PUNCH plus") << QByteArray("PUNCH!") << false << false;
        QTest::newRow("relayControl: contains space underscore") << QByteArray("abc _def") << false << true;
        QTest::newRow("relayControl: contains space ok") << QByteArray("game ok") << false << true;
        QTest::newRow("relayControl: game") << QByteArray("G0001:abcdef") << false << false;
        QTest::newRow("relayControl: empty") << QByteArray() << false << false;
        QTest::newRow("relayControl: binary with NUL") << QByteArray("p\0ing", 5) << false << false;
    }
    void relayControl()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, keepalive);
        QFETCH(bool, startupControl);
        QCOMPARE(wire::relay::isKeepalive(data.constData(), data.size()), keepalive);
        QCOMPARE(wire::relay::isStartupControl(data.constData(), data.size()), startupControl);
    }
};

QTEST_GUILESS_MAIN(TestPunchWire)
#include "tst_punchwire.moc"
