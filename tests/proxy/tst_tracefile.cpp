// Trace line and header format, file name rule, trace location and retention of old traces.
#include "proxy/tracefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {

QByteArray line(qint64 timeUs, char direction, const QByteArray &data, qint64 length)
{
    char buffer[tracefile::TraceLineCapacity];
    const std::size_t size = tracefile::formatTraceLine(buffer, timeUs, direction, data.constData(), length);
    return QByteArray(buffer, qsizetype(size));
}

QByteArray counting(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i);
    return data;
}

bool writeFileAged(const QString &path, int ageSeconds)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("x");
    return file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
}

const QDateTime FixedNow(QDate(2026, 3, 4), QTime(5, 6, 7));

} // namespace

class TestTraceFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dataLine_data();
    void dataLine();
    void longestLineFits();
    void header_data();
    void header();
    void fileName_data();
    void fileName();
    void expiredSelection();
    void overrideTouchesNothing();
    void emptyOverrideUsesDefault();
    void missingLocalAppDataUsesTemp();
    void retentionKeepsFifty();
    void uncreatableDirectory();
};

void TestTraceFile::dataLine_data()
{
    QTest::addColumn<qint64>("timeUs");
    QTest::addColumn<char>("direction");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray hundred = counting(100);
    QTest::newRow("100 bytes to the peer: 48 bytes of hex")
        << qint64(1234567) << 'o' << hundred << qint64(100)
        << QByteArray("1234567 o 100 " + counting(48).toHex() + "\n");
    QTest::newRow("zero length ends with a blank")
        << qint64(5) << 'i' << QByteArray() << qint64(0) << QByteArray("5 i 0 \n");
    QTest::newRow("0x00 and 0xff") << qint64(42) << 'i' << QByteArray("\x00\xff\x10", 3) << qint64(3)
                                   << QByteArray("42 i 3 00ff10\n");
    QTest::newRow("exactly 48 bytes") << qint64(0) << 'o' << QByteArray(48, '\xab') << qint64(48)
                                      << QByteArray("0 o 48 " + QByteArray(96, 'a').replace("aa", "ab") + "\n");
    QTest::newRow("negative time") << qint64(-17) << 'o' << QByteArray("A") << qint64(1)
                                   << QByteArray("-17 o 1 41\n");
    QTest::newRow("negative length: no content") << qint64(1) << 'o' << QByteArray("AB") << qint64(-1)
                                                 << QByteArray("1 o -1 \n");
}

void TestTraceFile::dataLine()
{
    QFETCH(qint64, timeUs);
    QFETCH(char, direction);
    QFETCH(QByteArray, data);
    QFETCH(qint64, length);
    QFETCH(QByteArray, expected);
    QCOMPARE(line(timeUs, direction, data, length), expected);
}

void TestTraceFile::longestLineFits()
{
    const QByteArray data(48, '\xff');
    const qint64 smallest = std::numeric_limits<qint64>::min();
    const qint64 largest = std::numeric_limits<qint64>::max();
    const QByteArray text = line(smallest, 'o', data, largest);
    QVERIFY(std::size_t(text.size()) <= tracefile::TraceLineCapacity);
    QCOMPARE(text, QByteArray("-9223372036854775808 o 9223372036854775807 " + QByteArray(96, 'f') + "\n"));
}

void TestTraceFile::header_data()
{
    QTest::addColumn<QString>("quark");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("quark unchanged") << QStringLiteral("ab:1/x y")
                                     << QByteArray("# quark ab:1/x y\n# clock wall_us 1700000000123456 mono_us 98765\n");
    QTest::newRow("empty quark") << QString() << QByteArray("# quark \n# clock wall_us 1700000000123456 mono_us 98765\n");
    QTest::newRow("utf-8 quark") << QStringLiteral("ñandú.1")
                                 << QByteArray("# quark \xc3\xb1" "and\xc3\xba.1\n"
                                               "# clock wall_us 1700000000123456 mono_us 98765\n");
    QTest::newRow("line break cannot forge a data line")
        << QStringLiteral("m.1\n1 i 2 4142") << QByteArray("# quark m.1_1 i 2 4142\n# clock wall_us 1700000000123456 mono_us 98765\n");
}

void TestTraceFile::header()
{
    QFETCH(QString, quark);
    QFETCH(QByteArray, expected);
    QCOMPARE(tracefile::traceHeader(quark, 1700000000123456, 98765), expected);
}

