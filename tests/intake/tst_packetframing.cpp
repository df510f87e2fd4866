#include "intake/PacketFraming.h"

#include <QTest>

using namespace velora;

using Pieces = QList<QByteArray>;

Q_DECLARE_METATYPE(Pieces)

namespace {

Pieces piecesOf(const FramingResult &result)
{
    return Pieces(result.pieces.begin(), result.pieces.end());
}

} // namespace

class TestPacketFraming : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cutsAndHolds_data()
    {
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<QByteArray>("incoming");
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QByteArray>("stillHeld");

        QTest::newRow("whole packet in one read")
            << QByteArray() << QByteArray("<RBS>4E52\r\n") << Pieces{"<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("closed by <EINDE>")
            << QByteArray() << QByteArray("<RBS>4E52<EINDE>") << Pieces{"<RBS>4E52<EINDE>"} << QByteArray();
        QTest::newRow("two packets in one read") << QByteArray() << QByteArray("<RBS>4E52\r\n<RBS>5752\r\n")
                                                 << Pieces{"<RBS>4E52\r\n", "<RBS>5752\r\n"} << QByteArray();
        QTest::newRow("second packet still arriving")
            << QByteArray() << QByteArray("<RBS>4E52\r\n<RBS>57") << Pieces{"<RBS>4E52\r\n"} << QByteArray("<RBS>57");
        QTest::newRow("one trailer character is not enough")
            << QByteArray() << QByteArray("<RBS>4E52\r") << Pieces{} << QByteArray("<RBS>4E52\r");
        QTest::newRow("completed by the next read")
            << QByteArray("<RBS>4E52\r") << QByteArray("\n") << Pieces{"<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("beginning of the marker is held")
            << QByteArray() << QByteArray("<RB") << Pieces{} << QByteArray("<RB");
        QTest::newRow("marker completed later")
            << QByteArray("<RB") << QByteArray("S>4E52\r\n") << Pieces{"<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("lower-case hex ends the digit run")
            << QByteArray() << QByteArray("<RBS>4e52") << Pieces{"<RBS>4e52"} << QByteArray();
        QTest::newRow("garbage goes at once") << QByteArray() << QByteArray("hello") << Pieces{"hello"} << QByteArray();
        QTest::newRow("garbage then a packet")
            << QByteArray() << QByteArray("xx<RBS>4E52\r\n") << Pieces{"xx", "<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("text before a marker beginning is not held")
            << QByteArray() << QByteArray("xx<RB") << Pieces{"xx<RB"} << QByteArray();
        QTest::newRow("nothing at all") << QByteArray() << QByteArray() << Pieces{} << QByteArray();
    }

    void cutsAndHolds()
    {
        QFETCH(QByteArray, held);
        QFETCH(QByteArray, incoming);
        QFETCH(Pieces, pieces);
        QFETCH(QByteArray, stillHeld);
        const FramingResult result = cutReceivedBytes(held, incoming);
        QCOMPARE(piecesOf(result), pieces);
        QCOMPARE(result.held, stillHeld);
    }

    void appendingInPlaceAgreesWithCutting_data()
    {
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<QByteArray>("incoming");
        QTest::addColumn<bool>("inPlace");

        QTest::newRow("digits onto the marker") << QByteArray("<RBS>") << QByteArray("4E") << true;
        QTest::newRow("digits onto digits") << QByteArray("<RBS>4E") << QByteArray("52") << true;
        QTest::newRow("first trailer character") << QByteArray("<RBS>4E") << QByteArray("52\r") << true;
        QTest::newRow("both trailer characters") << QByteArray("<RBS>4E") << QByteArray("52\r\n") << false;
        QTest::newRow("second trailer character") << QByteArray("<RBS>4E52\r") << QByteArray("\n") << false;
        QTest::newRow("a new packet begins") << QByteArray("<RBS>4E") << QByteArray("<RBS>57") << false;
        QTest::newRow("lower-case digit is a trailer") << QByteArray("<RBS>4E") << QByteArray("5e") << true;
        QTest::newRow("lower-case digits") << QByteArray("<RBS>4E") << QByteArray("5e2") << false;
        QTest::newRow("marker still arriving") << QByteArray("<RB") << QByteArray("S>") << false;
        QTest::newRow("nothing held") << QByteArray() << QByteArray("<RBS>4E") << false;
        QTest::newRow("up to the bound") << "<RBS>" + QByteArray(kPacketBufferBound - 8, 'A') << QByteArray("BC")
                                         << true;
        QTest::newRow("reaching the bound")
            << "<RBS>" + QByteArray(kPacketBufferBound - 7, 'A') << QByteArray("BC") << false;
    }

    void appendingInPlaceAgreesWithCutting()
    {
        QFETCH(QByteArray, held);
        QFETCH(QByteArray, incoming);
        QFETCH(bool, inPlace);
        const FramingResult cut = cutReceivedBytes(held, incoming);
        QByteArray appended = held;
        QCOMPARE(appendWhileIncomplete(appended, incoming), inPlace);
        if (inPlace) {
            QVERIFY(cut.pieces.empty());
            QCOMPARE(appended, cut.held);
        } else {
            QCOMPARE(appended, held);
        }
    }

    void releaseHandsOutWhatIsHeld()
    {
        const FramingResult result = cutReceivedBytes("<RBS>4E5", {}, true);
        QCOMPARE(piecesOf(result), Pieces{"<RBS>4E5"});
        QVERIFY(result.held.isEmpty());
    }

    void boundReleasesAHugePacket()
    {
        // Hex digits without a trailer keep a packet incomplete, but never
        // beyond the bound.
        const QByteArray start = "<RBS>" + QByteArray(kPacketBufferBound - 7, 'A');
        FramingResult result = cutReceivedBytes(start, "B");
        QVERIFY(result.pieces.empty());
        QCOMPARE(result.held.size(), kPacketBufferBound - 1);
        result = cutReceivedBytes(result.held, "C");
        QCOMPARE(result.pieces.size(), std::size_t(1));
        QCOMPARE(result.pieces.front().size(), kPacketBufferBound);
        QVERIFY(result.held.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestPacketFraming)
#include "tst_packetframing.moc"
