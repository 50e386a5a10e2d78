// The datagram trace of each launch: one text line per relayed datagram.
#include "proxy/tracefile.h"
#include "proxy/udpproxymanager.h"
#include "wire/traceline.h"

#include <QDateTime>
#include <QtGlobal>

namespace {

constexpr std::size_t TraceBufferBytes = 1048576; // bytes of stdio buffer: few writes under load

} // namespace

void UdpProxyManager::openTrace()
{
    if (traceFile) {
        std::fclose(traceFile);
        traceFile = nullptr;
    }
    traceFilePath.clear();
    const tracefile::OpenedTrace opened =
        tracefile::openTraceFile(tracefile::processTraceEnvironment(), quark, QDateTime::currentDateTime());
    if (!opened.file)
        return;
    traceFile = opened.file;
    traceFilePath = opened.path;
    // glibc ignores the size when it is to supply the buffer itself and writes every 4 KiB;
    // our own buffer gives the intended one write per MiB (or per flush).
    if (!traceBuffer)
        traceBuffer = std::make_unique<char[]>(TraceBufferBytes);
    std::setvbuf(traceFile, traceBuffer.get(), _IOFBF, TraceBufferBytes);
    const qint64 wallUs = tracefile::wallMicros();
    const qint64 monoUs = tracefile::steadyMicros();
    const QByteArray header = wire::trace::traceHeader(quark, wallUs, monoUs);
    std::fwrite(header.constData(), 1, std::size_t(header.size()), traceFile);
    // On disk at once: retention recognises our traces by this header, also after a crash.
    std::fflush(traceFile);
}

void UdpProxyManager::traceDatagram(char direction, const char *data, qint64 length)
{
    if (!traceFile)
        return;
    tracefile::writeTraceLine(traceFile, traceLastFlushUs, direction, data, length);
}

void UdpProxyManager::closeTrace()
{
    if (!traceFile)
        return;
    std::fclose(traceFile);
    traceFile = nullptr;
}
