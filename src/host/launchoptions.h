// The four command-line options that a front-end passes for one match.
#pragma once

#include <QString>
#include <QStringList>

struct LaunchOptions
{
    QString emulator;   // path of the emulator executable
    QString command;    // served command, or the single argument for the emulator
    QString parentHwnd; // front-end window handle as text (watched and passed on)
    QString ownerHwnd;  // second handle, watched only when parentHwnd is empty
};

namespace host {

// The word after the first occurrence of `option` (case-sensitive, whole list searched,
// program path included); empty when absent or last. The next word is taken whatever it is.
QString argumentValue(const QStringList &arguments, const QString &option);

// All four options read from the program's argument list.
LaunchOptions launchOptionsFrom(const QStringList &arguments);

// A person's question rather than a match: only `--help` or `--version` as the one word after
// the program path. Any other command line is a match, whatever else it holds, so a front-end
// that passes these words among its options still gets its match (or missing_arguments).
enum class InfoRequest { Match, Help, Version };
InfoRequest infoRequestFrom(const QStringList &arguments);

// The --help text (stdout, exit 0).
QString usageText();

} // namespace host
