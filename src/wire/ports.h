// The fixed UDP ports of a match, shared by the proxy, the runtime, the rendezvous server and
// the trace tool.
#pragma once

#include <QtGlobal>

namespace wire::ports {

// Where the emulator sends its netplay datagrams on 127.0.0.1; also the rendezvous server's
// default port (two independent settings that happen to share the number).
inline constexpr quint16 LocalProxyPort = 7001;
inline constexpr quint16 DefaultSignalPort = 7001;
// The peer-facing port both proxies prefer, so a port-preserving NAT keeps it.
inline constexpr quint16 DefaultPeerPort = 6006;
// Local and remote port both sides fall back to in the last punch stage; mapped over UPnP too.
inline constexpr quint16 LastResortPort = 6004;
// The emulator's usual netplay port, assumed when it never spoke.
inline constexpr quint16 AssumedEmulatorPort = 6000;

} // namespace wire::ports
