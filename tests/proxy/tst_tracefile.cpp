// Trace line and header format, file name rule, trace location and retention of old traces,
// and what someone else may plant where the traces go.
#include "proxy/tracefile.h"
#include "wire/traceline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray line(qint64 timeUs, char direction, const QByteArray &data, qint64 length)
{
    char buffer[wire::trace::TraceLineCapacity];
    const std::size_t size = wire::trace::formatTraceLine(buffer, timeUs, direction, data.constData(), length);
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
const QString TraceDir = QStringLiteral("Sarnolix/net-traces");
const QString NewTraceName = QStringLiteral("20260304-050607-m.1.txt");
constexpr uid_t OtherUser = 65534; // nobody

// A trace as this program writes it, `ageSeconds` old.
bool writeTraceAged(const QString &path, int ageSeconds, const QByteArray &content = "# quark old\n")
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    return file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
}

// Genuine trace names, oldest first: 20260101-010000-old.txt ... 20260101-010059-old.txt.
QString oldTraceName(int i)
{
    return QStringLiteral("20260101-0100%1-old.txt").arg(i, 2, 10, QLatin1Char('0'));
}

// Directories the way a careful user (or this program) leaves them: private.
bool makePrivatePath(const QString &base, const QString &below)
{
    QString path = base;
    for (const QString &part : below.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (!QFileInfo(path).isDir() && ::mkdir(QFile::encodeName(path).constData(), 0700) != 0)
            return false;
    }
    return true;
}

// 60 of the player's own files, each a trace by name and header, oldest first.
bool fillWithSixty(const QString &dir)
{
    for (int i = 0; i < 60; ++i) {
        if (!writeTraceAged(QDir(dir).filePath(oldTraceName(i)), 6000 - i * 10))
            return false;
    }
    return true;
}

tracefile::TraceEnvironment appDataEnvironment(const QString &localAppData)
{
    tracefile::TraceEnvironment env;
    env.localAppData = localAppData;
    env.tempDir = QStringLiteral("/nonexistent-temp");
    return env;
}

// Opens a trace as a launch does and closes it again; the path, empty when there is none.
QString openAndClose(const tracefile::TraceEnvironment &env, const QString &quark)
{
    const tracefile::OpenedTrace opened = tracefile::openTraceFile(env, quark, FixedNow);
    if (!opened.file)
        return {};
    std::fputs("# quark x\n", opened.file);
    std::fclose(opened.file);
    return opened.path;
}

QStringList sortedEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

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
    void missingLocalAppDataUsesStateDirectory();
    void retentionKeepsFifty();
    void uncreatableDirectory();
    void baseDirectory_data();
    void baseDirectory();
    void traceName_data();
    void traceName();
    void ownTrace_data();
    void ownTrace();
    void plantedDirectory_data();
    void plantedDirectory();
    void plantedFile_data();
    void plantedFile();
    void createdPrivate();
    void sameSecondTruncates();
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
    QVERIFY(std::size_t(text.size()) <= wire::trace::TraceLineCapacity);
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
    QCOMPARE(wire::trace::traceHeader(quark, 1700000000123456, 98765), expected);
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
    tracefile::TraceEnvironment env = appDataEnvironment(base.path());
    env.overridePath = path;
    env.xdgStateHome = base.path();
    env.home = base.path();
    QVERIFY(!QFileInfo::exists(base.filePath(QStringLiteral("Sarnolix"))));
    QVERIFY(!QFileInfo::exists(path));
    // Opening makes exactly that file, and nothing in the default directory.
    QCOMPARE(openAndClose(env, QStringLiteral("q.1")), path);
    QVERIFY(QFileInfo(path).isFile());
    QVERIFY(!QFileInfo::exists(base.filePath(QStringLiteral("Sarnolix"))));
}

void TestTraceFile::emptyOverrideUsesDefault()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString path = openAndClose(appDataEnvironment(base.path()), QStringLiteral("m.2"));
    QCOMPARE(path, QDir(base.path()).filePath(QStringLiteral("Sarnolix/net-traces/20260304-050607-m.2.txt")));
    QVERIFY(QFileInfo(base.filePath(QStringLiteral("Sarnolix/net-traces"))).isDir());
}

