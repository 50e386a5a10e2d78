// Trace reader: golden summaries, damaged input named by line, SVG and pcap structure. The
// traces come from the proxy's own writer (goldentraces), the summaries from golden files.
#include "goldentraces.h"
#include "tracereader.h"
#include "wire/traceline.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QXmlStreamReader>
#include <QtEndian>

namespace {

QByteArray traceData(const QString &name)
{
    return goldentraces::trace(name);
}

QByteArray expectedSummary(const QString &name)
{
    QFile file(QStringLiteral(KIVRA_TEST_DATA_DIR "/traces/") + name + QStringLiteral(".expected.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

kivratrace::Summary summaryOf(const QByteArray &data, kivratrace::Trace *traceOut = nullptr)
{
    const kivratrace::Trace trace = kivratrace::parseTrace(data.constData(), std::size_t(data.size()));
    if (traceOut)
        *traceOut = trace;
    return kivratrace::summarize(trace, data.constData());
}

bool recordedContentIsProbe(const QByteArray &data, const kivratrace::Record &r)
{
    return r.direction == 'o' && r.length <= 64 && kivratrace::recordedContent(data.constData(), r).startsWith("KVRA ");
}

} // namespace

class TestTraceReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void goldenSummaries_data();
    void goldenSummaries();
    void gapAndBurst();
    void problemsNameTheirLines_data();
    void problemsNameTheirLines();
    void relayedNote_data();
    void relayedNote();
    void windowsLineEnds();
    void cutAnywhere();
    void randomBytes();
    void svgHasOneSeriesPerDirection();
    void pcapRecords();
};

void TestTraceReader::goldenSummaries_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("steady") << QStringLiteral("steady");
    QTest::newRow("gap-burst") << QStringLiteral("gap-burst");
    QTest::newRow("damaged") << QStringLiteral("damaged");
}

void TestTraceReader::goldenSummaries()
{
    QFETCH(QString, name);
    const QByteArray data = traceData(name);
    QVERIFY(!data.isEmpty());
    const QString expected = QString::fromUtf8(expectedSummary(name));
    QVERIFY(!expected.isEmpty());
    QCOMPARE(kivratrace::textReport(summaryOf(data)), expected);
}

void TestTraceReader::gapAndBurst()
{
    const kivratrace::Summary steady = summaryOf(traceData(QStringLiteral("steady")));
    QCOMPARE(steady.toPeer.datagrams, 120);
    QCOMPARE(steady.toEmulator.bytes, 120 * 64);
    QVERIFY(steady.toPeer.gaps.isEmpty() && steady.toEmulator.gaps.isEmpty());
    QVERIFY(steady.toPeer.bursts.isEmpty() && steady.toEmulator.bursts.isEmpty());
    QCOMPARE(steady.pings.size(), 10);
    QCOMPARE(steady.proposals, QList<int>{1});
    QVERIFY(steady.verdict.startsWith(QLatin1String("healthy")));

    const kivratrace::Summary s = summaryOf(traceData(QStringLiteral("gap-burst")));
    // Nothing reached the emulator for 22 frames after frame 59.
    QCOMPARE(s.toEmulator.datagrams, 99);
    QCOMPARE(s.toEmulator.gaps.size(), 1);
    QCOMPARE(qRound(s.toEmulator.gaps.first().lengthMs * 1000), 366674);
    QCOMPARE(qRound(s.toEmulator.gaps.first().atS * 1000), 2988);
    QCOMPARE(s.toEmulator.maxMs, 366.674);
    // Frames 90-99 to the peer were held back and left together.
    QCOMPARE(s.toPeer.gaps.size(), 1);
    QCOMPARE(s.toPeer.bursts.size(), 1);
    QCOMPARE(s.toPeer.bursts.first().datagrams, 10);
    QVERIFY(s.verdict.startsWith(QLatin1String("stalls: 2 gaps")));
    QVERIFY(s.verdict.contains(QLatin1String("burst")));
}

void TestTraceReader::problemsNameTheirLines_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("problemStarts");
    QTest::addColumn<int>("records");
    const QByteArray head("# quark q.1\n# clock wall_us 10 mono_us 5\n");
    QTest::newRow("damaged golden")
        << traceData(QStringLiteral("damaged"))
        << QStringList{"line 6: malformed", "line 7: non-hex", "line 8: malformed", "line 9: content has 4",
                       "line 11: truncated last line"}
        << 4;
    QTest::newRow("not a trace") << traceData(QStringLiteral("not-a-trace"))
                                 << QStringList{"line 1: not a kivra-netproxy trace", "line 2: malformed"} << 0;
    QTest::newRow("empty file") << QByteArray() << QStringList{"line 1: empty file"} << 0;
    QTest::newRow("header only, no clock") << QByteArray("# quark q.1\n") << QStringList{"line 2: no \"# clock\""}
                                           << 0;
    QTest::newRow("bad clock") << QByteArray("# quark q.1\n# clock wall_us x mono_us 5\n")
                               << QStringList{"line 2: malformed clock", "line 2: no \"# clock\""} << 0;
    QTest::newRow("empty line") << head + "\n6 o 1 41\n" << QStringList{"line 3: empty line"} << 1;
    QTest::newRow("odd hex digits") << head + "6 o 1 414\n" << QStringList{"line 3: content has 3"} << 0;
    QTest::newRow("upper-case hex accepted") << head + "6 o 1 4F\n" << QStringList{} << 1;
    QTest::newRow("huge number") << head + "99999999999999999999 o 1 41\n" << QStringList{"line 3: malformed"} << 0;
    QTest::newRow("good last line without line feed") << head + "6 i 0 "
                                                      << QStringList{"line 3: no line feed at the end"} << 1;
    QTest::newRow("missing head still read") << QByteArray("6 o 6 4b5652412070\n7 i 1 42\n")
                                             << QStringList{"line 1: not a kivra-netproxy trace"} << 2;
}

