#include "upnp/upnpportmapper.h"

#include "upnp/devicedescription.h"
#include "upnp/soap.h"
#include "upnp/ssdp.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>

namespace {

// Any request that moves no data this long is aborted (ms).
constexpr int TransferTimeoutMs = 3000;
// How long discovery waits for a usable SSDP answer (ms): MX 2 s plus slack.
constexpr int DiscoveryTimeoutMs = 2500;
// Bound of the whole run (ms).
constexpr int OverallTimeoutMs = 10000;
// Longest blocking wait for the route probe to get its local address (ms).
constexpr int RouteProbeWaitMs = 1000;
// Port of a location URL that names none.
constexpr int DefaultHttpPort = 80;
// Datagrams read per readyRead; the rest wait for the next notification (count).
constexpr int MaxDatagramsPerRead = 64;
// A device description is a few kilobytes; a device that streams without end would
// otherwise grow our memory without bound (bytes).
constexpr qint64 MaxReplyBytes = 1024 * 1024;

constexpr char GatewaySearchTarget[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
constexpr char WanIpSearchTarget[] = "urn:schemas-upnp-org:service:WANIPConnection:1";

// An oversized body that came in one piece (too fast for the abort) counts as an error too.
bool replyFailed(QNetworkReply *reply)
{
    return reply->error() != QNetworkReply::NoError || reply->bytesAvailable() > MaxReplyBytes;
}

} // namespace

UpnpPortMapper::UpnpPortMapper(QObject *parent) : QObject(parent)
{
    networkManager.setTransferTimeout(TransferTimeoutMs);
    // The router is on the local network: an HTTP proxy from the environment must not
    // carry (or see) these requests.
    networkManager.setProxy(QNetworkProxy::NoProxy);
    // Sockets that ask for a proxy start libproxy's worker thread on Linux.
    ssdpSocket.setProxy(QNetworkProxy::NoProxy);
    discoveryTimer.setSingleShot(true);
    discoveryTimer.setInterval(DiscoveryTimeoutMs);
    timeoutTimer.setSingleShot(true);
    timeoutTimer.setInterval(OverallTimeoutMs);
    connect(&ssdpSocket, &QUdpSocket::readyRead, this, &UpnpPortMapper::handleDiscoveryDatagrams);
    connect(&discoveryTimer, &QTimer::timeout, this, &UpnpPortMapper::handleDiscoveryTimeout);
    connect(&timeoutTimer, &QTimer::timeout, this, &UpnpPortMapper::handleOverallTimeout);
}

UpnpPortMapper::~UpnpPortMapper() = default;

void UpnpPortMapper::mapUdpPorts(const QList<quint16> &ports, const QString &description)
{
    // One object serves one run: a second call would mix two runs' state.
    if (done || timeoutTimer.isActive())
        return;
    pendingPorts.clear();
    for (const quint16 port : ports) {
        if (port != 0 && !pendingPorts.contains(port))
            pendingPorts.append(port);
    }
    if (pendingPorts.isEmpty()) {
        finish(false, QStringLiteral("no_ports"));
        return;
    }
    mappingDescription = description;
    timeoutTimer.start();
    sendDiscovery();
}

void UpnpPortMapper::findGateway()
{
    if (done || timeoutTimer.isActive())
        return;
    describeOnly = true;
    timeoutTimer.start();
    sendDiscovery();
}

void UpnpPortMapper::finish(bool ok, QString detail)
{
    if (done)
        return;
    done = true;
    discoveryTimer.stop();
    timeoutTimer.stop();
    ssdpSocket.close();
    Q_EMIT finished(ok, detail);
}

void UpnpPortMapper::sendDiscovery()
{
    if (!ssdpSocket.bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        finish(false, QStringLiteral("ssdp_bind_failed"));
        return;
    }
    // Send failures are not reported: they show up as "no_router".
    ssdpSocket.writeDatagram(upnp::discoveryRequest(GatewaySearchTarget), upnp::SsdpAddress, upnp::SsdpPort);
    ssdpSocket.writeDatagram(upnp::discoveryRequest(WanIpSearchTarget), upnp::SsdpAddress, upnp::SsdpPort);
    discoveryTimer.start();
}

void UpnpPortMapper::handleDiscoveryDatagrams()
{
    // finish() may close the socket while we are in this loop.
    for (int count = 0; count < MaxDatagramsPerRead && ssdpSocket.state() == QAbstractSocket::BoundState
                        && ssdpSocket.hasPendingDatagrams();
         ++count) {
        QByteArray datagram(qMax<qint64>(0, ssdpSocket.pendingDatagramSize()), Qt::Uninitialized);
        const qint64 size = ssdpSocket.readDatagram(datagram.data(), datagram.size());
        // Later answers are read and dropped: the first usable one wins for good.
        if (descriptionRequested || size < 0)
            continue;
        datagram.truncate(size);
        const QUrl location = upnp::discoveryLocation(datagram);
        if (location.isEmpty())
            continue;
        descriptionRequested = true;
        discoveryTimer.stop();
        fetchDeviceDescription(location);
    }
}

void UpnpPortMapper::handleDiscoveryTimeout()
{
    if (!descriptionRequested)
        finish(false, QStringLiteral("no_router"));
}

void UpnpPortMapper::handleOverallTimeout()
{
    finish(!mappedPorts.isEmpty(), QStringLiteral("timeout"));
}

void UpnpPortMapper::fetchDeviceDescription(const QUrl &location)
{
    descriptionUrl = location;
    {
        // A connected UDP socket sends nothing; it only makes the system pick the local
        // address it would use towards the router. No name lookup: literals only.
        const QHostAddress target(location.host(QUrl::FullyDecoded));
        if (!target.isNull()) {
            QUdpSocket probe;
            probe.setProxy(QNetworkProxy::NoProxy);
            probe.connectToHost(target, quint16(location.port(DefaultHttpPort)), QIODevice::ReadWrite);
            if (probe.waitForConnected(RouteProbeWaitMs))
                localAddress = probe.localAddress();
        }
    }
    if (localAddress.isNull() || localAddress.protocol() != QAbstractSocket::IPv4Protocol) {
        finish(false, QStringLiteral("no_local_address"));
        return;
    }
    QNetworkReply *reply = networkManager.get(QNetworkRequest(descriptionUrl));
    upnp::limitReplySize(reply, MaxReplyBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleDeviceDescription(reply); });
}

