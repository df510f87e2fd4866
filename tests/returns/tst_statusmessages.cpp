#include "ReturnsTestKit.h"

#include <QRegularExpression>
#include <QTest>

using namespace velora;
using namespace velora::test;

namespace {

QDateTime at(int y, int mo, int d, int h, int mi, int s = 0)
{
    return wallClock(QDate(y, mo, d), QTime(h, mi, s));
}

// The sample ride: all three times set, amount 12.50, a vehicle with a plate.
QVariantMap sampleRide(int vehicle)
{
    return {{"pla_eigenaar", "002"},
            {"pla_extern", 4711},
            {"pla_bedrag_1", 12.50},
            {"pla_status", "V"},
            {"pla_tijdstip_toewijzen", at(2014, 3, 14, 10, 15)},
            {"pla_tijdstip_bestemmen", at(2014, 3, 14, 10, 32)},
            {"pla_tijdstip_vrijmelden", at(2014, 3, 14, 10, 55)},
            {"pla_combineren", 0},
            {"pla_route", 0},
            {"pla_pasnummer", "P123"},
            {"pla_van", 12},
            {"pla_naar", 34},
            {"pla_wagen", vehicle},
            {"pla_chauffeur", 5},
            {"pla_retour_rbs", 1}};
}

QStringList itemsOf(const QString &entry)
{
    QString hex = entry.mid(5);
    hex.chop(7);
    return ReadCommaList(DecodeHexText(hex));
}

} // namespace

