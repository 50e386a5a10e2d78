// STUN/TURN codec: the RFC 5769 sample messages, the relay client's requests parsed back,
// malformed messages, ChannelData framing and the recognisers.
#include "wire/stunwire.h"

#include <QTest>

namespace stun = wire::stun;
using stun::Class;
using stun::Method;

Q_DECLARE_METATYPE(stun::Method)
Q_DECLARE_METATYPE(stun::Class)

namespace {

// RFC 5769 section 2: one transaction id for the short-term samples, another for the long-term one.
const QByteArray SampleRequest = QByteArray::fromHex(
    "000100582112a442b7e7a701bc34d686fa87dfae802200105354554e2074657374"
    "20636c69656e74002400046e0001ff80290008932ff9b151263b36000600096576"
    "746a3a6836765920202000080014 9aeaa70cbfd8cb56781ef2b5b2d3f249c1b5"
    "71a280280004e57a3bcf");
const QByteArray SampleIpv4Response = QByteArray::fromHex(
    "0101003c2112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f"
    "7220002000080001a147e112a643000800142b91f599fd9e90c38c7489f92af9ba53"
    "f06be7d780280004c07d4c96");
const QByteArray SampleIpv6Response = QByteArray::fromHex(
    "010100482112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f"
    "7220002000140002a1470113a9faa5d3f179bc25f4b5bed2b9d900080014a382954e"
    "4be67bf11784c97c8292c275bfe3ed4180280004c8fb0b4c");
const QByteArray SampleLongTermRequest = QByteArray::fromHex(
    "000100602112a44278ad3433c6ad72c029da412e00060012e3839ee38388e383aae383"
    "83e382afe382b9000000150 01c662f2f3439396b39353464364f4c33346f4c39465354"
    "7679363473410014000b6578616d706c652e6f726700000800 14f67024656dd64a3e02"
    "b8e0712e85c9a28ca89666");
const QByteArray ShortTermPassword = "VOkJxbRl1RmTxUk/WvJxBt";
const QByteArray LongTermUser = QByteArray::fromHex("e3839ee38388e383aae38383e382afe382b9");
const QByteArray LongTermNonce = "f//499k954d6OL34oL9FSTvy64sA";
const QByteArray LongTermRealm = "example.org";
const QByteArray LongTermPassword = "TheMatrIX";   // "The<SOFT HYPHEN>M<ORDINAL A>tr<ROMAN IX>" after SASLprep

const QByteArray Tid = QByteArray::fromHex("0102030405060708090a0b0c");
const stun::Credentials Creds{"user", "kivra", "nonce-1", stun::longTermKey("user", "kivra", "pass")};

stun::Endpoint endpoint(const char *address, quint16 port) { return {QHostAddress(QString::fromLatin1(address)), port}; }

// A copy of a valid message with the bytes at `at` replaced.
QByteArray patched(QByteArray message, int at, const QByteArray &bytes)
{
    message.replace(at, bytes.size(), bytes);
    return message;
}

// A message with a wrong length field and whatever body the row gives.
QByteArray rawMessage(quint16 length, const QByteArray &body)
{
    return QByteArray::fromHex("0003") + QByteArray(1, char(length >> 8)) + QByteArray(1, char(length & 0xFF))
         + QByteArray::fromHex("2112a442") + Tid + body;
}

} // namespace

class TestStunWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownAnswers_data();
    void knownAnswers();
    void longTermSampleRebuilt();
    void messageTypes_data();
    void messageTypes();
    void builtRequestsParseBack_data();
    void builtRequestsParseBack();
    void malformed_data();
    void malformed();
    void attributeValues_data();
    void attributeValues();
    void channelData_data();
    void channelData();
    void channelDataLength();
    void recognisers_data();
    void recognisers();
    void transactionIdsDiffer();
};

