// The UDP proxy of one match: emulator on 127.0.0.1 on one side, the remote peer on the other.
#pragma once

#include "proxy/peerdatagram.h"
#include "proxy/relayconfig.h"
#include "proxy/turnclient.h"
#include "wire/ports.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>

class QThread;

class UdpProxyManager : public QObject
{
    Q_OBJECT

public:
    struct Endpoint
    {
        QHostAddress address;
        quint16 port = 0;
        bool valid = false;
    };

    // Where the relay's start-up stands, for the peer -> emulator direction.
    enum class StartupPhase
    {
        Queueing,  // the emulator has not been heard: the peer's datagrams wait in a queue
        Screening, // the emulator is known: control traffic is dropped until a real game datagram
        Gameplay,  // the first game datagram is through: everything goes to the emulator
    };

    struct PunchResult
    {
        bool ok = false;
        QHostAddress address;
        quint16 port = 0;
    };

    explicit UdpProxyManager(QObject *parent = nullptr);
    ~UdpProxyManager() override;

    QMap<QString, QVariant> launch(const QString &quark, quint16 localUdpPort, const QString &signalHost,
                                   quint16 signalPort, const QString &emulatorHost);
    void stop();
    void requestStop();
    void moveRuntimeToThread(QThread *thread);
    // The TURN relay for the following launches (the runtime reads the user's configuration).
    void setRelayConfig(const relayconfig::RelayConfig &config);

Q_SIGNALS:
    void punchingSucceeded(const QString &quark);
    void punchingFailed(const QString &quark);
    void delayNegotiated(const QString &quark, int delay, int rttMs);

private:
    // Run control (udpproxymanager.cpp)
    bool rebindPeerSocket(quint16 port);
    // Every read and write of the peer socket, for the server, the punches and the peer alike.
    // A read gives -1 when nothing is left.
    qint64 readPeerDatagram(char *buffer, qint64 capacity, QHostAddress *sender, quint16 *senderPort);
    void writePeerDatagram(const char *data, qint64 size, const QHostAddress &to, quint16 toPort);
    void writePeerDatagram(const QByteArray &datagram, const QHostAddress &to, quint16 toPort);
    void resetStartupState();
    void resetRuntimeState();
    void clearIntervals();

    // Signalling (udpproxymanager_signalling.cpp)
    void sendSignal(const QByteArray &datagram);
    void registerProxy();
    void handleRegistrationTimeout();
    void sendFailureSignal();
    void sendUsePorts();
    void sendReadySignal();
    void markGameplayReady();
    void sendPeerAck(const Endpoint &endpoint);
    void handleSignalMessage(const QByteArray &datagram);
    void stopRegisterRetries();
    void stopRegistrationDeadline();
    int derivedQuarkPort() const;

    // Hole punching (udpproxymanager_punching.cpp)
    enum class PunchOutcome { Succeeded, Superseded, Failed };
    class PunchCall; // one legacyPuncher call: its token, its target, its attempts
    void startPunching();
    PunchOutcome runLegacyPunchSequence();
    PunchResult legacyPuncher(QHostAddress target, int port, int attempts, int intervalMs);
    bool isPunchDatagram(const QByteArray &data) const;
    void markPunchingSucceeded();
    bool runAlive() const; // false once stop() has run during a punch sequence
    bool trustsPunchFrom(const wire::punch::PunchFields &fields, const QHostAddress &sender) const;

    // Relay (udpproxymanager_relay.cpp)
    void handleLocalDatagrams();
    void handlePeerDatagrams();
    void processPeerDatagram(const QByteArray &datagram, const peerdatagram::Sorted &sorted);
    bool processStartupPeerPacket(const QByteArray &datagram);
    void flushStartupPeerPackets();
    void handleStartupTimeout();
    void sendKeepalivePacket();
    void startKeepalive();
    bool sameEndpoint(const Endpoint &endpoint, const QHostAddress &address, quint16 port) const;
    void trackPeerPortChange(quint16 port);
    void relayToEmulator(const char *data, qint64 size);
    void relayToEmulator(const QByteArray &datagram);
    void relayToPeer(const char *data, qint64 size);
    void relayToPeer(const QByteArray &datagram);

    // Latency probe and delay negotiation (udpproxymanager_latency.cpp)
    // One datagram sorted as a probe. fromPeer: the sender is the peer, so its round trips and
    // proposals count. False when it is no probe datagram at all.
    bool handleProbeDatagram(const wire::probe::ProbeMessage &message, const QHostAddress &sender,
                             quint16 senderPort, bool fromPeer);
    void startLatencyProbe();
    void handleLatencyProbeTick();
    void finishLatencyProbe();
    static int delayForRtt(int rttMs);
    void sendDelayProposal();
    void handleDelayWaitTick();
    void completeDelayNegotiation();

