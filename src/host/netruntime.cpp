#include "host/netruntime.h"

#include "host/events.h"
#include "host/staleprocesses.h"
#include "host/windowhandle.h"
#include "platform/platform.h"
#include "proxy/relayconfig.h"
#include "wire/ports.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStringList>
#include <QVariant>

#include <cstdio>
#include <utility>

namespace {

constexpr int ParentWatchIntervalMs = 500;
const QString MappingDescription = QStringLiteral("Sarnolix UDP");
constexpr int EmulatorStartTimeoutMs = 5000;
constexpr int EmulatorStopTimeoutMs = 1000; // per step: after terminate, then after kill

constexpr int ExitMissingArguments = 2;
constexpr int ExitEmulatorFailed = 3;
constexpr int ExitPunchingFailed = 4;
constexpr int ExitLaunchFailed = 5;

const QString ParentHwndVariable = QStringLiteral("FBNEO_PARENT_HWND");

// Marks a proxy call (launch, or the handler of a signal the proxy emits) as on the stack.
class ProxyCallScope
{
public:
    explicit ProxyCallScope(int &depth) : depth_(depth) { ++depth_; }
    ~ProxyCallScope() { --depth_; }
    ProxyCallScope(const ProxyCallScope &) = delete;
    ProxyCallScope &operator=(const ProxyCallScope &) = delete;

private:
    int &depth_;
};

} // namespace

NetRuntime::NetRuntime(LaunchOptions launchOptions, QObject *parent)
    : QObject(parent), options(std::move(launchOptions)),
      exitRequest([](int exitCode) { QCoreApplication::exit(exitCode); }),
      windowCheck([](quint64 handle) { return platform::windowState(handle); })
{
    parentWatch.setInterval(ParentWatchIntervalMs);
    parentWatch.setSingleShot(false);
    connect(&parentWatch, &QTimer::timeout, this, &NetRuntime::stopIfParentClosed);
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &NetRuntime::handleAboutToQuit);
    connect(&emulatorProcess, &QProcess::finished, this, &NetRuntime::handleEmulatorFinished);
}

NetRuntime::~NetRuntime() = default;

void NetRuntime::setExitRequest(ExitRequest request)
{
    exitRequest = std::move(request);
}

void NetRuntime::setWindowCheck(WindowCheck check)
{
    windowCheck = std::move(check);
}

NetRuntime::StartOutcome NetRuntime::start()
{
    if (options.emulator.isEmpty() || options.command.isEmpty()) {
        host::writeEvent(QStringLiteral("failed"), QString(), QStringLiteral("missing_arguments"));
        return {false, ExitMissingArguments};
    }
    if (!host::watchedWindowText(options).isEmpty())
        parentWatch.start();

    const ServedCommand parsed = host::parseServedCommand(options.command);
    if (parsed.valid)
        return startServed(parsed);

    if (!startEmulator(options.command))
        return {false, ExitEmulatorFailed};
    loopRequested = true;
    return {true, 0};
}

NetRuntime::StartOutcome NetRuntime::startServed(const ServedCommand &parsed)
{
    const int terminated =
        host::terminateStaleProcesses(options.emulator, QCoreApplication::applicationFilePath());
    if (terminated >= 1)
        host::writeEvent(QStringLiteral("cleanup"), parsed.quark, QString::number(terminated));

    windowedLaunch = parsed.nativeWindow;
    fullscreenLaunch = parsed.nativeFullscreen;
    served = parsed;

    connect(&proxy, &UdpProxyManager::punchingSucceeded, this, &NetRuntime::handlePunchingSucceeded);
    connect(&proxy, &UdpProxyManager::delayNegotiated, this, &NetRuntime::handleDelayNegotiated);
    connect(&proxy, &UdpProxyManager::punchingFailed, this, &NetRuntime::handlePunchingFailed);

    // The player's TURN relay, if any. A bad setting never stops a match: it is said on
    // stderr (the front-end reads only stdout) and the match goes without a relay.
    const relayconfig::Loaded relay = relayconfig::load(QProcessEnvironment::systemEnvironment());
    for (const QString &problem : relay.problems)
        std::fprintf(stderr, "kivra-netproxy: %s; no relay\n", qPrintable(problem));
    std::fflush(stderr);
    proxy.setRelayConfig(relay.config);

    QMap<QString, QVariant> result;
    {
        const ProxyCallScope scope(proxyCallDepth);
        result = proxy.launch(served.quark, wire::ports::LocalProxyPort, served.signalHost, served.signalPort, served.emulatorHost);
    }
    if (result.value(QStringLiteral("status")).toString() == QLatin1String("error")) {
        host::writeEvent(QStringLiteral("failed"), served.quark, result.value(QStringLiteral("message")).toString());
        runEnded = true;
        shutDown();
        return {false, ExitLaunchFailed};
    }
    const QString tracePath = result.value(QStringLiteral("tracePath")).toString();
    if (!tracePath.isEmpty())
        host::writeEvent(QStringLiteral("trace"), served.quark, QDir::toNativeSeparators(tracePath));

    // A failure the proxy reported from inside launch() ends the run here: no loop runs that
    // could carry an exit request.
    if (earlyExitCode >= 0) {
        shutDown();
        return {false, earlyExitCode};
    }

    connect(&portMapper, &UpnpPortMapper::finished, this,
            [this, quark = served.quark](bool ok, const QString &detail) {
                host::writeEvent(QStringLiteral("upnp"), quark,
                                 (ok ? QStringLiteral("ok ") : QStringLiteral("failed ")) + detail);
            });
    const quint16 peerPort = quint16(result.value(QStringLiteral("peerUdpPort")).toUInt() & 0xFFFFu);
    portMapper.mapUdpPorts({peerPort, wire::ports::LastResortPort}, MappingDescription);

    loopRequested = true;
    return {true, 0};
}

