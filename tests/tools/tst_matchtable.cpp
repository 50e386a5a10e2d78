// Pairing, announcement repeats, rebinding, credit, caps and expiry of the rendezvous table,
// driven with a hand-made clock.
#include "matchtable.h"

#include <QTest>

using namespace rendezvous;

namespace {

const Endpoint A{QHostAddress(QStringLiteral("203.0.113.10")), 6006};
const Endpoint B{QHostAddress(QStringLiteral("203.0.113.20")), 6006};
const Endpoint MovedB{B.address, 41000};
const Endpoint Stranger{QHostAddress(QStringLiteral("203.0.113.99")), 5000};
// A proxy registers every 750 ms until it hears "registered" or "peer".
constexpr qint64 RegisterIntervalMs = 750;

int countTo(const TableOutput &out, const Endpoint &to, const QByteArray &datagram)
{
    int n = 0;
    for (const Outgoing &o : out.datagrams)
        n += (o.to == to && o.datagram == datagram) ? 1 : 0;
    return n;
}

int countPrefixTo(const TableOutput &out, const Endpoint &to, const QByteArray &prefix)
{
    int n = 0;
    for (const Outgoing &o : out.datagrams)
        n += (o.to == to && o.datagram.startsWith(prefix)) ? 1 : 0;
    return n;
}

qint64 bytesTo(const TableOutput &out, const Endpoint &to)
{
    qint64 n = 0;
    for (const Outgoing &o : out.datagrams)
        n += o.to == to ? o.datagram.size() : 0;
    return n;
}

qint64 bytesToAddress(const TableOutput &out, const QHostAddress &to)
{
    qint64 n = 0;
    for (const Outgoing &o : out.datagrams)
        n += o.to.address == to ? o.datagram.size() : 0;
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

void append(TableOutput *all, const TableOutput &more)
{
    all->datagrams += more.datagrams;
    all->log += more.log;
}

// Registers both sides of "m" as proxies do, at 0 and 750 ms: the second register of each
// pays for its announcement, which leaves at 750 ms.
void pair(MatchTable &table, TableOutput *out)
{
    table.handleDatagram("register/m/1", A, 0, out);
    table.handleDatagram("register/m/2", B, 0, out);
    table.handleDatagram("register/m/1", A, RegisterIntervalMs, out);
    table.handleDatagram("register/m/2", B, RegisterIntervalMs, out);
}

// pair(), then both sides acknowledge at 800 ms.
void pairAndAck(MatchTable &table, TableOutput *out)
{
    pair(table, out);
    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 800, out);
    table.handleDatagram("peer_ack/m/203.0.113.10/6006", B, 800, out);
}

// Ticks from fromMs to toMs (exclusive) every 100 ms, collecting everything.
TableOutput runTicks(MatchTable &table, qint64 fromMs, qint64 toMs)
{
    TableOutput out;
    for (qint64 t = fromMs; t < toMs; t += 100)
        table.tick(t, &out);
    return out;
}

Endpoint namedEndpoint(const QString &name)
{
    if (name == QLatin1String("A"))
        return A;
    if (name == QLatin1String("B"))
        return B;
    if (name == QLatin1String("Bmoved"))
        return MovedB;
    if (name == QLatin1String("Stranger"))
        return Stranger;
    return Endpoint{QHostAddress(name.section(QLatin1Char(':'), 0, 0)), quint16(name.section(QLatin1Char(':'), 1).toUInt())};
}

// Runs steps "WHO MS DATAGRAM" (WHO: A, B, Bmoved, Stranger or ADDR:PORT; the datagram
// arrives at MS) with ticks every 100 ms in between, up to endMs. Returns everything sent and
// logged, and the bytes each sender sent.
TableOutput runScript(MatchTable &table, const QStringList &steps, qint64 endMs, QHash<QString, qint64> *sent = nullptr)
{
    TableOutput all;
    qint64 tickAt = 0;
    const auto tickUpTo = [&](qint64 t) {
        for (; tickAt <= t; tickAt += 100) {
            TableOutput ticks;
            table.tick(tickAt, &ticks);
            append(&all, ticks);
        }
    };
    for (const QString &step : steps) {
        const QStringList words = step.split(QLatin1Char(' '));
        if (words.size() != 3) {
            qWarning() << "bad step" << step;
            return all;
        }
        const qint64 at = words.at(1).toLongLong();
        tickUpTo(at - 1);
        TableOutput one;
        const QByteArray datagram = words.at(2).toUtf8();
        table.handleDatagram(datagram, namedEndpoint(words.at(0)), at, &one);
        if (sent)
            (*sent)[words.at(0)] += datagram.size();
        append(&all, one);
    }
    tickUpTo(endMs);
    return all;
}

// "WHO FROM..TO/EVERY DATAGRAM" expands to one step every EVERY ms from FROM up to TO.
QStringList every(const QString &who, qint64 fromMs, qint64 toMs, qint64 everyMs, const QString &datagram)
{
    QStringList steps;
    for (qint64 t = fromMs; t <= toMs; t += everyMs)
        steps.append(who + QLatin1Char(' ') + QString::number(t) + QLatin1Char(' ') + datagram);
    return steps;
}

QStringList sortedSteps(QStringList steps)
{
    std::stable_sort(steps.begin(), steps.end(), [](const QString &x, const QString &y) {
        return x.section(QLatin1Char(' '), 1, 1).toLongLong() < y.section(QLatin1Char(' '), 1, 1).toLongLong();
    });
    return steps;
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
    void sideStaysWithItsHost_data();
    void sideStaysWithItsHost();
    void unconfirmedSourceGetsNoMoreThanItSent_data();
    void unconfirmedSourceGetsNoMoreThanItSent();
    void spoofedRegistrationsLeaveRoomForPlayers_data();
    void spoofedRegistrationsLeaveRoomForPlayers();
    void playersBehindOneAddressPair();
    void logStaysBoundedUnderRepeats_data();
    void logStaysBoundedUnderRepeats();
    void acknowledgedSideDrawsOnAddressBudget();
};

void TestMatchTable::pairsTwoSides()
{
    MatchTable table;
    TableOutput first;
    table.handleDatagram("register/m/1", A, 0, &first);
    // Nothing yet: "registered/m/1" is longer than what A sent, and A might be spoofed.
    QCOMPARE(first.datagrams.size(), 0);
    table.handleDatagram("register/m/1", A, 750, &first);
    QCOMPARE(first.datagrams.size(), 0);

    TableOutput second;
    table.handleDatagram("register/m/2", B, 1000, &second);
    // A has paid for its announcement with two registers; B has not yet.
    QCOMPARE(countTo(second, A, "peer/m/203.0.113.20/6006"), 1);
    QCOMPARE(countPrefixTo(second, B, ""), 0);
    QVERIFY(logHas(second, "paired m "));
    TableOutput third;
    table.handleDatagram("register/m/2", B, 1750, &third);
    QCOMPARE(countTo(third, B, "peer/m/203.0.113.10/6006"), 1);
    QCOMPARE(table.matchCount(), 1);
}

void TestMatchTable::repeatsUntilAcknowledged()
{
    MatchTable table;
    TableOutput out;
    pair(table, &out);
    QCOMPARE(countTo(out, A, "peer/m/203.0.113.20/6006"), 1);
    QCOMPARE(countTo(out, B, "peer/m/203.0.113.10/6006"), 1);
    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 800, &out);