void UpnpPortMapper::handleDeviceDescription(QNetworkReply *reply)
{
    reply->deleteLater();
    // No test of done here: a late good description still sends its first request, whose
    // reply then meets done.
    if (replyFailed(reply)) {
        finish(false, QStringLiteral("description_failed"));
        return;
    }
    const upnp::WanService service = upnp::findWanService(reply->readAll(), descriptionUrl);
    if (service.controlUrl.isEmpty()) {
        finish(false, QStringLiteral("no_wan_service"));
        return;
    }
    serviceType = service.serviceType;
    controlUrl = service.controlUrl;
    if (describeOnly) {
        finish(true, QStringLiteral("found"));
        return;
    }
    addNextMapping();
}

void UpnpPortMapper::addNextMapping()
{
    if (!pendingPorts.isEmpty()) {
        sendAddPortMapping(pendingPorts.takeFirst(), upnp::FirstLeaseSeconds);
        return;
    }
    if (mappedPorts.isEmpty()) {
        finish(false, QStringLiteral("mapping_failed"));
        return;
    }
    QStringList texts;
    for (const quint16 port : std::as_const(mappedPorts))
        texts.append(QString::number(port));
    finish(true, texts.join(QLatin1Char(',')));
}

void UpnpPortMapper::sendAddPortMapping(quint16 port, int leaseSeconds)
{
    QNetworkReply *reply = upnp::post(networkManager, upnp::addPortMappingCall(controlUrl, serviceType, port,
                                                                                localAddress, mappingDescription,
                                                                                leaseSeconds));
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, port, leaseSeconds] { handleAddPortMappingReply(reply, port, leaseSeconds); });
}

void UpnpPortMapper::handleAddPortMappingReply(QNetworkReply *reply, quint16 port, int leaseSeconds)
{
    reply->deleteLater();
    if (done)
        return;
    if (reply->error() == QNetworkReply::NoError) {
        mappedPorts.append(port);
        addNextMapping();
        return;
    }
    // A router that only grants permanent leases gets one more request for this port.
    if (leaseSeconds != upnp::PermanentLeaseSeconds && upnp::isOnlyPermanentLeasesReply(reply)) {
        sendAddPortMapping(port, upnp::PermanentLeaseSeconds);
        return;
    }
    addNextMapping();
}