void TestTraceFile::fileName_data()
{
    QTest::addColumn<QString>("quark");
    QTest::addColumn<QString>("expected");
    QTest::newRow("cleaned quark") << QStringLiteral("ab:1/x y") << QStringLiteral("20260304-050607-ab_1_x_y.txt");
    QTest::newRow("empty quark") << QString() << QStringLiteral("20260304-050607-.txt");
    QTest::newRow("allowed characters kept") << QStringLiteral("Az09._-") << QStringLiteral("20260304-050607-Az09._-.txt");
    QTest::newRow("no path escape") << QStringLiteral("../../etc/x") << QStringLiteral("20260304-050607-.._.._etc_x.txt");
    QTest::newRow("non-ascii") << QStringLiteral("ñ.1") << QStringLiteral("20260304-050607-_.1.txt");
}

void TestTraceFile::fileName()
{
    QFETCH(QString, quark);
    QFETCH(QString, expected);
    QCOMPARE(tracefile::traceFileName(FixedNow, quark), expected);
}

void TestTraceFile::expiredSelection()
{
    QList<tracefile::TraceCandidate> candidates;
    for (int i = 0; i < 5; ++i)
        candidates.append({QStringLiteral("t%1").arg(i), qint64(1000 + i)});
    QCOMPARE(tracefile::expiredTraces(candidates, 3), (QStringList{"t1", "t0"}));
    QCOMPARE(tracefile::expiredTraces(candidates, 5), QStringList());
    QCOMPARE(tracefile::expiredTraces(candidates, 0).size(), 5);
    QCOMPARE(tracefile::expiredTraces({}, 49), QStringList());
}

void TestTraceFile::overrideTouchesNothing()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString path = base.filePath(QStringLiteral("my trace.log"));
    QCOMPARE(tracefile::resolveTracePath(path, base.path(), base.path(), QStringLiteral("q.1"), FixedNow), path);
    QVERIFY(!QFileInfo::exists(base.filePath(QStringLiteral("Sarnolix"))));
    QVERIFY(!QFileInfo::exists(path));
}

void TestTraceFile::emptyOverrideUsesDefault()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString path = tracefile::resolveTracePath(QString(), base.path(), QStringLiteral("/nonexistent-temp"),
                                                     QStringLiteral("m.2"), FixedNow);
    QCOMPARE(path, QDir(base.path()).filePath(QStringLiteral("Sarnolix/net-traces/20260304-050607-m.2.txt")));
    QVERIFY(QFileInfo(base.filePath(QStringLiteral("Sarnolix/net-traces"))).isDir());
}

void TestTraceFile::missingLocalAppDataUsesTemp()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path =
        tracefile::resolveTracePath(QString(), QString(), temp.path(), QStringLiteral("ab:1/x y"), FixedNow);
    QCOMPARE(path, QDir(temp.path()).filePath(QStringLiteral("Sarnolix/net-traces/20260304-050607-ab_1_x_y.txt")));
    QVERIFY(QFileInfo(temp.filePath(QStringLiteral("Sarnolix/net-traces"))).isDir());
}

void TestTraceFile::retentionKeepsFifty()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    QDir dir(base.path());
    QVERIFY(dir.mkpath(QStringLiteral("Sarnolix/net-traces/keep.txt")));
    QVERIFY(dir.cd(QStringLiteral("Sarnolix/net-traces")));
    // Oldest first: trace00 is 600 s old, trace59 is 10 s old.
    for (int i = 0; i < 60; ++i)
        QVERIFY(writeFileAged(dir.filePath(QStringLiteral("trace%1.txt").arg(i, 2, 10, QLatin1Char('0'))), 600 - i * 10));
    QVERIFY(writeFileAged(dir.filePath(QStringLiteral("ancient.log")), 100000));
    QVERIFY(writeFileAged(dir.filePath(QStringLiteral("keep.txt/inner.txt")), 100000));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("ancient.log")), dir.filePath(QStringLiteral("link.txt"))));

    const QString path =
        tracefile::resolveTracePath(QString(), base.path(), QString(), QStringLiteral("m.1"), FixedNow);
    QVERIFY(!path.isEmpty());
    QFile created(path);
    QVERIFY(created.open(QIODevice::WriteOnly));
    created.close();

    const QStringList traces = dir.entryList({QStringLiteral("trace*.txt")}, QDir::Files);
    QCOMPARE(traces.size(), 49);
    QCOMPARE(traces.first(), QStringLiteral("trace11.txt"));
    QCOMPARE(dir.entryList({QStringLiteral("*.txt")}, QDir::Files | QDir::NoSymLinks).size(), 50);
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("ancient.log"))));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("keep.txt/inner.txt"))));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("link.txt"))).isSymLink());
}

void TestTraceFile::uncreatableDirectory()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    // A plain file where the directory should go.
    QVERIFY(writeFileAged(base.filePath(QStringLiteral("Sarnolix")), 0));
    QCOMPARE(tracefile::resolveTracePath(QString(), base.path(), QString(), QStringLiteral("m.1"), FixedNow),
             QString());
}

QTEST_GUILESS_MAIN(TestTraceFile)
#include "tst_tracefile.moc"
