// Pairing, announcement repeats, rebinding, caps and expiry of the rendezvous table,
// driven with a hand-made clock.
#include "matchtable.h"

#include <QTest>

using namespace rendezvous;

namespace {

const Endpoint A{QHostAddress(QStringLiteral("203.0.113.10")), 6006};
const Endpoint B{QHostAddress(QStringLiteral("203.0.113.20")), 6006};
const Endpoint Stranger{QHostAddress(QStringLiteral("203.0.113.99")), 5000};

int countTo(const TableOutput &out, const Endpoint &to, const QByteArray &datagram)
{
    int n = 0;
    for (const Outgoing &o : out.datagrams)
        n += (o.to == to && o.datagram == datagram) ? 1 : 0;
    return n;
}

bool logHas(const TableOutput &out, const QByteArray &prefix)
{
    for (const QByteArray &line : out.log) {
        if (line.startsWith(prefix))
            return true;
    }
    return false;
}

// Registers both sides of "m" at time 0.
void pair(MatchTable &table, TableOutput *out)
{
    table.handleDatagram("register/m/1", A, 0, out);
    table.handleDatagram("register/m/2", B, 0, out);
}

// Ticks from fromMs to toMs (exclusive) every 100 ms, collecting everything.
TableOutput runTicks(MatchTable &table, qint64 fromMs, qint64 toMs)
{
    TableOutput out;
    for (qint64 t = fromMs; t < toMs; t += 100)
        table.tick(t, &out);
    return out;
}

} // namespace

class TestMatchTable : public QObject
{
    Q_OBJECT
private slots:
    void pairsTwoSides();
    void repeatsUntilAcknowledged();
    void repeatsAreBounded();
    void ignoresAcksThatDoNotMatch_data();
    void ignoresAcksThatDoNotMatch();
    void reannouncesAfterRebinding();
    void reannouncesToRestartedSide();
    void sameSideBeforePairingOnlyMoves();
    void refuses_data();
    void refuses();
    void acknowledgesReports_data();
    void acknowledgesReports();
    void expiresIdleMatches();
    void malformedFloodIsCappedInLog();
    void sendsFromThePortTheSideLastSentTo_data();
    void sendsFromThePortTheSideLastSentTo();
};

void TestMatchTable::pairsTwoSides()
{
    MatchTable table;
    TableOutput first;
    table.handleDatagram("register/m/1", A, 0, &first);
    QCOMPARE(first.datagrams.size(), 1);
    QCOMPARE(countTo(first, A, "registered/m/1"), 1);

    TableOutput second;
    table.handleDatagram("register/m/2", B, 10, &second);
    QCOMPARE(countTo(second, B, "registered/m/2"), 1);
    QCOMPARE(countTo(second, A, "peer/m/203.0.113.20/6006"), 1);
    QCOMPARE(countTo(second, B, "peer/m/203.0.113.10/6006"), 1);
    QVERIFY(logHas(second, "paired m "));
    QCOMPARE(table.matchCount(), 1);
}

void TestMatchTable::repeatsUntilAcknowledged()
{
    MatchTable table;
    TableOutput out;
    pair(table, &out);
    TableOutput early = runTicks(table, 0, 500);
    QCOMPARE(early.datagrams.size(), 0); // the next repeat is due 500 ms after the first

    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 450, &out);
    const TableOutput later = runTicks(table, 500, 2000);
    QCOMPARE(countTo(later, A, "peer/m/203.0.113.20/6006"), 0);
    QCOMPARE(countTo(later, B, "peer/m/203.0.113.10/6006"), 3); // at 500, 1000, 1500
}

void TestMatchTable::repeatsAreBounded()
{
    TableLimits limits;
    limits.announceRepeats = 3;
    limits.idleTimeoutMs = 3600000;
    MatchTable table(limits);
    TableOutput out;
    pair(table, &out);
    const TableOutput ticks = runTicks(table, 0, 20000);
    QCOMPARE(countTo(ticks, A, "peer/m/203.0.113.20/6006"), 2); // plus the first one at pairing
    QCOMPARE(countTo(ticks, B, "peer/m/203.0.113.10/6006"), 2);
    QVERIFY(logHas(ticks, "announce_exhausted m 1"));
}

void TestMatchTable::ignoresAcksThatDoNotMatch_data()
{
    QTest::addColumn<QByteArray>("ack");
    QTest::addColumn<QString>("senderHost");
    QTest::newRow("other endpoint named") << QByteArray("peer_ack/m/203.0.113.20/6007") << QString("203.0.113.10");
    QTest::newRow("own endpoint named") << QByteArray("peer_ack/m/203.0.113.10/6006") << QString("203.0.113.99");
    QTest::newRow("from a third host") << QByteArray("peer_ack/m/203.0.113.20/6006") << QString("203.0.113.99");
    QTest::newRow("other match") << QByteArray("peer_ack/n/203.0.113.20/6006") << QString("203.0.113.10");
}

