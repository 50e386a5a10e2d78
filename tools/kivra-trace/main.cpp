// kivra-trace FILE [--plot out.svg] [--pcap out.pcap] [--json]
// Summarises one proxy trace file; exit 0 when it read cleanly, 2 when some lines were bad
// (what could be read is still reported), 1 for usage or file errors.
#include "tracereader.h"

#include "kivraversion.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace {

constexpr int ExitClean = 0;
constexpr int ExitUsage = 1;
constexpr int ExitDamaged = 2;

const char Usage[] =
    "usage: kivra-trace FILE [--plot out.svg] [--pcap out.pcap] [--json]\n"
    "       kivra-trace --help | --version\n"
    "  prints a summary of a kivra-netproxy trace (or JSON with --json)\n"
    "  --plot  SVG timeline: datagrams per second and worst inter-arrival, gaps marked\n"
    "  --pcap  libpcap file (raw IPv4), one UDP packet per traced datagram, truncated to\n"
    "          the recorded bytes; to the emulator 127.0.0.1:7001 > 127.0.0.1:6000,\n"
    "          to the peer 192.0.2.1:6006 > 198.51.100.1:6006\n";

bool writeFile(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        std::fprintf(stderr, "kivra-trace: cannot write %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString input, plotPath, pcapPath;
    bool json = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--json")) {
            json = true;
        } else if ((a == QLatin1String("--plot") || a == QLatin1String("--pcap")) && i + 1 < args.size()) {
            (a == QLatin1String("--plot") ? plotPath : pcapPath) = args.at(++i);
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(Usage, stdout);
            return ExitClean;
        } else if (a == QLatin1String("--version")) {
            std::printf("kivra-trace %s\n", kivra::Version);
            return ExitClean;
        } else if (!a.startsWith(QLatin1Char('-')) && input.isEmpty()) {
            input = a;
        } else {
            std::fprintf(stderr, "kivra-trace: unexpected argument %s\n%s", qPrintable(a), Usage);
            return ExitUsage;
        }
    }
    if (input.isEmpty()) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }

    QFile file(input);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "kivra-trace: cannot open %s: %s\n", qPrintable(input), qPrintable(file.errorString()));
        return ExitUsage;
    }
    const qint64 size = file.size();
    QByteArray fallback;
    const char *data = nullptr;
    if (size > 0) {
        data = reinterpret_cast<const char *>(file.map(0, size));
        if (!data) { // not mappable (a pipe, say): read it whole
            fallback = file.readAll();
            data = fallback.constData();
        }
    }
    const std::size_t length = data ? std::size_t(fallback.isEmpty() ? size : fallback.size()) : 0;
    const kivratrace::Trace trace = kivratrace::parseTrace(data ? data : "", length);
    const kivratrace::Summary summary = kivratrace::summarize(trace, data);

    for (const QString &problem : trace.problems)
        std::fprintf(stderr, "kivra-trace: %s: %s\n", qPrintable(input), qPrintable(problem));
    if (json)
        std::fputs(QJsonDocument(kivratrace::jsonReport(summary)).toJson(QJsonDocument::Indented).constData(), stdout);
    else
        std::fputs(kivratrace::textReport(summary).toUtf8().constData(), stdout);

    bool written = true;
    if (!plotPath.isEmpty())
        written = writeFile(plotPath, kivratrace::svgTimeline(trace, summary)) && written;
    if (!pcapPath.isEmpty())
        written = writeFile(pcapPath, kivratrace::pcapFile(trace, data)) && written;
    if (!written)
        return ExitUsage;
    return trace.problemCount > 0 ? ExitDamaged : ExitClean;
}
