// kivra-netcheck: what kind of NAT is this computer behind, and whom can it play? Asks a
// kivra rendezvous server (and, read-only, the router over UPnP; and the player's TURN relay,
// with one allocation it releases at once) and says it in plain words.
#include "netcheck.h"
#include "netchecker.h"

#include "kivraversion.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <cstdio>

namespace {

constexpr int ExitChecked = 0;
constexpr int ExitNoServer = 1;
constexpr int ExitUsage = 2;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivra-netcheck"));
    if (QCoreApplication::arguments().mid(1).contains(QLatin1String("--version"))) {
        std::printf("kivra-netcheck %s\n", kivra::Version);
        return ExitChecked;
    }
    const netcheck::ParsedArguments parsed = netcheck::parseArguments(QCoreApplication::arguments().mid(1));
    if (!parsed.ok) {
        std::fprintf(stderr, "kivra-netcheck: %s\n%s", qPrintable(parsed.error), qPrintable(netcheck::usageText()));
        return ExitUsage;
    }
    if (parsed.help) {
        std::fputs(qPrintable(netcheck::usageText()), stdout);
        return ExitChecked;
    }

    // The proxy's own relay configuration, read the same way; its problems go to stderr as the
    // proxy says them, and the check goes on without a relay.
    const relayconfig::Loaded relay = relayconfig::load(QProcessEnvironment::systemEnvironment());
    for (const QString &problem : relay.problems)
        std::fprintf(stderr, "kivra-netcheck: %s; no relay\n", qPrintable(problem));
    std::fflush(stderr);

    NetChecker checker(parsed.options, relay);
    QObject::connect(&checker, &NetChecker::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    checker.start();
    QCoreApplication::exec();

    const netcheck::Findings &findings = checker.findings();
    const netcheck::Assessment assessment = netcheck::assess(findings);
    if (parsed.options.json)
        std::printf("%s\n", netcheck::jsonReport(findings, assessment).constData());
    else
        std::fputs(qPrintable(netcheck::textReport(findings, assessment)), stdout);
    std::fflush(stdout);
    if (!assessment.serverAnswered) {
        std::fprintf(stderr, "kivra-netcheck: no answer from the rendezvous server %s\n",
                     qPrintable(netcheck::hostPortText(parsed.options.server)));
        return ExitNoServer;
    }
    return ExitChecked;
}