    // B did not hear its announcement and goes on registering: its registers pay for the
    // repeats (one per two registers); A, which acknowledged, hears nothing more.
    const QStringList steps = every("B", 1500, 5250, 750, "register/m/2");
    const TableOutput later = runScript(table, steps, 6000);
    QCOMPARE(countTo(later, A, "peer/m/203.0.113.20/6006"), 0);
    QCOMPARE(countTo(later, B, "peer/m/203.0.113.10/6006"), 3);
    table.handleDatagram("peer_ack/m/203.0.113.10/6006", B, 6100, &out);
    const TableOutput quiet = runScript(table, every("B", 6750, 6750, 750, "register/m/2"), 7000);
    // A register after the ack is a restart: the announcement comes again once it is paid.
    QVERIFY(countTo(quiet, B, "peer/m/203.0.113.10/6006") <= 1);
}

void TestMatchTable::repeatsAreBounded()
{
    TableLimits limits;
    limits.announceRepeats = 3;
    limits.idleTimeoutMs = 3600000;
    MatchTable table(limits);
    TableOutput out;
    pair(table, &out);
    const TableOutput later = runScript(table, every("B", 1500, 30000, 750, "register/m/2"), 30000);
    QCOMPARE(countTo(out, B, "peer/m/203.0.113.10/6006") + countTo(later, B, "peer/m/203.0.113.10/6006"), 3);
    QVERIFY(logHas(later, "announce_exhausted m 2"));
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
    table.handleDatagram(ack, Endpoint{QHostAddress(senderHost), 6006}, 800, &out);
    // Still announcing: A's next two registers pay for the next announcement.
    TableOutput later;
    table.handleDatagram("register/m/1", A, 1500, &later);
    table.handleDatagram("register/m/1", A, 2250, &later);
    QCOMPARE(countTo(later, A, "peer/m/203.0.113.20/6006"), 1);
}

