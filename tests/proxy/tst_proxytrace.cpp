// Trace files written by a real manager: where they go, what launch reports, their bytes.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <utility>

using proxytest::PeerHarness;

namespace {

constexpr int WaitMs = 5000;
// Between the relayed datagrams that keep a match busy (ms): several per flush interval.
constexpr int TickIntervalMs = 100;
const QString TraceDir = QStringLiteral("Sarnolix/net-traces");

QList<QByteArray> fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Where traces go for the life of the object: KIVRA_NET_TRACE, LOCALAPPDATA, XDG_STATE_HOME,
// HOME and TMPDIR, each set to its value or unset (null), so the process's own never count.
class TraceVariables
{
public:
    TraceVariables(const QByteArray *trace, const QByteArray *localAppData, const QByteArray *stateHome = nullptr,
                   const QByteArray *home = nullptr, const QByteArray *tmpDir = nullptr)
    {
        const QByteArray *values[Count] = {trace, localAppData, stateHome, home, tmpDir};
        for (int i = 0; i < Count; ++i) {
            saved[i] = {qEnvironmentVariableIsSet(Names[i]), qgetenv(Names[i])};
            set(Names[i], values[i]);
        }
    }
    ~TraceVariables()
    {
        for (int i = 0; i < Count; ++i)
            set(Names[i], saved[i].first ? &saved[i].second : nullptr);
    }
    TraceVariables(const TraceVariables &) = delete;
    TraceVariables &operator=(const TraceVariables &) = delete;

private:
    static void set(const char *name, const QByteArray *value)
    {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    static constexpr int Count = 5;
    static constexpr const char *Names[Count] = {"KIVRA_NET_TRACE", "LOCALAPPDATA", "XDG_STATE_HOME", "HOME",
                                                 "TMPDIR"};
    std::pair<bool, QByteArray> saved[Count];
};

// One launch of a fresh manager against a fresh harness, stopped at once so that its trace is
// complete on disk. Empty when the harness cannot bind.
QMap<QString, QVariant> launchAndStop(const QString &quark)
{
    PeerHarness h;
    if (!h.start())
        return {};
    UdpProxyManager proxy;
    const auto result = h.launch(proxy, quark);
    proxy.stop();
    return result;
}

QString status(const QMap<QString, QVariant> &result)
{
    return result.value(QStringLiteral("status")).toString();
}

// A file `ageSeconds` old holding `content`.
bool writeAged(const QString &path, int ageSeconds, const QByteArray &content = QByteArray())
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.flush())
        return false;
    return file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
}

