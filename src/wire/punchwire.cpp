#include "wire/punchwire.h"

#include <QList>

namespace wire::punch {
namespace {

constexpr char AckField[] = "ok";
constexpr char TokenSeparator = ' ';
constexpr int TokenPrecision = 16; // digits after "0.": 18-byte tokens
constexpr int PortWrap = 65535;
constexpr int FirstReservedPort = 7000; // 7000..7002: the emulator's own netplay ports
constexpr int LastReservedPort = 7002;
constexpr int FirstScanExemptPort = 6006; // 6006..6008: our own peer socket's neighbourhood
constexpr int LastScanExemptPort = 6008;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

bool isAcceptedToken(const QByteArray &field)
{
    if (field == UnknownToken || field.startsWith("0."))
        return true;
    if (field.isEmpty())
        return false;
    for (const char c : field) {
        if (!isHexDigit(c))
            return false;
    }
    return true;
}

bool isPunchDatagram(const QByteArray &data)
{
    return parsePunchDatagram(data).valid;
}

PunchFields parsePunchDatagram(const QByteArray &data)
{
    PunchFields result;
    const QList<QByteArray> fields = data.split(TokenSeparator);
    if (fields.size() < 2 || fields.size() > 3)
        return result;
    if (!isAcceptedToken(fields.at(0)) || !isAcceptedToken(fields.at(1)))
        return result;
    if (fields.size() == 3 && fields.at(2) != AckField)
        return result;
    result.valid = true;
    result.senderToken = fields.at(0);
    result.quotedToken = fields.at(1);
    result.acknowledged = fields.size() == 3;
    return result;
}

QByteArray echoedToken(const QByteArray &data)
{
    const PunchFields fields = parsePunchDatagram(data);
    return fields.quotedToken == UnknownToken ? QByteArray() : fields.quotedToken;
}

QByteArray tokenFromRandom(double value)
{
    return QByteArray::number(value, 'f', TokenPrecision);
}

QByteArray punchDatagram(const QByteArray &ownToken, const QByteArray &peerToken)
{
    QByteArray datagram = ownToken;
    datagram += TokenSeparator;
    datagram += peerToken;
    if (peerToken != UnknownToken) {
        datagram += TokenSeparator;
        datagram += AckField;
    }
    return datagram;
}

int wrapPort(int port)
{
    if (port <= 0)
        return port + PortWrap;
    if (port > PortWrap)
        return port - PortWrap;
    return port;
}

bool isReservedSourcePort(int port)
{
    return port >= FirstReservedPort && port <= LastReservedPort;
}

bool isScanExempt(int port)
{
    return port >= FirstScanExemptPort && port <= LastScanExemptPort;
}

int scanPort(int centre, int firstOffset, int index)
{
    const int offset = firstOffset + index / 2;
    return wrapPort(index % 2 == 0 ? centre + offset : centre - offset);
}

} // namespace wire::punch
