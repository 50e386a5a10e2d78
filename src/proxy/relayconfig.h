// Where a player's TURN relay comes from: <config dir>/Sarnolix/relay.conf ("key = value"
// lines), overridden by KIVRA_RELAY, KIVRA_RELAY_USER, KIVRA_RELAY_PASSWORD, KIVRA_RELAY_MODE.
// The parse is pure; load() adds the platform's directory, the file and /etc/hosts. No name
// is ever resolved over the network: a server is an IPv4 literal or a name from /etc/hosts.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "wire/stunwire.h"

#include <optional>

namespace relayconfig {

enum class Mode
{
    Auto,   // relay only when the NAT maps per destination (the direct path cannot work)
    Always, // relay every match
    Never,  // the relay is configured but not used
};

// The standard STUN/TURN port, and the distance of coturn's alternate port from it.
inline constexpr quint16 DefaultPort = 3478;

struct RelayConfig
{
    QHostAddress server;       // null: no relay
    quint16 port = DefaultPort;
    quint16 alternatePort = 0; // 0: port + 1, coturn's default
    QByteArray user;
    QByteArray password;
    Mode mode = Mode::Auto;

    // A server is set and the mode lets it be used.
    bool usable() const { return !server.isNull() && mode != Mode::Never; }
    quint16 alternate() const;
};

struct Loaded
{
    RelayConfig config;   // no server when there are problems
    QStringList problems; // one readable line each; the caller shows them
    QString path;         // the file read (or that would be read); may be empty
};

// "server = 203.0.113.3[:3478]", "user = ...", "password = ...", "mode = auto|always|never",
// "alternate_port = 3479"; blank lines and lines starting with '#' or ';' are skipped.
// `origin` names the file in problems; `hosts` is the text of /etc/hosts.
Loaded parseRelayConfig(const QByteArray &text, const QString &origin, const QByteArray &hosts);

// Environment variables set and non-empty replace the file's values. Checks the result too:
// a server without user and password is a problem.
void applyEnvironment(Loaded &loaded, const QProcessEnvironment &environment, const QByteArray &hosts);

// IPv4 literal or /etc/hosts name, then an optional ":port" (1..65535).
bool parseServer(const QString &text, const QByteArray &hosts, QHostAddress *address, quint16 *port);

// The first IPv4 address /etc/hosts gives the name (case-insensitive); null when none.
QHostAddress hostsLookup(const QByteArray &hosts, const QString &name);

// <config dir>/Sarnolix/relay.conf: XDG_CONFIG_HOME, else HOME/.config (Windows: APPDATA).
// Empty when no directory is known.
QString configPath(const QProcessEnvironment &environment);

// The file (when it exists), then the environment, then the checks.
Loaded load(const QProcessEnvironment &environment);

QString modeName(Mode mode);

enum class PathChoice
{
    Direct, // the direct path, as without a relay
    Relay,  // through the allocation
};

// The choice for one match from the mode and the mapped endpoints the server's two ports saw
// (nullopt: no answer in time). Only a mapping that differs per destination means relaying in
// auto mode: anything else may work directly, and a detour costs every datagram a hop.
PathChoice choosePath(Mode mode, const std::optional<wire::stun::Endpoint> &viaPort,
                      const std::optional<wire::stun::Endpoint> &viaAlternate);

} // namespace relayconfig
