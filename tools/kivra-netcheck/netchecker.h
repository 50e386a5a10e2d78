// The shell of kivra-netcheck: two UDP sockets that register with the rendezvous server as the
// two sides of a private match, a read-only UPnP look at the router and one allocation through
// the player's TURN relay from a third socket, side by side on the event loop. What they learn
// goes into netcheck::Findings.
#pragma once

#include "netcheck.h"
#include "proxy/relayconfig.h"
#include "proxy/turnclient.h"
#include "upnp/upnpportmapper.h"

#include <QByteArray>
#include <QElapsedTimer>
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
    // relay: the proxy's relay configuration (relayconfig::load); a usable one is asked once.
    NetChecker(const netcheck::Options &options, const relayconfig::Loaded &relay, QObject *parent = nullptr);

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
    void startRelay();
    void handleRelayDatagrams();
    void relayUpkeep();
    void finishRelay(netcheck::RelayResult::Outcome outcome, const QString &failure);
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
    relayconfig::RelayConfig relayConfig;
    QUdpSocket relaySocket;     // any free port: 6006 stays with the NAT test
    TurnClient turn;
    QTimer relayTimer;          // the relay client's next retransmission or give-up
    QElapsedTimer relayClock;   // the relay client's clock, from the first Allocate
    std::vector<Registration> registrations;
    bool signallingDone = false;
    bool upnpDone = false;
    bool relayDone = false;
    bool done = false;
};
