// The X11 pieces of the window watch: a wrong parse here either ends a match whose window
// still exists (Gone from anything but a clear BadWindow) or never ends one whose window went.
#include "platform/x11proto.h"

#include <QTest>

#include <string>

namespace wire = platform::x11proto;

Q_DECLARE_METATYPE(wire::DisplayKind)
Q_DECLARE_METATYPE(wire::SetupStatus)
Q_DECLARE_METATYPE(wire::Answer)

namespace {

std::string bytes(const QByteArray &data)
{
    return std::string(data.constData(), std::size_t(data.size()));
}

QByteArray be16(int value)
{
    return QByteArray(1, char((value >> 8) & 0xFF)) + QByteArray(1, char(value & 0xFF));
}

QByteArray le16(int value)
{
    return QByteArray(1, char(value & 0xFF)) + QByteArray(1, char((value >> 8) & 0xFF));
}

QByteArray le32(quint32 value)
{
    return le16(int(value & 0xFFFF)) + le16(int(value >> 16));
}

QByteArray counted(const QByteArray &text)
{
    return be16(int(text.size())) + text;
}

QByteArray authEntry(int family, const QByteArray &address, const QByteArray &number, const QByteArray &name,
                     const QByteArray &data)
{
    return be16(family) + counted(address) + counted(number) + counted(name) + counted(data);
}

const QByteArray Mit = "MIT-MAGIC-COOKIE-1";
const QByteArray CookieA = QByteArray(16, 'a');
const QByteArray CookieB = QByteArray(16, 'b');
const QByteArray CookieW = QByteArray(16, 'w');
constexpr quint32 Window = 0x00400006;

// A 32-byte unit: code, second byte, sequence, a 32-bit word, then filler.
QByteArray unit(int code, int second, int sequence, quint32 word, int byte10 = 0)
{
    QByteArray out = QByteArray(1, char(code)) + QByteArray(1, char(second)) + le16(sequence) + le32(word);
    out += QByteArray(2, '\0') + QByteArray(1, char(byte10)) + QByteArray(21, '\0');
    return out;
}

QByteArray badWindow(int sequence, quint32 window)
{
    return unit(0, wire::BadWindowError, sequence, window, wire::GetWindowAttributesOpcode);
}

// GetWindowAttributes reply: 32 bytes plus 3 four-byte units.
QByteArray attributesReply(int sequence)
{
    return unit(1, 0, sequence, 3) + QByteArray(12, '\0');
}

} // namespace

