// Punch datagrams and the relay's control screens see every datagram that reaches the peer
// socket, from anyone: any bytes must be classified without fault and as the wire rules say.
#include "fuzzcheck.h"
#include "wire/punchwire.h"
#include "wire/relaywire.h"

#include <QByteArray>
#include <QList>

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr int PortWrap = 65535;
constexpr int ScanWidth = 1024; // single attempts of one scan (512 each side)

// The token rule written out independently: "_", "0." and anything, or non-empty hex.
bool acceptedToken(const QByteArray &field)
{
    if (field == "_" || field.startsWith("0."))
        return true;
    if (field.isEmpty())
        return false;
    for (const char c : field) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

bool punchOracle(const QByteArray &data)
{
    const QList<QByteArray> fields = data.split(' ');
    if (fields.size() < 2 || fields.size() > 3)
        return false;
    if (!acceptedToken(fields.at(0)) || !acceptedToken(fields.at(1)))
        return false;
    return fields.size() == 2 || fields.at(2) == "ok";
}

void checkClassifiers(const QByteArray &data)
{
    FUZZ_CHECK(wire::punch::isPunchDatagram(data) == punchOracle(data), "punch recogniser follows the rule");
    FUZZ_CHECK(wire::relay::isKeepalive(data.constData(), data.size()) == (data == "ping"),
               "keepalive is exactly ping");
    const bool control = data == "ping" || data == "PUNCH" || data.contains(" _") || data.contains(" ok");
    FUZZ_CHECK(wire::relay::isStartupControl(data.constData(), data.size()) == control,
               "start-up screen follows the rule");
    const QList<QByteArray> fields = data.split(' ');
    for (const QByteArray &field : fields)
        FUZZ_CHECK(wire::punch::isAcceptedToken(field) == acceptedToken(field), "token rule");
    // What a sender quotes decides whether punching may follow it: only field 2 of a real
    // punch datagram, and never the placeholder.
    const QByteArray echoed = wire::punch::echoedToken(data);
    const QByteArray expected = punchOracle(data) && fields.at(1) != "_" ? fields.at(1) : QByteArray();
    FUZZ_CHECK(echoed == expected, "quoted token is field 2 of a punch datagram");
    // The one parse agrees with the recogniser and gives back the datagram's own fields.
    const wire::punch::PunchFields parsed = wire::punch::parsePunchDatagram(data);
    FUZZ_CHECK(parsed.valid == punchOracle(data), "the parse accepts exactly the punch datagrams");
    if (parsed.valid) {
        FUZZ_CHECK(parsed.senderToken == fields.at(0) && parsed.quotedToken == fields.at(1), "fields 1 and 2");
        FUZZ_CHECK(parsed.acknowledged == (fields.size() == 3), "ok is field 3");
    }
}

void checkBuilders(FuzzedDataProvider &provider)
{
    const double random = provider.ConsumeProbability<double>();
    const double below = random < 1.0 ? random : std::nextafter(1.0, 0.0);
    const QByteArray own = wire::punch::tokenFromRandom(below);
    FUZZ_CHECK(own.startsWith("0."), "own token starts with 0.");
    FUZZ_CHECK(!own.contains(' '), "own token has no blank");

    const std::string peerText = provider.ConsumeRandomLengthString(64);
    const QByteArray peer(peerText.data(), qsizetype(peerText.size()));
    const QByteArray datagram = wire::punch::punchDatagram(own, peer);
    if (acceptedToken(peer) && !peer.contains(' '))
        FUZZ_CHECK(wire::punch::isPunchDatagram(datagram), "our own punch is a punch datagram");
    if (peer == "_")
        FUZZ_CHECK(datagram == own + " _", "no ok before the peer token is known");

    // Ports: the sequence only ever wraps values within one wrap of the range.
    const int port = provider.ConsumeIntegralInRange<int>(1 - PortWrap, 2 * PortWrap);
    const int wrapped = wire::punch::wrapPort(port);
    FUZZ_CHECK(wrapped >= 1 && wrapped <= PortWrap, "one wrap lands in 1..65535");
    const int centre = provider.ConsumeIntegralInRange<int>(1, PortWrap);
    const int firstOffset = provider.ConsumeIntegralInRange<int>(0, 1);
    const int index = provider.ConsumeIntegralInRange<int>(0, ScanWidth - 1);
    const int scanned = wire::punch::scanPort(centre, firstOffset, index);
    FUZZ_CHECK(scanned >= 1 && scanned <= PortWrap, "scan ports are ports");
    // Whatever integer arrives, the small predicates must not misbehave.
    const int any = provider.ConsumeIntegral<int>();
    (void)wire::punch::isReservedSourcePort(any);
    (void)wire::punch::isScanExempt(any);
    (void)wire::punch::wrapPort(any);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    checkClassifiers(datagram);
    FuzzedDataProvider provider(data, size);
    checkBuilders(provider);
    return 0;
}