void TestStunWire::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<Class>("messageClass");
    QTest::addColumn<bool>("fingerprint");
    QTest::addColumn<QString>("mapped");   // "address port", empty when none
    QTest::newRow("short-term request") << SampleRequest << ShortTermPassword << Class::Request << true << QString();
    QTest::newRow("IPv4 response") << SampleIpv4Response << ShortTermPassword << Class::SuccessResponse << true
                                   << QString("192.0.2.1 32853");
    QTest::newRow("IPv6 response") << SampleIpv6Response << ShortTermPassword << Class::SuccessResponse << true
                                   << QString("2001:db8:1234:5678:11:2233:4455:6677 32853");
    QTest::newRow("long-term request") << SampleLongTermRequest
                                       << stun::longTermKey(LongTermUser, LongTermRealm, LongTermPassword)
                                       << Class::Request << false << QString();
}

void TestStunWire::knownAnswers()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, key);
    QFETCH(Class, messageClass);
    QFETCH(bool, fingerprint);
    QFETCH(QString, mapped);
    const std::optional<stun::Message> parsed = stun::parse(message.constData(), message.size());
    QVERIFY(parsed);
    QCOMPARE(parsed->method, Method::Binding);
    QCOMPARE(parsed->messageClass, messageClass);
    QCOMPARE(parsed->hasFingerprint, fingerprint);
    QVERIFY(stun::checkIntegrity(*parsed, key));
    QVERIFY(!stun::checkIntegrity(*parsed, key + 'x'));
    const QByteArray changed = patched(message, 30, "?");   // a byte the integrity covers
    QVERIFY(!stun::checkIntegrity(changed.constData(), changed.size(), key));
    const std::optional<stun::Endpoint> address = parsed->xorMappedAddress();
    QCOMPARE(address.has_value(), !mapped.isEmpty());
    if (address)
        QCOMPARE(address->address.toString() + ' ' + QString::number(address->port), mapped);
}

void TestStunWire::longTermSampleRebuilt()
{
    const stun::Credentials credentials{LongTermUser, LongTermRealm, LongTermNonce,
                                        stun::longTermKey(LongTermUser, LongTermRealm, LongTermPassword)};
    QCOMPARE(stun::encode(Method::Binding, Class::Request, SampleLongTermRequest.mid(8, 12), {}, credentials, false)
                 .toHex(),
             SampleLongTermRequest.toHex());
}

void TestStunWire::messageTypes_data()
{
    QTest::addColumn<Method>("method");
    QTest::addColumn<Class>("messageClass");
    QTest::addColumn<int>("type");
    QTest::newRow("binding request") << Method::Binding << Class::Request << 0x0001;
    QTest::newRow("binding success") << Method::Binding << Class::SuccessResponse << 0x0101;
    QTest::newRow("allocate error") << Method::Allocate << Class::ErrorResponse << 0x0113;
    QTest::newRow("send indication") << Method::Send << Class::Indication << 0x0016;
    QTest::newRow("data indication") << Method::Data << Class::Indication << 0x0017;
    QTest::newRow("channel bind success") << Method::ChannelBind << Class::SuccessResponse << 0x0109;
    QTest::newRow("method with high bits") << Method(0x0FFF) << Class::ErrorResponse << 0x3FFF;
}

void TestStunWire::messageTypes()
{
    QFETCH(Method, method);
    QFETCH(Class, messageClass);
    QFETCH(int, type);
    QCOMPARE(int(stun::messageType(method, messageClass)), type);
    const QByteArray built = stun::encode(method, messageClass, Tid, {});
    const std::optional<stun::Message> parsed = stun::parse(built.constData(), built.size());
    QVERIFY(parsed);
    QCOMPARE(parsed->method, method);
    QCOMPARE(parsed->messageClass, messageClass);
}

