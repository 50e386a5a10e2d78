#include "host/servedcommand.h"

#include <QStringList>

namespace {

const QString ServedPrefix = QStringLiteral("kivra-net:served,");
constexpr int RequiredFields = 7;     // fields 0..6 must be present; field 7 is optional
constexpr int MaxOverrideDelay = 5;   // frames; larger overrides would make play unusable
constexpr int MinNegotiatedDelay = 1; // frames; the emulator needs at least one
const QString NativeWindowMode = QStringLiteral("native-window");
const QString NativeFullscreenMode = QStringLiteral("native-fullscreen");

// Case-insensitive in ASCII only: Unicode case folding would let look-alike letters (the
// long s, the Kelvin sign) switch a text into served mode, which ends other processes.
bool hasServedPrefix(const QString &text)
{
    if (text.size() < ServedPrefix.size())
        return false;
    for (qsizetype i = 0; i < ServedPrefix.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const char16_t folded = (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c;
        if (folded != ServedPrefix.at(i).unicode())
            return false;
    }
    return true;
}

} // namespace

bool operator==(const ServedCommand &a, const ServedCommand &b)
{
    return a.valid == b.valid && a.emulatorValue1 == b.emulatorValue1 && a.quark == b.quark
           && a.emulatorValue3 == b.emulatorValue3 && a.delayOverride == b.delayOverride
           && a.signalHost == b.signalHost && a.signalPort == b.signalPort && a.emulatorHost == b.emulatorHost
           && a.nativeWindow == b.nativeWindow && a.nativeFullscreen == b.nativeFullscreen;
}

namespace host {

ServedCommand parseServedCommand(const QString &text)
{
    ServedCommand served;
    if (!hasServedPrefix(text))
        return served;
    const QStringList fields = text.mid(ServedPrefix.size()).split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (fields.size() < RequiredFields)
        return served;

    served.valid = true;
    served.emulatorValue1 = fields.at(0);
    served.quark = fields.at(1);
    served.emulatorValue3 = fields.at(2);
    served.delayOverride = fields.at(3);
    served.signalHost = fields.at(4);
    bool portOk = false;
    const int port = fields.at(5).toInt(&portOk, 10);
    if (portOk && port >= 1 && port <= 65535)
        served.signalPort = quint16(port);
    if (!fields.at(6).isEmpty())
        served.emulatorHost = fields.at(6);
    if (fields.size() > RequiredFields) {
        const QString &mode = fields.at(RequiredFields);
        served.nativeWindow = mode.compare(NativeWindowMode, Qt::CaseInsensitive) == 0;
        served.nativeFullscreen = mode.compare(NativeFullscreenMode, Qt::CaseInsensitive) == 0;
    }
    return served;
}

int effectiveDelay(const ServedCommand &served, int negotiatedDelay)
{
    bool ok = false;
    const int overrideDelay = served.delayOverride.toInt(&ok, 10);
    if (ok && overrideDelay >= 0)
        return qMin(overrideDelay, MaxOverrideDelay);
    return qMax(negotiatedDelay, MinNegotiatedDelay);
}

QString emulatorServedArgument(const ServedCommand &served, int effectiveDelay)
{
    return QStringLiteral("quark:served,%1,%2,%3,%4,1")
        .arg(served.emulatorValue1, served.quark, served.emulatorValue3, QString::number(effectiveDelay));
}

} // namespace host
