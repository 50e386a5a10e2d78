// The two /proc texts the Linux pass reads: a wrong parse here either ends somebody else's
// process or misses a leftover one.
#include "platform/procfs.h"

#include <QTest>

#include <string>

class TestProcfs : public QObject
{
    Q_OBJECT

private slots:
    void executablePathFromLink_data()
    {
        QTest::addColumn<QByteArray>("link");
        QTest::addColumn<bool>("literalNameIsLive");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("plain path") << QByteArray("/opt/fbneo/fbneo") << false << QByteArray("/opt/fbneo/fbneo");
        QTest::newRow("deleted file keeps its original path")
            << QByteArray("/opt/fbneo/fbneo (deleted)") << false << QByteArray("/opt/fbneo/fbneo");
        QTest::newRow("file really named with the mark")
            << QByteArray("/opt/x (deleted)") << true << QByteArray("/opt/x (deleted)");
        QTest::newRow("mark only once stripped")
            << QByteArray("/opt/x (deleted) (deleted)") << false << QByteArray("/opt/x (deleted)");
        QTest::newRow("mark inside the path is kept")
            << QByteArray("/opt/x (deleted)/y") << false << QByteArray("/opt/x (deleted)/y");
        QTest::newRow("mark without the blank is a name") << QByteArray("/opt/x(deleted)") << false
                                                           << QByteArray("/opt/x(deleted)");
        QTest::newRow("nothing but the mark") << QByteArray(" (deleted)") << false << QByteArray();
    }

    void executablePathFromLink()
    {
        QFETCH(QByteArray, link);
        QFETCH(bool, literalNameIsLive);
        QFETCH(QByteArray, expected);
        const std::string result =
            platform::procfs::executablePathFromLink(link.toStdString(), literalNameIsLive);
        QCOMPARE(QByteArray::fromStdString(result), expected);
    }

    void realUidFromStatus_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qulonglong>("uid");
        const QByteArray head = "Name:\tsleep\nUmask:\t0022\nState:\tS (sleeping)\nPid:\t42\nPPid:\t1\n";
        QTest::newRow("real uid is the first field")
            << head + "Uid:\t1000\t0\t0\t0\nGid:\t1000\t1000\t1000\t1000\n" << true << 1000ull;
        QTest::newRow("setuid program: real differs from effective")
            << head + "Uid:\t1000\t0\t1000\t0\n" << true << 1000ull;
        QTest::newRow("root") << head + "Uid:\t0\t0\t0\t0\n" << true << 0ull;
        QTest::newRow("largest uid") << head + "Uid:\t4294967295\t0\t0\t0\n" << true << 4294967295ull;
        QTest::newRow("Uid line first in the text") << QByteArray("Uid:\t7\t7\t7\t7\n") << true << 7ull;
        QTest::newRow("no Uid line") << head << false << 0ull;
        QTest::newRow("key inside another line does not count")
            << QByteArray("Name:\tUid:\t5\n") << false << 0ull;
        QTest::newRow("empty value") << head + "Uid:\t\n" << false << 0ull;
        QTest::newRow("not a number") << head + "Uid:\tabc\t0\t0\t0\n" << false << 0ull;
        QTest::newRow("number with trailing junk") << head + "Uid:\t12x\t0\n" << false << 0ull;
        QTest::newRow("beyond 32 bits") << head + "Uid:\t4294967296\t0\n" << false << 0ull;
        QTest::newRow("absurdly long number") << head + "Uid:\t123456789012345678901234\n" << false << 0ull;
        QTest::newRow("truncated after the value") << head + "Uid:\t33" << true << 33ull;
        QTest::newRow("empty text") << QByteArray() << false << 0ull;
    }

    void realUidFromStatus()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, ok);
        QFETCH(qulonglong, uid);
        unsigned long parsed = 999;
        QCOMPARE(platform::procfs::realUidFromStatus(status.toStdString(), &parsed), ok);
        if (ok)
            QCOMPARE(qulonglong(parsed), uid);
        else
            QCOMPARE(parsed, 999ul);  // left untouched on failure
    }
};

QTEST_GUILESS_MAIN(TestProcfs)
#include "tst_procfs.moc"
