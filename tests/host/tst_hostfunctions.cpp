// The runtime host's pure functions: options, event lines, served command, delay rule,
// emulator argument and window-handle parsing.
#include "host/events.h"
#include "host/launchoptions.h"
#include "host/servedcommand.h"
#include "host/windowhandle.h"
#include "platform/platform.h"

#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

class TestHostFunctions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void argumentValue_data();
    void argumentValue();
    void infoRequest_data();
    void infoRequest();
    void writeEvent_data();
    void writeEvent();
    void parseServedCommand_data();
    void parseServedCommand();
    void effectiveDelay_data();
    void effectiveDelay();
    void emulatorServedArgument_data();
    void emulatorServedArgument();
    void parseWindowHandle_data();
    void parseWindowHandle();
    void watchedWindowText_data();
    void watchedWindowText();
    void windowStateWithoutDisplay_data();
    void windowStateWithoutDisplay();
};

void TestHostFunctions::argumentValue_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    const QString prog = QStringLiteral("/bin/kivra-netproxy");
    QTest::newRow("found") << QStringList{prog, "--emulator", "/e"} << "--emulator" << "/e";
    QTest::newRow("absent") << QStringList{prog, "--command", "x"} << "--emulator" << "";
    QTest::newRow("last word") << QStringList{prog, "--command"} << "--command" << "";
    QTest::newRow("repeated: first counts") << QStringList{prog, "--emulator", "/a", "--emulator", "/b"}
                                            << "--emulator" << "/a";
    QTest::newRow("case-sensitive") << QStringList{prog, "--Emulator", "/e"} << "--emulator" << "";
    QTest::newRow("next word taken even if option") << QStringList{prog, "--emulator", "--command", "x"}
                                                    << "--emulator" << "--command";
    QTest::newRow("program path searched too") << QStringList{"--emulator", "/e"} << "--emulator" << "/e";
    QTest::newRow("empty value") << QStringList{prog, "--emulator", "", "x"} << "--emulator" << "";
    QTest::newRow("no arguments at all") << QStringList{} << "--emulator" << "";
}

void TestHostFunctions::argumentValue()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, option);
    QTEST(host::argumentValue(arguments, option), "expected");
}

// --help and --version only alone: a front-end's match command line never turns into one.
void TestHostFunctions::infoRequest_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<host::InfoRequest>("expected");
    const QString prog = QStringLiteral("/bin/kivra-netproxy");
    QTest::newRow("help alone") << QStringList{prog, "--help"} << host::InfoRequest::Help;
    QTest::newRow("version alone") << QStringList{prog, "--version"} << host::InfoRequest::Version;
    QTest::newRow("help with a match") << QStringList{prog, "--help", "--emulator", "/e", "--command", "x"}
                                       << host::InfoRequest::Match;
    QTest::newRow("version after the options") << QStringList{prog, "--emulator", "/e", "--command", "x", "--version"}
                                               << host::InfoRequest::Match;
    QTest::newRow("version as the command") << QStringList{prog, "--command", "--version"} << host::InfoRequest::Match;
    QTest::newRow("help and version") << QStringList{prog, "--help", "--version"} << host::InfoRequest::Match;
    QTest::newRow("case-sensitive") << QStringList{prog, "--Help"} << host::InfoRequest::Match;
    QTest::newRow("short form is not help") << QStringList{prog, "-h"} << host::InfoRequest::Match;
    QTest::newRow("no arguments: missing_arguments") << QStringList{prog} << host::InfoRequest::Match;
    QTest::newRow("empty list") << QStringList{} << host::InfoRequest::Match;
}

void TestHostFunctions::infoRequest()
{
    QFETCH(QStringList, arguments);
    QTEST(host::infoRequestFrom(arguments), "expected");
}

void TestHostFunctions::writeEvent_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("event only") << "connected" << "" << "" << QByteArray("connected\n");
    QTest::newRow("no status") << "failed" << "" << "missing_arguments" << QByteArray("failed missing_arguments\n");
    QTest::newRow("trailing blank kept") << "upnp" << "abc" << "ok " << QByteArray("upnp abc ok \n");
    QTest::newRow("detail with blanks") << "delay" << "m.1" << "2 45" << QByteArray("delay m.1 2 45\n");
    QTest::newRow("utf-8") << "failed" << "q" << QString::fromUtf8("no se pudo abrir el puerto, ¿está en uso?")
                           << QByteArray("failed q no se pudo abrir el puerto, \xC2\xBF" "est\xC3\xA1" " en uso?\n");
    // One call is one line, whatever a message carries.
    QTest::newRow("line break in detail") << "failed" << "q" << "first\nsecond\r\n" << QByteArray("failed q first second  \n");
}

