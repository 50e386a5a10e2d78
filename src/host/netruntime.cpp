#include "host/netruntime.h"

#include "host/events.h"
#include "host/staleprocesses.h"
#include "host/windowhandle.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStringList>
#include <QVariant>

#include <utility>

namespace {

constexpr int ParentWatchIntervalMs = 500;
constexpr quint16 LocalProxyPort = 7001;   // the emulator sends its netplay datagrams here
constexpr quint16 LegacyPunchPort = 6004;  // bound by the last punch stage, so mapped as well
const QString MappingDescription = QStringLiteral("Sarnolix UDP");
constexpr int EmulatorStartTimeoutMs = 5000;
constexpr int EmulatorStopTimeoutMs = 1000; // per step: after terminate, then after kill

constexpr int ExitMissingArguments = 2;
constexpr int ExitEmulatorFailed = 3;
constexpr int ExitPunchingFailed = 4;
constexpr int ExitLaunchFailed = 5;

const QString ParentHwndVariable = QStringLiteral("FBNEO_PARENT_HWND");

} // namespace

NetRuntime::NetRuntime(LaunchOptions launchOptions, QObject *parent)
    : QObject(parent), options(std::move(launchOptions))
{
    parentWatch.setInterval(ParentWatchIntervalMs);
    parentWatch.setSingleShot(false);
    connect(&parentWatch, &QTimer::timeout, this, &NetRuntime::stopIfParentClosed);
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &NetRuntime::handleAboutToQuit);
    connect(&emulatorProcess, &QProcess::finished, this, &NetRuntime::handleEmulatorFinished);
}

NetRuntime::~NetRuntime() = default;

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

    const QMap<QString, QVariant> result =
        proxy.launch(served.quark, LocalProxyPort, served.signalHost, served.signalPort, served.emulatorHost);
    if (result.value(QStringLiteral("status")).toString() == QLatin1String("error")) {
        host::writeEvent(QStringLiteral("failed"), served.quark, result.value(QStringLiteral("message")).toString());
        return {false, ExitLaunchFailed};
    }
    const QString tracePath = result.value(QStringLiteral("tracePath")).toString();
    if (!tracePath.isEmpty())
        host::writeEvent(QStringLiteral("trace"), served.quark, QDir::toNativeSeparators(tracePath));

    // A failure the proxy reported from inside launch() would otherwise be lost: exit()
    // does nothing before the loop runs, and the run would wait for ever.
    if (earlyExitCode >= 0)
        return {false, earlyExitCode};

    connect(&portMapper, &UpnpPortMapper::finished, this,
            [this, quark = served.quark](bool ok, const QString &detail) {
                host::writeEvent(QStringLiteral("upnp"), quark,
                                 (ok ? QStringLiteral("ok ") : QStringLiteral("failed ")) + detail);
            });
    const quint16 peerPort = quint16(result.value(QStringLiteral("peerUdpPort")).toUInt() & 0xFFFFu);
    portMapper.mapUdpPorts({peerPort, LegacyPunchPort}, MappingDescription);

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
    bool ok = false;
    const quint64 handle = host::parseWindowHandle(host::watchedWindowText(options), &ok);
    if (!ok)
        return;
    // Unknown (no window system reachable) must not end the match.
    if (platform::windowState(handle) != platform::WindowState::Gone)
        return;
    parentWatch.stop();
    proxy.stop();
    stopEmulator();
    // After the emulator stop, so that its end handler's exit code is overridden by 0.
    QCoreApplication::quit();
}

void NetRuntime::handlePunchingSucceeded(const QString &signalQuark)
{
    host::writeEvent(QStringLiteral("connected"), signalQuark);
}

void NetRuntime::handlePunchingFailed(const QString &signalQuark)
{
    host::writeEvent(QStringLiteral("failed"), signalQuark, QStringLiteral("udp_failed"));
    endRun(ExitPunchingFailed);
}

void NetRuntime::handleDelayNegotiated(const QString &signalQuark, int delay, int rttMs)
{
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
    parentWatch.stop();
    proxy.stop();
    stopEmulator();
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

void NetRuntime::endRun(int exitCode)
{
    QCoreApplication::exit(exitCode);
    if (!loopRequested && earlyExitCode < 0)
        earlyExitCode = exitCode;
}
