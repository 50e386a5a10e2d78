// The kivra-trace program: exit codes, messages naming lines, JSON, and its pcap read back by
// tcpdump. It reads traces the proxy's own writer made (goldentraces) at the start of the test.
#include "goldentraces.h"
#include "testsupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int RunWaitMs = 20000;
const QString GoldenDir = QStringLiteral(KIVRA_TEST_DATA_DIR "/traces/");

using testsupport::RunResult;

RunResult run(const QString &program, const QStringList &arguments)
{
    return testsupport::runToEnd(program, arguments, QProcessEnvironment::systemEnvironment(), RunWaitMs);
}

RunResult tool(const QStringList &arguments)
{
    return run(QStringLiteral(KIVRA_TRACE_BIN), arguments);
}

} // namespace

class TestTraceTool : public QObject
{
    Q_OBJECT

    QTemporaryDir traces;
    QString traceDir; // the written traces, with a trailing slash

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(traces.isValid());
        QVERIFY(goldentraces::writeAll(traces.path()));
        traceDir = traces.path() + QLatin1Char('/');
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stderrHas");
        QTest::newRow("clean trace") << QStringList{traceDir + "steady.txt"} << 0 << QByteArray();
        QTest::newRow("damaged trace") << QStringList{traceDir + "damaged.txt"} << 2
                                       << QByteArray("damaged.txt: line 7: non-hex");
        QTest::newRow("not a trace") << QStringList{traceDir + "not-a-trace.txt"} << 2
                                     << QByteArray("line 1: not a kivra-netproxy trace");
        QTest::newRow("missing file") << QStringList{traceDir + "no-such.txt"} << 1 << QByteArray("cannot open");
        QTest::newRow("no file") << QStringList{} << 1 << QByteArray("usage:");
        QTest::newRow("unknown option") << QStringList{traceDir + "steady.txt", "--frobnicate"} << 1
                                        << QByteArray("unexpected argument");
    }

    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stderrHas);
        const RunResult r = tool(arguments);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.errors.contains(stderrHas), r.errors.constData());
    }

    void summaryMatchesGolden()
    {
        const RunResult r = tool({traceDir + "gap-burst.txt"});
        QCOMPARE(r.exitCode, 0);
        QFile expected(GoldenDir + "gap-burst.expected.txt");
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(r.output, expected.readAll());
    }

    void json()
    {
        const RunResult r = tool({traceDir + "gap-burst.txt", "--json"});
        QCOMPARE(r.exitCode, 0);
        QJsonParseError error;
        const QJsonObject root = QJsonDocument::fromJson(r.output, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(root.value(QLatin1String("quark")).toString(), QStringLiteral("gap.2"));
        QCOMPARE(root.value(QLatin1String("start_utc")).toString(), QStringLiteral("2025-12-06T05:46:40.000Z"));
        const QJsonObject toEmulator = root.value(QLatin1String("to_emulator")).toObject();
        QCOMPARE(toEmulator.value(QLatin1String("datagrams")).toInt(), 99);
        QCOMPARE(toEmulator.value(QLatin1String("gaps")).toArray().size(), 1);
        QCOMPARE(root.value(QLatin1String("to_peer")).toObject().value(QLatin1String("bursts")).toArray().size(), 1);
        QVERIFY(root.value(QLatin1String("verdict")).toString().startsWith(QLatin1String("stalls")));
    }

    // tcpdump reads the capture: one packet per line, full lengths, recorded first bytes.
    void pcapReadByTcpdump()
    {
        const QString tcpdump = QStandardPaths::findExecutable(QStringLiteral("tcpdump"));
        if (tcpdump.isEmpty())
            QSKIP("tcpdump is not installed (scripts/packages.d/trace.txt lists it)");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString pcap = dir.filePath(QStringLiteral("steady.pcap"));
        const QString svg = dir.filePath(QStringLiteral("steady.svg"));
        QCOMPARE(tool({traceDir + "steady.txt", "--pcap", pcap, "--plot", svg}).exitCode, 0);
        QVERIFY(QFile::exists(svg));

        const RunResult r = run(tcpdump, {"-r", pcap, "-nn", "-q", "-tt", "-x"});
        QCOMPARE(r.exitCode, 0);
        const QList<QByteArray> lines = r.output.split('\n');
        QList<QByteArray> packets;
        for (const QByteArray &line : lines) {
            if (!line.startsWith('\t') && !line.isEmpty())
                packets.append(line);
        }
        QCOMPARE(packets.size(), 251);
        QCOMPARE(packets.first(), QByteArray("1765000000.100000 IP 192.0.2.1.6006 > 198.51.100.1.6006: UDP, length 19"));
        QVERIFY2(packets.at(11).endsWith("UDP, length 64"), packets.at(11).constData());
        QVERIFY(packets.at(12).contains("IP 127.0.0.1.7001 > 127.0.0.1.6000: UDP, length 64"));
        // After the 28 header bytes: "KVRA ping 0" of the first probe.
        QVERIFY(lines.at(2).contains("0x0010:  c633 6401 1776 1776 001b 0000 4b56 5241"));
        QVERIFY(lines.at(3).contains("0x0020:  2070 696e 6720 30"));
    }
};

QTEST_GUILESS_MAIN(TestTraceTool)
#include "tst_tracetool.moc"
