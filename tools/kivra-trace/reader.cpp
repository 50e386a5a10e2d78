#include "reader.h"

#include "wire/traceline.h"

#include <cstring>

namespace kivratrace {
namespace {

constexpr int KeptProblems = 20;        // messages kept; the rest are only counted

void addProblem(Trace &trace, qint64 line, const QString &text)
{
    ++trace.problemCount;
    if (trace.problems.size() < KeptProblems)
        trace.problems.append(QStringLiteral("line %1: %2").arg(line).arg(text));
}

// Returns an empty string when the line is a good data line.
QString parseDataLine(const char *base, const char *p, const char *end, qint64 lineNo, Record *record)
{
    wire::trace::DataLine line;
    const QString problem = wire::trace::parseDataLine(p, end, &line);
    if (!problem.isEmpty())
        return problem;
    record->timeUs = line.timeUs;
    record->length = line.length;
    record->hexOffset = line.hex - base;
    record->recordedBytes = line.recordedBytes;
    record->line = lineNo;
    record->direction = line.direction;
    record->probe = line.probe;
    return {};
}

} // namespace

Trace parseTrace(const char *data, std::size_t size)
{
    Trace trace;
    const char *p = data;
    const char *const end = data + size;
    qint64 lineNo = 0;
    trace.records.reserve(size / 40);
    while (p < end) {
        ++lineNo;
        const char *newline = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)));
        const char *lineEnd = newline ? newline : end;
        const char *next = newline ? newline + 1 : end;
        if (lineEnd > p && lineEnd[-1] == '\r')
            --lineEnd; // written in text mode on Windows
        if (lineNo == 1 && wire::trace::parseQuarkHeader(p, lineEnd, &trace.quark)) {
            trace.hasQuark = true;
        } else if (lineNo == 1 && !(p < lineEnd && *p == '#')) {
            // Perhaps the head of the file is missing: still read its data lines.
            addProblem(trace, 1, QStringLiteral("not a kivra-netproxy trace: it does not begin with \"# quark\""));
            Record record;
            if (parseDataLine(data, p, lineEnd, lineNo, &record).isEmpty())
                trace.records.push_back(record);
        } else if (p < lineEnd && *p == '#') {
            if (lineNo == 1)
                addProblem(trace, 1, QStringLiteral("not a kivra-netproxy trace: it does not begin with \"# quark\""));
            qint64 wallUs = 0, monoUs = 0;
            QString relayAddress;
            quint16 relayPort = 0;
            if (wire::trace::parseRelayedNote(p, lineEnd, &relayAddress, &relayPort))
                trace.relayedVia = relayAddress + QLatin1Char(':') + QString::number(relayPort);
            switch (wire::trace::parseClockHeader(p, lineEnd, &wallUs, &monoUs)) {
            case wire::trace::ClockHeader::Good:
                trace.wallUs = wallUs;
                trace.monoUs = monoUs;
                trace.hasClock = true;
                break;
            case wire::trace::ClockHeader::Malformed:
                addProblem(trace, lineNo, QStringLiteral("malformed clock header"));
                break;
            case wire::trace::ClockHeader::NotClock:
                break;
            }
        } else if (p == lineEnd) {
            addProblem(trace, lineNo, QStringLiteral("empty line"));
        } else {
            Record record;
            const QString problem = parseDataLine(data, p, lineEnd, lineNo, &record);
            if (!problem.isEmpty()) {
                addProblem(trace, lineNo, newline ? problem : QStringLiteral("truncated last line (%1)").arg(problem));
            } else {
                trace.records.push_back(record);
                if (!newline)
                    addProblem(trace, lineNo, QStringLiteral("no line feed at the end: the file may be cut short"));
            }
        }
        const bool dataLine = !(lineNo == 1 && trace.hasQuark) && p < lineEnd && *p != '#';
        if (!newline && !dataLine) // data lines report this themselves
            addProblem(trace, lineNo, QStringLiteral("no line feed at the end: the file may be cut short"));
        p = next;
    }
    trace.lines = lineNo;
    if (size == 0)
        addProblem(trace, 1, QStringLiteral("empty file: not a kivra-netproxy trace"));
    else if (trace.hasQuark && !trace.hasClock)
        addProblem(trace, 2, QStringLiteral("no \"# clock\" header: wall-clock times unknown"));
    return trace;
}

QByteArray recordedContent(const char *data, const Record &record)
{
    return wire::trace::decodeContent(data + record.hexOffset, record.recordedBytes);
}

} // namespace kivratrace
