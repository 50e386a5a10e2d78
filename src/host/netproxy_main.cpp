// kivra-netproxy: the network side of one online match, started by the game front-end.
#include "host/launchoptions.h"
#include "host/netruntime.h"
#include "platform/platform.h"

#include "kivraversion.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // First, before Qt starts any thread: a front-end that closed its end of our output must
    // not end the match with the first event line (or Qt warning) we write.
    platform::ignoreBrokenPipes();
    platform::tuneProcess();
    QCoreApplication app(argc, argv);
    switch (host::infoRequestFrom(QCoreApplication::arguments())) {
    case host::InfoRequest::Help:
        std::fputs(qPrintable(host::usageText()), stdout);
        return 0;
    case host::InfoRequest::Version:
        std::printf("kivra-netproxy %s\n", kivra::Version);
        return 0;
    case host::InfoRequest::Match:
        break;
    }
    NetRuntime runtime(host::launchOptionsFrom(QCoreApplication::arguments()));
    const NetRuntime::StartOutcome outcome = runtime.start();
    if (!outcome.runLoop)
        return outcome.exitCode;
    return QCoreApplication::exec();
}