void TestHostFunctions::writeEvent()
{
    QFETCH(QString, event);
    QFETCH(QString, status);
    QFETCH(QString, detail);
    QFETCH(QByteArray, expected);

    QTemporaryFile capture;
    QVERIFY(capture.open());
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    QVERIFY(savedStdout >= 0);
    ::dup2(capture.handle(), STDOUT_FILENO);
    host::writeEvent(event, status, detail);
    host::writeEvent(QStringLiteral("next"));
    std::fflush(stdout);
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);

    QFile written(capture.fileName());
    QVERIFY(written.open(QIODevice::ReadOnly));
    // Flushed per call, in call order.
    QCOMPARE(written.readAll(), expected + "next\n");
}

void TestHostFunctions::parseServedCommand_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("quark");
    QTest::addColumn<int>("signalPort");
    QTest::addColumn<QString>("emulatorHost");
    QTest::addColumn<bool>("nativeWindow");
    QTest::addColumn<bool>("nativeFullscreen");
    const QString p = QStringLiteral("kivra-net:served,");
    QTest::newRow("seven fields") << p + "g,m.1,x,,10.0.0.1,7100,127.0.0.5" << true << "m.1" << 7100 << "127.0.0.5" << false << false;
    QTest::newRow("prefix in capitals") << "KIVRA-NET:SERVED,g,q,x,,h,7100,e" << true << "q" << 7100 << "e" << false << false;
    QTest::newRow("six fields: direct") << p + "g,q,x,,h,7100" << false << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("prefix with long s: direct") << QString::fromUtf8("kivra-net:\u017Ferved,g,q,x,,h,1,e") << false << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("prefix with Kelvin sign: direct") << QString::fromUtf8("\u212Aivra-net:served,g,q,x,,h,1,e") << false << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("prefix only: direct") << p << false << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("prefix without comma: direct") << "kivra-net:served" << false << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("prefix later in text: direct") << " kivra-net:served,g,q,x,,h,1,e" << false << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("all fields empty") << p + ",,,,,," << true << "" << 7001 << "127.0.0.1" << false << false;
    QTest::newRow("port 0") << p + "g,q,x,,h,0,e" << true << "q" << 7001 << "e" << false << false;
    QTest::newRow("port 65536") << p + "g,q,x,,h,65536,e" << true << "q" << 7001 << "e" << false << false;
    QTest::newRow("port -1") << p + "g,q,x,,h,-1,e" << true << "q" << 7001 << "e" << false << false;
    QTest::newRow("port abc") << p + "g,q,x,,h,abc,e" << true << "q" << 7001 << "e" << false << false;
    QTest::newRow("port empty") << p + "g,q,x,,h,,e" << true << "q" << 7001 << "e" << false << false;
    QTest::newRow("port hex is not base 10") << p + "g,q,x,,h,0x20,e" << true << "q" << 7001 << "e" << false << false;
    QTest::newRow("port 65535") << p + "g,q,x,,h,65535,e" << true << "q" << 65535 << "e" << false << false;
    QTest::newRow("port 1") << p + "g,q,x,,h,1,e" << true << "q" << 1 << "e" << false << false;
    QTest::newRow("emulator host one blank") << p + "g,q,x,,h,1, " << true << "q" << 1 << " " << false << false;
    QTest::newRow("native-window mixed case") << p + "g,q,x,,h,1,e,Native-WINDOW" << true << "q" << 1 << "e" << true << false;
    QTest::newRow("native-fullscreen") << p + "g,q,x,,h,1,e,native-fullscreen" << true << "q" << 1 << "e" << false << true;
    QTest::newRow("native-window plus a character") << p + "g,q,x,,h,1,e,native-windows" << true << "q" << 1 << "e" << false << false;
    QTest::newRow("native-window with blank") << p + "g,q,x,,h,1,e,native-window " << true << "q" << 1 << "e" << false << false;
    QTest::newRow("other word") << p + "g,q,x,,h,1,e,window" << true << "q" << 1 << "e" << false << false;
    QTest::newRow("ninth field ignored") << p + "g,q,x,,h,1,e,native-window,native-fullscreen,z" << true << "q" << 1 << "e" << true << false;
}

void TestHostFunctions::parseServedCommand()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const ServedCommand served = host::parseServedCommand(text);
    QCOMPARE(served.valid, valid);
    if (!valid) {
        QVERIFY(served == ServedCommand());
        return;
    }
    QTEST(served.quark, "quark");
    QTEST(int(served.signalPort), "signalPort");
    QTEST(served.emulatorHost, "emulatorHost");
    QTEST(served.nativeWindow, "nativeWindow");
    QTEST(served.nativeFullscreen, "nativeFullscreen");
}

