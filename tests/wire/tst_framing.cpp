#include "wire/Framing.h"

#include <QTest>

using namespace velora;

using Pieces = QList<QByteArray>;

Q_DECLARE_METATYPE(Pieces)

namespace {

// The hold rules the two links cut with.
enum class Link {
    Intake,
    Return,
    ReturnTakeAll
};

HoldRule ruleOf(Link link)
{
    if (link == Link::Intake)
        return kIntakeHoldRule;
    return {kReplyBufferLimit, link == Link::ReturnTakeAll, true};
}

Pieces piecesOf(const FramingResult &result)
{
    return Pieces(result.pieces.begin(), result.pieces.end());
}

} // namespace

Q_DECLARE_METATYPE(Link)

class TestFraming : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cutsAndHolds_data()
    {
        QTest::addColumn<Link>("link");
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<QByteArray>("incoming");
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QByteArray>("stillHeld");

        const Link in = Link::Intake, back = Link::Return;
        QTest::newRow("whole packet in one read")
            << in << QByteArray() << QByteArray("<RBS>4E52\r\n") << Pieces{"<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("closed by <EINDE>")
            << in << QByteArray() << QByteArray("<RBS>4E52<EINDE>") << Pieces{"<RBS>4E52<EINDE>"} << QByteArray();
        QTest::newRow("two packets in one read") << in << QByteArray() << QByteArray("<RBS>4E52\r\n<RBS>5752\r\n")
                                                 << Pieces{"<RBS>4E52\r\n", "<RBS>5752\r\n"} << QByteArray();
        QTest::newRow("second packet still arriving") << in << QByteArray() << QByteArray("<RBS>4E52\r\n<RBS>57")
                                                      << Pieces{"<RBS>4E52\r\n"} << QByteArray("<RBS>57");
        QTest::newRow("one trailer character is not enough")
            << in << QByteArray() << QByteArray("<RBS>4E52\r") << Pieces{} << QByteArray("<RBS>4E52\r");
        QTest::newRow("completed by the next read")
            << in << QByteArray("<RBS>4E52\r") << QByteArray("\n") << Pieces{"<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("beginning of the marker is held")
            << in << QByteArray() << QByteArray("<RB") << Pieces{} << QByteArray("<RB");
        QTest::newRow("marker completed later")
            << in << QByteArray("<RB") << QByteArray("S>4E52\r\n") << Pieces{"<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("lower-case hex ends the digit run")
            << in << QByteArray() << QByteArray("<RBS>4e52") << Pieces{"<RBS>4e52"} << QByteArray();
        QTest::newRow("garbage goes at once")
            << in << QByteArray() << QByteArray("hello") << Pieces{"hello"} << QByteArray();
        QTest::newRow("garbage then a packet")
            << in << QByteArray() << QByteArray("xx<RBS>4E52\r\n") << Pieces{"xx", "<RBS>4E52\r\n"} << QByteArray();
        QTest::newRow("a marker beginning after a packet waits for its packet")
            << in << QByteArray() << QByteArray("<RBS>4E52\r\n<RB") << Pieces{"<RBS>4E52\r\n"} << QByteArray("<RB");
        QTest::newRow("nothing at all") << in << QByteArray() << QByteArray() << Pieces{} << QByteArray();

        // A return host's answers: a beginning of the marker after a complete
        // answer is held apart.
        const QByteArray ac = "<RBS>41432C\r\n", nc = "<RBS>4E432C\r\n";
        QTest::newRow("answer: one") << back << QByteArray() << ac << Pieces{ac} << QByteArray();
        QTest::newRow("answer: two in one read") << back << QByteArray() << ac + nc << Pieces{ac, nc} << QByteArray();
        QTest::newRow("answer: bare AC") << back << QByteArray() << QByteArray("AC") << Pieces{"AC"} << QByteArray();
        QTest::newRow("answer: hex not ended") << back << QByteArray() << ac.left(9) << Pieces{} << ac.left(9);
        QTest::newRow("answer: one trailer char") << back << QByteArray() << ac.chopped(1) << Pieces{} << ac.chopped(1);
        QTest::newRow("answer: then a beginning")
            << back << QByteArray() << ac + "<R" << Pieces{ac} << QByteArray("<R");
        QTest::newRow("answer: closing marker split")
            << back << QByteArray() << QByteArray("<RBS>4143<") << Pieces{} << QByteArray("<RBS>4143<");
        QTest::newRow("answer: closing marker whole")
            << back << QByteArray() << QByteArray("<RBS>4143<EINDE>") << Pieces{"<RBS>4143<EINDE>"} << QByteArray();
        QTest::newRow("answer: take all")
            << Link::ReturnTakeAll << QByteArray() << ac.left(9) << Pieces{ac.left(9)} << QByteArray();
        QTest::newRow("answer: garbage first")
            << back << QByteArray() << "xyz" + ac << Pieces{"xyz", ac} << QByteArray();
    }

    void cutsAndHolds()
    {
        QFETCH(Link, link);
        QFETCH(QByteArray, held);
        QFETCH(QByteArray, incoming);
        QFETCH(Pieces, pieces);
        QFETCH(QByteArray, stillHeld);
        const FramingResult result = cutFrames(held, incoming, ruleOf(link));
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
        const FramingResult cut = cutFrames(held, incoming, ruleOf(Link::Intake));
        QByteArray appended = held;
        QCOMPARE(appendWhileIncomplete(appended, incoming, kPacketBufferBound), inPlace);
        if (inPlace) {
            QVERIFY(cut.pieces.empty());
            QCOMPARE(appended, cut.held);
        } else {
            QCOMPARE(appended, held);
        }
    }

    void releaseHandsOutWhatIsHeld()
    {
        const FramingResult result = cutFrames("<RBS>4E5", {}, {.release = true});
        QCOMPARE(piecesOf(result), Pieces{"<RBS>4E5"});
        QVERIFY(result.held.isEmpty());
    }

    void boundReleasesAHugePacket()
    {
        // Hex digits without a trailer keep a packet incomplete, but never
        // beyond the bound.
        const QByteArray start = "<RBS>" + QByteArray(kPacketBufferBound - 7, 'A');
        FramingResult result = cutFrames(start, "B", ruleOf(Link::Intake));
        QVERIFY(result.pieces.empty());
        QCOMPARE(result.held.size(), kPacketBufferBound - 1);
        result = cutFrames(result.held, "C", ruleOf(Link::Intake));
        QCOMPARE(result.pieces.size(), std::size_t(1));
        QCOMPARE(result.pieces.front().size(), kPacketBufferBound);
        QVERIFY(result.held.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestFraming)
#include "tst_framing.moc"