void TestTraceFile::missingLocalAppDataUsesStateDirectory()
{
    // Without LOCALAPPDATA the trace goes to the XDG state directory, never the temporary one.
    QTemporaryDir temp;
    QTemporaryDir state;
    QVERIFY(temp.isValid() && state.isValid());
    tracefile::TraceEnvironment env;
    env.xdgStateHome = state.path();
    env.home = QStringLiteral("/nonexistent-home");
    env.tempDir = temp.path();
    const QString path = openAndClose(env, QStringLiteral("ab:1/x y"));
    QCOMPARE(path, QDir(state.path()).filePath(QStringLiteral("Sarnolix/net-traces/20260304-050607-ab_1_x_y.txt")));
    QVERIFY(QFileInfo(state.filePath(QStringLiteral("Sarnolix/net-traces"))).isDir());
    QVERIFY(!QFileInfo::exists(temp.filePath(QStringLiteral("Sarnolix"))));
}

void TestTraceFile::retentionKeepsFifty()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    QVERIFY(makePrivatePath(base.path(), TraceDir));
    QDir dir(base.path());
    QVERIFY(dir.cd(TraceDir));
    // Oldest first: the first is 6000 s old, the last 5410 s.
    QVERIFY(fillWithSixty(dir.path()));
    // Look-alikes, all older than every trace, so that only the checks can spare them.
    QVERIFY(dir.mkdir(QStringLiteral("20250101-000000-dir.txt")));
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("20250101-000000-dir.txt/20250101-000000-in.txt")), 100000));
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("ancient.log")), 100000));
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("notes.txt")), 100000));                  // not our name
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("20250101-000000-other.txt")), 100000,
                           "player's notes\n"));                                                  // not our header
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("20250101-000000-empty.txt")), 100000, "")); // no header
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("2025010-1000000-shift.txt")), 100000));  // digits misplaced
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("20250101-000000-a b.txt")), 100000));    // blank in the quark
    QVERIFY(writeTraceAged(dir.filePath(QStringLiteral("20250101-000000-x.TXT")), 100000));      // other suffix
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("ancient.log")), dir.filePath(QStringLiteral("link.txt"))));
    // Symbolic links with our names to our own traces: links, not traces.
    for (int i = 0; i < 5; ++i) {
        QVERIFY(QFile::link(dir.filePath(oldTraceName(59 - i)),
                            dir.filePath(QStringLiteral("20250101-00000%1-link.txt").arg(i))));
    }
    const QStringList lookAlikes = sortedEntries(dir.path()).filter(QStringLiteral("2025"))
                                   + QStringList{QStringLiteral("ancient.log"), QStringLiteral("notes.txt"),
                                                 QStringLiteral("link.txt")};

    const QString path = openAndClose(appDataEnvironment(base.path()), QStringLiteral("m.1"));
    QCOMPARE(path, dir.filePath(NewTraceName));

    const QStringList traces = dir.entryList({QStringLiteral("20260101-*-old.txt")}, QDir::Files);
    QCOMPARE(traces.size(), 49);
    QCOMPARE(traces.first(), oldTraceName(11));
    QVERIFY(QFileInfo(path).isFile());
    for (const QString &name : lookAlikes)
        QVERIFY2(QFileInfo(dir.filePath(name)).exists() || QFileInfo(dir.filePath(name)).isSymLink(), qPrintable(name));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("20250101-000000-dir.txt/20250101-000000-in.txt"))));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("link.txt"))).isSymLink());
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("20250101-000000-link.txt"))).isSymLink());
}

void TestTraceFile::uncreatableDirectory()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    // A plain file where the directory should go.
    QVERIFY(writeFileAged(base.filePath(QStringLiteral("Sarnolix")), 0));
    QCOMPARE(openAndClose(appDataEnvironment(base.path()), QStringLiteral("m.1")), QString());
}

