// Datagrams from the rendezvous server reach the proxy's peer socket from the network, and the
// quark comes from the front-end: both must parse without fault into values that survive
// being written back on the wire.
#include "fuzzcheck.h"
#include "wire/signalwire.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

constexpr int MaxShortRun = 4; // digits after the '-' that always give a port (4 + 4 digits)

bool startsWithType(const QByteArray &datagram, const char *type)
{
    const QByteArray word(type);
    return datagram.startsWith(word) && (datagram.size() == word.size() || datagram.at(word.size()) == '/');
}

void checkMessage(const QByteArray &datagram)
{
    using wire::signalling::SignalKind;
    const wire::signalling::SignalMessage message = wire::signalling::parseSignalMessage(datagram);
    const int fieldCount = int(datagram.count('/')) + 1;
    switch (message.kind) {
    case SignalKind::Other:
        return;
    case SignalKind::Peer: {
        FUZZ_CHECK(startsWithType(datagram, "peer"), "peer kind needs the exact type word");
        FUZZ_CHECK(fieldCount >= 4, "peer needs four fields");
        if (message.address.isNull() || message.port == 0)
            return;
        // What the proxy acknowledges must announce the same endpoint when read back.
        const QByteArray again = "peer/" + message.matchId.toUtf8() + '/' + message.address.toString().toUtf8()
                                 + '/' + QByteArray::number(message.port);
        const wire::signalling::SignalMessage reread = wire::signalling::parseSignalMessage(again);
        FUZZ_CHECK(reread.kind == SignalKind::Peer, "rebuilt peer parses as peer");
        FUZZ_CHECK(reread.matchId == message.matchId, "match id survives");
        FUZZ_CHECK(reread.address == message.address, "address survives its text form");
        FUZZ_CHECK(reread.port == message.port, "port survives");
        const QByteArray ack = wire::signalling::peerAckMessage(message.matchId, message.address, message.port);
        FUZZ_CHECK(ack.count('/') == 3, "peer_ack has exactly four fields");
        return;
    }
    case SignalKind::Registered:
    case SignalKind::ReadyAck:
    case SignalKind::FailureAck: {
        const char *type = message.kind == SignalKind::Registered ? "registered"
                           : message.kind == SignalKind::ReadyAck ? "ready_ack"
                                                                  : "failure_ack";
        FUZZ_CHECK(startsWithType(datagram, type), "ack kind needs the exact type word");
        FUZZ_CHECK(fieldCount >= 3, "acks need three fields");
        const QByteArray again = wire::signalling::signalMessage(type, message.matchId.toUtf8(), message.side);
        const wire::signalling::SignalMessage reread = wire::signalling::parseSignalMessage(again);
        FUZZ_CHECK(reread.kind == message.kind, "rebuilt ack parses as the same kind");
        FUZZ_CHECK(reread.matchId == message.matchId, "match id survives");
        FUZZ_CHECK(reread.side == message.side, "side survives");
        return;
    }
    }
}

void checkQuark(const QString &quark)
{
    const QString matchId = wire::signalling::matchIdFromQuark(quark);
    const int side = wire::signalling::sideFromQuark(quark);
    const qsizetype dot = quark.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) {
        FUZZ_CHECK(matchId == quark, "no '.': the whole quark is the match id");
        FUZZ_CHECK(side == 0, "no '.': no side");
    } else {
        FUZZ_CHECK(matchId == quark.left(dot), "match id ends before the last '.'");
    }
    // The proxy sends the side as it read it; the server must be able to echo it.
    const QByteArray registration = wire::signalling::signalMessage("registered", matchId.toUtf8(), side);
    const wire::signalling::SignalMessage echoed = wire::signalling::parseSignalMessage(registration);
    if (!matchId.contains(QLatin1Char('/'))) {
        FUZZ_CHECK(echoed.kind == wire::signalling::SignalKind::Registered, "own registration echo parses");
        FUZZ_CHECK(echoed.side == side, "own side survives the echo");
    }

    const int port = wire::signalling::derivedPortFromQuark(quark);
    FUZZ_CHECK(port >= 0 && port <= 65535, "derived port is a port or 0");
    const qsizetype dash = quark.indexOf(QLatin1Char('-'));
    if (dash < 0 || dash + 1 >= quark.size()) {
        FUZZ_CHECK(port == 0, "no run after a '-': no port");
        return;
    }
    const qsizetype end = quark.indexOf(QLatin1Char('.'), dash + 1);
    const QString run = end < 0 ? quark.mid(dash + 1) : quark.mid(dash + 1, end - dash - 1);
    bool plainDigits = run.size() <= MaxShortRun;
    for (const QChar c : run)
        plainDigits = plainDigits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (plainDigits)
        FUZZ_CHECK(port == (QLatin1Char('4') + run).toInt(), "a short digit run gives 4 and the digits");
    if (port != 0)
        FUZZ_CHECK(QString::number(port).startsWith(QLatin1Char('4')), "a derived port starts with 4");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    checkMessage(datagram);
    checkQuark(QString::fromUtf8(datagram));
    return 0;
}
