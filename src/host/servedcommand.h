// The served command: the front-end's description of an online match, and the two values
// derived from it once the proxies have settled the input delay.
#pragma once

#include "wire/ports.h"

#include <QString>

struct ServedCommand
{
    bool valid = false;           // prefix present and at least 7 fields: served mode
    QString emulatorValue1;       // field 0, passed through to the emulator
    QString quark;                // field 1, the match key
    QString emulatorValue3;       // field 2, passed through to the emulator
    QString delayOverride;        // field 3, unparsed until the delay is negotiated
    QString signalHost;           // field 4, rendezvous server address literal
    quint16 signalPort = wire::ports::DefaultSignalPort; // field 5 when it is a port number
    QString emulatorHost = QStringLiteral("127.0.0.1"); // field 6 when non-empty
    bool nativeWindow = false;    // field 7 is "native-window"
    bool nativeFullscreen = false; // field 7 is "native-fullscreen"
};

bool operator==(const ServedCommand &a, const ServedCommand &b);
inline bool operator!=(const ServedCommand &a, const ServedCommand &b) { return !(a == b); }

namespace host {

// Served mode when `text` starts with "kivra-net:served," (any case) followed by at least
// seven comma-separated fields; otherwise the default (valid false: direct mode).
ServedCommand parseServedCommand(const QString &text);

// The input delay the emulator gets: a non-negative override capped at 5, else the
// negotiated delay but at least 1.
int effectiveDelay(const ServedCommand &served, int negotiatedDelay);

// "quark:served,<value1>,<quark>,<value3>,<delay>,1", substituted in one pass.
QString emulatorServedArgument(const ServedCommand &served, int effectiveDelay);

} // namespace host
