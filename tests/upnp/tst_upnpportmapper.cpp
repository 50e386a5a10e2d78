// UpnpPortMapper against the scripted fake-gateway, in a private network namespace where
// SSDP multicast on loopback reaches only the gateway this test starts.
#include "upnp/upnpportmapper.h"

#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QString GatewayBin = QStringLiteral(FAKE_GATEWAY_BIN);
const QString GatewayData = QStringLiteral(KIVRA_TEST_DATA_DIR "/upnp/gateway/");
const QString DescriptionData = QStringLiteral(KIVRA_TEST_DATA_DIR "/upnp/description/");
// Longest a run may take: the 10 s overall bound plus slack for a loaded machine (ms).
constexpr int RunWaitMs = 15000;
// How long we watch for a second emission or a further request (ms).
constexpr int QuietWatchMs = 600;
// The namespace's ephemeral port range while the SSDP bind is made to fail.
const QByteArray ExhaustedPortRange = "40000 40000";

struct Post
{
    QByteArray path;
    QByteArray soapAction;
    QByteArray contentType;
    QByteArray body;
    int port = 0;
    int lease = -1;
};

// A running fake-gateway and the request lines it reported.
class Gateway
{
public:
    bool start(const QStringList &arguments)
    {
        port = testsupport::startFixture(process, GatewayBin, arguments).toInt();
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { collect(); });
        collect();
        return port > 0;
    }

    void collect()
    {
        while (process.canReadLine())
            lines.append(process.readLine().trimmed());
    }

    QList<QList<QByteArray>> linesOf(const QByteArray &kind)
    {
        collect();
        QList<QList<QByteArray>> result;
        for (const QByteArray &line : std::as_const(lines)) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.value(0) == kind)
                result.append(fields);
        }
        return result;
    }

    QList<Post> posts()
    {
        QList<Post> result;
        const QList<QList<QByteArray>> found = linesOf("post");
        for (const QList<QByteArray> &fields : found) {
            Post post;
            post.path = fields.value(1);
            post.soapAction = QByteArray::fromBase64(fields.value(2));
            post.contentType = QByteArray::fromBase64(fields.value(3));
            post.body = QByteArray::fromBase64(fields.value(4));
            const QString text = QString::fromUtf8(post.body);
            post.port = QRegularExpression(QStringLiteral("<NewExternalPort>(\\d+)<")).match(text).captured(1).toInt();
            const QString lease = QRegularExpression(QStringLiteral("<NewLeaseDuration>(\\d+)<")).match(text).captured(1);
            post.lease = lease.isEmpty() ? -1 : lease.toInt();
            result.append(post);
        }
        return result;
    }

    QString postSummary()
    {
        QStringList parts;
        const QList<Post> all = posts();
        for (const Post &post : all)
            parts.append(QStringLiteral("%1:%2").arg(post.port).arg(post.lease));
        return parts.join(QLatin1Char(','));
    }

    QProcess process;
    testsupport::ProcessGuard guard{&process};
    int port = 0;
    QList<QByteArray> lines;
};

QList<quint16> portList(const QString &text)
{
    QList<quint16> ports;
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts)
        ports.append(quint16(part.toUInt()));
    return ports;
}

bool runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestUpnpPortMapper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void noPortsBeforeReturn_data();
    void noPortsBeforeReturn();
    void ssdpBindFailed();
    void searchRequestsByteExact();
    void outcomes_data();
    void outcomes();
    void onlyFirstAnswerUsed();
    void requestOnTheWire();
    void lateDescriptionAfterTimeout();
    void secondCallIgnored();
    void findGatewayMapsNothing_data();
    void findGatewayMapsNothing();
};

void TestUpnpPortMapper::initTestCase()
{
    KIVRA_REQUIRE_NETNS();
    // SSDP on loopback in a fresh namespace needs multicast on lo and a route for the group.
    QVERIFY(runCommand(QStringLiteral("ip"), {"link", "set", "lo", "multicast", "on"}));
    QVERIFY(runCommand(QStringLiteral("ip"), {"route", "replace", "239.0.0.0/8", "dev", "lo"}));
}

void TestUpnpPortMapper::noPortsBeforeReturn_data()
{
    QTest::addColumn<QString>("ports");
    QTest::newRow("empty") << QString();
    QTest::newRow("two_zeros") << QStringLiteral("0,0");
}

