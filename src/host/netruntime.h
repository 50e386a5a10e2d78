// Runs one match: the proxy, the port mapper, the emulator process and the watch on the
// front-end window, with every outcome turned into an event line and an exit code.
#pragma once

#include "host/launchoptions.h"
#include "host/servedcommand.h"
#include "proxy/udpproxymanager.h"
#include "upnp/upnpportmapper.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

class NetRuntime : public QObject
{
    Q_OBJECT

public:
    // What start() decided: return exitCode at once, or run the event loop.
    struct StartOutcome
    {
        bool runLoop = false;
        int exitCode = 0;
    };

    explicit NetRuntime(LaunchOptions options, QObject *parent = nullptr);
    ~NetRuntime() override;

    StartOutcome start();
    bool startEmulator(const QString &servedArgument);
    void stopIfParentClosed();

private:
    StartOutcome startServed(const ServedCommand &parsed);
    void handlePunchingSucceeded(const QString &signalQuark);
    void handlePunchingFailed(const QString &signalQuark);
    void handleDelayNegotiated(const QString &signalQuark, int delay, int rttMs);
    void handleEmulatorFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleAboutToQuit();
    void stopEmulator();
    void endRun(int exitCode);

    // Members, in declared order.
    LaunchOptions options;
    UdpProxyManager proxy;
    UpnpPortMapper portMapper;
    QProcess emulatorProcess;
    QTimer parentWatch;
    ServedCommand served;
    bool windowedLaunch = false;
    bool fullscreenLaunch = false;

    // Additions of our own, after the specified members.
    bool loopRequested = false; // start() has handed over to the event loop
    int earlyExitCode = -1;     // an end requested before the loop ran (exit() would be lost)
};