// The relay's note: shown in the summary as the path; anything like it but malformed is
// skipped as any other unknown "#" line, and a trace without it reads as before.
void TestTraceReader::relayedNote_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("via");
    const QByteArray head("# quark q.1\n# clock wall_us 10 mono_us 5\n");
    const QByteArray line = wire::trace::relayedNote(QStringLiteral("203.0.113.3"), 49184);
    QTest::newRow("note as the proxy writes it") << head + line + "6 o 1 41\n" << "203.0.113.3:49184";
    QTest::newRow("no note: a direct match") << head + "6 o 1 41\n" << QString();
    QTest::newRow("note with Windows line end") << head + "# relayed 203.0.113.3:3478\r\n" << "203.0.113.3:3478";
    QTest::newRow("no port: skipped") << head + "# relayed 203.0.113.3\n" << QString();
    QTest::newRow("port 0: skipped") << head + "# relayed 203.0.113.3:0\n" << QString();
    QTest::newRow("port too large: skipped") << head + "# relayed 203.0.113.3:70000\n" << QString();
    QTest::newRow("other note word: skipped") << head + "# relay 203.0.113.3:3478\n" << QString();
}

void TestTraceReader::relayedNote()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, via);
    kivratrace::Trace trace;
    const kivratrace::Summary summary = summaryOf(data, &trace);
    QCOMPARE(trace.problemCount, qint64(0));
    QCOMPARE(trace.relayedVia, via);
    const QString text = kivratrace::textReport(summary);
    QCOMPARE(text.contains(QStringLiteral("relayed via ") + via + QLatin1Char('\n')), !via.isEmpty());
    QCOMPARE(text.contains(QLatin1String("relayed")), !via.isEmpty());
    QCOMPARE(kivratrace::jsonReport(summary).value(QStringLiteral("relayed_via")).toString(), via);
}

void TestTraceReader::problemsNameTheirLines()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, problemStarts);
    QFETCH(int, records);
    const kivratrace::Trace trace = kivratrace::parseTrace(data.constData(), std::size_t(data.size()));
    QCOMPARE(trace.problems.size(), problemStarts.size());
    QCOMPARE(trace.problemCount, qint64(problemStarts.size()));
    for (int i = 0; i < problemStarts.size(); ++i)
        QVERIFY2(trace.problems.at(i).startsWith(problemStarts.at(i)), qPrintable(trace.problems.at(i)));
    QCOMPARE(int(trace.records.size()), records);
    // A probe datagram is known as one wherever its line is.
    for (const kivratrace::Record &r : trace.records)
        QCOMPARE(r.probe, recordedContentIsProbe(data, r));
}

void TestTraceReader::windowsLineEnds()
{
    const QByteArray data = traceData(QStringLiteral("steady"));
    QByteArray crlf = data;
    crlf.replace("\n", "\r\n");
    kivratrace::Trace trace;
    const kivratrace::Summary summary = summaryOf(crlf, &trace);
    QCOMPARE(trace.problemCount, 0);
    QCOMPARE(kivratrace::textReport(summary), kivratrace::textReport(summaryOf(data)));
}

