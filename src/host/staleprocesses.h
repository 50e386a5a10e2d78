// Ends leftover emulators and other instances of this program before a served match.
#pragma once

#include <QString>

namespace host {

// Canonical path when the file exists, else the absolute path; cleaned and lower-cased.
QString normalizedPath(const QString &path);

// Terminates every other process started from `emulatorPath` or `ownPath`; returns how many.
int terminateStaleProcesses(const QString &emulatorPath, const QString &ownPath);

} // namespace host