void TestUpnpPortMapper::noPortsBeforeReturn()
{
    QFETCH(QString, ports);
    Gateway gateway;
    QVERIFY(gateway.start({}));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts(portList(ports), QStringLiteral("Sarnolix UDP"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("no_ports"));
    QTest::qWait(QuietWatchMs); // nothing may reach the gateway
    QVERIFY(gateway.linesOf("ssdp").isEmpty());
    QCOMPARE(spy.count(), 1);
}

namespace {

bool writeSysctl(const char *path, const QByteArray &value)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly) && file.write(value) == value.size();
}

} // namespace

void TestUpnpPortMapper::ssdpBindFailed()
{
    // One ephemeral port in this namespace, held exclusively: the mapper's bind to port 0 fails.
    const char *rangePath = "/proc/sys/net/ipv4/ip_local_port_range";
    QFile rangeFile(QString::fromLatin1(rangePath));
    QVERIFY(rangeFile.open(QIODevice::ReadOnly));
    const QByteArray savedRange = rangeFile.readAll().simplified();
    rangeFile.close();
    QVERIFY(writeSysctl(rangePath, ExhaustedPortRange));
    QUdpSocket holder;
    const bool held = holder.bind(QHostAddress(QHostAddress::AnyIPv4), 40000, QUdpSocket::DontShareAddress);
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts({6006, 6004}, QStringLiteral("Sarnolix UDP"));
    const int emittedBeforeReturn = int(spy.count());
    holder.close();
    QVERIFY(writeSysctl(rangePath, savedRange));
    QVERIFY(held);
    QCOMPARE(emittedBeforeReturn, 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("ssdp_bind_failed"));
    // The overall timer, already started, was stopped by the single exit.
    QTest::qWait(QuietWatchMs);
    QCOMPARE(spy.count(), 1);
}