void TestTraceFile::baseDirectory_data()
{
    QTest::addColumn<QString>("localAppData");
    QTest::addColumn<QString>("xdgStateHome");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("anchor");
    QTest::addColumn<QString>("below");
    QTest::addColumn<QString>("path");

    const QString h = QStringLiteral("/home/p");
    QTest::newRow("LOCALAPPDATA first") << "/data/app" << "/state" << h << "/" << "data/app" << "/data/app";
    QTest::newRow("relative LOCALAPPDATA ignored") << "data/app" << "/state" << h << "/" << "state" << "/state";
    QTest::newRow("XDG_STATE_HOME") << QString() << "/home/p/st" << h << "/" << "home/p/st" << "/home/p/st";
    QTest::newRow("relative XDG_STATE_HOME ignored") << QString() << "st" << h << h << ".local/state"
                                                     << "/home/p/.local/state";
    QTest::newRow("HOME/.local/state") << QString() << QString() << h << h << ".local/state" << "/home/p/.local/state";
    QTest::newRow("HOME unset: none") << QString() << QString() << QString() << QString() << QString() << QString();
    QTest::newRow("relative HOME: none") << QString() << QString() << "home/p" << QString() << QString() << QString();
    QTest::newRow("all relative: none") << "a" << "b" << "c" << QString() << QString() << QString();
    QTest::newRow("root directory as HOME") << QString() << QString() << "/" << "/" << ".local/state"
                                            << "/.local/state";
}

void TestTraceFile::baseDirectory()
{
    QFETCH(QString, localAppData);
    QFETCH(QString, xdgStateHome);
    QFETCH(QString, home);
    QFETCH(QString, anchor);
    QFETCH(QString, below);
    QFETCH(QString, path);
    const tracefile::TraceBase base = tracefile::traceBaseDirectory(localAppData, xdgStateHome, home);
    QCOMPARE(base.anchor, anchor);
    QCOMPARE(base.below, below);
    QCOMPARE(base.path(), path);
}

void TestTraceFile::traceName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ours");
    QTest::newRow("made by traceFileName") << tracefile::traceFileName(FixedNow, QStringLiteral("ab:1/x y")) << true;
    QTest::newRow("empty quark") << QStringLiteral("20260304-050607-.txt") << true;
    QTest::newRow("dots in the quark") << QStringLiteral("20260304-050607-a.txt.txt") << true;
    QTest::newRow("other suffix") << QStringLiteral("20260304-050607-a.log") << false;
    QTest::newRow("upper-case suffix") << QStringLiteral("20260304-050607-a.TXT") << false;
    QTest::newRow("plain txt") << QStringLiteral("notes.txt") << false;
    QTest::newRow("seven date digits") << QStringLiteral("2026034-050607-a.txt") << false;
    QTest::newRow("letter in the time") << QStringLiteral("20260304-05O607-a.txt") << false;
    QTest::newRow("no hyphen before the quark") << QStringLiteral("20260304-050607a.txt") << false;
    QTest::newRow("blank in the quark") << QStringLiteral("20260304-050607-a b.txt") << false;
    QTest::newRow("slash in the quark") << QStringLiteral("20260304-050607-a/b.txt") << false;
    QTest::newRow("non-ascii digit") << QStringLiteral("2026030\u0664-050607-a.txt") << false;
    QTest::newRow("stamp only") << QStringLiteral("20260304-050607-") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestTraceFile::traceName()
{
    QFETCH(QString, name);
    QFETCH(bool, ours);
    QCOMPARE(tracefile::isTraceFileName(name), ours);
}

void TestTraceFile::ownTrace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("regularFile");
    QTest::addColumn<bool>("ownedByUser");
    QTest::addColumn<QByteArray>("firstBytes");
    QTest::addColumn<bool>("ours");
    const QString name = QStringLiteral("20260304-050607-m.1.txt");
    QTest::newRow("our trace") << name << true << true << QByteArray("# quark ") << true;
    QTest::newRow("our trace, more bytes") << name << true << true << QByteArray("# quark m.1\n# clock") << true;
    QTest::newRow("symbolic link or other type") << name << false << true << QByteArray("# quark ") << false;
    QTest::newRow("someone else's") << name << true << false << QByteArray("# quark ") << false;
    QTest::newRow("other header") << name << true << true << QByteArray("# quarks") << false;
    QTest::newRow("header cut short") << name << true << true << QByteArray("# quark") << false;
    QTest::newRow("empty file") << name << true << true << QByteArray() << false;
    QTest::newRow("other name") << QStringLiteral("notes.txt") << true << true << QByteArray("# quark ") << false;
}

