// The benchmark's own datagrams and percentiles: a wrong figure here would misreport every relay.
#include "benchwire.h"

#include <QTest>

class TestBenchWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void gameDatagramRoundTrip_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<qulonglong>("seq");
        QTest::newRow("header only") << int(benchwire::GameHeaderBytes) << qulonglong(0);
        QTest::newRow("64 bytes") << 64 << qulonglong(123456789);
        QTest::newRow("512 bytes, largest seq") << 512 << ~qulonglong(0);
    }
    void gameDatagramRoundTrip()
    {
        QFETCH(int, size);
        QFETCH(qulonglong, seq);
        std::vector<char> data(std::size_t(size), 0);
        benchwire::gameDatagram(data.data(), data.size(), seq, 987654321);
        std::uint64_t gotSeq = 0, gotNs = 0;
        QVERIFY(benchwire::parseGameDatagram(data.data(), data.size(), &gotSeq, &gotNs));
        QCOMPARE(qulonglong(gotSeq), seq);
        QCOMPARE(qulonglong(gotNs), qulonglong(987654321));
        // never mistaken for the proxy's control traffic: printable, no blanks
        for (char c : data)
            QVERIFY(c > ' ' && c < 0x7f);
    }

    void damagedDatagram_data()
    {
        QTest::addColumn<int>("at");
        QTest::newRow("prefix") << 1;
        QTest::newRow("sequence digit") << 5;
        QTest::newRow("padding") << 60;
    }
    void damagedDatagram()
    {
        QFETCH(int, at);
        char data[64];
        benchwire::gameDatagram(data, sizeof data, 7, 8);
        data[at] = 'Z';
        std::uint64_t seq = 0, ns = 0;
        QVERIFY(!benchwire::parseGameDatagram(data, sizeof data, &seq, &ns));
        QVERIFY(!benchwire::parseGameDatagram(data, benchwire::GameHeaderBytes - 1, &seq, &ns));
    }

    void percentile_data()
    {
        QTest::addColumn<double>("p");
        QTest::addColumn<double>("expected");
        // samples 1..100: nearest rank
        QTest::newRow("p50") << 50.0 << 50.0;
        QTest::newRow("p99") << 99.0 << 99.0;
        QTest::newRow("max") << 100.0 << 100.0;
        QTest::newRow("min") << 0.0 << 1.0;
    }
    void percentile()
    {
        QFETCH(double, p);
        QFETCH(double, expected);
        std::vector<double> samples;
        for (int i = 100; i >= 1; --i)
            samples.push_back(i);
        QCOMPARE(benchwire::percentile(samples, p), expected);
        QCOMPARE(benchwire::percentile({}, p), 0.0);
        QCOMPARE(benchwire::percentile({42.0}, p), 42.0);
    }
};

QTEST_GUILESS_MAIN(TestBenchWire)
#include "tst_benchwire.moc"