void TestHostFunctions::effectiveDelay_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<int>("negotiated");
    QTest::addColumn<int>("expected");
    QTest::newRow("override 3 beats 1") << "3" << 1 << 3;
    QTest::newRow("override 9 capped") << "9" << 1 << 5;
    QTest::newRow("override 0 stays 0") << "0" << 2 << 0;
    QTest::newRow("override 5") << "5" << 0 << 5;
    QTest::newRow("negative, negotiated 0") << "-2" << 0 << 1;
    QTest::newRow("negative, negotiated 4") << "-2" << 4 << 4;
    QTest::newRow("non-number, negotiated 0") << "two" << 0 << 1;
    QTest::newRow("non-number, negotiated 4") << "two" << 4 << 4;
    QTest::newRow("empty, negotiated 0") << "" << 0 << 1;
    QTest::newRow("empty, negotiated 2") << "" << 2 << 2;
    QTest::newRow("empty, negotiated negative") << "" << -3 << 1;
    QTest::newRow("beyond int: negotiated") << "99999999999" << 2 << 2;
}

void TestHostFunctions::effectiveDelay()
{
    QFETCH(QString, override);
    QFETCH(int, negotiated);
    ServedCommand served;
    served.delayOverride = override;
    QTEST(host::effectiveDelay(served, negotiated), "expected");
}

void TestHostFunctions::emulatorServedArgument_data()
{
    QTest::addColumn<QString>("value1");
    QTest::addColumn<QString>("quark");
    QTest::addColumn<QString>("value3");
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("expected");
    QTest::newRow("example") << "g" << "q" << "x" << 2 << "quark:served,g,q,x,2,1";
    QTest::newRow("empty values") << "" << "" << "" << 1 << "quark:served,,,,1,1";
    // Substituted in one pass: a value's own percent sequences stay as they are.
    QTest::newRow("percent in values") << "%2" << "%4" << "%1" << 0 << "quark:served,%2,%4,%1,0,1";
}

void TestHostFunctions::emulatorServedArgument()
{
    ServedCommand served;
    QFETCH(QString, value1);
    QFETCH(QString, quark);
    QFETCH(QString, value3);
    QFETCH(int, delay);
    served.emulatorValue1 = value1;
    served.quark = quark;
    served.emulatorValue3 = value3;
    QTEST(host::emulatorServedArgument(served, delay), "expected");
}

void TestHostFunctions::parseWindowHandle_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint64>("expected");
    QTest::newRow("decimal") << "4194310" << true << quint64(4194310);
    QTest::newRow("0x lower") << "0x1a2b" << true << quint64(0x1A2B);
    QTest::newRow("0X upper") << "0X1A2B" << true << quint64(0x1A2B);
    QTest::newRow("leading zero is octal") << "010" << true << quint64(8);
    QTest::newRow("64-bit") << "0xFFFFFFFFFFFFFFFF" << true << quint64(0xFFFFFFFFFFFFFFFFull);
    QTest::newRow("not a number") << "window" << false << quint64(0);
    QTest::newRow("0x alone") << "0x" << false << quint64(0);
    QTest::newRow("bad hex digits") << "0xZZ" << false << quint64(0);
    QTest::newRow("negative") << "-5" << false << quint64(0);
    QTest::newRow("too wide") << "0x1FFFFFFFFFFFFFFFF" << false << quint64(0);
}

void TestHostFunctions::parseWindowHandle()
{
    QFETCH(QString, text);
    bool ok = true;
    const quint64 value = host::parseWindowHandle(text, &ok);
    QTEST(ok, "ok");
    if (ok)
        QTEST(value, "expected");
}

void TestHostFunctions::watchedWindowText_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("owner");
    QTest::addColumn<QString>("expected");
    QTest::newRow("neither") << "" << "" << "";
    QTest::newRow("owner only") << "" << "7" << "7";
    QTest::newRow("both: parent") << "5" << "7" << "5";
}

void TestHostFunctions::watchedWindowText()
{
    QFETCH(QString, parent);
    QFETCH(QString, owner);
    LaunchOptions options;
    options.parentHwnd = parent;
    options.ownerHwnd = owner;
    QTEST(host::watchedWindowText(options), "expected");
}

void TestHostFunctions::windowStateWithoutDisplay_data()
{
    QTest::addColumn<quint64>("handle");
    QTest::addColumn<int>("expected");
    // No X server to ask: the watch cannot decide and must not end the match.
    QTest::newRow("window id, no display") << quint64(0x400006) << int(platform::WindowState::Unknown);
    QTest::newRow("id 0, no display") << quint64(0) << int(platform::WindowState::Unknown);
    // X ids are 32 bits: a wider handle cannot be asked about (nor truncated to some other
    // window), so the watch cannot decide; it must not end the match.
    QTest::newRow("wider than any X id") << quint64(0x100000000ull) << int(platform::WindowState::Unknown);
    QTest::newRow("widest handle") << quint64(0xFFFFFFFFFFFFFFFFull) << int(platform::WindowState::Unknown);
}

void TestHostFunctions::windowStateWithoutDisplay()
{
    QFETCH(quint64, handle);
    qunsetenv("DISPLAY");
    QTEST(int(platform::windowState(handle)), "expected");
}

QTEST_GUILESS_MAIN(TestHostFunctions)
#include "tst_hostfunctions.moc"