void TestTraceFile::ownTrace()
{
    QFETCH(QString, name);
    QFETCH(bool, regularFile);
    QFETCH(bool, ownedByUser);
    QFETCH(QByteArray, firstBytes);
    QFETCH(bool, ours);
    QCOMPARE(tracefile::isOwnTrace({name, regularFile, ownedByUser, firstBytes}), ours);
}

// Something planted where the trace directory goes: a link to the player's files, a directory
// of someone else, one others may write. No trace, and nothing of the player's is touched.
void TestTraceFile::plantedDirectory_data()
{
    QTest::addColumn<QString>("planted"); // "Sarnolix" or "Sarnolix/net-traces"
    QTest::addColumn<QString>("kind");
    for (const QString &planted : {QStringLiteral("Sarnolix"), QStringLiteral("Sarnolix/net-traces")}) {
        for (const QString &kind : {QStringLiteral("link"), QStringLiteral("other user"),
                                    QStringLiteral("world-writable"), QStringLiteral("group-writable")}) {
            QTest::addRow("%s %s", qPrintable(planted), qPrintable(kind)) << planted << kind;
        }
    }
}

void TestTraceFile::plantedDirectory()
{
    QFETCH(QString, planted);
    QFETCH(QString, kind);
    if (kind == QStringLiteral("other user") && ::geteuid() != 0)
        QSKIP("giving a directory to another user needs root");
    QTemporaryDir base;
    QTemporaryDir victim; // the player's own directory elsewhere, with their files
    QVERIFY(base.isValid() && victim.isValid());
    QString victimDir = victim.path();
    if (kind == QStringLiteral("link")) {
        // A link at `planted` reaching a directory whose net-traces (or itself) holds 60 files.
        const bool topLevel = planted == QStringLiteral("Sarnolix");
        if (topLevel) {
            QVERIFY(makePrivatePath(victim.path(), QStringLiteral("net-traces")));
            victimDir = victim.filePath(QStringLiteral("net-traces"));
        } else {
            QVERIFY(makePrivatePath(base.path(), QStringLiteral("Sarnolix")));
        }
        QVERIFY(QFile::link(victim.path(), base.filePath(planted)));
    } else {
        QVERIFY(makePrivatePath(base.path(), TraceDir));
        victimDir = base.filePath(TraceDir);
        const QByteArray dir = QFile::encodeName(base.filePath(planted));
        if (kind == QStringLiteral("other user"))
            QVERIFY(::chown(dir.constData(), OtherUser, OtherUser) == 0);
        else
            QVERIFY(::chmod(dir.constData(), kind == QStringLiteral("world-writable") ? 0777 : 0770) == 0);
    }
    QVERIFY(fillWithSixty(victimDir));
    const QStringList before = sortedEntries(victimDir);
    QFileInfo plantedInfo(base.filePath(planted));
    const QFile::Permissions plantedMode = plantedInfo.permissions();
    const uint plantedOwner = plantedInfo.ownerId();

    QCOMPARE(openAndClose(appDataEnvironment(base.path()), QStringLiteral("m.1")), QString());
    QCOMPARE(sortedEntries(victimDir), before);
    // Not made ours behind the owner's back either.
    plantedInfo.refresh();
    QCOMPARE(plantedInfo.permissions(), plantedMode);
    QCOMPARE(plantedInfo.ownerId(), plantedOwner);
}

// Something planted at the new trace's own name.
void TestTraceFile::plantedFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << QStringLiteral("FIFO");
    QTest::newRow("link to a file") << QStringLiteral("link to a file");
    QTest::newRow("dangling link") << QStringLiteral("dangling link");
    QTest::newRow("other user's file") << QStringLiteral("other user's file");
}