void TestMatchTable::ignoresAcksThatDoNotMatch()
{
    QFETCH(QByteArray, ack);
    QFETCH(QString, senderHost);
    MatchTable table;
    TableOutput out;
    pair(table, &out);
    table.handleDatagram(ack, Endpoint{QHostAddress(senderHost), 6006}, 100, &out);
    const TableOutput later = runTicks(table, 500, 600);
    QCOMPARE(countTo(later, A, "peer/m/203.0.113.20/6006"), 1);
    QCOMPARE(countTo(later, B, "peer/m/203.0.113.10/6006"), 1);
}

void TestMatchTable::reannouncesAfterRebinding()
{
    MatchTable table;
    TableOutput out;
    pair(table, &out);
    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 10, &out);
    table.handleDatagram("peer_ack/m/203.0.113.10/6006", B, 10, &out);

    // B's NAT gave it a new public port (or B restarted behind a new mapping).
    const Endpoint movedB{B.address, 41000};
    TableOutput moved;
    table.handleDatagram("register/m/2", movedB, 1000, &moved);
    QCOMPARE(countTo(moved, movedB, "registered/m/2"), 1);
    QCOMPARE(countTo(moved, A, "peer/m/203.0.113.20/41000"), 1);
    QCOMPARE(countTo(moved, movedB, "peer/m/203.0.113.10/6006"), 1);
    QVERIFY(logHas(moved, "rebound m 2 203.0.113.20:6006 -> 203.0.113.20:41000"));

    // The ack for the old endpoint does not stop the new announcement; the right one does.
    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 1100, &out);
    QCOMPARE(countTo(runTicks(table, 1500, 1600), A, "peer/m/203.0.113.20/41000"), 1);
    table.handleDatagram("peer_ack/m/203.0.113.20/41000", A, 1700, &out);
    QCOMPARE(countTo(runTicks(table, 2000, 3000), A, "peer/m/203.0.113.20/41000"), 0);
}

void TestMatchTable::reannouncesToRestartedSide()
{
    MatchTable table;
    TableOutput out;
    pair(table, &out);
    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 10, &out);
    table.handleDatagram("peer_ack/m/203.0.113.10/6006", B, 10, &out);

    TableOutput again;
    table.handleDatagram("register/m/1", A, 2000, &again);
    QCOMPARE(countTo(again, A, "registered/m/1"), 1);
    QCOMPARE(countTo(again, A, "peer/m/203.0.113.20/6006"), 1);
    // Same endpoint: the other side already knows it.
    QCOMPARE(countTo(again, B, "peer/m/203.0.113.10/6006"), 0);
}

void TestMatchTable::sameSideBeforePairingOnlyMoves()
{
    MatchTable table;
    TableOutput out;
    table.handleDatagram("register/m/1", A, 0, &out);
    table.handleDatagram("register/m/1", B, 10, &out);
    QCOMPARE(countTo(out, B, "registered/m/1"), 1);
    for (const Outgoing &o : out.datagrams)
        QVERIFY(!o.datagram.startsWith("peer/"));
    TableOutput paired;
    table.handleDatagram("register/m/2", Stranger, 20, &paired);
    QCOMPARE(countTo(paired, Stranger, "peer/m/203.0.113.20/6006"), 1);
}

void TestMatchTable::refuses_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("logPrefix");
    QTest::newRow("third side") << QByteArray("register/m/3") << QByteArray("refused m 3 ");
    QTest::newRow("table full") << QByteArray("register/other/1") << QByteArray("refused other 1 ");
}

void TestMatchTable::refuses()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, logPrefix);
    TableLimits limits;
    limits.maxMatches = 1;
    MatchTable table(limits);
    TableOutput out;
    pair(table, &out);
    TableOutput refused;
    table.handleDatagram(datagram, Stranger, 100, &refused);
    QCOMPARE(refused.datagrams.size(), 0);
    QVERIFY(logHas(refused, logPrefix));
    QCOMPARE(table.matchCount(), 1);
}

void TestMatchTable::acknowledgesReports_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("logPrefix");
    QTest::newRow("ready") << QByteArray("udp_ready/m/1") << QByteArray("ready_ack/m/1") << QByteArray("ready m 1 203.0.113.10:6006 known");
    QTest::newRow("failed") << QByteArray("udp_failed/m/2") << QByteArray("failure_ack/m/2") << QByteArray("failed m 2 203.0.113.10:6006 other_host");
    QTest::newRow("unknown side") << QByteArray("udp_ready/m/-5") << QByteArray("ready_ack/m/-5") << QByteArray("ready m -5 203.0.113.10:6006 unknown_side");
    QTest::newRow("unknown match") << QByteArray("udp_failed/gone/1") << QByteArray("failure_ack/gone/1") << QByteArray("failed gone 1 203.0.113.10:6006 unknown_match");
}

void TestMatchTable::acknowledgesReports()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, logPrefix);
    MatchTable table;
    TableOutput out;
    pair(table, &out);
    TableOutput report;
    table.handleDatagram(datagram, A, 100, &report);
    QCOMPARE(report.datagrams.size(), 1);
    QCOMPARE(countTo(report, A, answer), 1);
    QVERIFY2(logHas(report, logPrefix), report.log.join('|').constData());
}