void TestTraceReader::cutAnywhere()
{
    const QByteArray data = traceData(QStringLiteral("gap-burst"));
    // Every cut point in the first lines, then a sample further on: no crash, no lost lines.
    for (qsizetype cut = 0; cut < data.size(); cut += cut < 400 ? 1 : 97) {
        const QByteArray part = data.left(cut);
        kivratrace::Trace trace;
        const kivratrace::Summary summary = summaryOf(part, &trace);
        const qint64 complete = part.count('\n');
        QVERIFY(qint64(trace.records.size()) >= complete - 3); // three header/comment lines at most
        if (!part.isEmpty() && !part.endsWith('\n'))
            QVERIFY2(trace.problemCount > 0, qPrintable(QString::number(cut)));
        QVERIFY(!summary.verdict.isEmpty());
    }
}

void TestTraceReader::randomBytes()
{
    QRandomGenerator random(4242);
    for (int round = 0; round < 200; ++round) {
        QByteArray data(int(random.bounded(2000)), '\0');
        for (char &c : data) {
            // Mostly trace-like characters so that the parser gets deep into lines.
            static const char alphabet[] = "0123456789abcdefoi -#\n\r\xff";
            c = alphabet[random.bounded(int(sizeof alphabet - 1))];
        }
        kivratrace::Trace trace;
        const kivratrace::Summary summary = summaryOf(data, &trace);
        QVERIFY(!summary.verdict.isEmpty());
        QVERIFY(!kivratrace::svgTimeline(trace, summary).isEmpty());
        QVERIFY(kivratrace::pcapFile(trace, data.constData()).size() >= 24);
    }
}

void TestTraceReader::svgHasOneSeriesPerDirection()
{
    const QByteArray data = traceData(QStringLiteral("gap-burst"));
    kivratrace::Trace trace;
    const kivratrace::Summary summary = summaryOf(data, &trace);
    QXmlStreamReader xml(kivratrace::svgTimeline(trace, summary));
    QStringList directions;
    int gaps = 0;
    int polylines = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QString cls = xml.attributes().value(QLatin1String("class")).toString();
        if (xml.name() == QLatin1String("g") && cls == QLatin1String("series"))
            directions.append(xml.attributes().value(QLatin1String("data-direction")).toString());
        gaps += (xml.name() == QLatin1String("rect") && cls == QLatin1String("gap")) ? 1 : 0;
        polylines += xml.name() == QLatin1String("polyline") ? 1 : 0;
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(directions, (QStringList{"o", "i"}));
    QCOMPARE(gaps, 2);
    QCOMPARE(polylines, 4);
}

void TestTraceReader::pcapRecords()
{
    const QByteArray data = traceData(QStringLiteral("steady"));
    kivratrace::Trace trace;
    summaryOf(data, &trace);
    const QByteArray pcap = kivratrace::pcapFile(trace, data.constData());
    QCOMPARE(qFromLittleEndian<quint32>(pcap.constData()), 0xa1b2c3d4u);
    QCOMPARE(qFromLittleEndian<quint32>(pcap.constData() + 20), 101u);
    qsizetype at = 24;
    int packets = 0;
    while (at + 16 <= pcap.size()) {
        const quint32 caplen = qFromLittleEndian<quint32>(pcap.constData() + at + 8);
        const quint32 origlen = qFromLittleEndian<quint32>(pcap.constData() + at + 12);
        const kivratrace::Record &r = trace.records.at(std::size_t(packets));
        QCOMPARE(caplen, quint32(28 + r.recordedBytes));
        QCOMPARE(origlen, quint32(28 + r.length));
        QCOMPARE(qFromBigEndian<quint16>(pcap.constData() + at + 16 + 2), quint16(origlen));
        at += 16 + qsizetype(caplen);
        ++packets;
    }
    QCOMPARE(at, pcap.size());
    QCOMPARE(packets, 251);
    // First packet at the header's wall time plus 100 ms.
    QCOMPARE(qFromLittleEndian<quint32>(pcap.constData() + 24), 1765000000u);
    QCOMPARE(qFromLittleEndian<quint32>(pcap.constData() + 28), 100000u);
}

QTEST_GUILESS_MAIN(TestTraceReader)
#include "tst_tracereader.moc"