void TestTraceFile::plantedFile()
{
    QFETCH(QString, kind);
    if (kind == QStringLiteral("other user's file") && ::geteuid() != 0)
        QSKIP("giving a file to another user needs root");
    QTemporaryDir base;
    QTemporaryDir victim;
    QVERIFY(base.isValid() && victim.isValid());
    QVERIFY(makePrivatePath(base.path(), TraceDir));
    const QString at = QDir(base.filePath(TraceDir)).filePath(NewTraceName);
    const QByteArray atName = QFile::encodeName(at);
    const QString victimFile = victim.filePath(QStringLiteral("save.txt"));
    const QByteArray content = "the player's own file\n";
    QVERIFY(writeTraceAged(victimFile, 0, content));
    if (kind == QStringLiteral("FIFO")) {
        QVERIFY(::mkfifo(atName.constData(), 0600) == 0);
    } else if (kind == QStringLiteral("link to a file")) {
        QVERIFY(QFile::link(victimFile, at));
    } else if (kind == QStringLiteral("dangling link")) {
        QVERIFY(QFile::link(victim.filePath(QStringLiteral("made.txt")), at));
    } else {
        QVERIFY(writeTraceAged(at, 0, content));
        QVERIFY(::chown(atName.constData(), OtherUser, OtherUser) == 0);
    }

    // Returns at once: a FIFO without a reader does not hold the open.
    QCOMPARE(openAndClose(appDataEnvironment(base.path()), QStringLiteral("m.1")), QString());
    QFile saved(victimFile);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), content);
    QVERIFY(!QFileInfo::exists(victim.filePath(QStringLiteral("made.txt"))));
    struct stat info {};
    QVERIFY(::lstat(atName.constData(), &info) == 0);
    if (kind == QStringLiteral("FIFO"))
        QVERIFY(S_ISFIFO(info.st_mode));
    else if (kind == QStringLiteral("other user's file"))
        QCOMPARE(info.st_size, off_t(content.size())); // not truncated
    else
        QVERIFY(S_ISLNK(info.st_mode));
}

void TestTraceFile::createdPrivate()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    tracefile::TraceEnvironment env;
    env.home = home.path();
    const QString path = openAndClose(env, QStringLiteral("m.1"));
    QCOMPARE(path, QDir(home.path()).filePath(QStringLiteral(".local/state/Sarnolix/net-traces/") + NewTraceName));
    const QString state = home.filePath(QStringLiteral(".local/state"));
    for (const QString &dir : {home.filePath(QStringLiteral(".local")), state, state + QStringLiteral("/Sarnolix"),
                               state + QStringLiteral("/Sarnolix/net-traces")}) {
        struct stat info {};
        QVERIFY2(::stat(QFile::encodeName(dir).constData(), &info) == 0, qPrintable(dir));
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }
    struct stat info {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &info) == 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));

    // A home that is not there is not made.
    env.home = home.filePath(QStringLiteral("missing"));
    QCOMPARE(openAndClose(env, QStringLiteral("m.1")), QString());
    QVERIFY(!QFileInfo::exists(env.home));
}

// Two launches in the same second with the same quark: the second truncates the first.
void TestTraceFile::sameSecondTruncates()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const tracefile::TraceEnvironment env = appDataEnvironment(base.path());
    const tracefile::OpenedTrace first = tracefile::openTraceFile(env, QStringLiteral("m.1"), FixedNow);
    QVERIFY(first.file);
    std::fputs("# quark m.1\nfirst launch's lines\n", first.file);
    std::fclose(first.file);
    const tracefile::OpenedTrace second = tracefile::openTraceFile(env, QStringLiteral("m.1"), FixedNow);
    QVERIFY(second.file);
    QCOMPARE(second.path, first.path);
    std::fputs("# quark m.1\n", second.file);
    std::fclose(second.file);
    QFile file(second.path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("# quark m.1\n"));
}

QTEST_GUILESS_MAIN(TestTraceFile)
#include "tst_tracefile.moc"