void TestStunWire::builtRequestsParseBack_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<Method>("method");
    QTest::addColumn<Class>("messageClass");
    QTest::addColumn<bool>("authenticated");
    QTest::addColumn<int>("lifetime");   // -1: no LIFETIME
    QTest::addColumn<QString>("peer");   // XOR-PEER-ADDRESS "address port", empty when none
    QTest::addColumn<int>("channel");    // 0: no CHANNEL-NUMBER
    QTest::addColumn<QByteArray>("data");
    const QByteArray payload = "game datagram";
    QTest::newRow("binding") << stun::bindingRequest(Tid) << Method::Binding << Class::Request << false << -1
                             << QString() << 0 << QByteArray();
    QTest::newRow("first allocate, no credentials") << stun::allocateRequest(Tid, 600, {}) << Method::Allocate
                                                    << Class::Request << false << 600 << QString() << 0 << QByteArray();
    QTest::newRow("allocate with credentials") << stun::allocateRequest(Tid, 0, Creds) << Method::Allocate
                                               << Class::Request << true << -1 << QString() << 0 << QByteArray();
    QTest::newRow("refresh") << stun::refreshRequest(Tid, 300, Creds) << Method::Refresh << Class::Request << true
                             << 300 << QString() << 0 << QByteArray();
    QTest::newRow("release") << stun::refreshRequest(Tid, 0, Creds) << Method::Refresh << Class::Request << true << 0
                             << QString() << 0 << QByteArray();
    QTest::newRow("create permission") << stun::createPermissionRequest(Tid, {QHostAddress("198.51.100.7")}, Creds)
                                       << Method::CreatePermission << Class::Request << true << -1
                                       << QString("198.51.100.7 0") << 0 << QByteArray();
    QTest::newRow("channel bind, IPv6 peer")
        << stun::channelBindRequest(Tid, 0x4001, endpoint("2001:db8::9", 6006), Creds) << Method::ChannelBind
        << Class::Request << true << -1 << QString("2001:db8::9 6006") << 0x4001 << QByteArray();
    QTest::newRow("send indication") << stun::sendIndication(Tid, endpoint("203.0.113.5", 40000), payload.constData(),
                                                             payload.size())
                                     << Method::Send << Class::Indication << false << -1
                                     << QString("203.0.113.5 40000") << 0 << payload;
    QTest::newRow("data indication, empty data")
        << stun::dataIndication(Tid, endpoint("203.0.113.5", 1), "", 0) << Method::Data << Class::Indication << false
        << -1 << QString("203.0.113.5 1") << 0 << QByteArray("");
}

void TestStunWire::builtRequestsParseBack()
{
    QFETCH(QByteArray, message);
    QFETCH(Method, method);
    QFETCH(Class, messageClass);
    QFETCH(bool, authenticated);
    QFETCH(int, lifetime);
    QFETCH(QString, peer);
    QFETCH(int, channel);
    QFETCH(QByteArray, data);
    const std::optional<stun::Message> parsed = stun::parse(message.constData(), message.size());
    QVERIFY(parsed);
    QCOMPARE(parsed->method, method);
    QCOMPARE(parsed->messageClass, messageClass);
    QCOMPARE(parsed->transactionId, Tid);
    QVERIFY(parsed->hasFingerprint);
    QVERIFY(parsed->unknownRequired().isEmpty());
    QCOMPARE(stun::checkIntegrity(*parsed, Creds.key), authenticated);
    if (authenticated) {
        QCOMPARE(parsed->value(stun::attribute::Username), Creds.username);
        QCOMPARE(parsed->realm(), Creds.realm);
        QCOMPARE(parsed->nonce(), Creds.nonce);
    }
    if (method == Method::Allocate)
        QCOMPARE(parsed->value(stun::attribute::RequestedTransport), QByteArray::fromHex("11000000"));
    QCOMPARE(parsed->lifetime().has_value(), lifetime >= 0);
    if (lifetime >= 0)
        QCOMPARE(int(*parsed->lifetime()), lifetime);
    const std::optional<stun::Endpoint> address = parsed->xorPeerAddress();
    QCOMPARE(address.has_value(), !peer.isEmpty());
    if (address)
        QCOMPARE(address->address.toString() + ' ' + QString::number(address->port), peer);
    QCOMPARE(int(parsed->channelNumber().value_or(0)), channel);
    const std::optional<stun::Attribute> carried = parsed->data();
    QCOMPARE(carried.has_value(), !data.isNull());
    if (carried)
        QCOMPARE(message.mid(carried->offset, carried->length), data);
}

