// Wire formats of the port mapper, checked against golden files under tests/data/upnp.
#include "upnp/devicedescription.h"
#include "upnp/soap.h"
#include "upnp/ssdp.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const QString DataDir = QStringLiteral(KIVRA_TEST_DATA_DIR "/upnp");
// Where the golden descriptions pretend to have been fetched from.
const QUrl GoldenLocation(QStringLiteral("http://127.0.0.1:49152/rootDesc.xml"));

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// One data row per golden file <name><suffix> that has a sidecar <name>.expected.
void addGoldenRows(const QString &folder, const QString &suffix)
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    const QDir dir(DataDir + QLatin1Char('/') + folder);
    const QStringList names = dir.entryList({QLatin1Char('*') + suffix}, QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), qPrintable(dir.path()));
    for (const QString &name : names) {
        const QString base = name.chopped(suffix.size());
        const QByteArray expected = readFile(dir.filePath(base + QStringLiteral(".expected"))).trimmed();
        QVERIFY2(!expected.isEmpty(), qPrintable(base));
        QTest::newRow(qPrintable(base)) << readFile(dir.filePath(name)) << expected;
    }
}

} // namespace

class TestUpnpWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void discoveryRequestBytes_data();
    void discoveryRequestBytes();
    void ssdpGroup();
    void discoveryLocation_data();
    void discoveryLocation();
    void deviceDescription_data();
    void deviceDescription();
    void relativeControlUrlAgainstLocation();
    void addPortMappingBody_data();
    void addPortMappingBody();
    void soapAction();
    void descriptionEscaping_data();
    void descriptionEscaping();
    void faultBody_data();
    void faultBody();
    void externalAddressRequest();
    void externalAddressAnswer_data();
    void externalAddressAnswer();
    void soapCall_data();
    void soapCall();
};

void TestUpnpWire::discoveryRequestBytes_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("gateway") << QByteArray("urn:schemas-upnp-org:device:InternetGatewayDevice:1")
                             << QByteArray("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                           "MAN: \"ssdp:discover\"\r\nMX: 2\r\n"
                                           "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n");
    QTest::newRow("wan_ip") << QByteArray("urn:schemas-upnp-org:service:WANIPConnection:1")
                            << QByteArray("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                          "MAN: \"ssdp:discover\"\r\nMX: 2\r\n"
                                          "ST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n\r\n");
}

void TestUpnpWire::discoveryRequestBytes()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, expected);
    QCOMPARE(upnp::discoveryRequest(target.constData()), expected);
}

void TestUpnpWire::ssdpGroup()
{
    QCOMPARE(upnp::SsdpAddress.toString(), QStringLiteral("239.255.255.250"));
    QVERIFY(upnp::SsdpAddress.isMulticast());
    QCOMPARE(upnp::SsdpPort, quint16(1900));
}

void TestUpnpWire::discoveryLocation_data()
{
    addGoldenRows(QStringLiteral("ssdp"), QStringLiteral(".txt"));
}

// Expected: "location <url>" for an accepted answer, "drop" otherwise.
void TestUpnpWire::discoveryLocation()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const QUrl location = upnp::discoveryLocation(input);
    const QByteArray outcome = location.isEmpty() ? QByteArray("drop") : "location " + location.toEncoded();
    QCOMPARE(outcome, expected);
}

void TestUpnpWire::deviceDescription_data()
{
    addGoldenRows(QStringLiteral("description"), QStringLiteral(".xml"));
}

// Expected: "service <type>\ncontrol <url>" or "none"; fetched from GoldenLocation.
void TestUpnpWire::deviceDescription()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const upnp::WanService service = upnp::findWanService(input, GoldenLocation);
    const QByteArray outcome = service.controlUrl.isEmpty()
                                   ? QByteArray("none")
                                   : "service " + service.serviceType.toUtf8() + "\ncontrol "
                                         + service.controlUrl.toEncoded();
    QCOMPARE(outcome, expected);
}

void TestUpnpWire::relativeControlUrlAgainstLocation()
{
    const QByteArray description = readFile(DataDir + QStringLiteral("/description/nested_devices.xml"));
    const upnp::WanService service =
        upnp::findWanService(description, QUrl(QStringLiteral("http://127.0.0.5/igd/desc.xml")));
    QCOMPARE(service.controlUrl, QUrl(QStringLiteral("http://127.0.0.5/ctl/IPConn")));
}

