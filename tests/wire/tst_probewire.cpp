// Probe datagram recognition and parsing, round-trip samples, the median and delay rules.
#include "wire/probewire.h"

#include <QTest>

#include <limits>

using wire::probe::ProbeKind;

Q_DECLARE_METATYPE(wire::probe::ProbeKind)

class TestProbeWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recognition_data();
    void recognition();
    void parsing_data();
    void parsing();
    void builtDatagramsParseBack();
    void roundTrip_data();
    void roundTrip();
    void median_data();
    void median();
    void delayTable_data();
    void delayTable();
    void remoteProposal_data();
    void remoteProposal();
    void onlyFromPeer_data();
    void onlyFromPeer();
    void pathSamples_data();
    void pathSamples();
};

void TestProbeWire::recognition_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("probe");
    QTest::newRow("ping") << QByteArray("KVRA ping 0 12") << true;
    QTest::newRow("six bytes") << QByteArray("KVRA x") << true;
    QTest::newRow("prefix alone, 5 bytes") << QByteArray("KVRA ") << false;
    QTest::newRow("64 bytes") << (QByteArray("KVRA ") + QByteArray(59, 'a')) << true;
    QTest::newRow("65 bytes") << (QByteArray("KVRA ") + QByteArray(60, 'a')) << false;
    QTest::newRow("no space after letters") << QByteArray("KVRAxping 0 1") << false;
    QTest::newRow("lower case letters") << QByteArray("kvra ping 0 1") << false;
    QTest::newRow("game datagram") << QByteArray("frame0001abcdef") << false;
    QTest::newRow("keepalive") << QByteArray("ping") << false;
}

void TestProbeWire::recognition()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, probe);
    QCOMPARE(wire::probe::isProbeDatagram(datagram.constData(), datagram.size()), probe);
    QCOMPARE(wire::probe::parseProbeDatagram(datagram.constData(), datagram.size()).kind == ProbeKind::NotProbe, !probe);
}

void TestProbeWire::parsing_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<ProbeKind>("kind");
    QTest::addColumn<QByteArray>("field3");
    QTest::addColumn<QByteArray>("field4");
    QTest::newRow("ping") << QByteArray("KVRA ping 3 1500") << ProbeKind::Ping << QByteArray("3") << QByteArray("1500");
    QTest::newRow("pong") << QByteArray("KVRA pong 3 1500") << ProbeKind::Pong << QByteArray("3") << QByteArray("1500");
    QTest::newRow("delay") << QByteArray("KVRA delay 2 1") << ProbeKind::Delay << QByteArray("2") << QByteArray("1");
    QTest::newRow("ping with five fields") << QByteArray("KVRA ping 3 1500 x") << ProbeKind::Malformed << QByteArray()
                                           << QByteArray();
    QTest::newRow("ping with a doubled space") << QByteArray("KVRA ping  3 1500") << ProbeKind::Malformed
                                               << QByteArray() << QByteArray();
    QTest::newRow("three fields") << QByteArray("KVRA ping 3") << ProbeKind::Malformed << QByteArray() << QByteArray();
    QTest::newRow("unknown kind") << QByteArray("KVRA hello 1 2") << ProbeKind::Other << QByteArray("1")
                                  << QByteArray("2");
    QTest::newRow("kind in capitals") << QByteArray("KVRA PING 1 2") << ProbeKind::Other << QByteArray("1")
                                      << QByteArray("2");
    QTest::newRow("empty fields") << QByteArray("KVRA pong  ") << ProbeKind::Pong << QByteArray() << QByteArray();
}

void TestProbeWire::parsing()
{
    QFETCH(QByteArray, datagram);
    QFETCH(ProbeKind, kind);
    QFETCH(QByteArray, field3);
    QFETCH(QByteArray, field4);
    const wire::probe::ProbeMessage message = wire::probe::parseProbeDatagram(datagram.constData(), datagram.size());
    QCOMPARE(message.kind, kind);
    QCOMPARE(message.field3, field3);
    QCOMPARE(message.field4, field4);
}

