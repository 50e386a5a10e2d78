// Runs one match: the proxy, the port mapper, the emulator process and the watch on the
// front-end window, with every outcome turned into an event line and an exit code.
#pragma once

#include "host/launchoptions.h"
#include "host/servedcommand.h"
#include "platform/platform.h"
#include "proxy/udpproxymanager.h"
#include "upnp/upnpportmapper.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <functional>

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

    // How the runtime asks the application to end its event loop; QCoreApplication::exit by
    // default. Qt 6.4 emits aboutToQuit only when the loop returns; newer Qt 6 releases emit it
    // synchronously inside exit(), even with no loop running. Replacing this lets tests run a
    // newer Qt's order on the installed one.
    using ExitRequest = std::function<void(int exitCode)>;
    void setExitRequest(ExitRequest request);

    // How the window watch asks whether the front-end window still exists;
    // platform::windowState by default. Lets tests take the window away without a window system.
    using WindowCheck = std::function<platform::WindowState(quint64 handle)>;
    void setWindowCheck(WindowCheck check);

    // Diagnostics, read-only: how often the runtime stopped the proxy, and how many of those
    // stops happened while a proxy call (launch or one of its signals) was still on the stack.
    int proxyStopCount() const { return proxyStops; }
    int proxyStopsInsideProxyCall() const { return nestedProxyStops; }

private:
    StartOutcome startServed(const ServedCommand &parsed);
    void handlePunchingSucceeded(const QString &signalQuark);
    void handlePunchingFailed(const QString &signalQuark);
    void handleDelayNegotiated(const QString &signalQuark, int delay, int rttMs);
    void handleEmulatorFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleAboutToQuit();
    void stopEmulator();
    void stopProxy();
    void shutDown();
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
    bool runEnded = false;      // the first end decided the exit code; later ends are ignored
    bool shutDownDone = false;  // the proxy and the emulator have been stopped
    int proxyCallDepth = 0;     // launch() or a proxy signal's handler is on the stack
    int proxyStops = 0;
    int nestedProxyStops = 0;
    ExitRequest exitRequest;
    WindowCheck windowCheck;
};