void TestMatchTable::reannouncesAfterRebinding()
{
    MatchTable table;
    TableOutput out;
    pairAndAck(table, &out);

    // B's NAT gave it a new public port (or B restarted behind a new mapping); its old
    // endpoint has been silent since 800 ms.
    TableOutput moved;
    table.handleDatagram("register/m/2", MovedB, 3000, &moved);
    QVERIFY(logHas(moved, "rebound m 2 203.0.113.20:6006 -> 203.0.113.20:41000"));
    // A acknowledged before: it hears the new endpoint at once. The new endpoint starts
    // without credit and hears its announcement on its next register.
    QCOMPARE(countTo(moved, A, "peer/m/203.0.113.20/41000"), 1);
    QCOMPARE(countPrefixTo(moved, MovedB, ""), 0);
    table.handleDatagram("register/m/2", MovedB, 3750, &moved);
    QCOMPARE(countTo(moved, MovedB, "peer/m/203.0.113.10/6006"), 1);

    // The ack for the old endpoint does not stop the new announcement; the right one does.
    table.handleDatagram("peer_ack/m/203.0.113.20/6006", A, 3100, &out);
    QCOMPARE(countTo(runTicks(table, 3500, 3600), A, "peer/m/203.0.113.20/41000"), 1);
    table.handleDatagram("peer_ack/m/203.0.113.20/41000", A, 3700, &out);
    QCOMPARE(countTo(runTicks(table, 4000, 5000), A, "peer/m/203.0.113.20/41000"), 0);
}

void TestMatchTable::reannouncesToRestartedSide()
{
    MatchTable table;
    TableOutput out;
    pairAndAck(table, &out);

    TableOutput again;
    table.handleDatagram("register/m/1", A, 2000, &again);
    // A showed it receives: it gets its "registered" and the announcement again.
    QCOMPARE(countTo(again, A, "registered/m/1"), 1);
    QCOMPARE(countTo(again, A, "peer/m/203.0.113.20/6006"), 1);
    // Same endpoint: the other side already knows it.
    QCOMPARE(countTo(again, B, "peer/m/203.0.113.10/6006"), 0);
}

void TestMatchTable::sameSideBeforePairingOnlyMoves()
{
    MatchTable table;
    TableOutput out;
    const Endpoint movedA{A.address, 7000};
    table.handleDatagram("register/m/1", A, 0, &out);
    // A's NAT moved before the pairing: once the old endpoint is quiet the new one has the side.
    table.handleDatagram("register/m/1", movedA, 2500, &out);
    table.handleDatagram("register/m/1", movedA, 3250, &out);
    for (const Outgoing &o : std::as_const(out.datagrams))
        QVERIFY(!o.datagram.startsWith("peer/"));
    QVERIFY(logHas(out, "rebound m 1 203.0.113.10:6006 -> 203.0.113.10:7000"));
    TableOutput paired;
    table.handleDatagram("register/m/2", Stranger, 3300, &paired);
    QCOMPARE(countTo(paired, movedA, "peer/m/203.0.113.99/5000"), 1);
    QCOMPARE(countTo(paired, A, "peer/m/203.0.113.99/5000"), 0);
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
    // Acknowledged sides: the match is no longer pending and cannot be made to room.
    pairAndAck(table, &out);
    TableOutput refused;
    table.handleDatagram(datagram, Stranger, 900, &refused);
    QCOMPARE(refused.datagrams.size(), 0);
    QVERIFY(logHas(refused, logPrefix));
    QCOMPARE(table.matchCount(), 1);
    QVERIFY(table.hasMatch("m"));
}