bool NetRuntime::startEmulator(const QString &servedArgument)
{
    const QFileInfo emulatorFile(options.emulator);
    if (!emulatorFile.exists()) {
        host::writeEvent(QStringLiteral("failed"), QString(), QStringLiteral("missing_emulator"));
        return false;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList arguments;
    if (!options.parentHwnd.isEmpty()) {
        environment.insert(ParentHwndVariable, options.parentHwnd);
        arguments << QStringLiteral("-parenthwnd=%1").arg(options.parentHwnd);
    }
    if (fullscreenLaunch)
        arguments << QStringLiteral("-fullscreen");
    else if (windowedLaunch)
        arguments << QStringLiteral("-w");
    arguments << servedArgument;

    // The absolute path: the child changes into the emulator's directory before it is
    // executed, so a relative path would be looked up from there (or, without a slash, in PATH).
    emulatorProcess.setProgram(emulatorFile.absoluteFilePath());
    emulatorProcess.setArguments(arguments);
    emulatorProcess.setWorkingDirectory(emulatorFile.absolutePath());
    emulatorProcess.setProcessEnvironment(environment);
    emulatorProcess.setProcessChannelMode(QProcess::ForwardedChannels);
#ifdef Q_OS_UNIX
    // Our ignored SIGPIPE must not reach the emulator, and a SIGPIPE the front-end left ignored
    // stays ignored (Qt 6.4 resets it to the default in every child).
    emulatorProcess.setChildProcessModifier([] { platform::restoreStartupSignals(); });
#endif
    emulatorProcess.start(QIODevice::ReadWrite);
    if (emulatorProcess.waitForStarted(EmulatorStartTimeoutMs)) {
        host::writeEvent(QStringLiteral("emulator_started"));
        return true;
    }
    host::writeEvent(QStringLiteral("failed"), QString(), emulatorProcess.errorString());
    return false;
}

void NetRuntime::stopIfParentClosed()
{
    if (runEnded)
        return;
    bool ok = false;
    const quint64 handle = host::parseWindowHandle(host::watchedWindowText(options), &ok);
    if (!ok)
        return;
    // Unknown (no window system reachable) must not end the match.
    if (windowCheck(handle) != platform::WindowState::Gone)
        return;
    // Ended before the emulator is stopped, so that its end handler's exit code does not
    // count: the window gone ends with 0.
    runEnded = true;
    shutDown();
    exitRequest(0);
}

void NetRuntime::handlePunchingSucceeded(const QString &signalQuark)
{
    if (runEnded)
        return;
    const ProxyCallScope scope(proxyCallDepth);
    host::writeEvent(QStringLiteral("connected"), signalQuark);
}

void NetRuntime::handlePunchingFailed(const QString &signalQuark)
{
    if (runEnded)
        return;
    const ProxyCallScope scope(proxyCallDepth);
    host::writeEvent(QStringLiteral("failed"), signalQuark, QStringLiteral("udp_failed"));
    endRun(ExitPunchingFailed);
}

void NetRuntime::handleDelayNegotiated(const QString &signalQuark, int delay, int rttMs)
{
    if (runEnded)
        return;
    const ProxyCallScope scope(proxyCallDepth);
    const int effective = host::effectiveDelay(served, delay);
    host::writeEvent(QStringLiteral("delay"), signalQuark, QStringLiteral("%1 %2").arg(effective).arg(rttMs));
    if (!startEmulator(host::emulatorServedArgument(served, effective)))
        endRun(ExitEmulatorFailed);
}

void NetRuntime::handleEmulatorFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitStatus)
    endRun(exitCode);
}

void NetRuntime::handleAboutToQuit()
{
    runEnded = true;
    // Only reachable inside a proxy call if someone else asked for the exit: stopping the
    // proxy under its own feet is never right, so the stop waits for the loop then.
    if (proxyCallDepth > 0) {
        QTimer::singleShot(0, this, &NetRuntime::shutDown);
        return;
    }
    shutDown();
}

// The one way out: stops the watch, the proxy and the emulator, once.
void NetRuntime::shutDown()
{
    if (shutDownDone)
        return;
    shutDownDone = true;
    parentWatch.stop();
    stopProxy();
    stopEmulator();
}

void NetRuntime::stopProxy()
{
    ++proxyStops;
    if (proxyCallDepth > 0)
        ++nestedProxyStops;
    proxy.stop();
}

void NetRuntime::stopEmulator()
{
    if (emulatorProcess.state() == QProcess::NotRunning)
        return;
    emulatorProcess.terminate();
    if (!emulatorProcess.waitForFinished(EmulatorStopTimeoutMs)) {
        emulatorProcess.kill();
        emulatorProcess.waitForFinished(EmulatorStopTimeoutMs);
    }
}

// The first end of a run decides the exit code. The request to leave the loop is deferred:
// the caller may be a handler of a proxy signal, or launch() itself, still on the stack, and a
// newer Qt runs the shutdown (which stops the proxy) inside exit().
void NetRuntime::endRun(int exitCode)
{
    if (runEnded)
        return;
    runEnded = true;
    parentWatch.stop();
    if (!loopRequested) {
        // Before the loop: start() returns the code itself.
        earlyExitCode = exitCode;
        return;
    }
    QTimer::singleShot(0, this, [this, exitCode] { exitRequest(exitCode); });
}
