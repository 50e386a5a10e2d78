#include "proxy/relayconfig.h"

#include <QFile>
#include <QList>

namespace relayconfig {
namespace {

constexpr qint64 MaxConfigBytes = 64 * 1024; // bytes: a relay.conf is a few lines; more is not one
constexpr qint64 MaxHostsBytes = 1024 * 1024; // bytes of /etc/hosts read at most
const QString ConfigSubPath = QStringLiteral("/Sarnolix/relay.conf");
#ifndef Q_OS_WIN
const QString HostsPath = QStringLiteral("/etc/hosts");
#endif

bool parseMode(const QString &text, Mode *mode)
{
    const QString word = text.trimmed().toLower();
    if (word == QLatin1String("auto"))
        *mode = Mode::Auto;
    else if (word == QLatin1String("always"))
        *mode = Mode::Always;
    else if (word == QLatin1String("never"))
        *mode = Mode::Never;
    else
        return false;
    return true;
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok, 10);
    if (!ok || value == 0 || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

QByteArray readBounded(const QString &path, qint64 limit, bool *tooLarge)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray text = file.read(limit + 1);
    if (tooLarge)
        *tooLarge = text.size() > limit;
    return text.left(int(limit));
}

} // namespace

quint16 RelayConfig::alternate() const
{
    if (alternatePort != 0)
        return alternatePort;
    return port == 65535 ? quint16(port - 1) : quint16(port + 1);
}

QHostAddress hostsLookup(const QByteArray &hosts, const QString &name)
{
    const QByteArray wanted = name.toLatin1().toLower();
    if (wanted.isEmpty())
        return QHostAddress();
    for (QByteArray line : hosts.split('\n')) {
        const int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        const QHostAddress address(QString::fromLatin1(fields.first()));
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        for (int i = 1; i < fields.size(); ++i) {
            if (fields.at(i).toLower() == wanted)
                return address;
        }
    }
    return QHostAddress();
}

bool parseServer(const QString &text, const QByteArray &hosts, QHostAddress *address, quint16 *port)
{
    QString host = text.trimmed();
    quint16 parsedPort = DefaultPort;
    const int colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        if (!parsePort(host.mid(colon + 1), &parsedPort))
            return false;
        host.truncate(colon);
    }
    if (host.isEmpty())
        return false;
    // Only the dotted quad: Qt also takes "203.0.113" (as 203.0.0.113), which is a typo here.
    QHostAddress parsed;
    const bool dottedQuad = host.count(QLatin1Char('.')) == 3;
    if (!parsed.setAddress(host) || !dottedQuad)
        parsed = hostsLookup(hosts, host);
    if (parsed.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    *address = parsed;
    *port = parsedPort;
    return true;
}

Loaded parseRelayConfig(const QByteArray &text, const QString &origin, const QByteArray &hosts)
{
    Loaded loaded;
    loaded.path = origin;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i)).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        const QString where = QStringLiteral("%1 line %2").arg(origin).arg(i + 1);
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            loaded.problems << QStringLiteral("%1: expected \"key = value\"").arg(where);
            continue;
        }
        const QString key = line.left(equals).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("server")) {
            if (!parseServer(value, hosts, &loaded.config.server, &loaded.config.port))
                loaded.problems << QStringLiteral("%1: server \"%2\" is not an IPv4 address[:port] or a name in /etc/hosts")
                                       .arg(where, value);
        } else if (key == QLatin1String("user")) {
            loaded.config.user = value.toUtf8();
        } else if (key == QLatin1String("password")) {
            loaded.config.password = value.toUtf8();
        } else if (key == QLatin1String("mode")) {
            if (!parseMode(value, &loaded.config.mode))
                loaded.problems << QStringLiteral("%1: mode \"%2\" is not auto, always or never").arg(where, value);
        } else if (key == QLatin1String("alternate_port")) {
            if (!parsePort(value, &loaded.config.alternatePort))
                loaded.problems << QStringLiteral("%1: alternate_port \"%2\" is not a port").arg(where, value);
        } else {
            loaded.problems << QStringLiteral("%1: unknown key \"%2\"").arg(where, key);
        }
    }
    return loaded;
}

