// fake-gateway: a scripted UPnP Internet Gateway Device for the port mapper's tests.
// Prints its HTTP port on the first line, then one line per request it receives:
//   ssdp <source port> <datagram, base64>
//   get <path>
//   post <path> <SOAPAction, base64> <Content-Type, base64> <body, base64>
// Options (templates may hold {base}, replaced by http://<bind>:<port>):
//   --bind ADDR            HTTP and answer address (127.0.0.1)
//   --http-port N          HTTP port (0 = ephemeral)
//   --no-ssdp              do not answer discovery at all
//   --ssdp-answer FILE     an answer to send to the first search (repeatable; sent in order)
//   --ssdp-delay-ms N      wait before answering
//   --description FILE     device description body (default: one WANIPConnection:1 service)
//   --description-status N HTTP status of the description (200)
//   --description-delay-ms N
//   --description-trickle-ms N  send the description one byte a second for about N ms
//   --description-pad-bytes N   append an N-byte XML comment to the description
//   --mapping LIST         comma list, one per POST in order: ok | <fault code> | trickle
//                          (ok for POSTs past the list)
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>
#include <QUdpSocket>

namespace {

// Largest request we buffer (bytes): the mapper's requests are well under a kilobyte.
constexpr qsizetype MaxRequestBytes = 64 * 1024;
// Interval between the bytes of a trickled reply (ms): under the mapper's 3000 ms transfer timeout.
constexpr int TrickleIntervalMs = 1000;
// A trickled SOAP reply never ends within a test (count of one-byte steps).
constexpr int TrickleSteps = 60;

const QByteArray DefaultDescription =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
    "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl/IPConn</controlURL>"
    "</service></serviceList></device></root>";
const QByteArray DefaultAnswer = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
                                 "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
                                 "LOCATION: {base}/rootDesc.xml\r\n\r\n";
const QByteArray FaultTemplate =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault><faultcode>s:Client</faultcode>"
    "<faultstring>UPnPError</faultstring><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
    "<errorCode>{code}</errorCode><errorDescription>scripted</errorDescription></UPnPError></detail>"
    "</s:Fault></s:Body></s:Envelope>";

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void logLine(const QByteArray &line)
{
    out() << line << '\n';
    out().flush();
}

QByteArray response(int status, const QByteArray &body, qsizetype contentLength = -1)
{
    const QByteArray reason = status == 200 ? "OK" : "Error";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: text/xml\r\n"
           + "Connection: close\r\nContent-Length: "
           + QByteArray::number(contentLength < 0 ? body.size() : contentLength) + "\r\n\r\n" + body;
}

class Gateway : public QObject
{
public:
    QHostAddress bind;
    QByteArray base;
    QList<QByteArray> answers;
    int ssdpDelayMs = 0;
    QByteArray description = DefaultDescription;
    int descriptionStatus = 200;
    int descriptionDelayMs = 0;
    int descriptionTrickleMs = 0;
    QStringList mapping;
    int posts = 0;
    bool answered = false;
    QTcpServer server;
    QUdpSocket ssdp;

    void handleSearches()
    {
        for (int count = 0; count < 64 && ssdp.hasPendingDatagrams(); ++count) {
            QByteArray datagram(qMax<qint64>(0, ssdp.pendingDatagramSize()), Qt::Uninitialized);
            QHostAddress from;
            quint16 port = 0;
            const qint64 size = ssdp.readDatagram(datagram.data(), datagram.size(), &from, &port);
            if (size < 0)
                continue;
            datagram.truncate(size);
            logLine("ssdp " + QByteArray::number(port) + ' ' + datagram.toBase64());
            if (answered || !datagram.startsWith("M-SEARCH"))
                continue;
            answered = true;
            QTimer::singleShot(ssdpDelayMs, this, [this, from, port] {
                for (const QByteArray &answer : std::as_const(answers))
                    ssdp.writeDatagram(QByteArray(answer).replace("{base}", base), from, port);
            });
        }
    }