void TestMatchTable::acknowledgesReports_data()
{
    // The report is sent twice, 750 ms apart, as a proxy repeats it until answered.
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("answers");
    QTest::addColumn<QByteArray>("logPrefix");
    QTest::newRow("ready") << QByteArray("udp_ready/m/1") << QByteArray("ready_ack/m/1") << 2
                           << QByteArray("ready m 1 203.0.113.10:6006 known");
    // "failure_ack/m/2" is a byte longer than "udp_failed/m/2": only the repeat pays for it.
    QTest::newRow("failed") << QByteArray("udp_failed/m/2") << QByteArray("failure_ack/m/2") << 1
                            << QByteArray("failed m 2 203.0.113.10:6006 other_host");
    QTest::newRow("unknown side") << QByteArray("udp_ready/m/-5") << QByteArray("ready_ack/m/-5") << 2
                                  << QByteArray("ready m -5 203.0.113.10:6006 unknown_side");
    QTest::newRow("unknown match") << QByteArray("udp_failed/gone/1") << QByteArray("failure_ack/gone/1") << 1
                                   << QByteArray("failed gone 1 203.0.113.10:6006 unknown_match");
}

void TestMatchTable::acknowledgesReports()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, answer);
    QFETCH(int, answers);
    QFETCH(QByteArray, logPrefix);
    MatchTable table;
    TableOutput out;
    pairAndAck(table, &out);
    TableOutput report;
    table.handleDatagram(datagram, A, 1000, &report);
    table.handleDatagram(datagram, A, 1750, &report);
    QCOMPARE(report.datagrams.size(), answers);
    QCOMPARE(countTo(report, A, answer), answers);
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
    table.handleDatagram("register/m/2", B, 2750, &fresh);
    QCOMPARE(fresh.datagrams.size(), 0);
    QVERIFY(logHas(fresh, "registered m 2 "));
    QVERIFY(!logHas(fresh, "paired"));

    // An acknowledged match lives by the idle timeout; a pending one by the shorter lifetime.
    TableLimits longer;
    longer.idleTimeoutMs = 60000;
    MatchTable two(longer);
    pairAndAck(two, &out);
    two.handleDatagram("register/p/1", Stranger, 800, &out);
    runTicks(two, 800, 6000);
    QVERIFY(!two.hasMatch("p"));
    QVERIFY(two.hasMatch("m"));
    runTicks(two, 6000, 60900);
    QVERIFY(!two.hasMatch("m"));
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
    // Steps: "A|B|Bmoved SOCKET DATAGRAM" (the datagram arrives on that server socket, here
    // named by its port, 0 on a one-socket server; each step 750 ms after the one before) or
    // "tick MS". Checked: what the last step sent to "to" starting with "prefix" leaves from
    // "fromSocket".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("fromSocket");
    // Two registers of each side pay for the announcements; the acks confirm both sides.
    const QStringList paired{"A 7001 register/m/1", "B 7002 register/m/2", "A 7001 register/m/1",
                             "B 7002 register/m/2"};
    const QStringList acked = paired + QStringList{"A 7001 peer_ack/m/203.0.113.20/6006",
                                                   "B 7002 peer_ack/m/203.0.113.10/6006"};
    QTest::newRow("one-port server") << (acked + QStringList{"A 0 register/m/1"}) << "A" << QByteArray("registered/") << 0;
    QTest::newRow("registered from the port it came to")
        << (acked + QStringList{"A 7002 register/m/1"}) << "A" << QByteArray("registered/m/1") << 7002;
    QTest::newRow("announcement to the first side from its port") << paired.mid(0, 3) << "A" << QByteArray("peer/") << 7001;
    QTest::newRow("announcement to the second side from its port") << paired << "B" << QByteArray("peer/") << 7002;
    QTest::newRow("renewed announcement follows a register on another port")
        << (acked + QStringList{"A 7003 register/m/1"}) << "A" << QByteArray("peer/") << 7003;
    QTest::newRow("repeat follows a report on another port")
        << (acked + QStringList{"Bmoved 7002 register/m/2", "A 7003 udp_ready/m/1", "tick 500"}) << "A"
        << QByteArray("peer/") << 7003;
    QTest::newRow("report acknowledged from the port it came to")
        << (acked + QStringList{"B 7003 udp_ready/m/2"}) << "B" << QByteArray("ready_ack/m/2") << 7003;
    QTest::newRow("renewal after a rebinding follows the port of the side's ack")
        << (paired + QStringList{"A 7003 peer_ack/m/203.0.113.20/6006", "Bmoved 7002 register/m/2"}) << "A"
        << QByteArray("peer/") << 7003;
    QTest::newRow("renewal to the other side from its own port")
        << (acked + QStringList{"B 7001 register/m/2"}) << "B" << QByteArray("peer/") << 7001;
}

