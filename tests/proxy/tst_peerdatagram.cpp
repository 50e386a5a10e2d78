// The one sorting of peer-socket datagrams that the punch sequence and the relay share.
#include "proxy/peerdatagram.h"

#include <QTest>

Q_DECLARE_METATYPE(peerdatagram::Origin)
Q_DECLARE_METATYPE(peerdatagram::Content)

namespace {

const QHostAddress Server(QStringLiteral("203.0.113.1"));
const QHostAddress Peer(QStringLiteral("203.0.113.20"));
const QHostAddress Announced(QStringLiteral("203.0.113.21"));
const QHostAddress Stranger(QStringLiteral("198.51.100.7"));

peerdatagram::Sources sources(bool peerKnown)
{
    peerdatagram::Sources s;
    s.server = Server;
    s.serverPort = 7001;
    s.peer = Peer;
    s.peerPort = 6006;
    s.peerKnown = peerKnown;
    s.alsoPeer = Announced;
    return s;
}

} // namespace

class TestPeerDatagram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sort_data()
    {
        using O = peerdatagram::Origin;
        using C = peerdatagram::Content;
        QTest::addColumn<bool>("peerKnown");
        QTest::addColumn<QHostAddress>("sender");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("screen");
        QTest::addColumn<O>("origin");
        QTest::addColumn<C>("content");
        const QByteArray punch("0.1234567890123456 _");
        QTest::newRow("server: signalling, bytes not examined")
            << true << Server << 7001 << QByteArray("ping") << true << O::Server << C::Other;
        QTest::newRow("server host, other port: a stranger")
            << true << Server << 7002 << QByteArray("x") << true << O::Stranger << C::Other;
        QTest::newRow("server before any peer") << false << Server << 7001 << QByteArray("registered/m/1") << true
                                                << O::Server << C::Other;
        QTest::newRow("no peer yet: everyone a stranger")
            << false << Peer << 6006 << QByteArray("game") << true << O::Stranger << C::Other;
        QTest::newRow("peer endpoint: game") << true << Peer << 6006 << QByteArray("game") << true << O::Peer
                                             << C::Other;
        QTest::newRow("peer host, other port") << true << Peer << 41234 << QByteArray("game") << true
                                               << O::PeerHost << C::Other;
        QTest::newRow("announced host counts as the peer's") << true << Announced << 6006 << punch << true
                                                             << O::PeerHost << C::Punch;
        QTest::newRow("stranger's punch still sorted as one")
            << true << Stranger << 6006 << punch << true << O::Stranger << C::Punch;
        QTest::newRow("keepalive") << true << Peer << 6006 << QByteArray("ping") << true << O::Peer << C::Keepalive;
        QTest::newRow("ping plus a byte is game data")
            << true << Peer << 6006 << QByteArray("ping!") << true << O::Peer << C::Other;
        QTest::newRow("probe ping") << true << Peer << 6006 << QByteArray("KVRA ping 1 2") << true << O::Peer
                                    << C::Probe;
        QTest::newRow("malformed probe is still a probe")
            << true << Peer << 6006 << QByteArray("KVRA ping 1") << true << O::Peer << C::Probe;
        QTest::newRow("prefix alone is no probe") << true << Peer << 6006 << QByteArray("KVRA ") << true << O::Peer
                                                  << C::Other;
        QTest::newRow("punch screened") << true << Peer << 6006 << punch << true << O::Peer << C::Punch;
        QTest::newRow("punch no longer screened") << true << Peer << 6006 << punch << false << O::Peer << C::Other;
        QTest::newRow("keepalive found unscreened too")
            << true << Peer << 6006 << QByteArray("ping") << false << O::Peer << C::Keepalive;
    }
    void sort()
    {
        QFETCH(bool, peerKnown);
        QFETCH(QHostAddress, sender);
        QFETCH(int, port);
        QFETCH(QByteArray, data);
        QFETCH(bool, screen);
        QFETCH(peerdatagram::Origin, origin);
        QFETCH(peerdatagram::Content, content);
        const peerdatagram::Sorted sorted =
            peerdatagram::sortDatagram(sources(peerKnown), sender, quint16(port), data.constData(), data.size(), screen);
        QCOMPARE(sorted.origin, origin);
        QCOMPARE(sorted.content, content);
        if (content == peerdatagram::Content::Punch)
            QCOMPARE(sorted.punch.senderToken, QByteArray("0.1234567890123456"));
    }

    // Without a second host nobody else is taken for the peer (a null address never matches).
    void noSecondHost()
    {
        peerdatagram::Sources s = sources(true);
        s.alsoPeer = QHostAddress();
        const QByteArray data("game");
        QCOMPARE(peerdatagram::sortDatagram(s, Announced, 6006, data.constData(), data.size(), true).origin,
                 peerdatagram::Origin::Stranger);
    }
};

QTEST_GUILESS_MAIN(TestPeerDatagram)
#include "tst_peerdatagram.moc"