void applyEnvironment(Loaded &loaded, const QProcessEnvironment &environment, const QByteArray &hosts)
{
    const QString server = environment.value(QStringLiteral("KIVRA_RELAY"));
    if (!server.isEmpty() && !parseServer(server, hosts, &loaded.config.server, &loaded.config.port))
        loaded.problems << QStringLiteral("KIVRA_RELAY \"%1\" is not an IPv4 address[:port] or a name in /etc/hosts")
                               .arg(server);
    const QString user = environment.value(QStringLiteral("KIVRA_RELAY_USER"));
    if (!user.isEmpty())
        loaded.config.user = user.toUtf8();
    const QString password = environment.value(QStringLiteral("KIVRA_RELAY_PASSWORD"));
    if (!password.isEmpty())
        loaded.config.password = password.toUtf8();
    const QString mode = environment.value(QStringLiteral("KIVRA_RELAY_MODE"));
    if (!mode.isEmpty() && !parseMode(mode, &loaded.config.mode))
        loaded.problems << QStringLiteral("KIVRA_RELAY_MODE \"%1\" is not auto, always or never").arg(mode);
    if (!loaded.config.server.isNull() && (loaded.config.user.isEmpty() || loaded.config.password.isEmpty()))
        loaded.problems << QStringLiteral("relay %1:%2 has no user or no password")
                               .arg(loaded.config.server.toString())
                               .arg(loaded.config.port);
    if (!loaded.problems.isEmpty())
        loaded.config = RelayConfig();
}

QString configPath(const QProcessEnvironment &environment)
{
#ifdef Q_OS_WIN
    const QString base = environment.value(QStringLiteral("APPDATA"));
#else
    QString base = environment.value(QStringLiteral("XDG_CONFIG_HOME"));
    if (base.isEmpty()) {
        const QString home = environment.value(QStringLiteral("HOME"));
        if (!home.isEmpty())
            base = home + QStringLiteral("/.config");
    }
#endif
    return base.isEmpty() ? QString() : base + ConfigSubPath;
}

Loaded load(const QProcessEnvironment &environment)
{
    const QString path = configPath(environment);
#ifdef Q_OS_WIN
    const QString systemRoot = environment.value(QStringLiteral("SystemRoot"), QStringLiteral("C:/Windows"));
    const QByteArray hosts =
        readBounded(systemRoot + QStringLiteral("/System32/drivers/etc/hosts"), MaxHostsBytes, nullptr);
#else
    const QByteArray hosts = readBounded(HostsPath, MaxHostsBytes, nullptr);
#endif
    Loaded loaded;
    loaded.path = path;
    if (!path.isEmpty() && QFile::exists(path)) {
        bool tooLarge = false;
        const QByteArray text = readBounded(path, MaxConfigBytes, &tooLarge);
        loaded = parseRelayConfig(text, path, hosts);
        if (tooLarge)
            loaded.problems << QStringLiteral("%1: larger than %2 bytes").arg(path).arg(MaxConfigBytes);
    }
    applyEnvironment(loaded, environment, hosts);
    return loaded;
}

QString modeName(Mode mode)
{
    switch (mode) {
    case Mode::Auto:
        return QStringLiteral("auto");
    case Mode::Always:
        return QStringLiteral("always");
    case Mode::Never:
        return QStringLiteral("never");
    }
    return QString();
}

PathChoice choosePath(Mode mode, const std::optional<wire::stun::Endpoint> &viaPort,
                      const std::optional<wire::stun::Endpoint> &viaAlternate)
{
    switch (mode) {
    case Mode::Always:
        return PathChoice::Relay;
    case Mode::Never:
        return PathChoice::Direct;
    case Mode::Auto:
        break;
    }
    if (!viaPort || !viaAlternate)
        return PathChoice::Direct;
    return *viaPort == *viaAlternate ? PathChoice::Direct : PathChoice::Relay;
}

} // namespace relayconfig