class TestX11Proto : public QObject
{
    Q_OBJECT

private slots:
    void displayName_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<wire::DisplayKind>("kind");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("screen");
        using K = wire::DisplayKind;
        QTest::newRow("local display") << QByteArray(":0") << K::Unix << QByteArray() << 0 << 0;
        QTest::newRow("local display with screen") << QByteArray(":12.3") << K::Unix << QByteArray() << 12 << 3;
        QTest::newRow("unix prefix") << QByteArray("unix:5") << K::Unix << QByteArray() << 5 << 0;
        QTest::newRow("unix protocol") << QByteArray("unix/:7") << K::Unix << QByteArray() << 7 << 0;
        QTest::newRow("host name") << QByteArray("example.org:2") << K::Tcp << QByteArray("example.org") << 2 << 0;
        QTest::newRow("IPv4 literal") << QByteArray("127.0.0.1:10.1") << K::Tcp << QByteArray("127.0.0.1") << 10 << 1;
        QTest::newRow("tcp protocol") << QByteArray("tcp/localhost:3") << K::Tcp << QByteArray("localhost") << 3 << 0;
        QTest::newRow("tcp protocol, no host") << QByteArray("tcp/:4") << K::Tcp << QByteArray("localhost") << 4 << 0;
        QTest::newRow("IPv6 literal in brackets") << QByteArray("[::1]:1") << K::Tcp << QByteArray("::1") << 1 << 0;
        QTest::newRow("socket path") << QByteArray("/tmp/xyz/sock:0") << K::Unix << QByteArray("/tmp/xyz/sock") << 0 << 0;
        QTest::newRow("largest display number") << QByteArray(":59535") << K::Unix << QByteArray() << 59535 << 0;
        QTest::newRow("port beyond 65535") << QByteArray(":59536") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("empty") << QByteArray() << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("no colon") << QByteArray("localhost") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("no number") << QByteArray(":") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("number not decimal") << QByteArray(":0x1") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("signed number") << QByteArray(":-1") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("empty screen") << QByteArray(":0.") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("DECnet") << QByteArray("node::0") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("bare IPv6 literal") << QByteArray("::1:0") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("unknown protocol") << QByteArray("decnet/node:0") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("relative socket path") << QByteArray("tmp/sock:0") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("blank in host") << QByteArray("not a display:0") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("garbage") << QByteArray("not a display") << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("socket path too long for sockaddr_un")
            << '/' + QByteArray(200, 'p') + ":0" << K::Invalid << QByteArray() << -1 << 0;
        QTest::newRow("NUL inside") << QByteArray(":0\0x", 4) << K::Invalid << QByteArray() << -1 << 0;
    }

    void displayName()
    {
        QFETCH(QByteArray, text);
        QFETCH(wire::DisplayKind, kind);
        QFETCH(QByteArray, host);
        QFETCH(int, number);
        QFETCH(int, screen);
        const wire::DisplayName name = wire::parseDisplayName(bytes(text));
        QCOMPARE(name.kind, kind);
        QCOMPARE(QByteArray::fromStdString(name.host), host);
        QCOMPARE(name.number, number);
        if (kind != wire::DisplayKind::Invalid)
            QCOMPARE(name.screen, screen);
    }

    void socketAndPort()
    {
        QCOMPARE(QByteArray::fromStdString(wire::unixSocketPath(1200)), QByteArray("/tmp/.X11-unix/X1200"));
        QCOMPARE(wire::tcpPort(0), 6000);
        QCOMPARE(wire::tcpPort(59535), 65535);
    }

    void xauthority_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("family");
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("entries");
        QTest::addColumn<QByteArray>("cookie"); // empty: none picked
        const QByteArray local = authEntry(wire::FamilyLocal, "box", "3", Mit, CookieA);
        const QByteArray other = authEntry(wire::FamilyLocal, "box", "4", Mit, CookieB);
        const QByteArray wild = authEntry(wire::FamilyWild, "", "3", Mit, CookieW);
        const QByteArray inet = authEntry(wire::FamilyInternet, QByteArray("\xC0\x00\x02\x07", 4), "3", Mit, CookieB);
        const int L = wire::FamilyLocal;
        QTest::newRow("local entry for our host and display") << other + local << L << QByteArray("box") << 3 << 2 << CookieA;
        QTest::newRow("wrong display") << other << L << QByteArray("box") << 3 << 1 << QByteArray();
        QTest::newRow("wrong host name") << local << L << QByteArray("other") << 3 << 1 << QByteArray();
        QTest::newRow("wild entry matches any address") << wild << L << QByteArray("other") << 3 << 1 << CookieW;
        QTest::newRow("first match wins") << local + wild << L << QByteArray("box") << 3 << 2 << CookieA;
        QTest::newRow("empty display number matches any")
            << authEntry(wire::FamilyLocal, "box", "", Mit, CookieA) << L << QByteArray("box") << 9 << 1 << CookieA;
        QTest::newRow("other authorisation kinds skipped")
            << authEntry(wire::FamilyLocal, "box", "3", "XDM-AUTHORIZATION-1", CookieB) + wild << L << QByteArray("box")
            << 3 << 2 << CookieW;
        QTest::newRow("TCP: the server's four address bytes")
            << local + inet << int(wire::FamilyInternet) << QByteArray("\xC0\x00\x02\x07", 4) << 3 << 2 << CookieB;
        QTest::newRow("TCP: another address") << inet << int(wire::FamilyInternet)
                                              << QByteArray("\xC0\x00\x02\x08", 4) << 3 << 1 << QByteArray();
        QTest::newRow("truncated last entry dropped")
            << local + wild.left(wild.size() - 3) << L << QByteArray("other") << 3 << 1 << QByteArray();
        QTest::newRow("truncated inside a length") << local.left(1) << L << QByteArray("box") << 3 << 0 << QByteArray();
        QTest::newRow("length beyond the end")
            << be16(L) + be16(0xFFFF) + "box" << L << QByteArray("box") << 3 << 0 << QByteArray();
        QTest::newRow("empty file") << QByteArray() << L << QByteArray("box") << 3 << 0 << QByteArray();
    }

    void xauthority()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, family);
        QFETCH(QByteArray, address);
        QFETCH(int, number);
        QFETCH(int, entries);
        QFETCH(QByteArray, cookie);
        const std::vector<wire::AuthEntry> parsed = wire::parseXauthority(bytes(file));
        QCOMPARE(int(parsed.size()), entries);
        wire::AuthPeer peer{std::uint16_t(family), bytes(address), number};
        wire::Cookie picked;
        QCOMPARE(wire::pickCookie(parsed, peer, &picked), !cookie.isEmpty());
        QCOMPARE(QByteArray::fromStdString(picked.data), cookie);
        QCOMPARE(QByteArray::fromStdString(picked.name), cookie.isEmpty() ? QByteArray() : Mit);
    }

    void hostsFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QStringList>("addresses");
        const QByteArray hosts = "# comment localhost\n127.0.0.1\tlocalhost box\n::1 localhost ip6-localhost\n"
                                 "192.0.2.7 Server.Example server # trailing comment\n";
        QTest::newRow("localhost: both lines") << hosts << QByteArray("localhost") << QStringList{"127.0.0.1", "::1"};
        QTest::newRow("alias, any case") << hosts << QByteArray("SERVER") << QStringList{"192.0.2.7"};
        QTest::newRow("name only in a comment") << hosts << QByteArray("comment") << QStringList{};
        QTest::newRow("address is not a name") << hosts << QByteArray("127.0.0.1") << QStringList{};
        QTest::newRow("no final newline") << QByteArray("10.0.0.1 x") << QByteArray("x") << QStringList{"10.0.0.1"};
        QTest::newRow("limit") << QByteArray("1.1.1.1 x\n2.2.2.2 x\n3.3.3.3 x\n") << QByteArray("x")
                               << QStringList{"1.1.1.1", "2.2.2.2"};
    }

    void hostsFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, name);
        QFETCH(QStringList, addresses);
        QStringList found;
        for (const std::string &address : wire::hostsAddresses(bytes(text), bytes(name), 2))
            found << QString::fromStdString(address);
        QCOMPARE(found, addresses);
    }

    void setupRequest_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray head = QByteArray("l\0\x0b\0\0\0", 6);
        QTest::newRow("no authorisation") << QByteArray() << QByteArray() << head + QByteArray(6, '\0');
        QTest::newRow("MIT cookie, name padded to 20")
            << Mit << CookieA << head + le16(18) + le16(16) + QByteArray(2, '\0') + Mit + QByteArray(2, '\0') + CookieA;
        QTest::newRow("odd data length padded")
            << QByteArray("ab") << QByteArray("xyz") << head + le16(2) + le16(3) + QByteArray(2, '\0') + "ab"
                   + QByteArray(2, '\0') + "xyz" + QByteArray(1, '\0');
        QTest::newRow("data longer than 65535") << Mit << QByteArray(65536, 'd') << QByteArray();
    }

    void setupRequest()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        const std::string request = wire::setupRequest({bytes(name), bytes(data)});
        QCOMPARE(QByteArray::fromStdString(request), expected);
        QCOMPARE(request.size() % 4, std::size_t(0));
    }

    void setupHeader_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<wire::SetupStatus>("status");
        QTest::addColumn<int>("totalLength");
        using S = wire::SetupStatus;
        QTest::newRow("success") << QByteArray("\x01\x00\x0b\x00\x00\x00", 6) + le16(200) << S::Success << 808;
        QTest::newRow("success, header only")
            << QByteArray("\x01\x00\x0b\x00\x00\x00\x00\x00", 8) << S::Success << 8;
        QTest::newRow("failed with reason")
            << QByteArray("\x00\x15\x0b\x00\x00\x00", 6) + le16(6) + "No protocol specified\0\0\0" << S::Failed << 32;
        QTest::newRow("authenticate") << QByteArray("\x02\x00\x00\x00\x00\x00", 6) + le16(2) << S::Authenticate << 16;
        QTest::newRow("largest length") << QByteArray("\x01\x00\x0b\x00\x00\x00\xff\xff", 8) << S::Success << 262148;
        QTest::newRow("truncated header") << QByteArray("\x01\x00\x0b\x00\x00\x00\x00", 7) << S::Incomplete << 0;
        QTest::newRow("nothing yet") << QByteArray() << S::Incomplete << 0;
        QTest::newRow("not an X server") << QByteArray("HTTP/1.1 400") << S::Invalid << 0;
    }

    void setupHeader()
    {
        QFETCH(QByteArray, reply);
        QFETCH(wire::SetupStatus, status);
        QFETCH(int, totalLength);
        const wire::SetupHeader header =
            wire::parseSetupHeader(reinterpret_cast<const unsigned char *>(reply.constData()), std::size_t(reply.size()));
        QCOMPARE(header.status, status);
        QCOMPARE(int(header.totalLength), totalLength);
    }

    void windowRequest()
    {
        QCOMPARE(QByteArray::fromStdString(wire::getWindowAttributesRequest(Window)),
                 QByteArray("\x03\x00\x02\x00\x06\x00\x40\x00", 8));
    }

    void answer_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<wire::Answer>("answer");
        QTest::addColumn<int>("consumed");
        using A = wire::Answer;
        const int seq = 7;
        const QByteArray event = unit(12, 0, seq, 0); // Expose
        const QByteArray generic = unit(35, 0, seq, 2) + QByteArray(8, '\0');
        QTest::newRow("BadWindow for our window: gone") << badWindow(seq, Window) << A::Gone << 32;
        QTest::newRow("other error code: cannot decide")
            << unit(0, 8, seq, Window, wire::GetWindowAttributesOpcode) << A::Unknown << 32;
        QTest::newRow("BadWindow naming another window: cannot decide") << badWindow(seq, Window + 1) << A::Unknown << 32;
        QTest::newRow("BadWindow from another request: cannot decide")
            << unit(0, wire::BadWindowError, seq, Window, 20) << A::Unknown << 32;
        QTest::newRow("reply: exists") << attributesReply(seq) << A::Exists << 44;
        QTest::newRow("event before the reply") << event + attributesReply(seq) << A::Exists << 76;
        QTest::newRow("sent event before the error") << unit(12 | 0x80, 0, 0, 0) + badWindow(seq, Window) << A::Gone << 64;
        QTest::newRow("generic event with its length before the reply")
            << generic + attributesReply(seq) << A::Exists << 84;
        QTest::newRow("reply for another sequence: not ours") << attributesReply(seq - 1) << A::None << 44;
        QTest::newRow("error for another sequence, then ours")
            << badWindow(seq - 1, Window) + attributesReply(seq) << A::Exists << 76;
        QTest::newRow("BadWindow error for another sequence: never gone") << badWindow(seq + 1, Window) << A::None << 32;
        QTest::newRow("reply not complete yet") << attributesReply(seq).left(40) << A::None << 0;
        QTest::newRow("error not complete yet") << badWindow(seq, Window).left(31) << A::None << 0;
        QTest::newRow("nothing") << QByteArray() << A::None << 0;
        QTest::newRow("reply longer than any of ours: broken") << unit(1, 0, seq, 0x40000000) << A::Broken << 0;
        QTest::newRow("generic event too long: broken") << unit(35, 0, seq, 0xFFFFFFFF) << A::Broken << 0;
    }

    void answer()
    {
        QFETCH(QByteArray, stream);
        QFETCH(wire::Answer, answer);
        QFETCH(int, consumed);
        const wire::Scan scan = wire::scanForAnswer(reinterpret_cast<const unsigned char *>(stream.constData()),
                                                    std::size_t(stream.size()), 7, Window);
        QCOMPARE(scan.answer, answer);
        QCOMPARE(int(scan.consumed), consumed);
    }

    void unitKinds()
    {
        const QByteArray error = badWindow(0x1234, Window);
        const wire::ServerUnit unit0 =
            wire::classifyUnit(reinterpret_cast<const unsigned char *>(error.constData()), std::size_t(error.size()));
        QCOMPARE(unit0.kind, wire::UnitKind::Error);
        QCOMPARE(int(unit0.sequence), 0x1234);
        QCOMPARE(int(unit0.errorCode), 3);
        QCOMPARE(unit0.badValue, Window);
        const QByteArray reply = attributesReply(9);
        const wire::ServerUnit unit1 =
            wire::classifyUnit(reinterpret_cast<const unsigned char *>(reply.constData()), std::size_t(reply.size()));
        QCOMPARE(unit1.kind, wire::UnitKind::Reply);
        QCOMPARE(int(unit1.length), 44);
        QCOMPARE(int(unit1.sequence), 9);
    }
};

QTEST_GUILESS_MAIN(TestX11Proto)
#include "tst_x11proto.moc"
