#include "host/windowhandle.h"

namespace host {

QString watchedWindowText(const LaunchOptions &options)
{
    return options.parentHwnd.isEmpty() ? options.ownerHwnd : options.parentHwnd;
}

quint64 parseWindowHandle(const QString &text, bool *ok)
{
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        return text.mid(2).toULongLong(ok, 16);
    return text.toULongLong(ok, 0);
}

} // namespace host