void TestProbeWire::builtDatagramsParseBack()
{
    QCOMPARE(wire::probe::pingDatagram(0, 123456), QByteArray("KVRA ping 0 123456"));
    QCOMPARE(wire::probe::pongDatagram("9", "77"), QByteArray("KVRA pong 9 77"));
    QCOMPARE(wire::probe::delayDatagram(2, 1), QByteArray("KVRA delay 2 1"));
    QCOMPARE(wire::probe::delayDatagram(0, -4), QByteArray("KVRA delay 0 -4"));
    // The largest ping still fits the 64-byte limit, so a peer always recognises it.
    const QByteArray largest = wire::probe::pingDatagram(9, std::numeric_limits<qint64>::max());
    QVERIFY(wire::probe::isProbeDatagram(largest.constData(), largest.size()));
    QCOMPARE(wire::probe::parseProbeDatagram(largest.constData(), largest.size()).kind, ProbeKind::Ping);
}

void TestProbeWire::roundTrip_data()
{
    QTest::addColumn<QByteArray>("field4");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("rtt");
    QTest::newRow("plain sample") << QByteArray("1000") << qint64(1042) << true << 42;
    QTest::newRow("zero") << QByteArray("1000") << qint64(1000) << true << 0;
    QTest::newRow("exactly 5000 ms") << QByteArray("1000") << qint64(6000) << true << 5000;
    QTest::newRow("5001 ms") << QByteArray("1000") << qint64(6001) << false << 0;
    QTest::newRow("negative rtt") << QByteArray("1001") << qint64(1000) << false << 0;
    QTest::newRow("not a number") << QByteArray("12a") << qint64(1000) << false << 0;
    QTest::newRow("empty") << QByteArray() << qint64(1000) << false << 0;
    QTest::newRow("most negative time") << QByteArray("-9223372036854775808") << qint64(1000) << false << 0;
    QTest::newRow("largest time") << QByteArray("9223372036854775807") << qint64(1000) << false << 0;
    QTest::newRow("beyond 64 bits") << QByteArray("99999999999999999999") << qint64(1000) << false << 0;
}

void TestProbeWire::roundTrip()
{
    QFETCH(QByteArray, field4);
    QFETCH(qint64, nowMs);
    QFETCH(bool, accepted);
    QFETCH(int, rtt);
    int measured = -7;
    QCOMPARE(wire::probe::roundTripFromPong(field4, nowMs, &measured), accepted);
    if (accepted)
        QCOMPARE(measured, rtt);
    else
        QCOMPARE(measured, -7);
}

void TestProbeWire::median_data()
{
    QTest::addColumn<QList<int>>("samples");
    QTest::addColumn<int>("median");
    QTest::newRow("none") << QList<int>{} << -1;
    QTest::newRow("single 60") << QList<int>{60} << 60;
    QTest::newRow("30 40 90 100 unsorted: upper middle") << QList<int>{90, 30, 100, 40} << 90;
    QTest::newRow("odd count") << QList<int>{5, 1, 3} << 3;
    QTest::newRow("duplicates") << QList<int>{7, 7, 7, 1} << 7;
}

void TestProbeWire::median()
{
    QFETCH(QList<int>, samples);
    QFETCH(int, median);
    QCOMPARE(wire::probe::medianRtt(samples), median);
}

void TestProbeWire::delayTable_data()
{
    QTest::addColumn<int>("rtt");
    QTest::addColumn<int>("delay");
    QTest::newRow("no sample") << -1 << 0;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("50") << 50 << 0;
    QTest::newRow("51") << 51 << 1;
    QTest::newRow("60") << 60 << 1;
    QTest::newRow("80") << 80 << 1;
    QTest::newRow("81") << 81 << 2;
    QTest::newRow("90") << 90 << 2;
    QTest::newRow("5000") << 5000 << 2;
}

void TestProbeWire::delayTable()
{
    QFETCH(int, rtt);
    QFETCH(int, delay);
    QCOMPARE(wire::probe::delayForRtt(rtt), delay);
}

void TestProbeWire::remoteProposal_data()
{
    QTest::addColumn<QByteArray>("field3");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("delay");
    QTest::newRow("1") << QByteArray("1") << true << 1;
    QTest::newRow("7 clamps to 2") << QByteArray("7") << true << 2;
    QTest::newRow("-3 clamps to 0") << QByteArray("-3") << true << 0;
    QTest::newRow("non-numeric ignored") << QByteArray("two") << false << 0;
    QTest::newRow("too large for int ignored") << QByteArray("4294967296") << false << 0;
    QTest::newRow("empty ignored") << QByteArray() << false << 0;
}

