// Hole punching through real sockets: success, where the target moves, nesting, failure.
#include "peerharness.h"
#include "proxy/udpproxymanager.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QSemaphore>
#include <QThread>

using proxytest::PeerHarness;
using proxytest::ThreadPeer;
using proxytest::UdpEnd;

namespace {

constexpr int HandshakeWaitMs = 5000;   // one punch call ends within about a second
constexpr int FailureWaitMs = 20000;    // the full sequence sleeps about 10 s
const QHostAddress PeerHost(QStringLiteral("127.0.0.2"));
const QHostAddress StrayHost(QStringLiteral("127.0.0.3"));
const QHostAddress LateHost(QStringLiteral("127.0.0.4"));
constexpr int AnnouncedAttempts = 8;    // punches toward the announced port in the first stage
constexpr int LatePunchAnswers = 32;    // late peer punches answered after success, at most
const QByteArray LateToken = QByteArrayLiteral("0.3131313131313131");

bool isHello(const QByteArray &data)
{
    return data.startsWith("0.") && data.endsWith(" _");
}

// Punch datagrams the proxy sent to one end: "<token> <learned|_>[ ok]".
int punchesTo(const UdpEnd &end)
{
    int n = 0;
    for (const auto &d : end.received()) {
        if (d.data.startsWith("0.") && (d.data.endsWith(" _") || d.data.endsWith(" ok")))
            ++n;
    }
    return n;
}

// A peer behind a NAT that rewrites its address, on a thread of its own because the punch
// sequence blocks the test's: it waits for the proxy's first punch on the announced endpoint
// (127.0.0.2), answers with "<token> <that punch's token> ok" from 127.0.0.3, then waits for
// "after" to arrive at that answering socket.
class RewritingPeer : public QThread
{
public:
    ~RewritingPeer() override { wait(); } // run() is bounded by WholeRunMs

    // Starts the thread and waits until its sockets are bound; false when they are not.
    bool bind()
    {
        start();
        return bound.tryAcquire(1, 2000) && announcedPort != 0;
    }

    quint16 announcedPort = 0;
    bool answered = false;
    bool heardAfter = false;

protected:
    void run() override
    {
        constexpr int WholeRunMs = 8000;
        QElapsedTimer clock;
        clock.start();
        QUdpSocket announced, answering;
        if (announced.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0)
            && answering.bind(QHostAddress(QStringLiteral("127.0.0.3")), 0))
            announcedPort = announced.localPort();
        bound.release();
        if (announcedPort == 0)
            return;
        QHostAddress proxyAddress;
        quint16 proxyPort = 0;
        while (!answered && clock.elapsed() < WholeRunMs) {
            if (!announced.waitForReadyRead(200))
                continue;
            QByteArray punch(2048, Qt::Uninitialized);
            const qint64 n = announced.readDatagram(punch.data(), punch.size(), &proxyAddress, &proxyPort);
            punch.truncate(std::max<qint64>(n, 0));
            if (!punch.startsWith("0.") || !punch.endsWith(" _"))
                continue;
            answering.writeDatagram("0.5555555555555555 " + punch.split(' ').first() + " ok", proxyAddress,
                                    proxyPort);
            answered = true;
        }
        while (answered && !heardAfter && clock.elapsed() < WholeRunMs) {
            if (!answering.waitForReadyRead(200))
                continue;
            QByteArray data(2048, Qt::Uninitialized);
            const qint64 n = answering.readDatagram(data.data(), data.size());
            heardAfter = n == 5 && data.startsWith("after");
        }
    }

private:
    QSemaphore bound;
};

} // namespace

