#include "goldentraces.h"

#include "wire/probewire.h"
#include "wire/traceline.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <vector>

namespace goldentraces {
namespace {

constexpr qint64 MonoUs = 5000000000;         // header mono_us
constexpr qint64 WallUs = 1765000000000000;   // header wall_us: 2025-12-06 05:46:40 UTC
constexpr qint64 FrameUs = 16667;             // one frame at 60 Hz
constexpr qint64 PingSpacingUs = 100000;      // the probe's ping interval
constexpr qint64 ProbeClockMs = 5000100;      // the first ping's send time on the probe clock
constexpr qint64 ToEmulatorLagUs = 5000;      // the peer's frame arrives 5 ms after ours leaves
constexpr qint64 GameStartUs = MonoUs + 2000000; // relaying starts two seconds in
constexpr int Frames = 120;
constexpr int GameDatagramBytes = 64;

QByteArray line(qint64 timeUs, char direction, const QByteArray &data, qint64 length = -1)
{
    char buffer[wire::trace::TraceLineCapacity];
    const std::size_t size = wire::trace::formatTraceLine(buffer, timeUs, direction, data.constData(),
                                                        length < 0 ? data.size() : length);
    return QByteArray(buffer, qsizetype(size));
}

// "O00000012xxx...", 64 bytes: which side and which frame, readable in the hex.
QByteArray game(char side, int frame)
{
    QByteArray data = side + QByteArray::number(frame).rightJustified(8, '0');
    return data.leftJustified(GameDatagramBytes, 'x');
}

qint64 frameUs(int frame)
{
    return GameStartUs + frame * FrameUs;
}

QByteArray header(const QString &quark)
{
    return wire::trace::traceHeader(quark, WallUs, MonoUs);
}

// Header, ten pings 100 ms apart and the delay proposal that followed them.
QByteArray probedHeader(const QString &quark)
{
    QByteArray out = header(quark);
    for (int k = 0; k < 10; ++k)
        out += line(MonoUs + PingSpacingUs + k * PingSpacingUs, wire::trace::ToPeer,
                    wire::probe::pingDatagram(k, ProbeClockMs + k * 100));
    out += line(MonoUs + 1300000, wire::trace::ToPeer, wire::probe::delayDatagram(1, 1));
    return out;
}

struct Row
{
    qint64 timeUs;
    char direction;
    QByteArray data;
};

// Frames both ways in time order (a frame to the peer before the frame back on a tie).
template <typename ToPeerTime, typename ToEmulatorTime, typename SkipToEmulator>
QByteArray frames(ToPeerTime toPeerUs, ToEmulatorTime toEmulatorUs, SkipToEmulator skipToEmulator)
{
    std::vector<Row> rows;
    for (int n = 0; n < Frames; ++n) {
        rows.push_back({toPeerUs(n), wire::trace::ToPeer, game('O', n)});
        if (!skipToEmulator(n))
            rows.push_back({toEmulatorUs(n), wire::trace::ToEmulator, game('I', n)});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.timeUs < b.timeUs; });
    QByteArray out;
    for (const Row &r : rows)
        out += line(r.timeUs, r.direction, r.data);
    return out;
}

QByteArray steady()
{
    return probedHeader(QStringLiteral("steady.1"))
           + frames(frameUs, [](int n) { return frameUs(n) + ToEmulatorLagUs; }, [](int) { return false; });
}

QByteArray gapBurst()
{
    return probedHeader(QStringLiteral("gap.2"))
           + frames([](int n) { return n >= 90 && n <= 99 ? frameUs(99) : frameUs(n); },
                    [](int n) { return frameUs(n) + ToEmulatorLagUs; }, [](int n) { return n >= 60 && n <= 80; });
}

QByteArray damaged()
{
    QByteArray out = header(QStringLiteral("bad.1"));
    out += line(frameUs(0), wire::trace::ToPeer, game('O', 0));
    out += line(frameUs(1), wire::trace::ToEmulator, game('I', 1));
    out += line(frameUs(2), wire::trace::ToPeer, QByteArray(100, '\0'));
    // What the writer never writes: a stray text, bad hex, a bad direction, too few digits.
    out += "garbage here\n";
    out += QByteArray::number(frameUs(3)) + " o 4 zz00zz00\n";
    out += QByteArray::number(frameUs(4)) + " x 1 00\n";
    out += QByteArray::number(frameUs(5)) + " o 3 0102\n";
    out += line(frameUs(6), wire::trace::ToEmulator, game('I', 6));
    // Cut short in the middle of a line, as a crash would leave it.
    out += QByteArray::number(frameUs(7)) + " o 10 0102";
    return out;
}

} // namespace

QStringList names()
{
    return {QStringLiteral("steady"), QStringLiteral("gap-burst"), QStringLiteral("damaged"),
            QStringLiteral("not-a-trace")};
}

QByteArray trace(const QString &name)
{
    if (name == QLatin1String("steady"))
        return steady();
    if (name == QLatin1String("gap-burst"))
        return gapBurst();
    if (name == QLatin1String("damaged"))
        return damaged();
    if (name == QLatin1String("not-a-trace"))
        return QByteArrayLiteral("hello world\nthis is a shopping list\n");
    return {};
}

bool writeAll(const QString &dir)
{
    for (const QString &name : names()) {
        QFile file(QDir(dir).filePath(name + QStringLiteral(".txt")));
        const QByteArray bytes = trace(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

} // namespace goldentraces
