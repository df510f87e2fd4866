#include "wire/WireCodec.h"

#include <QRandomGenerator>
#include <QTest>

using namespace velora;

namespace {

QString chars(std::initializer_list<char16_t> codes)
{
    QString text;
    for (char16_t c : codes)
        text.append(QChar(c));
    return text;
}

} // namespace

class TestWireCodec : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void replyTravelsAsFortyFourBytes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("hex");
        QTest::newRow("accepted") << "AC"
                                  << "41432C5242532C372C343731312C302C";
        QTest::newRow("refused") << "NC"
                                 << "4E432C5242532C372C343731312C302C";
    }

    void replyTravelsAsFortyFourBytes()
    {
        QFETCH(QString, type);
        QFETCH(QString, hex);
        tMsgReply reply;
        reply.PacketType = type;
        reply.Sender = "RBS";
        reply.RideNumber = 4711;
        QCOMPARE(ReplyToCommaText(reply), type + ",RBS,7,4711,0,");
        QCOMPARE(EncodeHexText(ReplyToCommaText(reply)), hex);
        const QByteArray sent = envelopeBytes(WrapEnvelope(hex));
        QCOMPARE(sent.size(), 44);
        QCOMPARE(sent, "<RBS>" + hex.toLatin1() + "<EINDE>");

        // What a peer reads back of it, closing with its own two-character trailer.
        const auto unwrapped = UnwrapEnvelope(receivedText("<RBS>" + hex.toLatin1() + "\r\n"));
        QVERIFY(unwrapped);
        QCOMPARE(ReadCommaList(DecodeHexText(*unwrapped)), QStringList({type, "RBS", "7", "4711", "0", ""}));
    }

    void replyHoldsTextsToTheirCapacity()
    {
        tMsgReply reply;
        reply.PacketType = "ACX";
        reply.Sender = "RBS123";
        reply.MessageCode = -7;
        QCOMPARE(ReplyToCommaText(reply), QString("AC,RBS12,-7,0,0,"));
    }

    void unwrapEnvelope_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<bool>("isEnvelope");
        QTest::addColumn<QString>("hex");
        QTest::newRow("crlf trailer") << "<RBS>4E52\r\n" << true << "4E52";
        QTest::newRow("opening only") << "<RBS>" << true << "";
        QTest::newRow("one after opening") << "<RBS>4" << true << "";
        QTest::newRow("two after opening") << "<RBS>4E" << true << "";
        QTest::newRow("closing sent form") << "<RBS>4E52<EINDE>" << true << "4E52<EIND";
        QTest::newRow("lower case opening") << "<rbs>4E52\r\n" << false << "";
        QTest::newRow("opening not first") << " <RBS>4E52\r\n" << false << "";
        QTest::newRow("short") << "<RBS" << false << "";
        QTest::newRow("empty") << "" << false << "";
    }

    void unwrapEnvelope()
    {
        QFETCH(QString, received);
        QFETCH(bool, isEnvelope);
        QFETCH(QString, hex);
        const auto unwrapped = UnwrapEnvelope(received);
        QCOMPARE(unwrapped.has_value(), isEnvelope);
        if (isEnvelope)
            QCOMPARE(*unwrapped, hex);
    }

    void decodeHexText_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<QString>("text");
        QTest::newRow("pairs") << "4E52"
                               << "NR";
        QTest::newRow("odd digit ignored") << "4E52C"
                                           << "NR";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("code 0 kept") << "4E0052" << chars({u'N', 0, u'R'});
        QTest::newRow("latin-1") << "E9FF" << chars({0xE9, 0xFF});
        QTest::newRow("four-digit group read as pairs") << "20AC" << chars({0x20, 0xAC});
        QTest::newRow("lower case") << "4e52"
                                    << "NR";
        QTest::newRow("non-hex digits count as 0") << "G1Z?" << chars({0x01, 0x00});
        QTest::newRow("closing sent form") << "4E52<EIND" << chars({u'N', u'R', 0x0E, 0x00});
    }

    void decodeHexText()
    {
        QFETCH(QString, hex);
        QFETCH(QString, text);
        QCOMPARE(DecodeHexText(hex), text);
    }

    void hexValueOfEveryPairIsOneByte()
    {
        QCOMPARE(HexValue(u"FF"), 255);
        QCOMPARE(HexValue(u"7f"), 127);
        QCOMPARE(HexValue(u"100"), 256);
        QCOMPARE(HexValue(u""), 0);
        // Whatever two characters arrive, the pair stays a byte.
        const QString probe = QStringLiteral("0159AFafGgZz <>\"\0") + QChar(0x20AC) + QChar(0xFF);
        for (QChar a : probe) {
            for (QChar b : probe) {
                const QString pair = QString(a) + b;
                const int value = HexValue(pair);
                QVERIFY2(value >= 0 && value <= 0xFF, qPrintable(pair));
            }
        }
    }

    void encodeHexText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("hex");
        QTest::newRow("ascii") << "NR,"
                               << "4E522C";
        QTest::newRow("leading zero") << "\n"
                                      << "0A";
        QTest::newRow("code 0") << chars({0}) << "00";
        QTest::newRow("latin-1") << "é"
                                 << "E9";
        // Above FF: the code page byte, so that later pairs stay aligned.
        QTest::newRow("euro") << "a€b"
                              << "618062";
        QTest::newRow("s caron") << "Š"
                                 << "8A";
        QTest::newRow("no code page byte") << "a中b"
                                           << "613F62";
    }

    void encodeHexText()
    {
        QFETCH(QString, text);
        QFETCH(QString, hex);
        QCOMPARE(EncodeHexText(text), hex);
    }

    void everyByteSurvivesEncodeAndDecode()
    {
        QString all;
        for (char16_t c = 0; c <= 0xFF; ++c)
            all.append(QChar(c));
        const QString hex = EncodeHexText(all);
        QCOMPARE(hex.size(), 512);
        QCOMPARE(DecodeHexText(hex), all);

        QByteArray bytes;
        for (int b = 0; b <= 0xFF; ++b)
            bytes.append(char(b));
        QCOMPARE(receivedText(bytes), all);
    }

    void readCommaList_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("plain") << "NR,RBS,0" << QStringList{"NR", "RBS", "0"};
        QTest::newRow("two commas") << "a,,b" << QStringList{"a", "", "b"};
        QTest::newRow("blank splits") << "a b,c" << QStringList{"a", "b", "c"};
        QTest::newRow("doubled quote") << "a,\"x\"\"y\",b" << QStringList{"a", "x\"y", "b"};
        QTest::newRow("trailing comma") << "a," << QStringList{"a", ""};
        QTest::newRow("leading blank") << " ,a" << QStringList{"", "a"};
        QTest::newRow("empty text") << "" << QStringList{};
        QTest::newRow("blanks only") << " \t " << QStringList{};
        QTest::newRow("comma only") << "," << QStringList{"", ""};
        QTest::newRow("two trailing commas") << "a,," << QStringList{"a", "", ""};
        QTest::newRow("blanks around items") << "  a  ,\t b \r\n" << QStringList{"a", "b"};
        QTest::newRow("quoted with comma and blank") << "\"a, b\",c" << QStringList{"a, b", "c"};
        QTest::newRow("quoted empty") << "\"\"" << QStringList{""};
        QTest::newRow("unclosed quote") << "a,\"b,c" << QStringList{"a", "b,c"};
        QTest::newRow("text after closing quote") << "\"a\"b,c" << QStringList{"a", "b", "c"};
        QTest::newRow("code 0 ends the text") << chars({u'a', u',', u'b', 0, u',', u'c'}) << QStringList{"a", "b"};
        QTest::newRow("comma before code 0") << chars({u'a', u',', 0, u'b'}) << QStringList{"a", ""};
    }

    void readCommaList()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, items);
        QCOMPARE(ReadCommaList(text), items);
    }

    void writeCommaList_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("text");
        QTest::newRow("blank quotes") << QStringList{"a b", "c"} << "\"a b\",c";
        QTest::newRow("single empty item") << QStringList{""} << "\"\"";
        QTest::newRow("no items") << QStringList{} << "";
        QTest::newRow("two empty items") << QStringList{"", ""} << ",";
        QTest::newRow("quote doubled") << QStringList{"x\"y"} << "\"x\"\"y\"";
        QTest::newRow("comma") << QStringList{"a,b", "c"} << "\"a,b\",c";
        QTest::newRow("control") << QStringList{"a\tb"} << "\"a\tb\"";
        QTest::newRow("empty last item") << QStringList{"AC", "RBS", "7", "4711", "0", ""} << "AC,RBS,7,4711,0,";
        QTest::newRow("other characters unquoted") << QStringList{"é€;'"} << "é€;'";
    }

    void writeCommaList()
    {
        QFETCH(QStringList, items);
        QFETCH(QString, text);
        QCOMPARE(WriteCommaList(items), text);
    }

    void writtenListsReadBack()
    {
        // Items built from the characters the rules treat specially, plus
        // ordinary and non-ASCII ones; code 0 is outside the guarantee.
        const QString alphabet = QStringLiteral("ab ,\"\t\r\n\x01\x1F!é€");
        QRandomGenerator random(4711);
        for (int round = 0; round < 3000; ++round) {
            QStringList items;
            const int count = random.bounded(0, 7);
            for (int i = 0; i < count; ++i) {
                QString item;
                const int length = random.bounded(0, 6);
                for (int j = 0; j < length; ++j)
                    item.append(alphabet[random.bounded(int(alphabet.size()))]);
                items.append(item);
            }
            const QString text = WriteCommaList(items);
            QVERIFY2(ReadCommaList(text) == items, qPrintable(text));
        }
    }
};

QTEST_GUILESS_MAIN(TestWireCodec)
#include "tst_wirecodec.moc"
