// kivra-rendezvous: pairs the two proxies of a match and tells each the other's endpoint.
#include "rendezvousserver.h"
#include "wire/ports.h"

#include "kivraversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr quint16 DefaultPort = wire::ports::DefaultSignalPort;
constexpr int ExitUsage = 2;
constexpr int ExitBindFailed = 1;
// More ports than a check needs only costs sockets (count).
constexpr int MaxPorts = 16;

int signalPipe[2] = {-1, -1};

void handleTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

bool readNumber(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high, qint64 *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 number = parser.value(name).toLongLong(&ok, 10);
    if (!ok || number < low || number > high) {
        std::fprintf(stderr, "kivra-rendezvous: --%s must be a number from %lld to %lld\n",
                     qPrintable(name), static_cast<long long>(low), static_cast<long long>(high));
        return false;
    }
    *value = number;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivra-rendezvous"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kivra::Version));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Rendezvous server for kivra-netproxy matches"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("bind"), QStringLiteral("Address to listen on (default 0.0.0.0)."),
                      QStringLiteral("ADDR"), QStringLiteral("0.0.0.0")});
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("UDP port, 0 for any free one (default 7001). Given more than once, the "
                                     "server listens on every port, with one table of matches."),
                      QStringLiteral("PORT")});
    parser.addOption({QStringLiteral("idle-timeout-ms"),
                      QStringLiteral("Forget a match after this long without a datagram (default 60000)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("max-matches"),
                      QStringLiteral("Most matches held at once; new ones are refused (default 1024)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("announce-repeats"),
                      QStringLiteral("Most \"peer\" datagrams per announcement (default 60)."), QStringLiteral("N")});
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "kivra-rendezvous: %s\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "kivra-rendezvous: unexpected argument %s\n%s",
                     qPrintable(parser.positionalArguments().constFirst()), qPrintable(parser.helpText()));
        return ExitUsage;
    }

    const QHostAddress bindAddress(parser.value(QStringLiteral("bind")));
    if (bindAddress.isNull()) {
        std::fprintf(stderr, "kivra-rendezvous: --bind needs an address literal\n");
        return ExitUsage;
    }
    QList<quint16> ports;
    for (const QString &text : parser.values(QStringLiteral("port"))) {
        bool ok = false;
        const qint64 number = text.toLongLong(&ok, 10);
        if (!ok || number < 0 || number > 65535) {
            std::fprintf(stderr, "kivra-rendezvous: --port must be a number from 0 to 65535\n");
            return ExitUsage;
        }
        ports.append(quint16(number));
    }
    if (ports.isEmpty())
        ports.append(DefaultPort);
    if (ports.size() > MaxPorts) {
        std::fprintf(stderr, "kivra-rendezvous: at most %d ports\n", MaxPorts);
        return ExitUsage;
    }
    rendezvous::TableLimits limits;
    qint64 idle = limits.idleTimeoutMs;
    qint64 maxMatches = limits.maxMatches;
    qint64 repeats = limits.announceRepeats;
    if (!readNumber(parser, QStringLiteral("idle-timeout-ms"), 1, 86400000, &idle)
        || !readNumber(parser, QStringLiteral("max-matches"), 1, 1000000, &maxMatches)
        || !readNumber(parser, QStringLiteral("announce-repeats"), 1, 100000, &repeats))
        return ExitUsage;
    limits.idleTimeoutMs = idle;
    limits.maxMatches = int(maxMatches);
    limits.announceRepeats = int(repeats);

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("kivra-rendezvous: pipe");
        return ExitBindFailed;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        std::fputs("stopping\n", stderr);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = handleTerminationSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    rendezvous::RendezvousServer server(limits);
    QString error;
    if (!server.listen(bindAddress, ports, &error)) {
        QStringList asked;
        for (const quint16 port : std::as_const(ports))
            asked.append(QString::number(port));
        std::fprintf(stderr, "bind_failed %s %s %s\n", qPrintable(bindAddress.toString()),
                     qPrintable(asked.join(QLatin1Char(' '))), qPrintable(error));
        return ExitBindFailed;
    }
    QStringList bound;
    for (const quint16 port : server.localPorts())
        bound.append(QString::number(port));
    const QString portsText = bound.join(QLatin1Char(' '));
    std::printf("listening %s %s\n", qPrintable(server.localAddress().toString()), qPrintable(portsText));
    std::fflush(stdout);
    std::fprintf(stderr, "listening %s %s max_matches=%d idle_timeout_ms=%lld\n",
                 qPrintable(server.localAddress().toString()), qPrintable(portsText), limits.maxMatches,
                 static_cast<long long>(limits.idleTimeoutMs));
    const int code = QCoreApplication::exec();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    return code;
}