void TestStunWire::malformed_data()
{
    QTest::addColumn<QByteArray>("message");
    const QByteArray good = stun::allocateRequest(Tid, 600, Creds);   // ..., MESSAGE-INTEGRITY, FINGERPRINT
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("header cut") << good.left(19);
    QTest::newRow("message cut") << good.left(good.size() - 4);
    QTest::newRow("wrong cookie") << patched(good, 4, QByteArray::fromHex("2112a443"));
    QTest::newRow("first bits set") << patched(good, 0, QByteArray::fromHex("40"));
    QTest::newRow("length beyond datagram") << patched(good, 2, QByteArray::fromHex("0400"));
    QTest::newRow("length not a multiple of four") << rawMessage(5, QByteArray(5, '\0'));
    QTest::newRow("attribute beyond message") << rawMessage(8, QByteArray::fromHex("0019000811000000"));
    QTest::newRow("padding missing") << rawMessage(8, QByteArray::fromHex("0006000561626364"));
    QTest::newRow("wrong fingerprint") << patched(good, int(good.size()) - 1, "?");
    QByteArray notLast = rawMessage(16, QByteArray::fromHex("8028000400000000" "0019000411000000"));
    notLast = patched(notLast, 24, stun::uint32Value(stun::fingerprintOf(notLast.constData(), 20)));
    QTest::newRow("fingerprint not last") << notLast;
    QTest::newRow("fingerprint of three bytes") << rawMessage(8, QByteArray::fromHex("8028000301020300"));
    QTest::newRow("integrity of 16 bytes") << rawMessage(20, QByteArray::fromHex("00080010") + QByteArray(16, 'x'));
    QTest::newRow("ChannelData") << stun::channelData(0x4000, "abcdefghijklmnopqrst", 20);
    QTest::newRow("game datagram") << QByteArray("KVRA ping 0 1234567890123");
}

void TestStunWire::malformed()
{
    QFETCH(QByteArray, message);
    QVERIFY(!stun::parse(message.constData(), message.size()));
    QVERIFY(!stun::checkIntegrity(message.constData(), message.size(), Creds.key));
}

void TestStunWire::attributeValues_data()
{
    // One attribute after a valid header; what the accessors make of it.
    QTest::addColumn<QByteArray>("attribute");
    QTest::addColumn<QString>("relayed");   // XOR-RELAYED-ADDRESS "address port", empty when refused
    QTest::addColumn<int>("lifetime");      // -1: none
    QTest::addColumn<int>("error");         // 0: none
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("unknownRequired");
    const QByteArray v4 = stun::xorAddressValue(endpoint("192.0.2.9", 50000), Tid);
    QTest::newRow("relayed IPv4") << (QByteArray::fromHex("00160008") + v4) << QString("192.0.2.9 50000") << -1 << 0
                                  << QByteArray() << 0;
    QTest::newRow("relayed, unknown family") << (QByteArray::fromHex("00160008") + patched(v4, 1, "\x03"))
                                             << QString() << -1 << 0 << QByteArray() << 0;
    QTest::newRow("relayed, IPv6 family with 4 address bytes")
        << (QByteArray::fromHex("00160008") + patched(v4, 1, "\x02")) << QString() << -1 << 0 << QByteArray() << 0;
    QTest::newRow("relayed, 2 bytes") << QByteArray::fromHex("001600020001 0000") << QString() << -1 << 0
                                      << QByteArray() << 0;
    QTest::newRow("lifetime") << QByteArray::fromHex("000d000400000258") << QString() << 600 << 0 << QByteArray()
                              << 0;
    QTest::newRow("lifetime of 3 bytes") << QByteArray::fromHex("000d000300025800") << QString() << -1 << 0
                                         << QByteArray() << 0;
    QTest::newRow("error 401") << (QByteArray::fromHex("00090010") + stun::errorCodeValue(401, "Unauthorized"))
                               << QString() << -1 << 401 << QByteArray("Unauthorized") << 0;
    QTest::newRow("error 438, no reason") << QByteArray::fromHex("0009000400000426") << QString() << -1 << 438
                                          << QByteArray() << 0;
    QTest::newRow("error class 2") << QByteArray::fromHex("0009000400000200") << QString() << -1 << 0 << QByteArray()
                                   << 0;
    QTest::newRow("error number 100") << QByteArray::fromHex("0009000400000464") << QString() << -1 << 0
                                      << QByteArray() << 0;
    QTest::newRow("unknown optional attribute") << QByteArray::fromHex("802b0000") << QString() << -1 << 0
                                                << QByteArray() << 0;
    QTest::newRow("unknown required attribute") << QByteArray::fromHex("002f0000") << QString() << -1 << 0
                                                << QByteArray() << 1;
}