class TestProxyPunching : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        KIVRA_REQUIRE_NETNS();
        qputenv("KIVRA_NET_TRACE", QByteArray("/dev/null"));
    }

    // The peer's answer queued behind the announcement: success, acknowledgement, "ok" punches.
    void succeedsWhenPeerAnswers()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        QVERIFY(h.launched(proxy, QStringLiteral("pm.1")));
        h.startHandshake(QStringLiteral("pm"));
        QVERIFY(succeeded.wait(HandshakeWaitMs));
        QCOMPARE(succeeded.first().first().toString(), QStringLiteral("pm.1"));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 1, HandshakeWaitMs);
        QCOMPARE(h.server.payloads("peer_ack/").first(),
                 "peer_ack/pm/127.0.0.2/" + QByteArray::number(h.peer.port()));
        QTRY_VERIFY_WITH_TIMEOUT(punchesTo(h.peer) >= 1, HandshakeWaitMs);
        // The first punch already carries the learned token: the peer's answer was read first.
        const QByteArray first = h.peer.payloads("0.").first();
        QVERIFY2(first.endsWith(" 0.4242424242424242 ok"), first.constData());
        QCOMPARE(first.size(), 18 + 1 + 18 + 3);
        QCOMPARE(h.peer.received().first().senderPort, quint16(6006));
        // The 3-field answer ends the call after one more check: at most two punches.
        QVERIFY(punchesTo(h.peer) <= 2);
        QCOMPARE(failed.count(), 0);
        // The path is open: the emulator's datagrams now reach the peer.
        h.emulatorSend("hello-peer");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("hello-peer"), 1, HandshakeWaitMs);
    }

    void retarget_data()
    {
        QTest::addColumn<QString>("fromHost");
        QTest::addColumn<int>("fromPort"); // 0 = ephemeral
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("moves");
        // A third host that floods punch-like datagrams must not take the match over.
        QTest::newRow("retarget: punch from a host nobody announced never moves it")
            << "127.0.0.3" << 0 << QByteArray("0.7777777777777777 0.1 ok") << false;
        QTest::newRow("retarget: hello punch from a host nobody announced never moves it")
            << "127.0.0.3" << 0 << QByteArray("0.7777777777777777 _") << false;
        QTest::newRow("retarget: punch from a new port of the peer moves it")
            << "127.0.0.2" << 0 << QByteArray("0.7777777777777777 0.1 ok") << true;
        QTest::newRow("retarget: hexadecimal punch moves but teaches no token")
            << "127.0.0.2" << 0 << QByteArray("abcdef _") << true;
        QTest::newRow("retarget: source port 7000 never moves it")
            << "127.0.0.2" << 7000 << QByteArray("0.7777777777777777 0.1 ok") << false;
        QTest::newRow("retarget: source port 7001 never moves it")
            << "127.0.0.3" << 7001 << QByteArray("0.7777777777777777 0.1 ok") << false;
        QTest::newRow("retarget: source port 7002 never moves it")
            << "127.0.0.3" << 7002 << QByteArray("0.7777777777777777 0.1 ok") << false;
        QTest::newRow("retarget: stray datagram never moves it")
            << "127.0.0.3" << 0 << QByteArray("hello there") << false;
        QTest::newRow("retarget: stray with a token-like start never moves it")
            << "127.0.0.3" << 0 << QByteArray("0.5 is not a punch at all") << false;
        QTest::newRow("retarget: probe is answered, never moves it")
            << "127.0.0.3" << 0 << QByteArray("KVRA ping 1 2") << false;
    }
    // One datagram from `from` arrives before the real peer's answer. Where the proxy's punches
    // and, afterwards, the emulator's datagrams go shows where the target is.
    void retarget()
    {
        QFETCH(QString, fromHost);
        QFETCH(int, fromPort);
        QFETCH(QByteArray, datagram);
        QFETCH(bool, moves);
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd other;
        QVERIFY(other.bind(QHostAddress(fromHost), quint16(fromPort)));
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QVERIFY(h.launched(proxy, QStringLiteral("rt.1")));
        h.announcePeer(QStringLiteral("rt"));
        h.sendToProxy(other, datagram);
        // The real peer answers too; after a move its punches come from a port that is no longer
        // the target, so they move the target back unless the other end answered in full.
        if (!moves || !datagram.startsWith("0."))
            h.peerSend(PeerHarness::peerPunchReply());
        QVERIFY(succeeded.wait(HandshakeWaitMs));
        if (moves && datagram.startsWith("0.")) {
            // The punch sent in the same attempt goes to the new endpoint with the learned token.
            QTRY_VERIFY_WITH_TIMEOUT(punchesTo(other) >= 1, HandshakeWaitMs);
            QVERIFY(other.payloads("0.").first().endsWith(" 0.7777777777777777 ok"));
            QCOMPARE(punchesTo(h.peer), 0);
            h.emulatorSend("after");
            QTRY_COMPARE_WITH_TIMEOUT(other.count("after"), 1, HandshakeWaitMs);
            QCOMPARE(h.peer.count("after"), 0);
        } else if (moves) {
            // Moved to the hexadecimal sender for one attempt, then back to the peer's answer.
            QTRY_VERIFY_WITH_TIMEOUT(punchesTo(h.peer) >= 1, HandshakeWaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(punchesTo(other), 1, HandshakeWaitMs);
            QVERIFY(other.payloads("0.").first().endsWith(" _"));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(punchesTo(h.peer) >= 1, HandshakeWaitMs);
            h.emulatorSend("after");
            QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("after"), 1, HandshakeWaitMs);
            if (datagram.startsWith("KVRA ping ")) // answered to its sender even while punching
                QCOMPARE(other.payloads(), QList<QByteArray>{"KVRA pong 1 2"});
            else
                QCOMPARE(other.count(), 0);
        }
    }

    // A NAT that sends the peer's answers from another public address than the one the server
    // saw: the answer quotes our token, so the punch follows it there.
    void followsAnswerQuotingOurToken()
    {
        PeerHarness h;
        QVERIFY(h.start());
        RewritingPeer far;
        QVERIFY(far.bind());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QVERIFY(h.launched(proxy, QStringLiteral("qt.1")));
        h.serverSend("peer/qt/127.0.0.2/" + QByteArray::number(far.announcedPort));
        QVERIFY(succeeded.wait(HandshakeWaitMs));
        h.emulatorSend("after");
        QTRY_VERIFY_WITH_TIMEOUT(far.isFinished(), 10000); // the proxy relays meanwhile
        QVERIFY2(far.answered, "no punch reached the announced endpoint");
        QVERIFY2(far.heardAfter, "the relay did not follow the answering address");
    }

    // "peer" for the same endpoint again: acknowledged each time, punched once.
    void repeatedAnnouncement()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QVERIFY(h.launched(proxy, QStringLiteral("ra.1")));
        h.announcePeer(QStringLiteral("ra"));
        h.announcePeer(QStringLiteral("ra")); // read inside the running sequence
        h.peerSend(PeerHarness::peerPunchReply());
        QVERIFY(succeeded.wait(HandshakeWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 2, HandshakeWaitMs);
        h.announcePeer(QStringLiteral("ra")); // after punching: only acknowledged
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 3, HandshakeWaitMs);
        const int punches = punchesTo(h.peer);
        QVERIFY(punches >= 1 && punches <= 2);
        h.emulatorSend("marker");
        QTRY_COMPARE_WITH_TIMEOUT(h.peer.count("marker"), 1, HandshakeWaitMs);
        QCOMPARE(punchesTo(h.peer), punches);
        QCOMPARE(succeeded.count(), 1);
    }

    // Probe datagrams read while punching: a ping is answered to whoever sent it, but round
    // trips and delay proposals count only from the peer. A stranger must not set our delay.
    void probesWhilePunching_data()
    {
        QTest::addColumn<bool>("fromStranger");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<int>("delay");
        QTest::addColumn<bool>("answered");
        QTest::newRow("a stranger's proposal is ignored") << true << QByteArray("KVRA delay 2 1") << 0 << false;
        QTest::newRow("the peer's proposal counts") << false << QByteArray("KVRA delay 2 2") << 2 << false;
        QTest::newRow("a stranger's ping is answered to it") << true << QByteArray("KVRA ping 5 7") << 0 << true;
    }

    void probesWhilePunching()
    {
        QFETCH(bool, fromStranger);
        QFETCH(QByteArray, datagram);
        QFETCH(int, delay);
        QFETCH(bool, answered);
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd stranger;
        QVERIFY(stranger.bind(StrayHost));
        UdpProxyManager proxy;
        QSignalSpy negotiated(&proxy, &UdpProxyManager::delayNegotiated);
        QVERIFY(h.launched(proxy, QStringLiteral("pw.1")));
        h.announcePeer(QStringLiteral("pw"));
        h.sendToProxy(fromStranger ? stranger : h.peer, datagram); // read by the punch sequence
        h.peerSend(PeerHarness::peerPunchReply());
        // No pong ever comes: our own proposal is 0 and the result is settled at once.
        QVERIFY(negotiated.wait(HandshakeWaitMs));
        QCOMPARE(negotiated.first().at(1).toInt(), delay);
        if (answered)
            QTRY_COMPARE_WITH_TIMEOUT(stranger.count("KVRA pong 5 7"), 1, HandshakeWaitMs);
        else
            QCOMPARE(stranger.count(), 0);
    }

    // Announcements of ever new endpoints read while punching: one nested sequence, no deeper.
    // The nested sequence's success supersedes the outer one, whose peer never answers: no
    // failure report follows, and the newer endpoint stays the target.
    void nestingIsBounded()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd second, third;
        QVERIFY(second.bind(PeerHost));
        QVERIFY(third.bind(PeerHost));
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        QVERIFY(h.launched(proxy, QStringLiteral("nb.1")));
        QElapsedTimer clock;
        clock.start();
        h.announcePeer(QStringLiteral("nb"));            // sequence 1, toward the peer
        h.announcePeer(QStringLiteral("nb"), &second);   // read by sequence 1: nested sequence 2
        h.announcePeer(QStringLiteral("nb"), &third);    // read by sequence 2: deferred, not punched
        h.sendToProxy(second, PeerHarness::peerPunchReply()); // ends sequence 2
        QVERIFY(succeeded.wait(HandshakeWaitMs));
        // The third endpoint is not acknowledged: a server that still sees the peer there
        // announces it again once the match is connected.
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 2, HandshakeWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(punchesTo(second) >= 1, HandshakeWaitMs);
        h.emulatorSend("marker");
        QTRY_COMPARE_WITH_TIMEOUT(second.count("marker"), 1, HandshakeWaitMs);
        QCOMPARE(h.peer.count("marker"), 0);
        QCOMPARE(punchesTo(third), 0);
        QCOMPARE(punchesTo(h.peer), 0); // the outer call gave up as soon as it was superseded
        QCOMPARE(succeeded.count(), 1);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(h.server.count("udp_failed/"), 0);
        QVERIFY2(clock.elapsed() < 8000, "the superseded sequence ran on"); // it alone takes ~10 s
    }

    // An endpoint refused at the nesting cap is neither punched in place of the running one
    // nor lost: when the running sequence fails it gets its turn, before any failure report.
    void deferredEndpointGetsItsTurn()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd second;
        QVERIFY(second.bind(PeerHost));
        ThreadPeer third(LateHost, [](ThreadPeer &peer, const QByteArray &data, const QHostAddress &from,
                                      quint16 fromPort) {
            if (data.startsWith("0."))
                peer.reply(proxytest::punchAnswer(data), from, fromPort);
        });
        QVERIFY(third.bind());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        QVERIFY(h.launched(proxy, QStringLiteral("df.1"))); // no derived port: a shorter sequence
        h.announcePeer(QStringLiteral("df"));            // sequence 1, silent peer
        h.announcePeer(QStringLiteral("df"), &second);   // nested sequence 2, silent too
        h.server.send("peer/df/127.0.0.4/" + QByteArray::number(third.port()), QHostAddress::LocalHost,
                      h.proxyPeerPort);                  // at the cap: deferred
        QVERIFY(succeeded.wait(FailureWaitMs));
        QCOMPARE(failed.count(), 0);
        QCOMPARE(h.server.count("udp_failed/"), 0);
        QVERIFY(third.count("0.") >= 1);
        // Acknowledged only when its turn came, after the two running sequences' own.
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 3, HandshakeWaitMs);
        QCOMPARE(h.server.payloads("peer_ack/").last(), "peer_ack/df/127.0.0.4/" + QByteArray::number(third.port()));
        h.emulatorSend("marker");
        QTRY_COMPARE_WITH_TIMEOUT(third.count("marker"), 1, HandshakeWaitMs);
        QCOMPARE(second.count("marker"), 0);
        QCOMPARE(succeeded.count(), 1);
    }

    // The peer's first punch arrives in the last wait of the first stage. Success must still
    // be preceded by a punch that quotes its token with "ok", or the peer never hears us and
    // gives up; a peer punch arriving after our success gets that punch again, a bounded
    // number of times.
    void acknowledgesTokenLearnedInLastWait_data()
    {
        QTest::addColumn<bool>("loseFirst");
        QTest::newRow("hello in the last wait") << false;
        QTest::newRow("hello in the last wait, our first ok punch lost") << true;
    }

    void acknowledgesTokenLearnedInLastWait()
    {
        QFETCH(bool, loseFirst);
        PeerHarness h;
        QVERIFY(h.start());
        std::atomic<int> hellos{0}, acks{0};
        ThreadPeer late(LateHost, [&](ThreadPeer &peer, const QByteArray &data, const QHostAddress &from,
                                      quint16 fromPort) {
            if (isHello(data) && ++hellos == AnnouncedAttempts)
                peer.reply(LateToken + " _", from, fromPort); // into the proxy's last 500 ms wait
            if (!data.endsWith(' ' + LateToken + " ok") || ++acks != 1 || !loseFirst)
                return;
            // The first acknowledgement is lost: the peer goes on punching as it would, and
            // keeps on far beyond what needs an answer.
            for (int i = 0; i < 3 * LatePunchAnswers; ++i)
                peer.reply(LateToken + " _", from, fromPort);
            peer.reply("KVRA ping 0 0", from, fromPort); // answered after all of the above
        });
        QVERIFY(late.bind());
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QVERIFY(h.launched(proxy, QStringLiteral("lw.1")));
        h.server.send("peer/lw/127.0.0.4/" + QByteArray::number(late.port()), QHostAddress::LocalHost,
                      h.proxyPeerPort);
        QVERIFY(succeeded.wait(FailureWaitMs));
        QCOMPARE(hellos.load(), AnnouncedAttempts);
        QTRY_VERIFY_WITH_TIMEOUT(acks.load() >= 1, HandshakeWaitMs);
        if (loseFirst) {
            QTRY_COMPARE_WITH_TIMEOUT(late.count("KVRA pong 0 0"), 1, HandshakeWaitMs);
            QCOMPARE(acks.load(), 1 + LatePunchAnswers);
        }
    }

    void stopWhilePunching_data()
    {
        QTest::addColumn<bool>("fullStop");
        QTest::newRow("stopWhilePunching: requestStop ends the outer sequence at once") << false;
        QTest::newRow("stopWhilePunching: stop ends silently and frees the ports") << true;
    }
    // A handler of the nested sequence's success stops the run while the outer sequence is
    // still inside its first call.
    void stopWhilePunching()
    {
        QFETCH(bool, fullStop);
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd second;
        QVERIFY(second.bind(PeerHost));
        UdpProxyManager proxy;
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        connect(&proxy, &UdpProxyManager::punchingSucceeded, &proxy, [&] {
            if (fullStop)
                proxy.stop();
            else
                proxy.requestStop();
        });
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QVERIFY(h.launched(proxy, QStringLiteral("sw-1234.1")));
        QElapsedTimer clock;
        clock.start();
        h.announcePeer(QStringLiteral("sw-1234"));
        h.announcePeer(QStringLiteral("sw-1234"), &second);
        h.sendToProxy(second, PeerHarness::peerPunchReply());
        QVERIFY(succeeded.wait(HandshakeWaitMs));
        if (fullStop) {
            QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 2, HandshakeWaitMs);
            QUdpSocket derivedPort, lastResort, launchPort;
            QVERIFY(derivedPort.bind(QHostAddress::AnyIPv4, 41234));
            QVERIFY(lastResort.bind(QHostAddress::AnyIPv4, 6004));
            QVERIFY(launchPort.bind(QHostAddress::AnyIPv4, 6006));
            QCOMPARE(failed.count(), 0);
            QCOMPARE(h.server.count("udp_failed/"), 0);
        } else {
            // The nested success stands: the outer sequence ends without a punch or a report.
            QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 2, HandshakeWaitMs);
            QCOMPARE(punchesTo(h.peer), 0);
            QCOMPARE(failed.count(), 0);
        }
        // Nothing waited out the outer sequence's remaining ~10 s.
        QVERIFY(clock.elapsed() < 8000);
    }

    // No answer at all: the whole sequence, then the failure report. The quark yields the
    // derived port 41234. Here the peer's host is local, so the proxy would punch itself on
    // 41234 and 6004; observers on those ports make its binds fall back to free ports instead.
    void failsWithSide()
    {
        PeerHarness h;
        QVERIFY(h.start(QHostAddress(QStringLiteral("127.0.0.1")), PeerHost, 20000));
        UdpEnd above, below, edgeAbove, edgeBelow, beyond, derived, lastResort;
        QVERIFY(above.bind(PeerHost, 20001));
        QVERIFY(below.bind(PeerHost, 19999));
        QVERIFY(edgeAbove.bind(PeerHost, 20512));
        QVERIFY(edgeBelow.bind(PeerHost, 19488));
        QVERIFY(beyond.bind(PeerHost, 20513));
        QVERIFY(derived.bind(PeerHost, 41234));
        QVERIFY(lastResort.bind(PeerHost, 6004));
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        QVERIFY(h.launched(proxy, QStringLiteral("fail-1234.1")));
        h.announcePeer(QStringLiteral("fail-1234"));
        QVERIFY(failed.wait(FailureWaitMs));
        QCOMPARE(failed.first().first().toString(), QStringLiteral("fail-1234.1"));
        QTRY_COMPARE_WITH_TIMEOUT(lastResort.count(), 6, HandshakeWaitMs);
        QCOMPARE(succeeded.count(), 0);
        QCOMPARE(derived.count(), 6);
        const quint16 derivedSource = derived.received().first().senderPort;
        const quint16 lastSource = lastResort.received().first().senderPort;
        QVERIFY(derivedSource != 6006 && lastSource != 6006 && lastSource != derivedSource);
        for (const auto &d : lastResort.received()) {
            QCOMPARE(d.senderPort, lastSource);
            QVERIFY(d.data.endsWith(" _"));
        }
        // Stage 1: 8 punches; the second scan starts at offset 0, so d gets two more.
        QCOMPARE(punchesTo(h.peer), 10);
        int fromLaunchPort = 0, fromDerived = 0;
        for (const auto &d : h.peer.received()) {
            fromLaunchPort += d.senderPort == 6006 ? 1 : 0;
            fromDerived += d.senderPort == derivedSource ? 1 : 0;
        }
        QCOMPARE(fromLaunchPort, 8);
        QCOMPARE(fromDerived, 2);
        // The first scan reaches 512 ports away, the second 511; neither goes beyond.
        QCOMPARE(above.count(), 2);
        QCOMPARE(below.count(), 2);
        QCOMPARE(edgeAbove.count(), 1);
        QCOMPARE(edgeBelow.count(), 1);
        QCOMPARE(beyond.count(), 0);
        // The failure is reported from the last local port and repeated until acknowledged.
        QTRY_VERIFY_WITH_TIMEOUT(h.server.count("udp_failed/fail-1234/1") >= 2, HandshakeWaitMs);
        QCOMPARE(h.server.payloads("udp_failed/").size(), h.server.count("udp_failed/fail-1234/1"));
        QCOMPARE(h.server.received().last().senderPort, lastSource);
        QCOMPARE(failed.count(), 1);
    }

    // Success in the last stage: with the peer announced on this host's own address and 6004
    // free, the proxy's own punch from 6004 comes back to it from the announced host.
    // Afterwards the socket stays on 6004 and still serves.
    void succeedsAfterRebind()
    {
        PeerHarness h;
        QVERIFY(h.start(QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("127.0.0.1"))));
        UdpProxyManager proxy;
        QSignalSpy succeeded(&proxy, &UdpProxyManager::punchingSucceeded);
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        QVERIFY(h.launched(proxy, QStringLiteral("late.1")));
        h.announcePeer(QStringLiteral("late"));
        QVERIFY(succeeded.wait(FailureWaitMs));
        QCOMPARE(failed.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(punchesTo(h.peer), 8, HandshakeWaitMs);
        // Same endpoint again, now to the new port: acknowledged only, and from 6004.
        h.server.send("peer/late/127.0.0.1/" + QByteArray::number(h.peer.port()), QHostAddress::LocalHost, 6004);
        QTRY_COMPARE_WITH_TIMEOUT(h.server.count("peer_ack/"), 2, HandshakeWaitMs);
        QCOMPARE(h.server.received().last().senderPort, quint16(6004));
    }

    // Without a side nothing is reported; without a derived port the socket is not moved to it.
    // Port 6004 is taken here, so the last stage punches from a system-chosen port instead.
    void failsWithoutSide()
    {
        PeerHarness h;
        QVERIFY(h.start());
        UdpEnd lastResort;
        QVERIFY(lastResort.bind(PeerHost, 6004));
        UdpProxyManager proxy;
        QSignalSpy failed(&proxy, &UdpProxyManager::punchingFailed);
        QVERIFY(h.launched(proxy, QStringLiteral("nosidequark")));
        h.announcePeer(QStringLiteral("nosidequark"));
        QTRY_COMPARE_WITH_TIMEOUT(lastResort.count(), 6, FailureWaitMs);
        for (const auto &d : lastResort.received()) {
            QVERIFY(d.senderPort != 6004 && d.senderPort != 6006);
            QVERIFY(d.data.endsWith(" _"));
        }
        QCOMPARE(punchesTo(h.peer), 8);
        for (const auto &d : h.peer.received())
            QCOMPARE(d.senderPort, quint16(6006));
        QCOMPARE(h.server.count("peer_ack/nosidequark/"), 1);
        QCOMPARE(h.server.count("udp_failed/"), 0);
        QCOMPARE(h.server.count("register/"), 0);
        QCOMPARE(failed.count(), 0);
    }
};

KIVRA_NETNS_TEST_MAIN(TestProxyPunching)
#include "tst_proxypunching.moc"
