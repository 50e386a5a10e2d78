// The front-end window handle as it comes on the command line.
#pragma once

#include "host/launchoptions.h"

#include <QString>

namespace host {

// The handle text that is watched: parentHwnd, or ownerHwnd when parentHwnd is empty.
QString watchedWindowText(const LaunchOptions &options);

// "0x"/"0X" followed by hexadecimal digits, else Qt's automatic base (leading 0: octal).
// Sets *ok to false for anything that is not an unsigned 64-bit number.
quint64 parseWindowHandle(const QString &text, bool *ok);

} // namespace host