qint64 steadyUs()
{
    return qint64(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

} // namespace

class TestProxyTrace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { KIVRA_REQUIRE_NETNS(); }

    // KIVRA_NET_TRACE names the file: created or truncated, reported unchanged, nothing else made.
    void overrideFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("sub/../my trace.log"));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub")));
        QVERIFY(writeAged(dir.filePath(QStringLiteral("my trace.log")), 0, QByteArray(5000, 'z')));
        const QByteArray override = path.toLocal8Bit();
        const QByteArray appData = dir.filePath(QStringLiteral("appdata")).toLocal8Bit();
        TraceVariables vars(&override, &appData);

        const qint64 wallBeforeUs = QDateTime::currentMSecsSinceEpoch() * 1000;
        const qint64 monoBeforeUs = steadyUs();
        const auto result = launchAndStop(QStringLiteral("ab:1/x y"));
        QCOMPARE(status(result), QStringLiteral("started"));
        QCOMPARE(result.value(QStringLiteral("tracePath")).toString(), path);

        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("appdata"))));
        const QList<QByteArray> lines = fileLines(path);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), QByteArray("# quark ab:1/x y"));
        const QRegularExpression clockLine(QStringLiteral("^# clock wall_us (\\d+) mono_us (\\d+)$"));
        const auto match = clockLine.match(QString::fromLatin1(lines.at(1)));
        QVERIFY2(match.hasMatch(), lines.at(1).constData());
        const qint64 wallUs = match.captured(1).toLongLong();
        const qint64 monoUs = match.captured(2).toLongLong();
        QVERIFY(wallUs >= wallBeforeUs && wallUs < wallBeforeUs + 60 * 1000000LL);
        QVERIFY(monoUs >= monoBeforeUs && monoUs <= steadyUs());
    }

    // Default directory below LOCALAPPDATA, else the XDG state directory ($XDG_STATE_HOME, else
    // $HOME/.local/state); never the temporary directory.
    void defaultDirectory_data()
    {
        QTest::addColumn<bool>("overrideEmpty");
        QTest::addColumn<QString>("baseVariable"); // the first variable set
        QTest::addColumn<QString>("quark");
        QTest::addColumn<QString>("nameEnd");
        QTest::newRow("KIVRA_NET_TRACE empty: LOCALAPPDATA") << true << QStringLiteral("LOCALAPPDATA")
                                                             << QStringLiteral("ab:1/x y") << QStringLiteral("-ab_1_x_y.txt");
        QTest::newRow("LOCALAPPDATA unset: XDG_STATE_HOME") << false << QStringLiteral("XDG_STATE_HOME")
                                                            << QStringLiteral("m.1") << QStringLiteral("-m.1.txt");
        QTest::newRow("XDG_STATE_HOME unset: HOME/.local/state") << false << QStringLiteral("HOME")
                                                                 << QStringLiteral("m.1") << QStringLiteral("-m.1.txt");
        QTest::newRow("empty quark") << false << QStringLiteral("LOCALAPPDATA") << QString() << QStringLiteral("-.txt");
    }

    void defaultDirectory()
    {
        QFETCH(bool, overrideEmpty);
        QFETCH(QString, baseVariable);
        QFETCH(QString, quark);
        QFETCH(QString, nameEnd);
        QTemporaryDir baseDir;
        QTemporaryDir temp;
        QVERIFY(baseDir.isValid() && temp.isValid());
        const QByteArray empty;
        const QByteArray basePath = baseDir.path().toLocal8Bit();
        const QByteArray tempPath = temp.path().toLocal8Bit();
        const QByteArray missingHome = baseDir.filePath(QStringLiteral("no-home")).toLocal8Bit();
        const bool viaHome = baseVariable == QStringLiteral("HOME");
        TraceVariables vars(overrideEmpty ? &empty : nullptr,
                            baseVariable == QStringLiteral("LOCALAPPDATA") ? &basePath : nullptr,
                            baseVariable == QStringLiteral("XDG_STATE_HOME") ? &basePath : nullptr,
                            viaHome ? &basePath : &missingHome, &tempPath);

        const auto result = launchAndStop(quark);
        QCOMPARE(status(result), QStringLiteral("started"));
        const QString base = viaHome ? baseDir.filePath(QStringLiteral(".local/state")) : baseDir.path();
        const QString expectedDir = QDir(base).filePath(TraceDir);
        const QFileInfo trace(result.value(QStringLiteral("tracePath")).toString());
        QCOMPARE(trace.absolutePath(), expectedDir);
        QVERIFY(trace.isFile());
        QVERIFY2(trace.fileName().endsWith(nameEnd), qPrintable(trace.fileName()));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{8}-\\d{6}-")).match(trace.fileName()).hasMatch());
        QCOMPARE(trace.fileName().size(), 15 + nameEnd.size());
        QCOMPARE(fileLines(trace.filePath()).value(0), "# quark " + quark.toUtf8());
        QVERIFY(!QFileInfo::exists(temp.filePath(QStringLiteral("Sarnolix"))));
    }

    // No per-user directory (HOME unset or relative, nothing else set): no trace, nothing made.
    void noPerUserDirectory_data()
    {
        QTest::addColumn<bool>("homeSet");
        QTest::newRow("HOME unset") << false;
        QTest::newRow("HOME relative") << true;
    }

    void noPerUserDirectory()
    {
        QFETCH(bool, homeSet);
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const QByteArray tempPath = temp.path().toLocal8Bit();
        const QByteArray relative("home/p");
        TraceVariables vars(nullptr, nullptr, nullptr, homeSet ? &relative : nullptr, &tempPath);
        const auto result = launchAndStop(QStringLiteral("n.1"));
        QCOMPARE(status(result), QStringLiteral("started"));
        QVERIFY(result.contains(QStringLiteral("tracePath")));
        QCOMPARE(result.value(QStringLiteral("tracePath")).toString(), QString());
        QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // Another local user plants Sarnolix (or net-traces) in the temporary directory as a link to a
    // directory of the player's holding 60 of their own .txt files: one launch must not delete any
    // of them nor write its trace there.
    void plantedLinkInTemp_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("Sarnolix a link") << QStringLiteral("Sarnolix");
        QTest::newRow("net-traces a link") << QStringLiteral("Sarnolix/net-traces");
    }

    void plantedLinkInTemp()
    {
        QFETCH(QString, planted);
        QTemporaryDir temp;
        QTemporaryDir player;
        QTemporaryDir home;
        QVERIFY(temp.isValid() && player.isValid() && home.isValid());
        QDir victim(player.path());
        if (planted == QStringLiteral("Sarnolix")) {
            QVERIFY(victim.mkdir(QStringLiteral("net-traces")));
            QVERIFY(QFile::link(player.path(), temp.filePath(planted)));
            QVERIFY(victim.cd(QStringLiteral("net-traces")));
        } else {
            QVERIFY(QDir(temp.path()).mkdir(QStringLiteral("Sarnolix")));
            QVERIFY(QFile::link(player.path(), temp.filePath(planted)));
        }
        for (int i = 0; i < 60; ++i)
            QVERIFY(writeAged(victim.filePath(QStringLiteral("notes%1.txt").arg(i, 2, 10, QLatin1Char('0'))),
                              1000 - i));
        const QStringList before = victim.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QCOMPARE(before.size(), 60);
        const QByteArray tempPath = temp.path().toLocal8Bit();
        const QByteArray homePath = home.path().toLocal8Bit();
        TraceVariables vars(nullptr, nullptr, nullptr, &homePath, &tempPath);

        const auto result = launchAndStop(QStringLiteral("a.1"));
        QCOMPARE(status(result), QStringLiteral("started"));
        QCOMPARE(victim.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        const QString tracePath = result.value(QStringLiteral("tracePath")).toString();
        QVERIFY2(tracePath.startsWith(home.path() + QLatin1Char('/')), qPrintable(tracePath));
    }

    // 60 old traces: the 11 oldest go, the new one comes, others and sub-directories stay.
    void retention()
    {
        QTemporaryDir appData;
        QVERIFY(appData.isValid());
        QDir dir(appData.path());
        QVERIFY(dir.mkpath(TraceDir + QStringLiteral("/old.txt")));
        // Private, as this program makes them: a directory others may write gets no trace.
        const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("Sarnolix")), ownerOnly));
        QVERIFY(QFile::setPermissions(dir.filePath(TraceDir), ownerOnly));
        QVERIFY(dir.cd(TraceDir));
        // Our own traces, by name and header line, oldest first.
        for (int i = 0; i < 60; ++i) {
            const QString name = QStringLiteral("20260101-0100%1-old.txt").arg(i, 2, 10, QLatin1Char('0'));
            QVERIFY(writeAged(dir.filePath(name), 1000 - i, "# quark old\n"));
        }
        QVERIFY(writeAged(dir.filePath(QStringLiteral("notes.md")), 0));
        // A .txt file of the player's, older than every trace: not ours, so it stays.
        QVERIFY(writeAged(dir.filePath(QStringLiteral("notes.txt")), 100000));
        const QByteArray empty;
        const QByteArray appDataPath = appData.path().toLocal8Bit();
        TraceVariables vars(&empty, &appDataPath);

        const auto result = launchAndStop(QStringLiteral("r.1"));
        QCOMPARE(dir.entryList({QStringLiteral("20*.txt")}, QDir::Files).size(), 50);
        QCOMPARE(dir.entryList({QStringLiteral("*-old.txt")}, QDir::Files).first(), QStringLiteral("20260101-010011-old.txt"));
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("notes.txt"))));
        QVERIFY(QFileInfo::exists(result.value(QStringLiteral("tracePath")).toString()));
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("notes.md"))));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("old.txt"))).isDir());
    }

    // A trace that cannot be opened does not stop the launch; the path is reported empty.
    void unopenableTrace()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray override = dir.filePath(QStringLiteral("missing/trace.txt")).toLocal8Bit();
        TraceVariables vars(&override, nullptr);
        const auto result = launchAndStop(QStringLiteral("u.1"));
        QCOMPARE(status(result), QStringLiteral("started"));
        QVERIFY(result.contains(QStringLiteral("tracePath")));
        QCOMPARE(result.value(QStringLiteral("tracePath")).toString(), QString());
    }

    // The relayed traffic, byte for byte: direction, length, 48 bytes of hex, blank when empty.
    void relayedLines()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("relay.txt"));
        const QByteArray override = path.toLocal8Bit();
        TraceVariables vars(&override, nullptr);
        PeerHarness h;
        h.peer.answerPings = true;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QSignalSpy negotiated(&proxy, &UdpProxyManager::delayNegotiated);
        QVERIFY(h.launched(proxy, QStringLiteral("t.1")));
        h.startHandshake(QStringLiteral("t"));
        QVERIFY(succeeded.wait(WaitMs));

        QByteArray hundred(100, '\0');
        for (int i = 0; i < hundred.size(); ++i)
            hundred[i] = char(i * 3);
        hundred[1] = '\xff';
        h.peerSend(QByteArray());               // queued until the emulator is heard
        h.emulatorSend(hundred);
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 1, WaitMs);
        h.emulatorSend(QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(h.peer.received().cbegin(), h.peer.received().cend(),
                                             [](const proxytest::Datagram &d) { return d.data.isEmpty(); }),
                                 WaitMs);
        h.peerSend(QByteArray("\x00\xff", 2));
        QTRY_COMPARE_WITH_TIMEOUT(h.emulator.count(), 2, WaitMs);
        // Wait for the negotiation to finish; its pings and proposals are traced too.
        h.peerSend("KVRA delay 0 2");
        QVERIFY(negotiated.wait(WaitMs));
        proxy.stop();

        const QList<QByteArray> lines = fileLines(path);
        QVERIFY(lines.size() > 2);
        QCOMPARE(lines.at(0), QByteArray("# quark t.1"));
        const qint64 monoUs = lines.at(1).split(' ').last().toLongLong();
        QList<QByteArray> relayed;
        QList<QByteArray> probes;
        qint64 previousUs = monoUs;
        const QRegularExpression dataLine(QStringLiteral("^(\\d+) ([oi]) (\\d+) ([0-9a-f]*)$"));
        for (qsizetype i = 2; i < lines.size(); ++i) {
            const QByteArray &line = lines.at(i);
            QVERIFY2(dataLine.match(QString::fromLatin1(line)).hasMatch(), line.constData());
            const qint64 timeUs = line.left(line.indexOf(' ')).toLongLong();
            QVERIFY(timeUs >= previousUs);
            previousUs = timeUs;
            const QByteArray rest = line.mid(line.indexOf(' ') + 1);
            // Probe and delay datagrams start with "KVRA " = 4b56524120.
            (rest.contains(" 4b56524120") ? probes : relayed).append(rest);
        }
        QCOMPARE(relayed,
                 (QList<QByteArray>{"o 100 " + hundred.left(48).toHex(), "i 0 ", "o 0 ", "i 2 00ff"}));
        const QList<QByteArray> firstProbe = probes.first().split(' ');
        const QByteArray firstText = QByteArray::fromHex(firstProbe.at(2));
        QVERIFY2(firstText.startsWith("KVRA ping 0 "), firstText.constData());
        QCOMPARE(firstProbe.at(1).toInt(), firstText.size());
        int pings = 0;
        int proposals = 0;
        for (const QByteArray &probe : probes) {
            const QByteArray text = QByteArray::fromHex(probe.split(' ').at(2));
            QVERIFY2(probe.startsWith("o "), probe.constData()); // pongs we send are not traced
            pings += text.startsWith("KVRA ping ") ? 1 : 0;
            proposals += text.startsWith("KVRA delay ") ? 1 : 0;
        }
        QCOMPARE(pings, 10);
        QVERIFY(proposals >= 1);
        QCOMPARE(pings + proposals, probes.size());
    }

    // While the match runs, a relayed datagram reaches the disk within about a second (once
    // more traffic follows), readable by another reader, without closing or stopping anything.
    void flushedWhileRunning()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("running.txt"));
        const QByteArray override = path.toLocal8Bit();
        TraceVariables vars(&override, nullptr);
        PeerHarness h;
        h.peer.answerPings = true;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QVERIFY(h.launched(proxy, QStringLiteral("f.1")));
        QVERIFY(h.connectProxy(&proxy, QStringLiteral("f")));
        h.emulatorSend("E-first");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E-first"), 1, WaitMs);

        // The marker goes out after the first traced line (flushed at once), then the match
        // keeps relaying; the marker must be on disk long before a ten-second flush would come.
        const QByteArray marker("E-marker");
        h.emulatorSend(marker);
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count(marker), 1, WaitMs);
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, &h, [&h] { h.emulatorSend("E-tick"); });
        ticks.start(TickIntervalMs);
        const QByteArray markerLine = " o " + QByteArray::number(marker.size()) + ' ' + marker.toHex();
        const auto markerOnDisk = [&] {
            const QList<QByteArray> lines = fileLines(path);
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&](const QByteArray &line) { return line.endsWith(markerLine); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(markerOnDisk(), WaitMs);
        ticks.stop();
        // Still running: the relay goes on.
        h.emulatorSend("E-after");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("E-after"), 1, WaitMs);
        proxy.stop();
    }

    // A new launch with another quark closes the old trace and starts a fresh file.
    void relaunchStartsNewTrace()
    {
        QTemporaryDir appData;
        QVERIFY(appData.isValid());
        const QByteArray empty;
        const QByteArray appDataPath = appData.path().toLocal8Bit();
        TraceVariables vars(&empty, &appDataPath);
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        const QString first = h.launch(proxy, QStringLiteral("a.1")).value(QStringLiteral("tracePath")).toString();
        const QString second = h.launch(proxy, QStringLiteral("b.1")).value(QStringLiteral("tracePath")).toString();
        QVERIFY(first != second);
        // The first is complete on disk although the manager is still running.
        QCOMPARE(fileLines(first).value(0), QByteArray("# quark a.1"));
        proxy.stop();
        QCOMPARE(fileLines(second).value(0), QByteArray("# quark b.1"));
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyTrace)
#include "tst_proxytrace.moc"
