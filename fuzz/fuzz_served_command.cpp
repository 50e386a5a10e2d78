// The served command comes from the front-end's command line: any text must parse without
// fault, and the values derived from it must keep their documented ranges and forms.
#include "fuzzcheck.h"
#include "host/servedcommand.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

const QString Prefix = QStringLiteral("kivra-net:served,");
constexpr int RequiredFields = 7;
constexpr int MaxOverrideDelay = 5; // frames

bool isAsciiPrefix(const QString &text)
{
    if (text.size() < Prefix.size())
        return false;
    for (qsizetype i = 0; i < Prefix.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const char16_t lower = c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
        if (lower != Prefix.at(i).unicode())
            return false;
    }
    return true;
}

void checkParse(const QString &text)
{
    const ServedCommand served = host::parseServedCommand(text);
    if (!served.valid) {
        FUZZ_CHECK(served == ServedCommand{}, "an invalid parse equals the default");
        return;
    }
    FUZZ_CHECK(text.startsWith(Prefix, Qt::CaseInsensitive), "served mode needs the prefix");
    // Qt's caseless compare folds Unicode: the long s and the Kelvin sign would pass for 's'
    // and 'k', so the prefix must be matched as ASCII.
    FUZZ_CHECK(isAsciiPrefix(text), "served mode needs the ASCII prefix in any case");
    const QStringList fields = text.mid(Prefix.size()).split(QLatin1Char(','), Qt::KeepEmptyParts);
    FUZZ_CHECK(fields.size() >= RequiredFields, "served mode needs seven fields");
    FUZZ_CHECK(served.emulatorValue1 == fields.at(0), "field 0 unchanged");
    FUZZ_CHECK(served.quark == fields.at(1), "field 1 unchanged");
    FUZZ_CHECK(served.emulatorValue3 == fields.at(2), "field 2 unchanged");
    FUZZ_CHECK(served.delayOverride == fields.at(3), "field 3 unchanged");
    FUZZ_CHECK(served.signalHost == fields.at(4), "field 4 unchanged");
    FUZZ_CHECK(served.signalPort != 0, "a signal port of 0 is never taken");
    bool portOk = false;
    const int port = fields.at(5).toInt(&portOk, 10);
    if (portOk && port >= 1 && port <= 65535)
        FUZZ_CHECK(served.signalPort == port, "a good port is kept");
    else
        FUZZ_CHECK(served.signalPort == 7001, "a bad port falls back to 7001");
    FUZZ_CHECK(!served.emulatorHost.isEmpty(), "the emulator host is never empty");
    FUZZ_CHECK(!(served.nativeWindow && served.nativeFullscreen), "one window mode at most");
    if (fields.size() == RequiredFields)
        FUZZ_CHECK(!served.nativeWindow && !served.nativeFullscreen, "no mode without field 7");
}

void checkDerived(const ServedCommand &served, int negotiated)
{
    const int delay = host::effectiveDelay(served, negotiated);
    bool ok = false;
    const int overrideDelay = served.delayOverride.toInt(&ok, 10);
    if (ok && overrideDelay >= 0)
        FUZZ_CHECK(delay == qMin(overrideDelay, MaxOverrideDelay), "override capped at 5");
    else
        FUZZ_CHECK(delay == qMax(negotiated, 1), "negotiated delay, at least 1");

    // One-pass substitution: a "%1" inside a value must reach the emulator as written.
    const QString argument = host::emulatorServedArgument(served, delay);
    const QString expected = QStringLiteral("quark:served,") + served.emulatorValue1 + QLatin1Char(',')
                             + served.quark + QLatin1Char(',') + served.emulatorValue3 + QLatin1Char(',')
                             + QString::number(delay) + QStringLiteral(",1");
    FUZZ_CHECK(argument == expected, "served argument carries the values unchanged");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    checkParse(text);
    // The same bytes behind the prefix, so the field rules get most of the effort.
    checkParse(Prefix + text);

    ServedCommand served = host::parseServedCommand(Prefix + text);
    // The negotiated delay is 0..2 in practice; any int must still behave.
    const int negotiated = size > 0 ? int(int8_t(data[0])) : 0;
    checkDerived(served, negotiated);
    checkDerived(served, INT32_MIN);
    checkDerived(served, INT32_MAX);
    return 0;
}
