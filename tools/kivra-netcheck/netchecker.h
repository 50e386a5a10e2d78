// The shell of kivra-netcheck: two UDP sockets that register with the rendezvous server as the
// two sides of a private match, and a read-only UPnP look at the router, side by side on the
// event loop. What they learn goes into netcheck::Findings.
#pragma once

#include "netcheck.h"
#include "upnp/upnpportmapper.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <vector>

class QNetworkReply;

class NetChecker : public QObject
{
    Q_OBJECT

public:
    explicit NetChecker(const netcheck::Options &options, QObject *parent = nullptr);

    // Binds the sockets and starts both checks; finished follows, at the latest at the bound.
    void start();
    const netcheck::Findings &findings() const { return result; }

Q_SIGNALS:
    void finished();

private:
    // One destination, with its own fresh match identifier.
    struct Registration
    {
        netcheck::HostPort destination;
        QByteArray matchId;
        bool firstAnnounced = false;  // side 1 (first socket) heard "peer"
        bool secondAnnounced = false; // side 2 (second socket) heard "peer"
        netcheck::DestinationResult *target = nullptr;
    };

    void sendRegistrations();
    void handleDatagrams(QUdpSocket *socket, int side);
    void handleSignallingDeadline();
    void handleGatewayFound(bool ok, const QString &detail);
    void requestExternalAddress();
    void handleExternalAddressReply(QNetworkReply *reply);
    void finishUpnp();
    void finishIfDone();
    void finish();

    netcheck::Options options;
    netcheck::Findings result;
    QUdpSocket firstSocket;
    QUdpSocket secondSocket;
    QTimer retryTimer;
    QTimer signallingDeadline;
    QTimer overallDeadline;
    UpnpPortMapper mapper;
    QNetworkAccessManager network;
    std::vector<Registration> registrations;
    bool signallingDone = false;
    bool upnpDone = false;
    bool done = false;
};
