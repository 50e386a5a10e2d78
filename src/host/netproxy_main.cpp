// kivra-netproxy: the network side of one online match, started by the game front-end.
#include "host/launchoptions.h"
#include "host/netruntime.h"
#include "platform/platform.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    platform::tuneProcess();
    QCoreApplication app(argc, argv);
    NetRuntime runtime(host::launchOptionsFrom(QCoreApplication::arguments()));
    const NetRuntime::StartOutcome outcome = runtime.start();
    if (!outcome.runLoop)
        return outcome.exitCode;
    return QCoreApplication::exec();
}
