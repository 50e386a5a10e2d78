#include "host/launchoptions.h"

namespace host {

QString argumentValue(const QStringList &arguments, const QString &option)
{
    const qsizetype index = arguments.indexOf(option);
    if (index < 0 || index + 1 >= arguments.size())
        return {};
    return arguments.at(index + 1);
}

LaunchOptions launchOptionsFrom(const QStringList &arguments)
{
    LaunchOptions options;
    options.emulator = argumentValue(arguments, QStringLiteral("--emulator"));
    options.command = argumentValue(arguments, QStringLiteral("--command"));
    options.parentHwnd = argumentValue(arguments, QStringLiteral("--parent-hwnd"));
    options.ownerHwnd = argumentValue(arguments, QStringLiteral("--owner-hwnd"));
    return options;
}

InfoRequest infoRequestFrom(const QStringList &arguments)
{
    if (arguments.size() != 2)
        return InfoRequest::Match;
    if (arguments.at(1) == QLatin1String("--help"))
        return InfoRequest::Help;
    if (arguments.at(1) == QLatin1String("--version"))
        return InfoRequest::Version;
    return InfoRequest::Match;
}

QString usageText()
{
    return QStringLiteral(
        "usage: kivra-netproxy --emulator PATH --command TEXT [--parent-hwnd HANDLE] [--owner-hwnd HANDLE]\n"
        "       kivra-netproxy --help | --version\n"
        "Runs the network side of one online match for a game front-end, which starts it once per\n"
        "match and reads its one-line events on stdout and its exit code.\n"
        "  --emulator PATH       the emulator executable (required)\n"
        "  --command TEXT        a served command (kivra-net:served,...) for an online match, or the\n"
        "                        one argument handed to the emulator (direct mode); required\n"
        "  --parent-hwnd HANDLE  the front-end's window: when it is gone, the match ends with 0\n"
        "  --owner-hwnd HANDLE   watched only when --parent-hwnd is absent\n"
        "Each option takes the word after its first occurrence; other words are ignored.\n"
        "Exit 2 with \"failed missing_arguments\" when --emulator or --command is missing.\n"
        "See kivra-netproxy(1).\n");
}

} // namespace host