class TestStatusMessages : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sampleRideQueuedByteForByte()
    {
        ReturnsKit kit;
        const int vehicle = kit.insert("WAGENS", {{"wag_kenteken", "12-ABC-3"}, {"wag_brandstof", "Diesel"}});
        const int ride = kit.insertRide(sampleRide(vehicle));

        kit.status->ZendStatus(ride);

        const QString list = "RS,RBS,18,4711,1250,201403141015,201403141032,189912300000,201403141055,F,0,F,,"
                             "P123,A,,,189912300000,189912300000,,0,12,34,F,0,,189912300000,,,189912300000,0,F,"
                             ",,,,189912300000,12ABC3,D,,,";
        QCOMPARE(kit.rbs->queue().size(), 1);
        QVERIFY(kit.valys->queue().isEmpty());
        const QByteArray sent = toAnsi(kit.rbs->queue().head());
        QCOMPARE(sent, "<RBS>" + EncodeHexText(list).toLatin1() + "<EINDE>");
        QCOMPARE(sent.size(), 5 + 376 + 7);
        QVERIFY(sent.startsWith("<RBS>52532C5242532C31382C"));

        QCOMPARE(kit.returnLog.lines(), QStringList{"D:-> RETOURMELDING - 4711"});
        QSqlQuery row = kit.exec("select tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, tra_code, "
                                 "tra_opmerking from TRANSACTIES");
        QVERIFY(row.next());
        QCOMPARE(row.value(2).toInt(), ride);
        QCOMPARE(row.value(3).toInt(), vehicle);
        QCOMPARE(row.value(4).toInt(), 5);
        QCOMPARE(row.value(5).toInt(), 94);
        QCOMPARE(row.value(1).toInt(), 0);
        QCOMPARE(row.value(6).toString(), QString());
        QVERIFY(!row.next());
        // Composition leaves the return state to the scheduler.
        QCOMPARE(kit.returnState(ride), 1);

        // A second call queues a second, identical entry.
        kit.status->ZendStatus(ride);
        QCOMPARE(kit.rbs->queue().entries().value(1), kit.rbs->queue().head());
    }

    void statusRule_data()
    {
        QTest::addColumn<QVariant>("status");
        QTest::addColumn<bool>("assignedNull");
        QTest::addColumn<QString>("assigned");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("released");
        QTest::addColumn<QString>("statusL");

        const QString a = "201403141015", d = "201403141032", r = "201403141055", zero = "189912300000";
        QTest::newRow("T: assignment only") << QVariant("T") << false << a << zero << zero << "F";
        QTest::newRow("K: no release") << QVariant("K") << false << a << d << zero << "F";
        QTest::newRow("L: no release, flag") << QVariant("L") << false << a << d << zero << "T";
        QTest::newRow("V: all three") << QVariant("V") << false << a << d << r << "F";
        QTest::newRow("other letter") << QVariant("W") << false << a << d << r << "F";
        QTest::newRow("lower case t is another letter") << QVariant("t") << false << a << d << r << "F";
        QTest::newRow("empty status") << QVariant("") << false << a << d << r << "F";
        QTest::newRow("null status") << QVariant() << false << a << d << r << "F";
        QTest::newRow("V, assignment null") << QVariant("V") << true << zero << d << r << "F";
    }

    void statusRule()
    {
        QFETCH(QVariant, status);
        QFETCH(bool, assignedNull);
        ReturnsKit kit;
        QVariantMap columns = sampleRide(0);
        columns["pla_status"] = status;
        if (assignedNull)
            columns.remove("pla_tijdstip_toewijzen");
        kit.status->ZendStatus(kit.insertRide(columns));

        QCOMPARE(kit.rbs->queue().size(), 1);
        const QStringList items = itemsOf(kit.rbs->queue().head());
        QCOMPARE(items.size(), 42);
        QTEST(items[5], "assigned");
        QTEST(items[6], "destination");
        QTEST(items[8], "released");
        QTEST(items[11], "statusL");
        // No vehicle: plate and fuel stay empty.
        QCOMPARE(items[37], QString());
        QCOMPARE(items[38], QString());
    }

    void nullTimesAndItems()
    {
        ReturnsKit kit;
        const int ride = kit.insertRide({{"pla_eigenaar", "003"}, {"pla_status", "V"}});
        kit.status->ZendStatus(ride);
        QVERIFY(kit.rbs->queue().isEmpty());
        QCOMPARE(kit.valys->queue().size(), 1);
        const QStringList items = itemsOf(kit.valys->queue().head());
        QCOMPARE(items[1], QString("VAL"));
        QCOMPARE(items[3], QString("0"));
        QCOMPARE(items[4], QString("0"));
        for (int index : {5, 6, 7, 8, 17, 18, 26, 29, 36})
            QCOMPARE(items[index], QString("189912300000"));
        for (int index : {32, 33, 34, 35})
            QCOMPARE(items[index], QString());
        QCOMPARE(kit.returnLog.lines(), QStringList{"D:-> RETOURMELDING - 0"});
    }

    void columnForms()
    {
        ReturnsKit kit;
        const int vehicle = kit.insert("WAGENS", {{"wag_kenteken", "12XYZ-3456"}, {"wag_brandstof", "benzine"}});
        const int ride = kit.insertRide({{"pla_extern", 9},
                                         {"pla_wagen", vehicle},
                                         {"pla_combineren", 1},
                                         {"pla_route", 77},
                                         {"pla_pasnummer", "ABCDEFGHIJKLMNOPQRSTUVWXY"},
                                         {"pla_status", "T"},
                                         {"pla_tijdstip_toewijzen", at(2014, 3, 14, 10, 15, 59)},
                                         {"pla_ETA_klok", at(2015, 1, 2, 3, 4)},
                                         {"pla_tx_oph_latitude", 52.37022},
                                         {"pla_tx_best_latitude", 0.00001},
                                         {"pla_tx_oph_longitude", -4.5},
                                         {"pla_tx_best_longitude", 1234567.12345}});
        kit.status->ZendStatus(ride);
        const QStringList items = itemsOf(kit.rbs->queue().head());
        QCOMPARE(items[5], QString("201403141015")); // seconds dropped, not rounded
        QCOMPARE(items[9], QString("T"));
        QCOMPARE(items[10], QString("77"));
        QCOMPARE(items[20], QString("77"));
        QCOMPARE(items[13], QString("ABCDEFGHIJKLMNOPQRST"));
        QCOMPARE(items[36], QString("201501020304"));
        // Latitudes first, then longitudes; plain notation with a point.
        QCOMPARE(items[32], QString("52.37022"));
        QCOMPARE(items[33], QString("0.00001"));
        QCOMPARE(items[34], QString("-4.5"));
        QCOMPARE(items[35], QString("1234567.1234"));
        QCOMPARE(items[37], QString("12XYZ345"));
        QCOMPARE(items[38], QString("b"));
    }

    void amountInExactCents_data()
    {
        QTest::addColumn<QVariant>("amount");
        QTest::addColumn<int>("cents");
        QTest::newRow("null") << QVariant() << 0;
        QTest::newRow("12.34") << QVariant(12.34) << 1234;
        QTest::newRow("0.29") << QVariant(0.29) << 29; // 0.29 * 100 is 28.999... in binary
        QTest::newRow("-2.50") << QVariant(-2.50) << -250;
        QTest::newRow("-0.07") << QVariant(-0.07) << -7;
        QTest::newRow("text form") << QVariant("1234.56") << 123456;
        QTest::newRow("three decimals truncate") << QVariant("1.239") << 123;
        QTest::newRow("integer") << QVariant(15) << 1500;
        QTest::newRow("largest") << QVariant(21474836.47) << 2147483647;
    }

    void amountInExactCents()
    {
        QFETCH(QVariant, amount);
        QTEST(amountInCents(amount), "cents");
    }

    void amountOutOfRangeOrNoNumberFails()
    {
        for (const QVariant &bad : {QVariant(21474836.48), QVariant(1e16), QVariant("abc"), QVariant("")})
            QVERIFY_THROWS_EXCEPTION(Failure, amountInCents(bad));
    }

    void amountsFromTheDatabase()
    {
        ReturnsKit kit;
        const QList<std::pair<QVariant, QString>> cases = {
            {12.34, "1234"}, {0.29, "29"}, {-2.5, "-250"}, {QVariant(), "0"}, {"19.99", "1999"}};
        for (const auto &[amount, cents] : cases) {
            kit.rbs->clearQueue();
            kit.status->ZendStatus(kit.insertRide({{"pla_bedrag_1", amount}}));
            QCOMPARE(itemsOf(kit.rbs->queue().head())[4], cents);
        }
    }

    void otherOwnersAndMissingRidesEndSilently()
    {
        ReturnsKit kit;
        const int stt = kit.insertRide({{"pla_eigenaar", "013"}, {"pla_extern", 5}});
        const int none = kit.insertRide({{"pla_eigenaar", QVariant()}, {"pla_extern", 6}});
        for (int ride : {stt, none, 999999, 0})
            kit.status->ZendStatus(ride);
        QVERIFY(kit.rbs->queue().isEmpty());
        QVERIFY(kit.valys->queue().isEmpty());
        QVERIFY(kit.returnLog.lines().isEmpty());
        QCOMPARE(kit.scalar("select count(*) from TRANSACTIES").toInt(), 0);
    }

    void queryFailureIsLoggedNotPassedOn()
    {
        ReturnsKit kit;
        const int ride = kit.insertRide({{"pla_extern", 4711}});
        kit.exec("drop table WAGENS");
        kit.status->ZendStatus(ride);
        QVERIFY(kit.rbs->queue().isEmpty());
        QCOMPARE(kit.returnLog.lineCount(), 1);
        static const QRegularExpression line("^PROC ERROR APX_RBS_STATUS \\d\\d:\\d\\d:\\d\\d \\S.*");
        QVERIFY2(line.match(kit.returnLog.lines().first()).hasMatch(), qPrintable(kit.returnLog.lines().first()));
        QVERIFY(kit.failureMessages.isEmpty());
        QVERIFY(!kit.datasets->ADOHIS.isOpen());
    }

    void transactionFailureKeepsTheEntry()
    {
        ReturnsKit kit;
        const int ride = kit.insertRide({{"pla_extern", 4711}});
        kit.exec("drop table TRANSACTIES");
        kit.activityLog.addLine("earlier line");
        kit.status->ZendStatus(ride);
        QCOMPARE(kit.rbs->queue().size(), 1);
        QCOMPARE(kit.returnLog.lines(), QStringList{"D:-> RETOURMELDING - 4711"});
        QCOMPARE(kit.failureMessages.size(), 1);
        QCOMPARE(kit.activityLog.lines(), QStringList{kit.failureMessages.first()});
    }
};

QTEST_GUILESS_MAIN(TestStatusMessages)
#include "tst_statusmessages.moc"