void TestStunWire::attributeValues()
{
    QFETCH(QByteArray, attribute);
    QFETCH(QString, relayed);
    QFETCH(int, lifetime);
    QFETCH(int, error);
    QFETCH(QByteArray, reason);
    QFETCH(int, unknownRequired);
    const QByteArray message = rawMessage(quint16(attribute.size()), attribute);
    const std::optional<stun::Message> parsed = stun::parse(message.constData(), message.size());
    QVERIFY(parsed);
    const std::optional<stun::Endpoint> address = parsed->xorRelayedAddress();
    QCOMPARE(address.has_value(), !relayed.isEmpty());
    if (address)
        QCOMPARE(address->address.toString() + ' ' + QString::number(address->port), relayed);
    QCOMPARE(parsed->lifetime().has_value(), lifetime >= 0);
    if (lifetime >= 0)
        QCOMPARE(int(*parsed->lifetime()), lifetime);
    const std::optional<stun::ErrorCode> code = parsed->errorCode();
    QCOMPARE(code.has_value(), error != 0);
    if (code) {
        QCOMPARE(code->code, error);
        QCOMPARE(code->reason, reason);
    }
    QCOMPARE(int(parsed->unknownRequired().size()), unknownRequired);
}

void TestStunWire::channelData_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("channel");     // 0: not valid ChannelData
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("UDP, unpadded") << stun::channelData(0x4000, "abcde", 5) << 0x4000 << QByteArray("abcde");
    QTest::newRow("TCP, padded") << stun::channelData(0x4FFF, "abcde", 5, true) << 0x4FFF << QByteArray("abcde");
    QTest::newRow("UDP with padding received") << QByteArray::fromHex("40000001" "61000000") << 0x4000
                                               << QByteArray("a");
    QTest::newRow("empty payload") << stun::channelData(0x4123, "", 0) << 0x4123 << QByteArray("");
    QTest::newRow("reserved 0x5000") << QByteArray::fromHex("5000000161") << 0 << QByteArray();
    QTest::newRow("below 0x4000") << QByteArray::fromHex("3fff000161") << 0 << QByteArray();
    QTest::newRow("length beyond datagram") << QByteArray::fromHex("4000000561626364") << 0 << QByteArray();
    QTest::newRow("header cut") << QByteArray::fromHex("400000") << 0 << QByteArray();
}

void TestStunWire::channelData()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, channel);
    QFETCH(QByteArray, payload);
    const std::optional<stun::ChannelData> parsed = stun::parseChannelData(datagram.constData(), datagram.size());
    QCOMPARE(parsed.has_value(), channel != 0);
    if (parsed) {
        QCOMPARE(int(parsed->channel), channel);
        QCOMPARE(QByteArray(parsed->data, int(parsed->size)), payload);
    }
}

void TestStunWire::channelDataLength()
{
    QCOMPARE(stun::channelData(0x4000, "abcde", 5).size(), 9);        // UDP keeps the datagram's length
    QCOMPARE(stun::channelData(0x4000, "abcde", 5, true).size(), 12); // TCP pads to four bytes
}

void TestStunWire::recognisers_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("stun");
    QTest::addColumn<bool>("channelData");
    QTest::newRow("binding request") << stun::bindingRequest(Tid) << true << false;
    QTest::newRow("ChannelData") << stun::channelData(0x4000, "abcd", 4) << false << true;
    QTest::newRow("probe") << QByteArray("KVRA ping 1 2") << false << false;
    QTest::newRow("keepalive") << QByteArray("ping") << false << false;
    QTest::newRow("header without cookie") << QByteArray(20, '\0') << false << false;
}

void TestStunWire::recognisers()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, stun);
    QFETCH(bool, channelData);
    QCOMPARE(stun::looksLikeStun(datagram.constData(), datagram.size()), stun);
    QCOMPARE(stun::looksLikeChannelData(datagram.constData(), datagram.size()), channelData);
}

void TestStunWire::transactionIdsDiffer()
{
    const QByteArray a = stun::newTransactionId();
    QCOMPARE(a.size(), stun::TransactionIdBytes);
    QVERIFY(a != stun::newTransactionId());
}

QTEST_GUILESS_MAIN(TestStunWire)
#include "tst_stunwire.moc"