void TestProbeWire::remoteProposal()
{
    QFETCH(QByteArray, field3);
    QFETCH(bool, accepted);
    QFETCH(int, delay);
    int parsed = -1;
    QCOMPARE(wire::probe::parseRemoteDelay(field3, &parsed), accepted);
    QCOMPARE(parsed, accepted ? delay : -1);
}

void TestProbeWire::onlyFromPeer_data()
{
    QTest::addColumn<wire::probe::ProbeKind>("kind");
    QTest::addColumn<bool>("peerOnly");
    QTest::newRow("ping is answered to anyone") << wire::probe::ProbeKind::Ping << false;
    QTest::newRow("pong counts only from the peer") << wire::probe::ProbeKind::Pong << true;
    QTest::newRow("delay counts only from the peer") << wire::probe::ProbeKind::Delay << true;
    QTest::newRow("malformed is only consumed") << wire::probe::ProbeKind::Malformed << false;
}

void TestProbeWire::onlyFromPeer()
{
    QFETCH(wire::probe::ProbeKind, kind);
    QFETCH(bool, peerOnly);
    QCOMPARE(wire::probe::countsOnlyFromPeer(kind), peerOnly);
}

// Samples as (round trip, arrival) pairs of one round; pings leave 100 ms apart.
void TestProbeWire::pathSamples_data()
{
    QTest::addColumn<QList<int>>("rtts");
    QTest::addColumn<QList<qint64>>("receivedMs");
    QTest::addColumn<QList<int>>("kept");
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("steady");
    QTest::addColumn<bool>("anotherRound");
    QTest::newRow("steady LAN: all kept") << QList<int>{1, 1, 2, 1, 1, 1, 1, 1, 1, 1}
                                          << QList<qint64>{1, 101, 202, 301, 401, 501, 601, 701, 801, 901}
                                          << QList<int>{1, 1, 2, 1, 1, 1, 1, 1, 1, 1} << 0 << 10 << false;
    QTest::newRow("100 ms path: all kept") << QList<int>{100, 104, 98, 101}
                                           << QList<qint64>{100, 204, 298, 401}
                                           << QList<int>{100, 104, 98, 101} << 0 << 4 << false;
    // A peer busy punching answered pings 0..4 in one read step at 450 ms, then promptly.
    QTest::newRow("half released together: the last of the burst stays")
        << QList<int>{450, 350, 250, 150, 50, 1, 1, 1, 1, 1}
        << QList<qint64>{450, 450, 450, 451, 451, 501, 601, 701, 801, 901}
        << QList<int>{50, 1, 1, 1, 1, 1} << 4 << 5 << false;
    QTest::newRow("most released together: another round")
        << QList<int>{850, 750, 650, 550, 450, 350, 250, 150, 50, 1}
        << QList<qint64>{850, 850, 850, 850, 850, 850, 850, 851, 851, 901}
        << QList<int>{50, 1} << 8 << 1 << true;
    QTest::newRow("duplicate pong: neither held") << QList<int>{5, 5} << QList<qint64>{5, 6} << QList<int>{5, 5}
                                                  << 0 << 0 << false;
    QTest::newRow("no samples") << QList<int>{} << QList<qint64>{} << QList<int>{} << 0 << 0 << false;
}

void TestProbeWire::pathSamples()
{
    QFETCH(QList<int>, rtts);
    QFETCH(QList<qint64>, receivedMs);
    QFETCH(QList<int>, kept);
    QFETCH(int, held);
    QFETCH(int, steady);
    QFETCH(bool, anotherRound);
    const wire::probe::PathSamples path = wire::probe::pathSamples(rtts, receivedMs);
    QCOMPARE(path.rtts, kept);
    QCOMPARE(path.held, held);
    QCOMPARE(path.steady, steady);
    QCOMPARE(wire::probe::needsAnotherRound(path), anotherRound);
}

QTEST_GUILESS_MAIN(TestProbeWire)
#include "tst_probewire.moc"
