// Time kivra-trace needs to read and summarise a long trace (one million lines by default).
// Usage: bench-tracereport [lines]
#include "tracereader.h"
#include "wire/traceline.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr qint64 DefaultLines = 1000000;
constexpr qint64 FrameUs = 16667; // us: 60 datagrams a second each way, as in a match

} // namespace

int main(int argc, char *argv[])
{
    const qint64 lines = argc > 1 ? qMax<qint64>(1, QByteArray(argv[1]).toLongLong()) : DefaultLines;
    QByteArray trace = wire::trace::traceHeader(QStringLiteral("bench.1"), 1765000000000000, 5000000000);
    trace.reserve(qsizetype(lines) * 120);
    const QByteArray payload(64, 'G');
    char line[wire::trace::TraceLineCapacity];
    for (qint64 i = 0; i < lines; ++i) {
        const qint64 t = 5000000000 + (i / 2) * FrameUs + (i % 2) * 5000;
        const std::size_t n = wire::trace::formatTraceLine(line, t, i % 2 ? 'i' : 'o', payload.constData(), 64);
        trace.append(line, qsizetype(n));
    }

    QElapsedTimer clock;
    clock.start();
    const kivratrace::Trace parsed = kivratrace::parseTrace(trace.constData(), std::size_t(trace.size()));
    const qint64 parseNs = clock.nsecsElapsed();
    const kivratrace::Summary summary = kivratrace::summarize(parsed, trace.constData());
    const qint64 totalNs = clock.nsecsElapsed();

    std::printf("lines:            %lld (%.1f MB)\n", static_cast<long long>(lines), double(trace.size()) / 1e6);
    std::printf("parse:            %.3f s\n", double(parseNs) / 1e9);
    std::printf("parse+summarise:  %.3f s (%.0f ns/line)\n", double(totalNs) / 1e9, double(totalNs) / double(lines));
    std::printf("records read:     %lld, problems %lld\n", static_cast<long long>(parsed.records.size()),
                static_cast<long long>(parsed.problemCount));
    std::printf("verdict:          %s\n", qPrintable(summary.verdict));
    return 0;
}
