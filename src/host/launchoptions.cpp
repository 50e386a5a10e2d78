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

} // namespace host