void TestMatchTable::sendsFromThePortTheSideLastSentTo()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, to);
    QFETCH(QByteArray, prefix);
    QFETCH(int, fromSocket);
    MatchTable table;
    TableOutput last;
    qint64 nowMs = 0;
    for (const QString &step : std::as_const(steps)) {
        const QStringList words = step.split(QLatin1Char(' '));
        QCOMPARE(words.size(), step.startsWith(QLatin1String("tick")) ? 2 : 3);
        last = TableOutput();
        if (words.at(0) == QLatin1String("tick")) {
            nowMs += words.at(1).toLongLong();
            table.tick(nowMs, &last);
            continue;
        }
        // Steps 750 ms apart, as a proxy repeats; a moved side comes back after its old
        // endpoint has been quiet for a while.
        nowMs += words.at(0) == QLatin1String("Bmoved") ? 3000 : 750;
        table.handleDatagram(words.at(2).toUtf8(), namedEndpoint(words.at(0)), nowMs, &last,
                             quint16(words.at(1).toUInt()));
    }
    const Endpoint target = to == QLatin1String("A") ? A : B;
    int matching = 0;
    for (const Outgoing &o : std::as_const(last.datagrams)) {
        if (o.to != target || !o.datagram.startsWith(prefix))
            continue;
        ++matching;
        QCOMPARE(int(o.fromSocket), fromSocket);
    }
    QVERIFY2(matching > 0, last.log.join('|').constData());
}

void TestMatchTable::sideStaysWithItsHost_data()
{
    // After pairing and the acks (pairAndAck, done at 800 ms), someone registers side 2 again.
    // Checked: whether side 1 is told of the newcomer, and whether the newcomer hears anything.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("newcomer");
    QTest::addColumn<bool>("takesOver");
    QTest::newRow("another host, once") << QStringList{"203.0.113.66:6006 1000 register/m/2"}
                                        << "203.0.113.66:6006" << false;
    QTest::newRow("another host, as a proxy repeats")
        << every("203.0.113.66:6006", 1000, 20000, 750, "register/m/2") << "203.0.113.66:6006" << false;
    // B still talks from its old endpoint (its ready reports): a new port is not a move.
    QTest::newRow("same host, new port, old endpoint active")
        << sortedSteps(every("B", 1000, 7750, 750, "udp_ready/m/2") + QStringList{"Bmoved 1500 register/m/2"})
        << "Bmoved" << false;
    // The old endpoint fell silent after 800 ms: a moved NAT mapping.
    QTest::newRow("same host, new port, old endpoint quiet") << every("Bmoved", 1000, 4000, 750, "register/m/2")
                                                             << "Bmoved" << true;
}

void TestMatchTable::sideStaysWithItsHost()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, newcomer);
    QFETCH(bool, takesOver);
    MatchTable table;
    TableOutput out;
    pairAndAck(table, &out);
    const Endpoint other = namedEndpoint(newcomer);
    const QByteArray newcomerPeer = "peer/m/" + other.address.toString().toUtf8() + '/' + QByteArray::number(other.port);
    const TableOutput later = runScript(table, steps, 25000);
    QCOMPARE(countTo(later, A, newcomerPeer) > 0, takesOver);
    if (!takesOver) {
        QCOMPARE(countPrefixTo(later, other, "peer/"), 0);
        QCOMPARE(countPrefixTo(later, other, "registered/"), 0);
        QCOMPARE(countPrefixTo(later, A, "peer/"), 0);
    }
}