void TestMatchTable::expiresIdleMatches()
{
    TableLimits limits;
    limits.idleTimeoutMs = 1000;
    limits.maxMatches = 1;
    MatchTable table(limits);
    TableOutput out;
    table.handleDatagram("register/m/1", A, 0, &out);
    table.handleDatagram("register/m/1", A, 800, &out); // activity keeps it
    runTicks(table, 0, 1700);
    QVERIFY(table.hasMatch("m"));
    const TableOutput ticks = runTicks(table, 1700, 1900);
    QVERIFY(!table.hasMatch("m"));
    QVERIFY(logHas(ticks, "expired m sides=1"));

    // The slot is free again, and a late second side starts a new match instead of pairing.
    TableOutput fresh;
    table.handleDatagram("register/m/2", B, 2000, &fresh);
    QCOMPARE(countTo(fresh, B, "registered/m/2"), 1);
    QCOMPARE(fresh.datagrams.size(), 1);
}

void TestMatchTable::malformedFloodIsCappedInLog()
{
    TableLimits limits;
    limits.noticeLinesPerTick = 5;
    MatchTable table(limits);
    TableOutput out;
    for (int i = 0; i < 1000; ++i)
        table.handleDatagram(QByteArray::number(i), Stranger, 0, &out);
    QCOMPARE(out.datagrams.size(), 0);
    QCOMPARE(out.log.size(), 5);
    TableOutput tick;
    table.tick(100, &tick);
    QVERIFY(logHas(tick, "suppressed 995"));
    QCOMPARE(table.matchCount(), 0);
}

void TestMatchTable::sendsFromThePortTheSideLastSentTo_data()
{
    // Steps: "A|B|Bmoved SERVERPORT DATAGRAM" (the datagram arrives on that server port, 0 on a
    // one-port server) or "tick MS". Checked: what the last step sent to "to" starting with
    // "prefix" leaves from "fromPort".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("fromPort");
    const QStringList paired{"A 7001 register/m/1", "B 7002 register/m/2"};
    QTest::newRow("one-port server") << QStringList{"A 0 register/m/1"} << "A" << QByteArray("registered/") << 0;
    QTest::newRow("registered from the port it came to")
        << QStringList{"A 7002 register/m/1"} << "A" << QByteArray("registered/m/1") << 7002;
    QTest::newRow("announcement to the first side from its port") << paired << "A" << QByteArray("peer/") << 7001;
    QTest::newRow("announcement to the second side from its port") << paired << "B" << QByteArray("peer/") << 7002;
    QTest::newRow("repeated announcement from the side's port")
        << (paired + QStringList{"tick 500"}) << "B" << QByteArray("peer/") << 7002;
    QTest::newRow("renewed announcement follows a register on another port")
        << (paired + QStringList{"A 7003 register/m/1"}) << "A" << QByteArray("peer/") << 7003;
    QTest::newRow("repeat follows a report on another port")
        << (paired + QStringList{"A 7003 udp_ready/m/1", "tick 500"}) << "A" << QByteArray("peer/") << 7003;
    QTest::newRow("report acknowledged from the port it came to")
        << (paired + QStringList{"B 7003 udp_failed/m/2"}) << "B" << QByteArray("failure_ack/m/2") << 7003;
    QTest::newRow("renewal after a rebinding follows the port of the side's ack")
        << (paired + QStringList{"A 7003 peer_ack/m/203.0.113.20/6006", "Bmoved 7002 register/m/2"}) << "A"
        << QByteArray("peer/") << 7003;
    QTest::newRow("renewal to the other side from its own port")
        << (paired + QStringList{"B 7001 register/m/2"}) << "B" << QByteArray("peer/") << 7001;
}

void TestMatchTable::sendsFromThePortTheSideLastSentTo()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, to);
    QFETCH(QByteArray, prefix);
    QFETCH(int, fromPort);
    MatchTable table;
    TableOutput last;
    qint64 nowMs = 0;
    for (const QString &step : std::as_const(steps)) {
        const QStringList words = step.split(QLatin1Char(' '));
        QCOMPARE(words.size(), step.startsWith(QLatin1String("tick")) ? 2 : 3);
        last = TableOutput();
        if (words.at(0) == QLatin1String("tick")) {
            nowMs = words.at(1).toLongLong();
            table.tick(nowMs, &last);
            continue;
        }
        const Endpoint movedB{B.address, 41000};
        const Endpoint sender = words.at(0) == QLatin1String("A") ? A : words.at(0) == QLatin1String("B") ? B : movedB;
        table.handleDatagram(words.at(2).toUtf8(), sender, nowMs, &last, quint16(words.at(1).toUInt()));
    }
    const Endpoint target = to == QLatin1String("A") ? A : B;
    int matching = 0;
    for (const Outgoing &o : std::as_const(last.datagrams)) {
        if (o.to != target || !o.datagram.startsWith(prefix))
            continue;
        ++matching;
        QCOMPARE(int(o.fromPort), fromPort);
    }
    QVERIFY(matching > 0);
}

QTEST_GUILESS_MAIN(TestMatchTable)
#include "tst_matchtable.moc"
