// The floor of any relay built on Qt's event loop: the epoll relay's work (minimalrelay.h:
// same sockets, same forwarding, plain recvfrom/sendto) but woken by QSocketNotifier through
// QCoreApplication's event dispatcher. What it costs above the epoll relay is what the event
// loop costs, which no relay code running in that loop can win back.
// Usage: bench-relay-qtfloor --peer ADDRESS PORT [--seconds S]
#include "minimalrelay.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace {

minimalrelay::Relay relay; // static: its buffer holds any datagram

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (const int code = relay.open("bench-relay-qtfloor", argc, argv))
        return code;
    QSocketNotifier localNotifier(relay.local, QSocketNotifier::Read);
    QSocketNotifier remoteNotifier(relay.remote, QSocketNotifier::Read);
    QObject::connect(&localNotifier, &QSocketNotifier::activated, &app, [] { relay.drain(relay.local); });
    QObject::connect(&remoteNotifier, &QSocketNotifier::activated, &app, [] { relay.drain(relay.remote); });
    relay.sayStarted();

    QTimer::singleShot(relay.lifetimeS * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
