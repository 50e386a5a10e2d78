// Asks the home router (a UPnP Internet Gateway Device) to forward UDP ports to this host.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>

class QNetworkReply;

class UpnpPortMapper : public QObject
{
    Q_OBJECT

public:
    explicit UpnpPortMapper(QObject *parent = nullptr);
    ~UpnpPortMapper() override;

    void mapUdpPorts(const QList<quint16> &ports, const QString &description);
    // The same discovery and device description, then stop: nothing is mapped. finished
    // says true with "found", or false with the failure of the stage that ended the run.
    void findGateway();

    // What the description stage found; empty or null until then.
    QString wanServiceType() const { return serviceType; }
    QUrl wanControlUrl() const { return controlUrl; }
    QHostAddress routeLocalAddress() const { return localAddress; }

Q_SIGNALS:
    void finished(bool ok, const QString &detail);

private:
    void finish(bool ok, QString detail);
    void sendDiscovery();
    void handleDiscoveryDatagrams();
    void handleDiscoveryTimeout();
    void handleOverallTimeout();
    void fetchDeviceDescription(const QUrl &location);
    void handleDeviceDescription(QNetworkReply *reply);
    void addNextMapping();
    void sendAddPortMapping(quint16 port, int leaseSeconds);
    void handleAddPortMappingReply(QNetworkReply *reply, quint16 port, int leaseSeconds);

    // Members, in declared order.
    QNetworkAccessManager networkManager;
    QUdpSocket ssdpSocket;
    QTimer discoveryTimer;
    QTimer timeoutTimer;
    QList<quint16> pendingPorts;
    QList<quint16> mappedPorts;
    QString mappingDescription;
    QUrl descriptionUrl;
    QUrl controlUrl;
    QString serviceType;
    QHostAddress localAddress;
    bool descriptionRequested = false;
    bool done = false;
    bool describeOnly = false; // a read-only run: stop after the description
};
