// kivra-netcheck: what kind of NAT is this computer behind, and whom can it play? Asks a
// kivra rendezvous server (and, read-only, the router over UPnP) and says it in plain words.
#include "netcheck.h"
#include "netchecker.h"

#include "kivraversion.h"

#include <QCoreApplication>

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

    NetChecker checker(parsed.options);
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
