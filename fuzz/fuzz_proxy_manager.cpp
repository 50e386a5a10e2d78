// The peer datagram path of a real UdpProxyManager: a fake rendezvous server, a fake peer,
// a stranger and an emulator on loopback sockets in a private network namespace. Each input
// is split into datagrams (one per line) that the peer and the stranger send before
// punching, during start-up and during gameplay; the server sends each line too (except
// "peer" announcements). Checked after every input:
// - the emulator receives only what the peer sent, never anything of the stranger's or the
//   server's;
// - during gameplay the emulator receives exactly the peer's game datagrams, in order;
// - the peer receives every emulator datagram, in order;
// - the relay still delivers at the end (nothing wedged it).
#include "fuzzcheck.h"
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"
#include "wire/ports.h"
#include "wire/probewire.h"
#include "wire/punchwire.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QList>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int MaxLines = 48;                  // datagrams per input and sender
constexpr int MaxLineBytes = 2048;            // bytes per datagram; larger adds nothing here
constexpr int PumpRounds = 3;                 // event-loop passes after a burst of sends
constexpr int HandshakeTimeoutMs = 8000;      // punching answers in about 500 ms; slack for load
constexpr int SentinelTimeoutMs = 5000;       // loopback relay takes well under 1 ms; slack for load
constexpr int WaitSliceMs = 20;               // one blocking event-loop wait
const QByteArray Quark = QByteArrayLiteral("fuzz-1234.1");
const QByteArray MatchId = QByteArrayLiteral("fuzz-1234");
const QByteArray EmulatorHello = QByteArrayLiteral("EMU-HELLO");
const QByteArray GameStart = QByteArrayLiteral("GAME-START");
const QByteArray Sentinel = QByteArrayLiteral("SENTINEL-END");
const QByteArray StrangerTag = QByteArrayLiteral("\x01stranger\x01");

QCoreApplication *application = nullptr;
// The rendezvous server (127.0.0.1), the remote proxy (127.0.0.2) and the local emulator
// (127.0.0.1), as the proxy tests script them.
proxytest::PeerHarness *harness = nullptr;
proxytest::UdpEnd *stranger = nullptr; // 127.0.0.3: anyone else on the Internet

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "fuzz_proxy_manager: %s\n", qPrintable(what));
    std::abort();
}