void TestMatchTable::unconfirmedSourceGetsNoMoreThanItSent_data()
{
    // A spoofed victim V (it never acknowledges anything) and an accomplice C registering the
    // other side from its own address. Checked over the run: bytes to V <= bytes from V.
    QTest::addColumn<QStringList>("steps");
    const QString v = QStringLiteral("198.51.100.7:9");
    const QString c = QStringLiteral("203.0.113.66:6006");
    QTest::newRow("one register") << QStringList{v + " 0 register/x/1", c + " 10 register/x/2",
                                                 c + " 760 register/x/2", c + " 1510 peer_ack/x/198.51.100.7/9"};
    QTest::newRow("re-registers every 5 s") << sortedSteps(every(v, 0, 30000, 5000, "register/x/1")
                                                           + QStringList{c + " 10 register/x/2", c + " 760 register/x/2"});
    QTest::newRow("re-registers as a proxy does")
        << sortedSteps(every(v, 0, 25000, 750, "register/x/1") + QStringList{c + " 10 register/x/2"});
    QTest::newRow("failure report") << QStringList{v + " 0 udp_failed/x/1"};
    QTest::newRow("failure reports repeated") << every(v, 0, 30000, 750, "udp_failed/x/1");
    QTest::newRow("both sides spoofed")
        << QStringList{v + " 0 register/x/1", "198.51.100.8:9 0 register/x/2", v + " 750 register/x/1"};
    QTest::newRow("both sides, other side's ack forged")
        << QStringList{v + " 0 register/x/1", "198.51.100.8:9 0 register/x/2", v + " 750 register/x/1",
                       "198.51.100.8:9 750 register/x/2", "198.51.100.8:9 800 peer_ack/x/198.51.100.7/9"};
}

void TestMatchTable::unconfirmedSourceGetsNoMoreThanItSent()
{
    QFETCH(QStringList, steps);
    MatchTable table;
    QHash<QString, qint64> sent;
    const TableOutput out = runScript(table, steps, 35000, &sent);
    const Endpoint victim = namedEndpoint(QStringLiteral("198.51.100.7:9"));
    QVERIFY2(bytesTo(out, victim) <= sent.value(QStringLiteral("198.51.100.7:9")),
             qPrintable(QStringLiteral("%1 bytes to the victim, %2 from it")
                            .arg(bytesTo(out, victim))
                            .arg(sent.value(QStringLiteral("198.51.100.7:9")))));
}

void TestMatchTable::spoofedRegistrationsLeaveRoomForPlayers_data()
{
    // Spoofed one-off registrations (a fresh match id and source each) arrive in the given
    // number within the first second, then two proxies register m, both every 750 ms.
    QTest::addColumn<int>("spoofed");
    QTest::newRow("1,024, the old table") << 1024;
    QTest::newRow("60,000, more than the table") << 60000;
}

void TestMatchTable::spoofedRegistrationsLeaveRoomForPlayers()
{
    QFETCH(int, spoofed);
    MatchTable table; // default limits
    TableOutput sink;
    for (int i = 0; i < spoofed; ++i) {
        const Endpoint source{QHostAddress(quint32(0x0a000000u + quint32(i))), quint16(1000 + i % 50000)};
        table.handleDatagram("register/spoof-" + QByteArray::number(i) + "/1", source, i * 1000 / spoofed, &sink);
    }
    sink = TableOutput();
    const TableOutput out = runScript(table, sortedSteps(every("A", 1000, 4000, 750, "register/m/1")
                                                         + every("B", 1200, 4200, 750, "register/m/2")
                                                         + QStringList{"A 4300 peer_ack/m/203.0.113.20/6006",
                                                                       "B 4300 peer_ack/m/203.0.113.10/6006"}),
                                      4500);
    QVERIFY(countTo(out, A, "peer/m/203.0.113.20/6006") >= 1);
    QVERIFY(countTo(out, B, "peer/m/203.0.113.10/6006") >= 1);
    QVERIFY(table.matchCount() <= TableLimits().maxMatches);
    // The one-offs are forgotten after the pending lifetime.
    runTicks(table, 4500, 12000);
    QCOMPARE(table.matchCount(), 1);
}

