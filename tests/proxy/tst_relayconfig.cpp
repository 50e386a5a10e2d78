// The relay configuration: relay.conf lines, the environment over them, the platform path,
// /etc/hosts names, and the choice between the relay and the direct path.
#include "proxy/relayconfig.h"

#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(relayconfig::Mode)
Q_DECLARE_METATYPE(relayconfig::PathChoice)

namespace {

const QByteArray Hosts("# static names\n127.0.0.1 localhost\n::1 ip6-localhost\n"
                       "203.0.113.3   turn.lab relay  # the lab's coturn\n198.51.100.9 other\n");

QProcessEnvironment environment(const QStringList &assignments)
{
    QProcessEnvironment env;
    for (const QString &assignment : assignments) {
        const int equals = assignment.indexOf(QLatin1Char('='));
        env.insert(assignment.left(equals), assignment.mid(equals + 1));
    }
    return env;
}

} // namespace

class TestRelayConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("server"); // empty: no relay
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("alternate");
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<relayconfig::Mode>("mode");
        QTest::addColumn<int>("problems");
        using M = relayconfig::Mode;
        const QByteArray full("server = 203.0.113.3\nuser = kivra\npassword = s3cret\n");
        QTest::newRow("nothing: no relay, no problem") << QByteArray() << QStringList() << QString() << 3478 << 3479
                                                       << QByteArray() << M::Auto << 0;
        QTest::newRow("file: server, user, password; auto, 3478/3479")
            << full << QStringList() << "203.0.113.3" << 3478 << 3479 << QByteArray("kivra") << M::Auto << 0;
        QTest::newRow("file: port, mode, alternate port, comments, blanks")
            << QByteArray("# relay\n\n; old style comment\n  server=203.0.113.3:3490  \nuser = u\npassword = p\n"
                          "mode = Always\nalternate_port = 5000\r\n")
            << QStringList() << "203.0.113.3" << 3490 << 5000 << QByteArray("u") << M::Always << 0;
        QTest::newRow("file: a name from /etc/hosts") << QByteArray("server = TURN.lab:3478\nuser = u\npassword = p\n")
                                                      << QStringList() << "203.0.113.3" << 3478 << 3479
                                                      << QByteArray("u") << M::Auto << 0;
        QTest::newRow("file: a name not in /etc/hosts is never looked up")
            << QByteArray("server = turn.example.net\nuser = u\npassword = p\n") << QStringList() << QString() << 3478
            << 3479 << QByteArray() << M::Auto << 1;
        QTest::newRow("file: IPv6 literal refused") << QByteArray("server = ::1\nuser = u\npassword = p\n")
                                                    << QStringList() << QString() << 3478 << 3479 << QByteArray()
                                                    << M::Auto << 1;
        QTest::newRow("file: port 0 refused") << QByteArray("server = 203.0.113.3:0\nuser = u\npassword = p\n")
                                              << QStringList() << QString() << 3478 << 3479 << QByteArray()
                                              << M::Auto << 1;
        QTest::newRow("file: port above 65535 refused")
            << QByteArray("server = 203.0.113.3:65536\nuser = u\npassword = p\n") << QStringList() << QString()
            << 3478 << 3479 << QByteArray() << M::Auto << 1;
        QTest::newRow("file: unknown mode") << full + "mode = sometimes\n" << QStringList() << QString() << 3478
                                            << 3479 << QByteArray() << M::Auto << 1;
        QTest::newRow("file: unknown key") << full + "lifetime = 20\n" << QStringList() << QString() << 3478 << 3479
                                           << QByteArray() << M::Auto << 1;
        QTest::newRow("file: line without =") << full + "server 1.2.3.4\n" << QStringList() << QString() << 3478
                                              << 3479 << QByteArray() << M::Auto << 1;
        QTest::newRow("file: server without password") << QByteArray("server = 203.0.113.3\nuser = u\n")
                                                       << QStringList() << QString() << 3478 << 3479 << QByteArray()
                                                       << M::Auto << 1;
        QTest::newRow("file: mode never keeps the server (not usable)")
            << full + "mode = never\n" << QStringList() << "203.0.113.3" << 3478 << 3479 << QByteArray("kivra")
            << M::Never << 0;
        QTest::newRow("env alone") << QByteArray()
                                   << QStringList{"KIVRA_RELAY=203.0.113.3:3480", "KIVRA_RELAY_USER=e",
                                                  "KIVRA_RELAY_PASSWORD=p", "KIVRA_RELAY_MODE=always"}
                                   << "203.0.113.3" << 3480 << 3481 << QByteArray("e") << M::Always << 0;
        QTest::newRow("env over file") << full + "mode = always\n"
                                       << QStringList{"KIVRA_RELAY=198.51.100.9", "KIVRA_RELAY_USER=other",
                                                      "KIVRA_RELAY_MODE=never"}
                                       << "198.51.100.9" << 3478 << 3479 << QByteArray("other") << M::Never << 0;
        QTest::newRow("empty env values leave the file's") << full
                                                           << QStringList{"KIVRA_RELAY=", "KIVRA_RELAY_USER=",
                                                                          "KIVRA_RELAY_MODE="}
                                                           << "203.0.113.3" << 3478 << 3479 << QByteArray("kivra")
                                                           << M::Auto << 0;
        QTest::newRow("bad env server: no relay") << full << QStringList{"KIVRA_RELAY=203.0.113"} << QString() << 3478
                                                  << 3479 << QByteArray() << M::Auto << 1;
        QTest::newRow("bad env mode: no relay") << full << QStringList{"KIVRA_RELAY_MODE=on"} << QString() << 3478
                                                << 3479 << QByteArray() << M::Auto << 1;
        QTest::newRow("alternate port below the top port") << QByteArray("server = 203.0.113.3:65535\nuser = u\npassword = p\n")
                                                           << QStringList() << "203.0.113.3" << 65535 << 65534
                                                           << QByteArray("u") << M::Auto << 0;
    }
    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, env);
        QFETCH(QString, server);
        QFETCH(int, port);
        QFETCH(int, alternate);
        QFETCH(QByteArray, user);
        QFETCH(relayconfig::Mode, mode);
        QFETCH(int, problems);
        relayconfig::Loaded loaded = relayconfig::parseRelayConfig(text, QStringLiteral("relay.conf"), Hosts);
        relayconfig::applyEnvironment(loaded, environment(env), Hosts);
        QCOMPARE(loaded.problems.size(), problems);
        QCOMPARE(loaded.config.server.isNull() ? QString() : loaded.config.server.toString(), server);
        QCOMPARE(int(loaded.config.port), port);
        QCOMPARE(int(loaded.config.alternate()), alternate);
        QCOMPARE(loaded.config.user, user);
        QCOMPARE(loaded.config.mode, mode);
        QCOMPARE(loaded.config.usable(), !server.isEmpty() && mode != relayconfig::Mode::Never);
        for (const QString &problem : loaded.problems)
            QVERIFY2(problem.contains(QLatin1String("relay")) || problem.contains(QLatin1String("KIVRA_RELAY")),
                     qPrintable(problem)); // each names where it comes from
    }

    void problemNamesFileAndLine()
    {
        const relayconfig::Loaded loaded =
            relayconfig::parseRelayConfig("user = u\n\nmode = maybe\n", QStringLiteral("/x/relay.conf"), Hosts);
        QCOMPARE(loaded.problems, QStringList{"/x/relay.conf line 3: mode \"maybe\" is not auto, always or never"});
    }

    void configPath_data()
    {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("path");
#ifdef Q_OS_WIN
        QTest::newRow("APPDATA") << QStringList{"APPDATA=C:/Users/p/AppData/Roaming"}
                                 << "C:/Users/p/AppData/Roaming/Sarnolix/relay.conf";
        QTest::newRow("no APPDATA") << QStringList() << QString();
#else
        QTest::newRow("XDG_CONFIG_HOME first") << QStringList{"XDG_CONFIG_HOME=/cfg", "HOME=/home/p"}
                                               << "/cfg/Sarnolix/relay.conf";
        QTest::newRow("HOME/.config otherwise") << QStringList{"XDG_CONFIG_HOME=", "HOME=/home/p"}
                                                << "/home/p/.config/Sarnolix/relay.conf";
        QTest::newRow("neither: no path") << QStringList() << QString();
#endif
    }
    void configPath()
    {
        QFETCH(QStringList, env);
        QFETCH(QString, path);
        QCOMPARE(relayconfig::configPath(environment(env)), path);
    }

    // The whole load: the file in the config directory, then the environment.
    void loadReadsTheFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("Sarnolix")));
        QFile file(dir.path() + QStringLiteral("/Sarnolix/relay.conf"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("server = 203.0.113.3\nuser = kivra\npassword = p\nmode = always\n");
        file.close();
        const relayconfig::Loaded loaded = relayconfig::load(
            environment({QStringLiteral("XDG_CONFIG_HOME=") + dir.path(), QStringLiteral("KIVRA_RELAY_MODE=auto")}));
        QVERIFY2(loaded.problems.isEmpty(), qPrintable(loaded.problems.join(QLatin1Char('\n'))));
        QCOMPARE(loaded.path, file.fileName());
        QCOMPARE(loaded.config.server, QHostAddress(QStringLiteral("203.0.113.3")));
        QCOMPARE(loaded.config.mode, relayconfig::Mode::Auto);
    }

    void choosePath_data()
    {
        using wire::stun::Endpoint;
        QTest::addColumn<relayconfig::Mode>("mode");
        QTest::addColumn<int>("answers"); // 0, 1 (port only) or 2
        QTest::addColumn<bool>("samePort");
        QTest::addColumn<relayconfig::PathChoice>("choice");
        using M = relayconfig::Mode;
        using P = relayconfig::PathChoice;
        QTest::newRow("auto: one mapping for both ports: direct") << M::Auto << 2 << true << P::Direct;
        QTest::newRow("auto: a mapping per destination: relay") << M::Auto << 2 << false << P::Relay;
        QTest::newRow("auto: alternate port silent: direct") << M::Auto << 1 << false << P::Direct;
        QTest::newRow("auto: relay silent: direct") << M::Auto << 0 << false << P::Direct;
        QTest::newRow("always: relay even for one mapping") << M::Always << 2 << true << P::Relay;
        QTest::newRow("always: relay even when silent") << M::Always << 0 << false << P::Relay;
        QTest::newRow("never: direct for a mapping per destination") << M::Never << 2 << false << P::Direct;
    }
    void choosePath()
    {
        QFETCH(relayconfig::Mode, mode);
        QFETCH(int, answers);
        QFETCH(bool, samePort);
        QFETCH(relayconfig::PathChoice, choice);
        const wire::stun::Endpoint first{QHostAddress(QStringLiteral("203.0.113.10")), 40000};
        const wire::stun::Endpoint second{first.address, quint16(samePort ? 40000 : 40001)};
        std::optional<wire::stun::Endpoint> viaPort, viaAlternate;
        if (answers >= 1)
            viaPort = first;
        if (answers >= 2)
            viaAlternate = second;
        QCOMPARE(relayconfig::choosePath(mode, viaPort, viaAlternate), choice);
    }

    // Another address for the second destination is a mapping per destination, too.
    void choosePathOtherAddress()
    {
        const wire::stun::Endpoint first{QHostAddress(QStringLiteral("203.0.113.10")), 40000};
        const wire::stun::Endpoint second{QHostAddress(QStringLiteral("203.0.113.11")), 40000};
        QCOMPARE(relayconfig::choosePath(relayconfig::Mode::Auto, first, second), relayconfig::PathChoice::Relay);
    }
};

QTEST_GUILESS_MAIN(TestRelayConfig)
#include "tst_relayconfig.moc"