// Lets the proxy handle what was just sent: its sockets are read from the event loop.
void pump()
{
    for (int i = 0; i < PumpRounds; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// One blocking wait of at most WaitSliceMs for any event (socket, timer).
void waitSlice()
{
    QEventLoop loop;
    QTimer::singleShot(WaitSliceMs, &loop, &QEventLoop::quit);
    QObject::connect(&harness->emulator, &proxytest::UdpEnd::datagramReceived, &loop, &QEventLoop::quit);
    loop.exec();
}

// What one stand-in has received since the last call.
QList<QByteArray> drain(proxytest::UdpEnd &end)
{
    const QList<QByteArray> datagrams = end.payloads();
    end.clear();
    return datagrams;
}

QList<QByteArray> splitInput(const uint8_t *data, size_t size)
{
    QList<QByteArray> lines;
    const QList<QByteArray> parts = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\n');
    for (const QByteArray &part : parts) {
        if (part.isEmpty())
            continue; // an empty datagram is legal but says nothing about the paths under test
        lines.append(part.left(MaxLineBytes));
        if (lines.size() == MaxLines)
            break;
    }
    return lines;
}

struct Run
{
    QList<QByteArray> peerSent;       // everything the peer sent towards the emulator
    QList<QByteArray> delivered;      // everything the emulator received
    QList<QByteArray> emulatorSent;   // everything the emulator sent
    QList<QByteArray> peerReceived;   // everything the peer received after the handshake
};

void sendFromPeer(Run &run, const QByteArray &datagram)
{
    harness->peerSend(datagram);
    run.peerSent.append(datagram);
}

void sendFromStranger(const QByteArray &datagram, int index)
{
    harness->sendToProxy(*stranger, datagram);
    harness->sendToProxy(*stranger, StrangerTag + QByteArray::number(index) + ' ' + datagram);
}

// Read as we go, so no stand-in's receive queue can overflow and lose datagrams.
void collect(Run &run)
{
    run.delivered += drain(harness->emulator);
    run.peerReceived += drain(harness->peer);
}

// The same bytes from the rendezvous server exercise the signalling path in every phase. A
// "peer" message is left out: a new endpoint restarts punching against no one (10 s).
void sendFromServer(const QByteArray &datagram)
{
    if (datagram.split('/').first() == "peer")
        return;
    harness->serverSend(datagram);
}

void feed(Run &run, const QList<QByteArray> &lines, qsizetype from, qsizetype to)
{
    for (qsizetype i = from; i < to; ++i) {
        sendFromPeer(run, lines.at(i));
        sendFromStranger(lines.at(i), int(i));
        sendFromServer(lines.at(i));
        pump();
        collect(run);
    }
}

// What the relay passes to the emulator during gameplay (the first 1024 datagrams).
bool isGameDatagram(const QByteArray &datagram)
{
    return datagram != "ping" && !wire::probe::isProbeDatagram(datagram.constData(), datagram.size())
           && !wire::punch::isPunchDatagram(datagram);
}

bool isSubsequence(const QList<QByteArray> &needles, const QList<QByteArray> &haystack)
{
    qsizetype at = 0;
    for (const QByteArray &needle : needles) {
        while (at < haystack.size() && haystack.at(at) != needle)
            ++at;
        if (at == haystack.size())
            return false;
        ++at;
    }
    return true;
}

void checkOnlyPeerTraffic(const Run &run)
{
    QList<QByteArray> available = run.peerSent;
    for (const QByteArray &datagram : run.delivered) {
        const qsizetype at = available.indexOf(datagram);
        FUZZ_CHECK(at >= 0, "the emulator received a datagram the peer did not send (stranger or control)");
        available.removeAt(at);
    }
}

void handshake(const bool &punched)
{
    harness->serverSend("registered/" + MatchId + "/1");
    // The peer's answer queued right behind the announcement: the blocking punch sequence
    // reads it at once.
    harness->startHandshake(QString::fromLatin1(MatchId));
    QElapsedTimer clock;
    clock.start();
    while (!punched && clock.elapsed() < HandshakeTimeoutMs)
        waitSlice();
    FUZZ_CHECK(punched, "punching with the answering peer succeeds");
    pump();
    drain(harness->server);
    drain(harness->peer); // punches and the first probes: not what the checks look at
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The proxy binds the fixed ports 7001 and 6006: never on the machine's own network.
    QString why;
    if (!testsupport::enterPrivateNetworkNamespace(&why))
        fail(QStringLiteral("no private network namespace: ") + why);
    // Traces are written in every launch; none is wanted from fuzzing.
    qputenv("KIVRA_NET_TRACE", "/dev/null");
    application = new QCoreApplication(*argc, *argv);
    harness = new proxytest::PeerHarness;
    stranger = new proxytest::UdpEnd;
    if (!harness->start() || !stranger->bind(QHostAddress(QStringLiteral("127.0.0.3"))))
        fail(QStringLiteral("cannot bind the stand-ins"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> lines = splitInput(data, size);
    const qsizetype third = lines.size() / 3;
    const qsizetype startupEnd = 2 * third;
    const qsizetype helloAt = third + (startupEnd - third) / 2;

    pump();
    drain(harness->server);
    drain(harness->peer);
    drain(*stranger);
    drain(harness->emulator);

    auto proxy = std::make_unique<UdpProxyManager>();
    bool punched = false;
    int successes = 0;
    int failures = 0;
    int negotiations = 0;
    QObject::connect(proxy.get(), &UdpProxyManager::punchingSucceeded, application, [&] {
        punched = true;
        ++successes;
    });
    QObject::connect(proxy.get(), &UdpProxyManager::punchingFailed, application, [&failures] { ++failures; });
    QObject::connect(proxy.get(), &UdpProxyManager::delayNegotiated, application,
                     [&negotiations](const QString &, int delay, int) {
                         FUZZ_CHECK(delay >= 0 && delay <= 2, "the negotiated delay is 0..2");
                         ++negotiations;
                     });
    FUZZ_CHECK(harness->launched(*proxy, QString::fromLatin1(Quark), wire::ports::LocalProxyPort), "launch starts");
    FUZZ_CHECK(harness->proxyPeerPort != 0, "launch names its peer port");
    Run run;
    pump();

    // Before punching: no peer is known, everything is dropped.
    feed(run, lines, 0, third);
    pump();
    collect(run);
    FUZZ_CHECK(run.delivered.isEmpty(), "nothing reaches the emulator before punching");
    run.peerReceived.clear();

    handshake(punched);

    // Start-up: held until the emulator is heard, then screened.
    feed(run, lines, third, helloAt);
    collect(run);
    FUZZ_CHECK(run.delivered.isEmpty(), "nothing reaches the emulator before it is heard");
    harness->emulatorSend(EmulatorHello);
    run.emulatorSent.append(EmulatorHello);
    pump();
    feed(run, lines, helloAt, startupEnd);
    collect(run);

    // Gameplay: a plain game datagram makes sure the relay is in it.
    const qsizetype gameplayFrom = run.delivered.size();
    QList<QByteArray> expected{GameStart};
    sendFromPeer(run, GameStart);
    pump();
    for (qsizetype i = startupEnd; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        sendFromPeer(run, line);
        sendFromStranger(line, int(i));
        sendFromServer(line);
        if (isGameDatagram(line))
            expected.append(line);
        harness->emulatorSend(line);
        run.emulatorSent.append(line);
        pump();
        collect(run);
    }
    sendFromPeer(run, Sentinel);
    expected.append(Sentinel);
    QElapsedTimer clock;
    clock.start();
    while (!run.delivered.contains(Sentinel) && clock.elapsed() < SentinelTimeoutMs) {
        waitSlice();
        collect(run);
    }
    FUZZ_CHECK(run.delivered.contains(Sentinel), "the relay still delivers after the input");

    checkOnlyPeerTraffic(run);
    FUZZ_CHECK(run.delivered.mid(gameplayFrom) == expected, "gameplay delivers exactly the peer's game datagrams");
    pump();
    collect(run);
    FUZZ_CHECK(isSubsequence(run.emulatorSent, run.peerReceived), "the peer receives every emulator datagram in order");

    // Nothing the peer, the stranger or the server sent may repeat or undo an outcome.
    FUZZ_CHECK(successes == 1, "punching succeeds once");
    FUZZ_CHECK(failures == 0, "no failure after a successful punch");
    FUZZ_CHECK(negotiations <= 1, "the delay is negotiated at most once");

    proxy->stop();
    proxy.reset();
    pump();
    return 0;
}
