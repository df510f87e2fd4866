#include "rides/ChannelSettings.h"
#include "rides/RideConversions.h"
#include "rides/RideRemark.h"

#include <QTest>

using namespace velora;

class TestRideRemark : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyOrderGivesEmptyRemark()
    {
        tRitOrder order;
        QCOMPARE(ComposeRideRemark(order, RemarkVariant::NewRide), QString());
        order.RemarkText = "Bel aan";
        QCOMPARE(rideText(order, ComposeRideRemark(order, RemarkVariant::NewRide)),
                 QString("Bel aan\r\nBel aan\r\n")); // the remark text stands twice
    }

    void linesInTheirFixedOrder()
    {
        tRitOrder o;
        o.PaymentMethod = "R";
        o.Rollator = true;
        o.FlightNumber = "KL1234";
        o.DestinationName = "Schiphol";
        QCOMPARE(ComposeRideRemark(o, RemarkVariant::NewRide),
                 QString("Op rekening\r\nRollator\r\nVluchtnummer: KL1234\r\nBestemming: Schiphol\r\n"));

        tRitOrder all;
        all.PaymentMethod = "R";
        all.RoomToRoom = all.Rollator = all.LowStep = all.FamilyTaxi = all.MobilityScooter = all.GuideDog =
            all.ElectricWheelchair = true;
        all.ChildSeats = "2";
        all.BoosterSeats = "1";
        all.CompanyNumber = 5;
        all.FlightNumber = "F";
        all.DestinationName = "D";
        all.ExtraLuggage = 3;
        all.BudgetCode = "B";
        all.Cehrs = "1";
        all.Cebrs = "2";
        all.Cssgb = "3";
        all.Cebri = "4";
        all.Cebrz = "5";
        all.Czrtv = "6";
        all.ExternalNumber = 77;
        all.ETaxi = all.HandLuggage = true;
        all.PremiumService = 1;
        all.WvgCategory = "A";
        all.EbWmo = 1;
        all.EbOv = 2;
        all.EbWmoSo = 3;
        all.Lot = 4;
        all.MinRideSeconds = 5;
        all.RemarkText = "tekst";
        all.AcceptedBy = "JAN";
        all.RefusalAllowed = true;
        all.Contract = "O'Neill";
        all.Properties = "it's";
        all.Company = 9;
        all.VehicleType = "B";
        all.FoldingWheelchair = all.Deaf = all.Blind = true;
        all.Assistance = "T";
        all.PickupDescription = "pd";
        all.PickupSynonym = "ps";
        all.DestinationDescription = "dd";
        all.DestinationSynonym = "ds";
        all.ExtraCode = "X1";
        const QStringList expected = {"Op rekening",
                                      "Kamer tot Kamer",
                                      "Rollator",
                                      "Lage instap",
                                      "Gezinstaxi",
                                      "Scootmobiel",
                                      "SOHO blindegeleidehond",
                                      "Electrische rolstoel",
                                      "Kinderzitjes: 2",
                                      "Stoelverhoger: 1",
                                      "Bedrijfsnummer: 5",
                                      "Vluchtnummer: F",
                                      "Bestemming: D",
                                      "Extra bagage: 3",
                                      "Budgetcode: B",
                                      "CEHRS: 1",
                                      "CEBRS: 2",
                                      "CSSGB: 3",
                                      "CEBRI: 4",
                                      "CEBRZ: 5",
                                      "CZRTV: 6",
                                      "Extern: 77",
                                      "ETAXI=JA",
                                      "HANDBAGAGE=JA",
                                      "Premium service: 1",
                                      "WVG CAT: A",
                                      "EB wmo: 1",
                                      "EB ov: 2",
                                      "EB wmo/so: 3",
                                      "Perceel: 4",
                                      "Min rij sec.: 5",
                                      "tekst",
                                      "Aangenomen: JAN",
                                      "Weigeren toegestaan",
                                      "Contract: ONeill",
                                      "Eigenschappen: its",
                                      "Bedrijf: 9",
                                      "Wagen: B",
                                      "Opvouwbare rolstoel",
                                      "Doof",
                                      "Blind",
                                      " Assistentie verlenen",
                                      "",
                                      "pd",
                                      "ps",
                                      "dd",
                                      "ds",
                                      "X1"};
        QCOMPARE(ComposeRideRemark(all, RemarkVariant::NewRide), expected.join("\r\n"));

        // The change variant differs only by the properties line.
        QStringList change = expected;
        change.removeAll("Eigenschappen: its");
        QCOMPARE(ComposeRideRemark(all, RemarkVariant::RideChange), change.join("\r\n"));
    }

    void absentItemsGiveNoLine()
    {
        tRitOrder o;
        o.CompanyNumber = -1;
        o.Assistance = "t";
        o.PaymentMethod = "r";
        QCOMPARE(ComposeRideRemark(o, RemarkVariant::NewRide), QString());
        o.BudgetCode = " "; // one blank is present
        QCOMPARE(ComposeRideRemark(o, RemarkVariant::NewRide), QString("Budgetcode:  \r\n"));
    }

    void channelsBySenderCode()
    {
        QCOMPARE(QString(channelFor(" RBS ")->owner), QString("002"));
        QCOMPARE(QString(channelFor("VAL")->owner), QString("003"));
        QCOMPARE(channelFor("STT")->company, Setting::RBS_BDR_STT);
        QVERIFY(!channelFor("rbs"));
        QVERIFY(!channelFor("RBSX"));
        QVERIFY(!channelFor(""));
    }

    void upperCaseOfLettersOnly()
    {
        QCOMPARE(upperAsciiLetters(QString::fromUtf8("rolstoel é ß")), QString::fromUtf8("ROLSTOEL é ß"));
        QCOMPARE(houseNumberOf("12a-14"), 12);
        QCOMPARE(houseNumberOf("1234567890123"), 1234567890); // first ten characters only
        QCOMPARE(houseNumberOf("a12"), 0);
    }
};

QTEST_APPLESS_MAIN(TestRideRemark)
#include "tst_rideremark.moc"