void TestUpnpWire::addPortMappingBody_data()
{
    QTest::addColumn<QString>("serviceType");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("lease");
    QTest::addColumn<QString>("golden");
    QTest::newRow("runtime_request") << QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:1") << 6006
                                     << QStringLiteral("127.0.0.1") << QStringLiteral("Sarnolix UDP") << 3600
                                     << QStringLiteral("wanip1_6006_lease3600.xml");
    // Markup characters are escaped; '%' sequences stay as written (no placeholder reuse).
    QTest::newRow("escaped_permanent") << QStringLiteral("urn:schemas-upnp-org:service:WANPPPConnection:2") << 6004
                                       << QStringLiteral("198.18.7.2")
                                       << QStringLiteral("Tom & Jerry <b> \"50%5\" %1 \u00fcn\u00ef") << 0
                                       << QStringLiteral("wanppp2_6004_lease0_escaped.xml");
}

void TestUpnpWire::addPortMappingBody()
{
    QFETCH(QString, serviceType);
    QFETCH(int, port);
    QFETCH(QString, client);
    QFETCH(QString, description);
    QFETCH(int, lease);
    QFETCH(QString, golden);
    const QByteArray expected = readFile(DataDir + QStringLiteral("/soap/") + golden);
    QVERIFY(!expected.isEmpty());
    const QByteArray body = upnp::addPortMappingBody(serviceType, quint16(port), QHostAddress(client), description, lease);
    QCOMPARE(body, expected);
    QVERIFY(!body.contains('\n'));
}

void TestUpnpWire::soapAction()
{
    QCOMPARE(upnp::soapAction(QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:1")),
             QByteArray("\"urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping\""));
}

void TestUpnpWire::descriptionEscaping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QStringLiteral("Sarnolix UDP") << QStringLiteral("Sarnolix UDP");
    QTest::newRow("ampersand_first") << QStringLiteral("&lt;") << QStringLiteral("&amp;lt;");
    QTest::newRow("all_four") << QStringLiteral("<a href=\"x\">&</a>")
                              << QStringLiteral("&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    QTest::newRow("apostrophe_kept") << QStringLiteral("it's") << QStringLiteral("it's");
    QTest::newRow("empty") << QString() << QString();
}

void TestUpnpWire::descriptionEscaping()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(upnp::escapedDescription(text), expected);
}

void TestUpnpWire::faultBody_data()
{
    addGoldenRows(QStringLiteral("fault"), QStringLiteral(".xml"));
}

// Expected: "permanent_only" when the body asks for a repeat with lease 0, "other" otherwise.
void TestUpnpWire::faultBody()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const QByteArray outcome = upnp::isOnlyPermanentLeasesFault(input) ? "permanent_only" : "other";
    QCOMPARE(outcome, expected);
}

void TestUpnpWire::externalAddressRequest()
{
    const QString service = QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:2");
    QCOMPARE(upnp::externalAddressAction(service),
             QByteArray("\"urn:schemas-upnp-org:service:WANIPConnection:2#GetExternalIPAddress\""));
    QCOMPARE(upnp::externalAddressBody(service),
             QByteArray("<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""
                        " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                        "<u:GetExternalIPAddress xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:2\">"
                        "</u:GetExternalIPAddress></s:Body></s:Envelope>"));
    // A service type cannot end the attribute it is put into.
    QVERIFY(upnp::externalAddressBody(QStringLiteral("a\"><x")).contains("xmlns:u=\"a&quot;&gt;&lt;x\""));
}

