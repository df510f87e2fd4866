#include "shell/Failure.h"
#include "wire/RideOrder.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

using namespace velora;

namespace {

const QList<int> kDateTimeItems = {4, 5, 23, 24, 49};

// A valid packet: every item "0", date-times set, the identifying items filled.
QStringList validItems()
{
    QStringList items(kRideOrderItemCount, QStringLiteral("0"));
    for (int index : kDateTimeItems)
        items[index] = QStringLiteral("201403051407");
    items[0] = QStringLiteral("NR");
    items[1] = QStringLiteral("RBS");
    items[3] = QStringLiteral("4711");
    return items;
}

tRitOrder parseWith(int index, const QString &item)
{
    QStringList items = validItems();
    items[index] = item;
    return ParseRideOrder(WriteCommaList(items));
}

QString failureOf(const QString &payload)
{
    try {
        ParseRideOrder(payload);
    } catch (const Failure &failure) {
        return failure.message();
    }
    return QString();
}

QString envelopeFor(const QString &payload)
{
    return QStringLiteral("<RBS>") + EncodeHexText(payload) + QStringLiteral("\r\n");
}

} // namespace

class TestRideOrder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void itemsLandInTheirFields()
    {
        // Each item distinct, so that a field read from the wrong position shows.
        QStringList items = validItems();
        for (int i = 2; i < kRideOrderItemCount; ++i) {
            if (!kDateTimeItems.contains(i))
                items[i] = QString::number(i);
        }
        items[9] = items[87] = "T";
        items[10] = "Jansen";
        items[42] = "R";
        items[49] = "201512312359";
        items[56] = "x56";
        items[95] = "95";
        const tRitOrder order = ParseRideOrder(WriteCommaList(items));
        QCOMPARE(order.PacketType, QString("NR"));
        QCOMPARE(order.Sender, QString("RBS"));
        QCOMPARE(order.Spare02, 2);
        QCOMPARE(order.RideNumber, 3);
        QCOMPARE(order.RideTime, wallClock(QDate(2014, 3, 5), QTime(14, 7)));
        QCOMPARE(order.WalkerCountOverride, 8);
        QVERIFY(order.Combinable);
        QVERIFY(!order.Urgent); // "35" is not "T"
        QCOMPARE(order.TravellerName, QString("Jansen"));
        QCOMPARE(order.DebtorNumber, 25);
        QCOMPARE(order.PaymentMethod, QString("R"));
        QCOMPARE(order.DvvDate, wallClock(QDate(2015, 12, 31), QTime(23, 59)));
        QCOMPARE(order.CallAhead, 52);
        QCOMPARE(order.Properties, QString("x56"));
        QCOMPARE(order.Distance, 60);
        QCOMPARE(order.Assistance, QString("6")); // "67" cut to one character
        QVERIFY(order.ETaxi);
        QCOMPARE(order.EbOv, 92);
        QCOMPARE(order.MinRideSeconds, 95);
        QVERIFY(order.SpareNote.isEmpty());
    }

    void itemCountAndTrailingComma_data()
    {
        QTest::addColumn<int>("items");
        QTest::addColumn<bool>("trailingComma");
        QTest::addColumn<QString>("failure");
        QTest::newRow("95 items and a comma") << 95 << true << "";
        QTest::newRow("95 items") << 95 << false << "List index out of bounds (95)";
        QTest::newRow("50 items") << 50 << false << "List index out of bounds (50)";
        QTest::newRow("more than 96") << 120 << false << "";
    }

    void itemCountAndTrailingComma()
    {
        QFETCH(int, items);
        QFETCH(bool, trailingComma);
        QFETCH(QString, failure);
        QStringList list = validItems();
        while (list.size() < items)
            list.append(QStringLiteral("extra"));
        list = list.mid(0, items);
        const QString payload = WriteCommaList(list) + (trailingComma ? "," : "");
        QCOMPARE(failureOf(payload), failure);
        if (failure.isEmpty() && items == 95)
            QCOMPARE(ParseRideOrder(payload).MinRideSeconds, 0);
        QCOMPARE(failureOf(QString()), QString("List index out of bounds (0)"));
    }

    void dateTimeItems_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QDateTime>("value");
        const QDateTime invalid;
        const QDateTime march5 = wallClock(QDate(2014, 3, 5), QTime(14, 7));
        QTest::newRow("twelve digits") << "201403051407" << march5;
        QTest::newRow("seconds ignored") << "20140305140799" << march5;
        QTest::newRow("leap day") << "201602290000" << wallClock(QDate(2016, 2, 29), QTime(0, 0));
        QTest::newRow("last minute") << "999912312359" << wallClock(QDate(9999, 12, 31), QTime(23, 59));
        QTest::newRow("too short") << "2014030514" << invalid;
        QTest::newRow("empty") << "" << invalid;
        QTest::newRow("30 February") << "201402301200" << invalid;
        QTest::newRow("year 0") << "000003051200" << invalid;
        QTest::newRow("hour 24") << "201403052400" << invalid;
        QTest::newRow("minute 60") << "201403051460" << invalid;
        QTest::newRow("separators") << "2014-3-5 14:07" << invalid;
        QTest::newRow("sign in group") << "2014+3051407" << invalid;
    }

    void dateTimeItems()
    {
        QFETCH(QString, item);
        QFETCH(QDateTime, value);
        const QString message = item + "is not a valid datetime string";
        if (value.isValid()) {
            QCOMPARE(ParseOrderDateTime(item), value);
            QCOMPARE(parseWith(4, item).RideTime, value);
            return;
        }
        QVERIFY_THROWS_EXCEPTION(Failure, ParseOrderDateTime(item));
        try {
            ParseOrderDateTime(item);
        } catch (const Failure &failure) {
            QCOMPARE(failure.message(), message);
        }
        // In a packet it fails the whole parse, even for a date only logged.
        QStringList items = validItems();
        items[49] = item;
        QCOMPARE(failureOf(WriteCommaList(items)), message);
        // The first failing position wins over items missing later.
        QCOMPARE(failureOf(WriteCommaList(items.mid(0, 60))), message);
    }

    void integerAndFlagItems_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("integer");
        QTest::addColumn<bool>("flag");
        QTest::newRow("T") << "T" << 0 << true;
        QTest::newRow("t") << "t" << 0 << false;
        QTest::newRow("1") << "1" << 1 << false;
        QTest::newRow("Y") << "Y" << 0 << false;
        QTest::newRow("TRUE") << "TRUE" << 0 << false;
        QTest::newRow("empty") << "" << 0 << false;
        QTest::newRow("negative") << "-5" << -5 << false;
        QTest::newRow("trailing letter") << "12a" << 0 << false;
        QTest::newRow("hex") << "$1F" << 31 << false;
        QTest::newRow("overflow") << "2147483648" << 0 << false;
        QTest::newRow("minimum") << "-2147483648" << int(std::numeric_limits<qint32>::min()) << false;
    }

    void integerAndFlagItems()
    {
        QFETCH(QString, item);
        QFETCH(int, integer);
        QFETCH(bool, flag);
        QCOMPARE(parseWith(7, item).WheelchairCount, integer);
        QCOMPARE(parseWith(35, item).Urgent, flag);
    }

    void textItemsAreSingleByteFieldsCutToCapacity()
    {
        QCOMPARE(parseWith(10, QString(50, u'n')).TravellerName, QString(40, u'n'));
        QCOMPARE(parseWith(42, "RR").PaymentMethod, QString("R"));
        QCOMPARE(parseWith(10, "Jansen, \"Piet\"").TravellerName, QString("Jansen, \"Piet\""));

        // Code page bytes arrive as codes 80..FF; the field holds their characters.
        QStringList items = validItems();
        items[10] = "Ma" + QString(QChar(0x8A)) + "a " + QChar(0x80) + QChar(0xE9);
        const auto hex = UnwrapEnvelope(envelopeFor(WriteCommaList(items)));
        QVERIFY(hex);
        QCOMPARE(ParseRideOrder(DecodeHexText(*hex)).TravellerName, QString("MaŠa €é"));
    }

    void replyForAnOrder()
    {
        QStringList items = validItems();
        items[1] = "RBSABCDEF";
        const auto hex = UnwrapEnvelope(receivedText(envelopeFor(WriteCommaList(items)).toLatin1()));
        QVERIFY(hex);
        const tRitOrder order = ParseRideOrder(DecodeHexText(*hex));
        const tMsgReply reply = replyFor(order, "AC");
        QCOMPARE(reply.Sender, QString("RBSAB"));
        QCOMPARE(reply.RideNumber, 4711);
        QCOMPARE(reply.MessageCode, 7);

        tRitOrder fromRbs = order;
        fromRbs.Sender = "RBS";
        QCOMPARE(encodedReply(replyFor(fromRbs, "AC")), QString("41432C5242532C372C343731312C302C"));
        QCOMPARE(encodedReply(replyFor(fromRbs, "NC")), QString("4E432C5242532C372C343731312C302C"));
    }

    void hugePacketIsLinear()
    {
        // About 2 MB of hex: a 800 kB remark and 50000 items past the 96th.
        QStringList items = validItems();
        items[38] = QString(800000, u'r');
        for (int i = 0; i < 50000; ++i)
            items.append(QStringLiteral("x,y"));
        const QString envelope = envelopeFor(WriteCommaList(items));
        QVERIFY(envelope.size() > 2000000);
        QElapsedTimer timer;
        timer.start();
        const tRitOrder order = ParseRideOrder(DecodeHexText(*UnwrapEnvelope(envelope)));
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(order.RemarkText, QString(40, u'r'));
        QCOMPARE(order.RideNumber, 4711);

        timer.restart();
        QCOMPARE(ReadCommaList(QString(1000000, u',')).size(), 1000001);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }

    void arbitraryBytesGiveAnOrderOrAFailure()
    {
        QRandomGenerator random(20140305);
        const QByteArray valid = envelopeFor(WriteCommaList(validItems())).toLatin1();
        for (int round = 0; round < 4000; ++round) {
            QByteArray bytes;
            switch (round % 3) {
            case 0: // noise
                bytes.resize(random.bounded(0, 300));
                for (char &b : bytes)
                    b = char(random.bounded(256));
                break;
            case 1: // an envelope around noise
                bytes = "<RBS>";
                for (int i = random.bounded(0, 600); i > 0; --i)
                    bytes.append("0123456789ABCDEF,\"<>\0\r"[random.bounded(22)]);
                break;
            default: // a valid packet with a few bytes changed or cut off
                bytes = valid;
                for (int i = random.bounded(1, 5); i > 0; --i)
                    bytes[random.bounded(int(bytes.size()))] = char(random.bounded(256));
                bytes.truncate(random.bounded(int(bytes.size())) + 1);
                break;
            }
            const auto hex = UnwrapEnvelope(receivedText(bytes));
            if (!hex)
                continue;
            try {
                const tRitOrder order = ParseRideOrder(DecodeHexText(*hex));
                QVERIFY(order.PacketType.size() <= 2 && order.TravellerName.size() <= 40);
            } catch (const Failure &failure) {
                QVERIFY(failure.message().startsWith("List index out of bounds (") ||
                        failure.message().endsWith("is not a valid datetime string"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestRideOrder)
#include "tst_rideorder.moc"