void TestMatchTable::playersBehindOneAddressPair()
{
    // 300 matches with both sides behind one carrier NAT address, each on its own port.
    MatchTable table;
    const QHostAddress carrier(QStringLiteral("100.64.0.1"));
    TableOutput out;
    for (qint64 t = 0; t <= 750; t += 750) {
        for (int i = 0; i < 300; ++i) {
            const QByteArray id = "c" + QByteArray::number(i);
            table.handleDatagram("register/" + id + "/1", Endpoint{carrier, quint16(10000 + 2 * i)}, t, &out);
            table.handleDatagram("register/" + id + "/2", Endpoint{carrier, quint16(10001 + 2 * i)}, t, &out);
        }
    }
    int announced = 0;
    for (const Outgoing &o : std::as_const(out.datagrams))
        announced += o.datagram.startsWith("peer/") ? 1 : 0;
    QCOMPARE(announced, 600);
}

void TestMatchTable::logStaysBoundedUnderRepeats_data()
{
    // 2,000 of one event within a few seconds; checked: the log lines of the whole run.
    QTest::addColumn<QString>("load");
    QTest::newRow("registers of fresh matches") << "fresh";
    QTest::newRow("pairings") << "pairs";
    QTest::newRow("rebinds after pairing") << "rebinds";
    QTest::newRow("refused takeovers") << "takeovers";
}

void TestMatchTable::logStaysBoundedUnderRepeats()
{
    QFETCH(QString, load);
    // A burst of 20 lines per kind, then one per second: at most 8 kinds here, over 8 s.
    constexpr int MaxLines = 8 * (20 + 8);
    MatchTable table;
    TableOutput out;
    const auto id = [](int i) { return "p" + QByteArray::number(i); };
    for (int i = 0; i < 2000; ++i) {
        const qint64 t = i;
        if (load == QLatin1String("fresh")) {
            table.handleDatagram("register/" + id(i) + "/1", Stranger, t, &out);
            continue;
        }
        table.handleDatagram("register/" + id(i) + "/1", A, t, &out);
        table.handleDatagram("register/" + id(i) + "/2", B, t, &out);
        if (i % 100 == 0)
            table.tick(t, &out);
    }
    for (int i = 0; load == QLatin1String("rebinds") && i < 2000; ++i)
        table.handleDatagram("register/" + id(i) + "/2", Endpoint{B.address, quint16(20000 + i)}, 5000 + i, &out);
    for (int i = 0; load == QLatin1String("takeovers") && i < 2000; ++i)
        table.handleDatagram("register/" + id(i) + "/2", Stranger, 5000 + i, &out);
    table.tick(7000, &out);
    QVERIFY2(out.log.size() <= MaxLines, qPrintable(QString::number(out.log.size()) + " lines"));
    // What was left out is counted.
    QVERIFY2(logHas(out, "suppressed "), out.log.join('|').constData());
}

void TestMatchTable::acknowledgedSideDrawsOnAddressBudget()
{
    // A acknowledged, so it may hear more than it sent, but only within its address's budget:
    // a side that keeps moving cannot turn A into a target.
    TableLimits limits;
    limits.addressBudgetBurstBytes = 240;
    limits.addressBudgetBytesPerSecond = 24;
    limits.rebindQuietMs = 0;
    limits.idleTimeoutMs = 3600000;
    MatchTable table(limits);
    TableOutput out;
    pairAndAck(table, &out);
    TableOutput later;
    for (int i = 0; i < 100; ++i) {
        table.handleDatagram("register/m/2", Endpoint{B.address, quint16(20000 + i)}, 1000 + i * 100, &later);
        table.tick(1000 + i * 100, &later);
    }
    // 10 s: the burst and 10 s of refill, plus what A itself sent (its two registers and ack).
    QVERIFY2(bytesToAddress(later, A.address) <= 240 + 24 * 10 + 12 * 2 + 28,
             qPrintable(QString::number(bytesToAddress(later, A.address))));
    QVERIFY(countPrefixTo(later, A, "peer/") > 0);
}

QTEST_GUILESS_MAIN(TestMatchTable)
#include "tst_matchtable.moc"
