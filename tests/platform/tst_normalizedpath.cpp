// The path form that the stale-process pass compares: both the configured paths and every
// process's executable go through it, so two spellings of one file must come out equal.
#include "host/staleprocesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestNormalizedPath : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch;
    QString root;       // canonical scratch dir, also the working directory
    QString savedCwd;

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        root = QFileInfo(scratch.path()).canonicalFilePath();
        QVERIFY(QDir(root).mkpath(QStringLiteral("Sub/Deeper")));
        QFile file(root + QStringLiteral("/Sub/Emu.Bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QFile::link(QCoreApplication::applicationFilePath(), root + QStringLiteral("/ImageLink")));
        QVERIFY(QFile::link(root + QStringLiteral("/Gone"), root + QStringLiteral("/Dangling")));
        savedCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root));
    }

    void cleanupTestCase() { QDir::setCurrent(savedCwd); }

    void normalizedPath_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const QString r = root;
        const QString lowered = (r + QStringLiteral("/sub/emu.bin")).toLower();

        QTest::newRow("letter case: existing file is lower-cased")
            << r + QStringLiteral("/Sub/Emu.Bin") << lowered;
        // On a case-sensitive file system this name does not exist; it falls back to the
        // absolute path and folds to the same text, so the match ignores case.
        QTest::newRow("letter case: other spelling of a missing name folds the same")
            << r + QStringLiteral("/SUB/EMU.BIN") << lowered;
        // On Linux "\" is an ordinary file-name character: the text stays one relative name
        // in the working directory and is not split into folders.
        QTest::newRow("backslashes: one file name on Linux")
            << QStringLiteral("Sub\\Emu.Bin") << (r + QStringLiteral("/sub\\emu.bin")).toLower();
        QTest::newRow("relative path to an existing file") << QStringLiteral("Sub/Emu.Bin") << lowered;
        QTest::newRow("relative path to a missing file")
            << QStringLiteral("Nowhere/Emu") << (r + QStringLiteral("/nowhere/emu")).toLower();
        QTest::newRow("dot and dotdot, existing file")
            << QStringLiteral("./Sub/Deeper/../Emu.Bin") << lowered;
        QTest::newRow("dot and dotdot, missing file")
            << QStringLiteral("/opt/./Games/../Emu/./fbneo") << QStringLiteral("/opt/emu/fbneo");
        QTest::newRow("doubled separators, existing file")
            << r + QStringLiteral("//Sub///Emu.Bin") << lowered;
        QTest::newRow("doubled separators, missing file")
            << QStringLiteral("/opt//Emu///fbneo") << QStringLiteral("/opt/emu/fbneo");
        QTest::newRow("path that does not exist")
            << QStringLiteral("/No/Such/Dir/FbNeo.exe") << QStringLiteral("/no/such/dir/fbneo.exe");
        QTest::newRow("symbolic link to the running image")
            << QStringLiteral("ImageLink")
            << QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toLower();
        // A link whose target is missing cannot be resolved: the link's own path counts.
        QTest::newRow("dangling symbolic link is not resolved")
            << QStringLiteral("Dangling") << (r + QStringLiteral("/dangling")).toLower();
        QTest::newRow("empty path stays empty") << QString() << QString();
    }

    void normalizedPath()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(host::normalizedPath(input), expected);
    }
};

QTEST_GUILESS_MAIN(TestNormalizedPath)
#include "tst_normalizedpath.moc"
