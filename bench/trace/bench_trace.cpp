// Cost of tracing one relayed datagram: the trace line (clock, formatting, one fwrite into a
// 1 MiB stdio buffer, the once-a-second flush) next to a loopback UDP send without it.
// Usage: bench-trace [datagrams] [size]
#include "proxy/tracefile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstdio>

namespace {

constexpr int DefaultDatagrams = 200000;     // per measured loop
constexpr int DefaultSize = 64;              // bytes: the emulator's usual datagram
constexpr std::size_t StreamBuffer = 1048576; // bytes, as the proxy uses

struct Trace
{
    std::FILE *file = nullptr;
    qint64 lastFlushUs = 0;

    // The write step UdpProxyManager::traceDatagram uses.
    void datagram(char direction, const char *data, qint64 length)
    {
        tracefile::writeTraceLine(file, lastFlushUs, direction, data, length);
    }
};

double nsPer(qint64 ns, int count)
{
    return double(ns) / double(count);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = args.size() > 1 ? qMax(1, args.at(1).toInt()) : DefaultDatagrams;
    const int size = args.size() > 2 ? qBound(0, args.at(2).toInt(), 65507) : DefaultSize;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench-trace: no temporary directory\n");
        return 1;
    }
    Trace trace;
    trace.file = std::fopen(QFile::encodeName(dir.filePath(QStringLiteral("bench.txt"))).constData(), "w");
    if (!trace.file) {
        std::fprintf(stderr, "bench-trace: cannot open the trace file\n");
        return 1;
    }
    // Our own buffer, as the proxy gives it: glibc ignores the size without one.
    static char streamBuffer[StreamBuffer];
    std::setvbuf(trace.file, streamBuffer, _IOFBF, StreamBuffer);

    QUdpSocket receiver;
    QUdpSocket sender;
    if (!receiver.bind(QHostAddress::LocalHost, 0) || !sender.bind(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench-trace: cannot bind loopback sockets\n");
        return 1;
    }
    const quint16 port = receiver.localPort();
    QByteArray payload(size, 'a');
    for (int i = 0; i < size; ++i)
        payload[i] = char('!' + i % 90);

    // Trace line alone.
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i)
        trace.datagram(i % 2 ? 'i' : 'o', payload.constData(), payload.size());
    const qint64 traceOnlyNs = clock.nsecsElapsed();

    // Relay send without and with the trace line. The receiver is never read: the kernel
    // drops what does not fit, which costs the sender nothing extra.
    clock.restart();
    for (int i = 0; i < count; ++i)
        sender.writeDatagram(payload.constData(), payload.size(), QHostAddress::LocalHost, port);
    const qint64 sendNs = clock.nsecsElapsed();

    clock.restart();
    for (int i = 0; i < count; ++i) {
        trace.datagram('o', payload.constData(), payload.size());
        sender.writeDatagram(payload.constData(), payload.size(), QHostAddress::LocalHost, port);
    }
    const qint64 tracedSendNs = clock.nsecsElapsed();

    std::fclose(trace.file);
    const qint64 fileBytes = QFileInfo(dir.filePath(QStringLiteral("bench.txt"))).size();

    std::printf("datagrams per loop:        %d of %d bytes\n", count, size);
    std::printf("trace line only:           %.1f ns/datagram\n", nsPer(traceOnlyNs, count));
    std::printf("udp send, no trace:        %.1f ns/datagram\n", nsPer(sendNs, count));
    std::printf("udp send + trace line:     %.1f ns/datagram\n", nsPer(tracedSendNs, count));
    std::printf("traced/untraced send:      %.3f\n", double(tracedSendNs) / double(qMax<qint64>(1, sendNs)));
    std::printf("trace file written:        %lld bytes (%.1f bytes/line)\n", static_cast<long long>(fileBytes),
                double(fileBytes) / double(2 * count));
    return 0;
}
