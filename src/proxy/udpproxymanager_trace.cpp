// The datagram trace of each launch: one text line per relayed datagram.
#include "proxy/tracefile.h"
#include "proxy/udpproxymanager.h"

#include <QDateTime>
#include <QDir>
#include <QtGlobal>

namespace {

constexpr std::size_t TraceBufferBytes = 1048576; // bytes of stdio buffer: few writes under load

} // namespace

QString UdpProxyManager::tracePath() const
{
    return tracefile::resolveTracePath(qEnvironmentVariable("KIVRA_NET_TRACE"), qEnvironmentVariable("LOCALAPPDATA"),
                                       QDir::tempPath(), quark, QDateTime::currentDateTime());
}

void UdpProxyManager::openTrace()
{
    if (traceFile) {
        std::fclose(traceFile);
        traceFile = nullptr;
    }
    traceFilePath.clear();
    const QString path = tracePath();
    if (path.isEmpty())
        return;
    // A path the local encoding cannot carry would open some other file: no trace instead.
    const QByteArray encoded = path.toLocal8Bit();
    if (QString::fromLocal8Bit(encoded) != path)
        return;
    traceFile = std::fopen(encoded.constData(), "w");
    if (!traceFile)
        return;
    traceFilePath = path;
    // glibc ignores the size when it is to supply the buffer itself and writes every 4 KiB;
    // our own buffer gives the intended one write per MiB (or per flush).
    if (!traceBuffer)
        traceBuffer = std::make_unique<char[]>(TraceBufferBytes);
    std::setvbuf(traceFile, traceBuffer.get(), _IOFBF, TraceBufferBytes);
    const qint64 wallUs = tracefile::wallMicros();
    const qint64 monoUs = tracefile::steadyMicros();
    const QByteArray header = tracefile::traceHeader(quark, wallUs, monoUs);
    std::fwrite(header.constData(), 1, std::size_t(header.size()), traceFile);
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