void TestUpnpWire::externalAddressAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // empty: no address
    const QByteArray head = "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                            "<s:Body><u:GetExternalIPAddressResponse xmlns:u=\"urn:schemas-upnp-org:service:"
                            "WANIPConnection:1\">";
    const QByteArray tail = "</u:GetExternalIPAddressResponse></s:Body></s:Envelope>";
    QTest::newRow("miniupnpd answer") << head + "<NewExternalIPAddress>11.201.0.1</NewExternalIPAddress>" + tail
                                      << "11.201.0.1";
    QTest::newRow("blanks around the address")
        << head + "<NewExternalIPAddress>\n  100.64.3.7 \n</NewExternalIPAddress>" + tail << "100.64.3.7";
    QTest::newRow("prefixed element") << head + "<u:NewExternalIPAddress>203.0.113.5</u:NewExternalIPAddress>" + tail
                                      << "203.0.113.5";
    QTest::newRow("empty element: not connected") << head + "<NewExternalIPAddress></NewExternalIPAddress>" + tail
                                                  << "";
    QTest::newRow("zero address is still an address")
        << head + "<NewExternalIPAddress>0.0.0.0</NewExternalIPAddress>" + tail << "0.0.0.0";
    QTest::newRow("host name") << head + "<NewExternalIPAddress>router.lan</NewExternalIPAddress>" + tail << "";
    QTest::newRow("ipv6") << head + "<NewExternalIPAddress>2001:db8::1</NewExternalIPAddress>" + tail << "";
    QTest::newRow("leading zeros") << head + "<NewExternalIPAddress>011.201.0.1</NewExternalIPAddress>" + tail << "";
    QTest::newRow("short form") << head + "<NewExternalIPAddress>11.201.1</NewExternalIPAddress>" + tail << "";
    QTest::newRow("child element") << head + "<NewExternalIPAddress>1.2.3.4<x/></NewExternalIPAddress>" + tail << "";
    QTest::newRow("other element only") << head + "<NewExternalAddress>1.2.3.4</NewExternalAddress>" + tail << "";
    QTest::newRow("fault") << QByteArray("<s:Envelope xmlns:s=\"x\"><s:Body><s:Fault><detail><UPnPError>"
                                         "<errorCode>501</errorCode></UPnPError></detail></s:Fault></s:Body>"
                                         "</s:Envelope>")
                           << "";
    QTest::newRow("not xml") << QByteArray("HTTP/1.1 200 OK") << "";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("cut before the address") << head + "<NewExternalIPAddress>1.2." << "";
    QTest::newRow("oversized") << head + QByteArray(70000, ' ') + "<NewExternalIPAddress>1.2.3.4</NewExternalIPAddress>"
                                      + tail
                               << "";
}

void TestUpnpWire::externalAddressAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    const QHostAddress address = upnp::externalAddressFromAnswer(body);
    QCOMPARE(address.isNull() ? QString() : address.toString(), expected);
}

// Every action is posted the same way: to the control URL, with the SOAP headers and its body.
void TestUpnpWire::soapCall_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("soapAction");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("maxReplyBytes");
    const QString wanIp1 = QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:1");
    QTest::newRow("AddPortMapping") << "AddPortMapping"
                                    << QByteArray("\"urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping\"")
                                    << readFile(DataDir + QStringLiteral("/soap/wanip1_6006_lease3600.xml"))
                                    << qint64(1024 * 1024);
    QTest::newRow("GetExternalIPAddress")
        << "GetExternalIPAddress"
        << QByteArray("\"urn:schemas-upnp-org:service:WANIPConnection:1#GetExternalIPAddress\"")
        << upnp::externalAddressBody(wanIp1) << qint64(64 * 1024);
}

void TestUpnpWire::soapCall()
{
    QFETCH(QString, action);
    QFETCH(QByteArray, soapAction);
    QFETCH(QByteArray, body);
    QFETCH(qint64, maxReplyBytes);
    const QUrl control(QStringLiteral("http://192.168.1.1:5555/ctl/IPConn"));
    const QString service = QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:1");
    const upnp::SoapCall call = action == QLatin1String("AddPortMapping")
                                    ? upnp::addPortMappingCall(control, service, 6006, QHostAddress::LocalHost,
                                                               QStringLiteral("Sarnolix UDP"), upnp::FirstLeaseSeconds)
                                    : upnp::externalAddressCall(control, service);
    QVERIFY(!body.isEmpty());
    QCOMPARE(call.request.url(), control);
    QCOMPARE(call.request.header(QNetworkRequest::ContentTypeHeader).toString(),
             QStringLiteral("text/xml; charset=\"utf-8\""));
    QCOMPARE(call.request.rawHeader("SOAPAction"), soapAction);
    QCOMPARE(call.body, body);
    QCOMPARE(call.maxReplyBytes, maxReplyBytes);
}

QTEST_GUILESS_MAIN(TestUpnpWire)
#include "tst_upnpwire.moc"