    // Relay path (udpproxymanager_turn.cpp): whether a launch goes through the TURN relay.
    enum class RelayStage
    {
        Off,        // no usable relay, or given up: the direct path, as without one
        Deciding,   // Binding requests out to the relay's two ports; registration waits
        Allocating, // Allocate (with its 401 retry) out; registration waits
        Permitting, // allocated; waiting for the permission toward the rendezvous server
        Relayed,    // every peer-socket datagram goes through the allocation
    };
    void startPath();
    void beginRegistration();
    void startAllocation();
    void takeBindingAnswer(const char *data, qint64 size, quint16 fromPort);
    void handleRelayDeadline();
    void relayUpkeep();
    void flushRelay(qint64 nowMs);
    void advanceRelay(qint64 nowMs);
    void leaveRelay(const QString &why);
    void releaseRelay();
    bool relayed() const { return relay.stage == RelayStage::Relayed; }
    void traceRelayed(const QHostAddress &address, quint16 port);

    // Trace (udpproxymanager_trace.cpp)
    void openTrace();
    void traceDatagram(char direction, const char *data, qint64 length);
    void closeTrace();

    // Members, in declared order.
    QUdpSocket localSocket;
    QUdpSocket peerSocket;
    QTimer registerRetryTimer;
    QTimer registrationDeadline;
    QTimer failureRetryTimer;
    QTimer readyRetryTimer;
    QTimer startupTimer;
    QTimer keepaliveTimer;
    QTimer latencyProbeTimer;
    QTimer delayWaitTimer;
    QElapsedTimer probeClock;
    std::FILE *traceFile = nullptr;
    QString traceFilePath;
    qint64 traceLastFlushUs = 0;
    Endpoint peerEndpoint;
    Endpoint announcedPeer;
    quint16 emulatorPort = 0;
    QString quark;
    QString matchId;
    int side = 0;
    QString signalHost;
    QHostAddress signalAddress;
    quint16 signalPort = wire::ports::DefaultSignalPort;
    QString emulatorHost = QStringLiteral("127.0.0.1");
    QByteArray localReceiveBuffer;
    QByteArray peerReceiveBuffer;
    QList<QByteArray> pendingPeerPackets;
    StartupPhase startupPhase = StartupPhase::Queueing;
    bool failureReported = false;
    bool punchingSucceededEmitted = false;
    bool registered = false;
    bool peerAnnounced = false;
    bool gameplayReady = false;
    bool readyAcknowledged = false;
    int readySignalCount = 0;
    QList<int> rttSamples;
    int probeTicks = 0;
    int delayWaitTicks = 0;
    int measuredRttMs = -1;
    int localDelay = -1;
    int remoteDelay = -1;
    bool probeFinished = false;
    bool delayNegotiationDone = false;
    quint16 candidatePeerPort = 0;
    int screenedGameplayPackets = 0;
    int candidatePortHits = 0;
    std::atomic<bool> stopRequested{false};

    // Additions of our own, after the specified members.

    // The bookkeeping of the punch sequences of one launch, nested ones included.
    struct PunchBook
    {
        int nesting = 0;              // sequences on the stack now; never above the nesting cap
        int successes = 0;            // only grows; a change during a call means a nested one won
        QHostAddress announcedHost;   // host of the innermost sequence's announcement: its punches count
        QSet<QByteArray> ownTokens;   // every token we sent this launch; quoting one proves it heard us
        Endpoint deferredPeer;        // refused at the cap, not acknowledged; tried if the running one fails
        QByteArray wonOwnToken;       // our token of the call that succeeded; empty before any success
        QByteArray wonPeerToken;      // the peer's token that call learned
        int lateAnswers = 0;          // late peer punches answered after success; bounded
    };

    bool punchAtCap() const;
    void answerLatePunch(const wire::punch::PunchFields &fields, const QHostAddress &sender, quint16 senderPort);
    void startProbeRound();

    qint64 pendingPeerBytes = 0;   // bytes held in pendingPeerPackets, for its cap
    QHostAddress emulatorAddress{QHostAddress::LocalHost}; // emulatorHost parsed once per launch
    int doneDelayAnswers = 0;      // delay datagrams answered since the negotiation ended
    std::unique_ptr<char[]> traceBuffer; // stdio buffer of the trace; glibc ignores a size without one
    PunchBook punch;
    QByteArray punchReceiveBuffer;     // punching reads here: it may run inside a relay read
    QList<qint64> pongReceivedMs;  // probeClock time each of rttSamples arrived, in the same order
    int probeRounds = 0;           // rounds of pings in this probe: a second one when the first was held
    qint64 probeRoundStartMs = 0;  // probeClock time the current round began; older pongs are stale

    // The relay of this launch. Invariants: stage is Off whenever relayConfig is not usable;
    // the allocation (turn) is in use only in Allocating, Permitting and Relayed; the peer
    // socket is never rebound while it is (the allocation lives on its 5-tuple).
    struct RelayBook
    {
        RelayStage stage = RelayStage::Off;
        QByteArray bindingIds[2];                       // Binding requests to port, alternate port
        std::optional<wire::stun::Endpoint> mapped[2];  // their answers, each taken once
        qint64 armedDueMs = -1;                         // when turnUpkeepTimer fires; -1 idle
    };
    relayconfig::RelayConfig relayConfig;
    TurnClient turn;
    RelayBook relay;
    QTimer relayDeadline;   // the decision's wait, then the allocation's
    QTimer turnUpkeepTimer; // the relay client's next retransmission or refresh, for idle times
};
