// Recognisers for the relay's control datagrams between the two proxies. No sockets.
#pragma once

#include <QtGlobal>

namespace wire::relay {

// The keepalive between two proxies during gameplay; never delivered to the emulator.
inline constexpr char KeepaliveMessage[] = "ping";

// Exactly the 4 bytes "ping" (never "ping" followed by anything).
bool isKeepalive(const char *data, qint64 size);

// What the start-up screen drops before the first real game datagram: "ping", "PUNCH",
// or anything containing " _" or " ok" (punch traffic of older peers).
bool isStartupControl(const char *data, qint64 size);

} // namespace wire::relay