void TestUpnpPortMapper::searchRequestsByteExact()
{
    Gateway gateway;
    QVERIFY(gateway.start({}));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts({6006, 6004}, QStringLiteral("Sarnolix UDP"));
    QVERIFY(spy.wait(RunWaitMs));
    const QList<QList<QByteArray>> searches = gateway.linesOf("ssdp");
    QCOMPARE(searches.size(), 2);
    QCOMPARE(QByteArray::fromBase64(searches[0].value(2)),
             QByteArray("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                        "MX: 2\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n"));
    QCOMPARE(QByteArray::fromBase64(searches[1].value(2)),
             QByteArray("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                        "MX: 2\r\nST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n\r\n"));
    // Both from one ephemeral port.
    QCOMPARE(searches[0].value(1), searches[1].value(1));
    QVERIFY(searches[0].value(1).toInt() != 1900);
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("6006,6004"));
}

void TestUpnpPortMapper::outcomes_data()
{
    QTest::addColumn<QStringList>("gatewayArgs");
    QTest::addColumn<QString>("ports");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("requests"); // port:lease of every POST, in order
    QTest::addColumn<int>("minMs");        // not earlier than this (coarse timers may fire 5% early)

    QTest::newRow("both_mapped") << QStringList() << "6006,6004" << true << "6006,6004" << "6006:3600,6004:3600" << 0;
    QTest::newRow("duplicates_and_zero") << QStringList() << "7000,7000,6004,0,7000" << true << "7000,6004"
                                         << "7000:3600,6004:3600" << 0;
    QTest::newRow("capitalised_spaced_location")
        << QStringList{"--ssdp-answer", GatewayData + "capitalised_spaced.txt"} << "6006" << true << "6006"
        << "6006:3600" << 0;
    QTest::newRow("repeat_725_accepted") << QStringList{"--mapping", "725,ok,ok"} << "6006,6004" << true
                                         << "6006,6004" << "6006:3600,6006:0,6004:3600" << 0;
    QTest::newRow("repeat_725_refused") << QStringList{"--mapping", "725,725,ok"} << "6006,6004" << true << "6004"
                                        << "6006:3600,6006:0,6004:3600" << 0;
    QTest::newRow("other_fault_no_repeat") << QStringList{"--mapping", "718,ok"} << "6006,6004" << true << "6004"
                                           << "6006:3600,6004:3600" << 0;
    QTest::newRow("mapping_failed") << QStringList{"--mapping", "718,501"} << "6006,6004" << false
                                    << "mapping_failed" << "6006:3600,6004:3600" << 0;
    QTest::newRow("no_router") << QStringList{"--no-ssdp"} << "6006,6004" << false << "no_router" << "" << 2200;
    QTest::newRow("https_location_ignored") << QStringList{"--ssdp-answer", GatewayData + "https.txt"} << "6006"
                                            << false << "no_router" << "" << 2200;
    QTest::newRow("host_name_location") << QStringList{"--ssdp-answer", GatewayData + "host_name.txt"} << "6006"
                                        << false << "no_local_address" << "" << 0;
    QTest::newRow("ipv6_location") << QStringList{"--ssdp-answer", GatewayData + "ipv6.txt"} << "6006" << false
                                   << "no_local_address" << "" << 0;
    QTest::newRow("description_http_error") << QStringList{"--description-status", "404"} << "6006" << false
                                            << "description_failed" << "" << 0;
    // Slow but never idle for 3000 ms: the transfer timeout does not cut it off.
    QTest::newRow("slow_moving_description")
        << QStringList{"--description-trickle-ms", "8000", "--description", DescriptionData + "not_xml.xml"}
        << "6006" << false << "no_wan_service" << "" << 7200;
    // Nothing for 6 s: the 3000 ms transfer timeout aborts the GET.
    QTest::newRow("description_idle") << QStringList{"--description-delay-ms", "6000"} << "6006" << false
                                      << "description_failed" << "" << 2600;
    // A description that never ends must not grow our memory without bound.
    QTest::newRow("oversized_description") << QStringList{"--description-pad-bytes", "2000000"} << "6006" << false
                                           << "description_failed" << "" << 0;
    QTest::newRow("large_description_accepted") << QStringList{"--description-pad-bytes", "500000"} << "6006"
                                                << true << "6006" << "6006:3600" << 0;
    QTest::newRow("no_wan_service") << QStringList{"--description", DescriptionData + "other_services_only.xml"}
                                    << "6006" << false << "no_wan_service" << "" << 0;
    QTest::newRow("not_xml") << QStringList{"--description", DescriptionData + "not_xml.xml"} << "6006" << false
                             << "no_wan_service" << "" << 0;
    // Answer at 1 s, description at 3 s: the accepted answer stopped the 2500 ms discovery timer.
    QTest::newRow("slow_description_no_no_router")
        << QStringList{"--ssdp-delay-ms", "1000", "--description-delay-ms", "2000"} << "6006" << true << "6006"
        << "6006:3600" << 2600;
    QTest::newRow("timeout_with_port") << QStringList{"--mapping", "ok,trickle"} << "6006,6004" << true << "timeout"
                                       << "6006:3600,6004:3600" << 9000;
    QTest::newRow("timeout_without_port") << QStringList{"--mapping", "trickle"} << "6006,6004" << false
                                          << "timeout" << "6006:3600" << 9000;
}

void TestUpnpPortMapper::outcomes()
{
    QFETCH(QStringList, gatewayArgs);
    QFETCH(QString, ports);
    QFETCH(bool, ok);
    QFETCH(QString, detail);
    QFETCH(QString, requests);
    QFETCH(int, minMs);
    Gateway gateway;
    QVERIFY(gateway.start(gatewayArgs));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    QElapsedTimer clock;
    clock.start();
    mapper.mapUdpPorts(portList(ports), QStringLiteral("Sarnolix UDP"));
    QVERIFY(spy.count() == 1 || spy.wait(RunWaitMs));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(spy.at(0).at(1).toString(), detail);
    QCOMPARE(spy.at(0).at(0).toBool(), ok);
    QVERIFY2(elapsed >= minMs, qPrintable(QStringLiteral("after %1 ms").arg(elapsed)));
    QTest::qWait(QuietWatchMs); // a second emission or a stray request would show here
    QCOMPARE(spy.count(), 1);
    QCOMPARE(gateway.postSummary(), requests);
    if (detail == QLatin1String("no_local_address"))
        QVERIFY(gateway.linesOf("get").isEmpty());
}

void TestUpnpPortMapper::onlyFirstAnswerUsed()
{
    Gateway gateway;
    QVERIFY(gateway.start({"--ssdp-answer", GatewayData + "capitalised_spaced.txt", "--ssdp-answer",
                           GatewayData + "second.txt"}));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts({6006}, QStringLiteral("Sarnolix UDP"));
    QVERIFY(spy.wait(RunWaitMs));
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("6006"));
    const QList<QList<QByteArray>> gets = gateway.linesOf("get");
    QCOMPARE(gets.size(), 1);
    QCOMPARE(gets[0].value(1), QByteArray("/rootDesc.xml"));
}

void TestUpnpPortMapper::requestOnTheWire()
{
    // Port 80 too: a location without a port is probed and fetched on 80, unchanged.
    Gateway gateway;
    QVERIFY(gateway.start({"--http-port", "80"}));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts({6004}, QStringLiteral("A&B <\"x\"> 10%2"));
    QVERIFY(spy.wait(RunWaitMs));
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("6004"));
    const QList<QList<QByteArray>> gets = gateway.linesOf("get");
    QCOMPARE(gets.size(), 1);
    QCOMPARE(gets[0].value(1), QByteArray("/rootDesc.xml"));
    const QList<Post> posts = gateway.posts();
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts[0].path, QByteArray("/ctl/IPConn"));
    QCOMPARE(posts[0].soapAction, QByteArray("\"urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping\""));
    QCOMPARE(posts[0].contentType, QByteArray("text/xml; charset=\"utf-8\""));
    QVERIFY(posts[0].body.contains("<NewInternalClient>127.0.0.1</NewInternalClient>"));
    QVERIFY(posts[0].body.contains(
        "<NewPortMappingDescription>A&amp;B &lt;&quot;x&quot;&gt; 10%2</NewPortMappingDescription>"));
    QVERIFY(posts[0].body.contains("<NewExternalPort>6004</NewExternalPort>"));
    QVERIFY(posts[0].body.contains("<NewInternalPort>6004</NewInternalPort>"));
}

