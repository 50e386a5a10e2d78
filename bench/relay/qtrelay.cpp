// The proxy's relay under test, in a process of its own so that its CPU time can be read:
// launches one UdpProxyManager toward the benchmark's fake rendezvous server and then only
// runs the event loop. Prints "started <peer port> <trace path>", later "connected" and
// "delay <frames> <rtt ms>" as the handshake goes. With KIVRA_RELAY* set (and only then: no
// relay.conf is read, so a developer's own never changes the figures) it goes through that
// TURN relay, as the benchmark's "qt-relayed".
// Usage: bench-relay-qt --signal-port PORT [--quark Q] [--seconds S]
#include "proxy/relayconfig.h"
#include "proxy/udpproxymanager.h"

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTimer>

#include <cstdio>

namespace {

constexpr quint16 EmulatorFacingPort = 7001; // what the emulator sends to
constexpr int DefaultLifetimeS = 1800;       // s: a forgotten relay ends by itself

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString argumentValue(const QStringList &args, const QString &name, const QString &fallback)
{
    const int at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const quint16 signalPort = quint16(argumentValue(args, QStringLiteral("--signal-port"), QStringLiteral("0")).toUInt());
    const QString quark = argumentValue(args, QStringLiteral("--quark"), QStringLiteral("bench-4321.1"));
    const int lifetimeS = argumentValue(args, QStringLiteral("--seconds"), QString::number(DefaultLifetimeS)).toInt();
    if (signalPort == 0) {
        std::fprintf(stderr, "usage: bench-relay-qt --signal-port PORT [--quark Q] [--seconds S]\n");
        return 2;
    }

    UdpProxyManager proxy;
    relayconfig::Loaded relay;
    relayconfig::applyEnvironment(relay, QProcessEnvironment::systemEnvironment(), QByteArray());
    for (const QString &problem : relay.problems)
        std::fprintf(stderr, "bench-relay-qt: %s\n", qPrintable(problem));
    proxy.setRelayConfig(relay.config);
    QObject::connect(&proxy, &UdpProxyManager::punchingSucceeded, &app, [](const QString &) { say("connected"); });
    QObject::connect(&proxy, &UdpProxyManager::punchingFailed, &app, [&app](const QString &) {
        say("failed");
        app.exit(4);
    });
    QObject::connect(&proxy, &UdpProxyManager::delayNegotiated, &app, [](const QString &, int delay, int rttMs) {
        say("delay " + QByteArray::number(delay) + ' ' + QByteArray::number(rttMs));
    });

    const QMap<QString, QVariant> result =
        proxy.launch(quark, EmulatorFacingPort, QStringLiteral("127.0.0.1"), signalPort, QStringLiteral("127.0.0.1"));
    if (result.value(QStringLiteral("status")).toString() != QLatin1String("started")) {
        say("error " + result.value(QStringLiteral("message")).toString().toUtf8());
        return 5;
    }
    const QString tracePath = result.value(QStringLiteral("tracePath")).toString();
    say("started " + QByteArray::number(result.value(QStringLiteral("peerUdpPort")).toInt()) + ' '
        + (tracePath.isEmpty() ? QByteArray("-") : tracePath.toUtf8()));

    QTimer::singleShot(lifetimeS * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
