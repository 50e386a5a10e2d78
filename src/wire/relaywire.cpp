#include "wire/relaywire.h"

#include <QByteArrayView>

namespace wire::relay {
namespace {

constexpr char LegacyPunchMessage[] = "PUNCH";
constexpr char UnknownTokenMark[] = " _";
constexpr char AckMark[] = " ok";

} // namespace

bool isKeepalive(const char *data, qint64 size)
{
    return QByteArrayView(data, size) == QByteArrayView(KeepaliveMessage);
}

bool isStartupControl(const char *data, qint64 size)
{
    const QByteArrayView view(data, size);
    return view == QByteArrayView(KeepaliveMessage) || view == QByteArrayView(LegacyPunchMessage)
           || view.contains(QByteArrayView(UnknownTokenMark)) || view.contains(QByteArrayView(AckMark));
}

} // namespace wire::relay