    void handleConnection()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handleRequestBytes(socket); });
        }
    }

    void handleRequestBytes(QTcpSocket *socket)
    {
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        if (buffer.size() > MaxRequestBytes) {
            socket->abort();
            return;
        }
        socket->setProperty("buffer", buffer);
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0 || socket->property("handled").toBool())
            return;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        QByteArray soapAction;
        QByteArray contentType;
        qsizetype contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray key = lines[i].left(colon).trimmed().toLower();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            if (key == "soapaction")
                soapAction = value;
            else if (key == "content-type")
                contentType = value;
            else if (key == "content-length")
                contentLength = value.toLongLong();
        }
        if (buffer.size() < headEnd + 4 + contentLength)
            return;
        socket->setProperty("handled", true);
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        const QByteArray method = requestLine.value(0);
        const QByteArray path = requestLine.value(1);
        if (method == "GET") {
            logLine("get " + path);
            serveDescription(socket);
        } else {
            const QByteArray body = buffer.mid(headEnd + 4, contentLength);
            logLine("post " + path + ' ' + soapAction.toBase64() + ' ' + contentType.toBase64() + ' '
                    + body.toBase64());
            serveMapping(socket, mapping.value(posts++, QStringLiteral("ok")));
        }
    }

    void serveDescription(QTcpSocket *socket)
    {
        const QByteArray body = QByteArray(description).replace("{base}", base);
        QPointer<QTcpSocket> guarded(socket);
        if (descriptionTrickleMs > 0) {
            // Headers now, then one byte a second, the rest at the end: slow but never idle.
            socket->write(response(descriptionStatus, QByteArray(), body.size()));
            const int steps = qMax(1, descriptionTrickleMs / TrickleIntervalMs);
            for (int step = 1; step <= steps; ++step) {
                QTimer::singleShot(step * TrickleIntervalMs, this, [guarded, body, step, steps] {
                    if (!guarded)
                        return;
                    if (step < steps) {
                        guarded->write(body.mid(step - 1, 1));
                    } else {
                        guarded->write(body.mid(step - 1));
                        guarded->disconnectFromHost();
                    }
                });
            }
            return;
        }
        QTimer::singleShot(descriptionDelayMs, this, [this, guarded, body] {
            if (!guarded)
                return;
            guarded->write(response(descriptionStatus, body));
            guarded->disconnectFromHost();
        });
    }

    void serveMapping(QTcpSocket *socket, const QString &script)
    {
        if (script == QLatin1String("ok")) {
            socket->write(response(200, "<?xml version=\"1.0\"?><s:Envelope><s:Body><u:AddPortMappingResponse/>"
                                        "</s:Body></s:Envelope>"));
            socket->disconnectFromHost();
        } else if (script == QLatin1String("trickle")) {
            socket->write(response(200, QByteArray(), TrickleSteps + 1));
            QPointer<QTcpSocket> guarded(socket);
            for (int step = 1; step <= TrickleSteps; ++step) {
                QTimer::singleShot(step * TrickleIntervalMs, this, [guarded] {
                    if (guarded)
                        guarded->write(" ");
                });
            }
        } else {
            socket->write(response(500, QByteArray(FaultTemplate).replace("{code}", script.toLatin1())));
            socket->disconnectFromHost();
        }
    }
};

QByteArray readFileOrDie(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical("fake-gateway: cannot read %s", qPrintable(path));
        ::exit(2);
    }
    return file.readAll();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption bindOption("bind", "address", "addr", "127.0.0.1");
    const QCommandLineOption httpPortOption("http-port", "port", "n", "0");
    const QCommandLineOption noSsdpOption("no-ssdp", "no discovery answers");
    const QCommandLineOption answerOption("ssdp-answer", "answer file", "file");
    const QCommandLineOption ssdpDelayOption("ssdp-delay-ms", "delay", "ms", "0");
    const QCommandLineOption descriptionOption("description", "description file", "file");
    const QCommandLineOption statusOption("description-status", "status", "n", "200");
    const QCommandLineOption descriptionDelayOption("description-delay-ms", "delay", "ms", "0");
    const QCommandLineOption trickleOption("description-trickle-ms", "trickle", "ms", "0");
    const QCommandLineOption mappingOption("mapping", "mapping script", "list", "");
    const QCommandLineOption padOption("description-pad-bytes", "padding", "n", "0");
    parser.addOptions({bindOption, httpPortOption, noSsdpOption, answerOption, ssdpDelayOption, descriptionOption,
                       statusOption, descriptionDelayOption, trickleOption, mappingOption, padOption});
    parser.process(app);

    Gateway gateway;
    gateway.bind = QHostAddress(parser.value(bindOption));
    gateway.ssdpDelayMs = parser.value(ssdpDelayOption).toInt();
    gateway.descriptionStatus = parser.value(statusOption).toInt();
    gateway.descriptionDelayMs = parser.value(descriptionDelayOption).toInt();
    gateway.descriptionTrickleMs = parser.value(trickleOption).toInt();
    if (!parser.value(mappingOption).isEmpty())
        gateway.mapping = parser.value(mappingOption).split(QLatin1Char(','));
    if (parser.isSet(descriptionOption))
        gateway.description = readFileOrDie(parser.value(descriptionOption));
    if (const int pad = parser.value(padOption).toInt(); pad > 0)
        gateway.description += "<!--" + QByteArray(pad, 'x') + "-->";
    const QStringList answerFiles = parser.values(answerOption);
    for (const QString &file : answerFiles)
        gateway.answers.append(readFileOrDie(file));
    if (gateway.answers.isEmpty())
        gateway.answers.append(DefaultAnswer);

    QObject::connect(&gateway.server, &QTcpServer::newConnection, &gateway, [&gateway] { gateway.handleConnection(); });
    if (!gateway.server.listen(gateway.bind, quint16(parser.value(httpPortOption).toUInt()))) {
        qCritical("fake-gateway: listen: %s", qPrintable(gateway.server.errorString()));
        return 2;
    }
    const quint16 httpPort = gateway.server.serverPort();
    gateway.base = "http://" + gateway.bind.toString().toLatin1();
    if (httpPort != 80)
        gateway.base += ':' + QByteArray::number(httpPort);

    if (!parser.isSet(noSsdpOption)) {
        QObject::connect(&gateway.ssdp, &QUdpSocket::readyRead, &gateway, [&gateway] { gateway.handleSearches(); });
        if (!gateway.ssdp.bind(QHostAddress(QHostAddress::AnyIPv4), 1900, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
            qCritical("fake-gateway: ssdp bind: %s", qPrintable(gateway.ssdp.errorString()));
            return 2;
        }
        const QNetworkInterface loopback = QNetworkInterface::interfaceFromName(QStringLiteral("lo"));
        if (!gateway.ssdp.joinMulticastGroup(QHostAddress(QStringLiteral("239.255.255.250")), loopback)) {
            qCritical("fake-gateway: join: %s", qPrintable(gateway.ssdp.errorString()));
            return 2;
        }
    }
    logLine(QByteArray::number(httpPort));
    return app.exec();
}