void TestUpnpPortMapper::lateDescriptionAfterTimeout()
{
    // The description trickles in until 12 s, well after the 10 s bound.
    Gateway gateway;
    QVERIFY(gateway.start({"--description-trickle-ms", "12000"}));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts({6006, 6004}, QStringLiteral("Sarnolix UDP"));
    QVERIFY(spy.wait(RunWaitMs));
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("timeout"));
    // The late description still sends one request; its reply changes nothing.
    QTRY_COMPARE_WITH_TIMEOUT(gateway.postSummary(), QStringLiteral("6006:3600"), 5000);
    QTest::qWait(QuietWatchMs);
    QCOMPARE(gateway.postSummary(), QStringLiteral("6006:3600"));
    QCOMPARE(spy.count(), 1);
}

void TestUpnpPortMapper::secondCallIgnored()
{
    Gateway gateway;
    QVERIFY(gateway.start({}));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.mapUdpPorts({6006}, QStringLiteral("Sarnolix UDP"));
    mapper.mapUdpPorts({7000}, QStringLiteral("other"));
    QVERIFY(spy.wait(RunWaitMs));
    QTest::qWait(QuietWatchMs);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("6006"));
    QCOMPARE(gateway.linesOf("ssdp").size(), 2);
    QCOMPARE(gateway.postSummary(), QStringLiteral("6006:3600"));
}

void TestUpnpPortMapper::findGatewayMapsNothing_data()
{
    QTest::addColumn<QStringList>("gatewayArgs");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("serviceType"); // what the mapper then tells; empty when none
    QTest::newRow("found") << QStringList() << true << "found" << "urn:schemas-upnp-org:service:WANIPConnection:1";
    QTest::newRow("no_router") << QStringList{"--no-ssdp"} << false << "no_router" << "";
    QTest::newRow("no_wan_service") << QStringList{"--description", DescriptionData + "other_services_only.xml"}
                                    << false << "no_wan_service" << "";
    QTest::newRow("description_failed") << QStringList{"--description-status", "404"} << false
                                        << "description_failed" << "";
}

// The read-only run of a network check: the same discovery and description, then no request.
void TestUpnpPortMapper::findGatewayMapsNothing()
{
    QFETCH(QStringList, gatewayArgs);
    QFETCH(bool, ok);
    QFETCH(QString, detail);
    QFETCH(QString, serviceType);
    Gateway gateway;
    QVERIFY(gateway.start(gatewayArgs));
    UpnpPortMapper mapper;
    QSignalSpy spy(&mapper, &UpnpPortMapper::finished);
    mapper.findGateway();
    QVERIFY(spy.wait(RunWaitMs));
    QCOMPARE(spy.at(0).at(0).toBool(), ok);
    QCOMPARE(spy.at(0).at(1).toString(), detail);
    QCOMPARE(mapper.wanServiceType(), serviceType);
    if (ok) {
        QCOMPARE(mapper.wanControlUrl().path(), QStringLiteral("/ctl/IPConn"));
        QCOMPARE(mapper.routeLocalAddress(), QHostAddress(QHostAddress::LocalHost));
    }
    QTest::qWait(QuietWatchMs);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(gateway.postSummary(), QString());
}

KIVRA_NETNS_TEST_MAIN(TestUpnpPortMapper)
#include "tst_upnpportmapper.moc"
