#include "wire/RideResults.h"
#include "wire/WireCodec.h"

#include <QTest>

using namespace velora;

namespace {

QDateTime at(int y, int mo, int d, int h, int mi, int s = 0)
{
    return wallClock(QDate(y, mo, d), QTime(h, mi, s));
}

// The record as the status composition fills it for the sample ride.
tRitResults sampleRide()
{
    tRitResults r;
    r.PacketType = "RS";
    r.Sender = "RBS";
    r.MessageCode = 18;
    r.RideNumber = 4711;
    r.AmountCents = 1250;
    r.AssignedTime = at(2014, 3, 14, 10, 15);
    r.DestinationTime = at(2014, 3, 14, 10, 32);
    r.ReleasedTime = at(2014, 3, 14, 10, 55);
    r.PassNumber = "P123";
    r.FixedLetter = "A";
    r.FromLocation = 12;
    r.ToLocation = 34;
    r.Plate = "12ABC3";
    r.FuelCode = "D";
    return r;
}

} // namespace

class TestRideResults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sampleRideStatusMessage()
    {
        const QString list = ResultsToCommaText(sampleRide());
        QCOMPARE(list, QString("RS,RBS,18,4711,1250,201403141015,201403141032,189912300000,201403141055,F,0,F,,"
                               "P123,A,,,189912300000,189912300000,,0,12,34,F,0,,189912300000,,,189912300000,0,F,"
                               ",,,,189912300000,12ABC3,D,,,"));
        QCOMPARE(ReadCommaList(list).size(), 42);
        const QString hex = EncodeHexText(list);
        QCOMPARE(hex.size(), 376);
        QVERIFY(hex.startsWith("52532C5242532C31382C"));
        const QByteArray sent = envelopeBytes(WrapEnvelope(hex));
        QCOMPARE(sent, "<RBS>" + hex.toLatin1() + "<EINDE>");
    }

    void freshRecordIsAllZero()
    {
        const QStringList items = ReadCommaList(ResultsToCommaText(tRitResults()));
        QCOMPARE(items.size(), 42);
        for (int index : {5, 6, 7, 8, 17, 18, 26, 29, 36})
            QCOMPARE(items[index], QString("189912300000"));
        for (int index : {9, 11, 23, 31})
            QCOMPARE(items[index], QString("F"));
        for (int index : {2, 3, 4, 10, 20, 21, 22, 24, 30})
            QCOMPARE(items[index], QString("0"));
    }

    void messageDateTime_data()
    {
        QTest::addColumn<QDateTime>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << zeroDateTime() << "189912300000";
        QTest::newRow("seconds dropped") << at(2014, 3, 14, 10, 15, 59) << "201403141015";
        QTest::newRow("padding") << at(5, 1, 2, 3, 4) << "000501020304";
        QTest::newRow("last minute") << at(9999, 12, 31, 23, 59) << "999912312359";
        QTest::newRow("no value") << QDateTime() << "189912300000";
        QTest::newRow("beyond year 9999") << at(10000, 1, 1, 0, 0) << "189912300000";
    }

    void messageDateTime()
    {
        QFETCH(QDateTime, value);
        QFETCH(QString, text);
        QCOMPARE(FormatMessageDateTime(value), text);
    }

    void itemsTravelInWireOrderAndCapacity()
    {
        tRitResults r = sampleRide();
        r.PickupLatitude = "52.1";
        r.PickupLongitude = "4.1";
        r.DestinationLatitude = "52.2";
        r.DestinationLongitude = "4,2"; // a regional decimal comma
        r.PassNumber = QString(25, u'p');
        r.Plate = "12XYZ3456";
        r.AmountCents = -250;
        r.Combinable = r.StatusL = true;
        r.SpareDay1 = 1;
        r.EtaClock = at(2014, 3, 14, 11, 5);
        const QString list = ResultsToCommaText(r);
        QVERIFY(list.contains(",52.1,52.2,4.1,\"4,2\","));
        const QStringList items = ReadCommaList(list);
        QCOMPARE(items.size(), 42);
        QCOMPARE(items.mid(32, 4), QStringList({"52.1", "52.2", "4.1", "4,2"}));
        QCOMPARE(items[4], QString("-250"));
        QCOMPARE(items[9], QString("T"));
        QCOMPARE(items[11], QString("T"));
        QCOMPARE(items[13], QString(20, u'p'));
        QCOMPARE(items[17], QString("189912310000"));
        QCOMPARE(items[36], QString("201403141105"));
        QCOMPARE(items[37], QString("12XYZ345"));
    }
};

QTEST_GUILESS_MAIN(TestRideResults)
#include "tst_rideresults.moc"
