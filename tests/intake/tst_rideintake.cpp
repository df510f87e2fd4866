#include "IntakeTestKit.h"
#include "database/Schema.h"

using namespace velora;
using namespace velora::test;

namespace {

// A column as the embedded file holds it: a server gives date-times as such.
QString stored(const QSqlRecord &row, const char *column)
{
    const QVariant value = row.value(QLatin1String(column));
    if (value.typeId() == QMetaType::QDateTime && !value.isNull())
        return dateTimeToStoredText(value.toDateTime());
    return value.toString();
}

struct Transaction {
    int user, state, ride, vehicle, driver, code;
    QString remark;
    bool operator==(const Transaction &) const = default;
};

QList<Transaction> transactions(IntakeKit &kit)
{
    QList<Transaction> result;
    for (const QSqlRecord &r : kit.rows(testsOnServer() ? "select * from TRANSACTIES order by ctid"
                                                        : "select * from TRANSACTIES order by rowid"))
        result << Transaction{r.value("tra_gebruiker").toInt(),   r.value("tra_ritstaat").toInt(),
                              r.value("tra_rit").toInt(),         r.value("tra_wagen").toInt(),
                              r.value("tra_chauffeur").toInt(),   r.value("tra_code").toInt(),
                              r.value("tra_opmerking").toString()};
    return result;
}

// A full new-ride order as booking systems send them.
OrderItems fullOrder(const QString &type = "NR", qint32 ride = 4711)
{
    OrderItems o(type, ride);
    o.set(4, "201403051407").set(5, "201403051432"); // destination 25 minutes later
    o.set(6, "2").set(7, "1").set(8, "3").set(9, "T");
    o.set(10, "Jansen").set(11, "Dorpsstraat").set(12, "1234AB").set(13, "Utrecht").set(14, "12a-14 bis achter");
    o.set(15, "Hoofdingang").set(16, "Ziekenhuis").set(17, "Laan").set(18, "3511CD").set(19, "Zeist").set(20, "7");
    o.set(23, "201403051400").set(24, "201403051415").set(25, "5501");
    o.set(27, "1250").set(28, "300").set(29, "4").set(30, "6").set(31, "2");
    o.set(32, "T").set(33, "T").set(35, "T").set(38, "Bel aan").set(40, "0612345678");
    o.set(41, "1").set(42, "K").set(43, "77").set(44, "8").set(45, "9").set(52, "1");
    o.set(56, "snel").set(57, "O'Neill").set(59, "R").set(60, "123456");
    return o;
}

} // namespace

class TestRideIntake : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<IntakeKit> kit;
    std::unique_ptr<BookingPeer> peer;

    QByteArray send(const QByteArray &packet, int replies = 1)
    {
        kit->activityLog.clear();
        kit->returnLog.clear();
        return peer->exchange(packet, replies);
    }

private Q_SLOTS:
    void init()
    {
        kit = std::make_unique<IntakeKit>();
        kit->settings.setText(Setting::RBS_BDR, "12");
        kit->settings.setText(Setting::RBS_DEB, "34");
        kit->settings.setText(Setting::RBS_TAR, "5x");
        kit->settings.setText(Setting::RitkleurRBS, "clRed");
        QVERIFY(kit->start());
        peer = std::make_unique<BookingPeer>(kit->server->port());
        QVERIFY(peer->connected());
    }
    void cleanup()
    {
        peer.reset();
        kit.reset();
    }

    void newRideColumnsLogsAndTransaction()
    {
        QCOMPARE(send(fullOrder().packet()), replyBytes("AC", "RBS", 4711));
        QCOMPARE(kit->count("planning"), 1);
        const QSqlRecord r = kit->ride(4711);
        const QList<QPair<const char *, QString>> expected = {
            {"pla_cloud", "1"},
            {"pla_bdr_id", "12"},
            {"pla_reiziger", "34"},
            {"pla_soortvervoer", "P"},
            {"pla_soortwagen", "B"},
            {"pla_tarief_bedrijf", "5"},
            {"pla_eigenaar", "002"},
            {"pla_filter", "~"},
            {"pla_kleur", "clRed"},
            {"pla_auto_toewijzen", "1"},
            {"pla_nooitplannen", "0"},
            {"pla_referentie", "5501"},
            {"pla_extern", "4711"},
            {"pla_extern_ritnummer", "4711"},
            {"pla_datum", "2014-03-05 14:07:00.000"},
            {"pla_tijdstip", "2014-03-05 14:07:00.000"},
            {"pla_tijdstip_locatie", "2014-03-05 14:32:00.000"},
            {"pla_tijdstip_in_minimaal", "2014-03-05 14:00:00.000"},
            {"pla_tijdstip_in_maximaal", "2014-03-05 14:15:00.000"},
            {"pla_minuten", "25"},
            {"pla_oph_syn", "Ziekenhuis"},
            {"pla_lopers", "3"},
            {"pla_rollers", "1"},
            {"pla_rolstoel", "1"},
            {"pla_combineren", "1"},
            {"pla_naam_reiziger", "Jansen"},
            {"pla_ophstraat", "Dorpsstraat"},
            {"pla_ophnummer", "12a-14 bis"},
            {"pla_ophpostcode", "1234AB"},
            {"pla_ophstad", "Utrecht"},
            {"pla_besstraat", "Laan"},
            {"pla_bestnummer", "7"},
            {"pla_bestpostcode", "3511CD"},
            {"pla_beststad", "Zeist"},
            {"pla_zone_van", "4"},
            {"pla_zone_naar", "6"},
            {"pla_naar", "6"},
            {"pla_zone_aantal", "2"},
            {"pla_bedrag", "12.5"},
            {"pla_bedrag_3", "3"},
            {"pla_bellen", "1"},
            {"pla_extern_kostenplaats", "ONeill"},
            {"pla_km_sqr", "1.23"},
            {"pla_km_map", "1.23"},
            {"pla_voorin", "1"},
            {"pla_spoed", "1"},
            {"pla_telefoon", "0612345678"},
            {"pla_status", "W"},
        };
        for (const auto &[column, value] : expected)
            QVERIFY2(stored(r, column) == value,
                     qPrintable(QString("%1: %2 instead of %3").arg(column, stored(r, column), value)));
        QVERIFY(r.isNull("pla_bedrag_5"));
        QCOMPARE(stored(r, "pla_tekst"), QString("Bel aan\r\nRollator\r\nBel aan\r\nContract: ONeill\r\n"
                                                 "Eigenschappen: snel\r\nWagen: R\r\n\r\nHoofdingang\r\nZiekenhuis"));
        QVERIFY(stored(r, "pla_temp").startsWith("P2"));

        QCOMPARE(transactions(*kit), (QList<Transaction>{{0, 0, r.value("pla_id").toInt(), 0, 0, 91, "Contant"}}));

        const QStringList lines = kit->unstamped(kit->activityLog);
        const QStringList summary = {
            "- NR pakketnummer: 4711 - RBS - BW: K", "- Route: 77", "- Rin: 8", "- Ruit: 9", "- Tijdtype: 1",
            "- DVVDatum: 05-03-2014 14:07"};
        const int at = lines.indexOf(summary.first());
        QVERIFY(at > 0);
        QCOMPARE(lines.mid(at, summary.size()), summary);
        QCOMPARE(lines.last(), "* <RBS>" + EncodeHexText("AC,RBS,7,4711,0,") + "<EINDE>");
        QCOMPARE(kit->returnLog.lines(), QStringList{"<NR>4711 - SW: R"});
    }

    void newRideChannelsAndSwitches_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QStringList>("switchesOn");
        QTest::addColumn<QString>("payment");
        QTest::addColumn<QStringList>("expected"); // column=value, "null" for no value

        QTest::newRow("blanks around RBS")
            << " RBS " << QStringList{} << "K" << QStringList{"pla_eigenaar=002", "pla_bdr_id=12", "pla_kleur=clRed"};
        QTest::newRow("VAL channel") << "VAL" << QStringList{} << "K"
                                     << QStringList{"pla_eigenaar=003", "pla_bdr_id=0", "pla_filter=~"};
        QTest::newRow("STT channel") << "STT" << QStringList{} << "K" << QStringList{"pla_eigenaar=013"};
        QTest::newRow("lower-case rbs: no channel")
            << "rbs" << QStringList{} << "K"
            << QStringList{"pla_eigenaar=null", "pla_bdr_id=null", "pla_kleur=null", "pla_soortwagen=T", "pla_filter="};
        QTest::newRow("amount moved") << "RBS" << QStringList{"BedragVerplaatsen"} << "K"
                                      << QStringList{"pla_bedrag=12.5", "pla_bedrag_3=12.5", "pla_bedrag_5=3"};
        QTest::newRow("payment method on account")
            << "RBS" << QStringList{"Betaalwijze"} << "R" << QStringList{"pla_rc=1"};
        QTest::newRow("payment method cash") << "RBS" << QStringList{"Betaalwijze"} << "RR" << QStringList{"pla_rc=1"};
        QTest::newRow("payment method other") << "RBS" << QStringList{"Betaalwijze"} << "C" << QStringList{"pla_rc=0"};
        QTest::newRow("no payment switch") << "RBS" << QStringList{} << "R" << QStringList{"pla_rc=null"};
        QTest::newRow("vehicle type taken over")
            << "RBS" << QStringList{"rbsSoortWagen"} << "K" << QStringList{"pla_soortwagen=R"};
        QTest::newRow("automatic switches off") << "RBS" << QStringList{"-AutoToewijzen", "-AutoPlannen"} << "K"
                                                << QStringList{"pla_auto_toewijzen=0", "pla_nooitplannen=null"};
    }

    void newRideChannelsAndSwitches()
    {
        QFETCH(QString, sender);
        QFETCH(QStringList, switchesOn);
        QFETCH(QString, payment);
        QFETCH(QStringList, expected);
        const QHash<QString, Setting> switches = {{"BedragVerplaatsen", Setting::BedragVerplaatsen},
                                                  {"Betaalwijze", Setting::Betaalwijze},
                                                  {"rbsSoortWagen", Setting::rbsSoortWagen},
                                                  {"AutoToewijzen", Setting::AutoToewijzen},
                                                  {"AutoPlannen", Setting::AutoPlannen}};
        for (const QString &name : switchesOn) {
            const bool off = name.startsWith('-');
            kit->settings.setChecked(switches.value(off ? name.mid(1) : name), !off);
        }
        QCOMPARE(send(fullOrder().set(1, sender).set(42, payment).packet()), replyBytes("AC", sender.left(5), 4711));
        const QSqlRecord r = kit->ride(4711);
        for (const QString &pair : expected) {
            const QString column = pair.section('=', 0, 0);
            const QString value = pair.section('=', 1);
            if (value == "null")
                QVERIFY2(r.isNull(column), qPrintable(column + " = " + r.value(column).toString()));
            else
                QVERIFY2(r.value(column).toString() == value, qPrintable(column + " = " + r.value(column).toString()));
        }
        const QString remark = transactions(*kit).value(0).remark;
        QCOMPARE(remark, payment.left(1) == "R" ? QString("Op rekening") : QString("Contant"));
    }

    void locationTimeNeverBeforeRideTime()
    {
        QCOMPARE(send(fullOrder().set(5, "201403051406").packet()), replyBytes("AC", "RBS", 4711));
        QCOMPARE(stored(kit->ride(4711), "pla_tijdstip_locatie"), QString("2014-03-05 14:07:00.000"));
    }

    void travellerFoundOrCreatedOnce()
    {
        kit->settings.setChecked(Setting::DebiteurAanmaken, true);
        kit->settings.setText(Setting::RBS_BDR_VAL, "99");
        QCOMPARE(send(fullOrder("NR", 1).set(1, "VAL").packet()), replyBytes("AC", "VAL", 1));
        QCOMPARE(send(fullOrder("NR", 2).packet()), replyBytes("AC", "RBS", 2));
        const auto travellers = kit->rows("select * from reizigers");
        QCOMPARE(travellers.size(), 1);
        const QSqlRecord t = travellers.first();
        QCOMPARE(t.value("rei_extern").toInt(), 5501);
        QCOMPARE(t.value("rei_actief").toInt(), 1);
        QCOMPARE(t.value("rei_bdr_id").toInt(), 12); // the RBS company, whatever the channel
        QCOMPARE(t.value("rei_naam").toString(), QString("Jansen"));
        QCOMPARE(t.value("rei_taxis").toInt(), 5501);
        QCOMPARE(kit->ride(1).value("pla_reiziger"), t.value("rei_id"));
        QCOMPARE(kit->ride(2).value("pla_reiziger"), t.value("rei_id"));
    }

    // Rides of one second may carry the same marker, and other programs of
    // the suite write markers made the same way. Each ride's transaction row
    // names the row its own packet stored, never another with that marker.
    void everyRideNamesItsOwnRow()
    {
        // Another program's rows hold every marker of the coming seconds.
        const QDateTime now = QDateTime::currentDateTime();
        for (int second = -1; second <= 20; ++second) {
            const QDateTime t = now.addSecs(second);
            const QString prefix = "P" + t.toString("yyyyMMddhhmmss") + QString::number(t.date().month()) +
                                   QString::number(t.time().second());
            QVERIFY(kit->exec("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
                              "INSERT INTO planning (pla_temp) SELECT '" +
                              prefix + "' || i FROM n"));
        }

        // Three booking systems send their rides at once, then change some.
        constexpr int kPeers = 3;
        constexpr int kRides = 20;
        std::vector<std::unique_ptr<BookingPeer>> peers;
        for (int p = 0; p < kPeers; ++p) {
            peers.push_back(std::make_unique<BookingPeer>(kit->server->port()));
            QVERIFY(peers.back()->connected());
        }
        auto sendAll = [&](const QString &type, int rides) {
            for (int p = 0; p < kPeers; ++p) {
                QByteArray packets;
                for (int r = 0; r < rides; ++r)
                    packets += fullOrder(type, 1000 * (p + 1) + r).packet();
                peers[p]->clearReceived();
                peers[p]->send(packets);
            }
            for (int p = 0; p < kPeers; ++p) {
                QByteArray accepted;
                for (int r = 0; r < rides; ++r)
                    accepted += replyBytes("AC", "RBS", 1000 * (p + 1) + r);
                QCOMPARE(peers[p]->waitForReplies(rides), accepted);
            }
        };
        sendAll("NR", kRides);
        sendAll("WR", kRides / 2);

        QCOMPARE(kit->count("TRANSACTIES"), kPeers * kRides + kPeers * kRides / 2);
        // No transaction row names a row of the other program.
        QCOMPARE(kit->count("TRANSACTIES", "tra_rit not in (select pla_id from planning where pla_extern > 0)"), 0);
        for (int p = 0; p < kPeers; ++p)
            for (int r = 0; r < kRides; ++r) {
                const int ride = 1000 * (p + 1) + r;
                const auto rows =
                    kit->rows("select pla_id, pla_temp from planning where pla_extern = " + QString::number(ride));
                QCOMPARE(rows.size(), 1);
                QVERIFY(rows[0].value("pla_temp").toString().startsWith("P2"));
                const QString own = "tra_rit = " + rows[0].value("pla_id").toString();
                QCOMPARE(kit->count("TRANSACTIES", own + " and tra_code = 91"), 1);
                QCOMPARE(kit->count("TRANSACTIES", own + " and tra_code = 92"), r < kRides / 2 ? 1 : 0);
            }
    }

    void postcodeConversion()
    {
        kit->settings.setChecked(Setting::Postcodes, true);
        QVERIFY(kit->exec("insert into Straten (str_wijkcode, str_lettercombinatie, str_reeksindicatie, "
                          "str_huisnr_van, str_huisnr_tm, str_straatnaam, str_plaatsnaam) values "
                          "('1234','AB','0',1,99,'Oneven straat','Oneven plaats'),"
                          "('1234','AB','1',2,98,'Even straat','Even plaats'),"
                          "('3511','CD','1',2,20,'Bestemmingslaan','Zeist')"));

        // Odd house number 17 and even destination 8: both converted.
        QCOMPARE(send(fullOrder("NR", 1).set(14, "17").set(20, "8").packet()), replyBytes("AC", "RBS", 1));
        QSqlRecord r = kit->ride(1);
        QCOMPARE(stored(r, "pla_ophpostcode"), QString("1234 AB"));
        QCOMPARE(stored(r, "pla_ophstraat"), QString("Oneven straat"));
        QCOMPARE(stored(r, "pla_ophstad"), QString("Oneven plaats"));
        QCOMPARE(stored(r, "pla_ophnummer"), QString("17"));
        QCOMPARE(stored(r, "pla_bestpostcode"), QString("3511 CD"));
        QCOMPARE(stored(r, "pla_besstraat"), QString("Bestemmingslaan"));
        QCOMPARE(kit->returnLog.lines(), (QStringList{"P: 1234AB 17 > Oneven straat 17 - Oneven plaats",
                                                      "P: 3511CD 8 > Bestemmingslaan 8 - Zeist", "<NR>1 - SW: R"}));

        // Even 18 takes the even segment; "12a-14" reads as 12.
        QCOMPARE(send(fullOrder("NR", 2).set(14, "18").packet()), replyBytes("AC", "RBS", 2));
        QCOMPARE(stored(kit->ride(2), "pla_ophstraat"), QString("Even straat"));

        // An apostrophe in the letters finds nothing and breaks nothing; house
        // number 0 and a blank in the postcode skip or miss the conversion.
        const QList<QPair<QString, QString>> unconverted = {
            {"1234A'", "17"}, {"1234AB", "0"}, {"1234 AB", "17"}, {"1234'--", "17"}};
        int ride = 10;
        for (const auto &[postcode, number] : unconverted) {
            ++ride;
            QCOMPARE(send(fullOrder("NR", ride).set(12, postcode).set(14, number).packet()),
                     replyBytes("AC", "RBS", ride));
            QCOMPARE(stored(kit->ride(ride), "pla_ophstraat"), QString("Dorpsstraat"));
            QCOMPARE(stored(kit->ride(ride), "pla_ophpostcode"), postcode);
        }
        QCOMPARE(kit->count("Straten"), 3);

        // A change converts in the plain form, without the house number.
        QCOMPARE(send(fullOrder("WR", 11).set(12, "1234AB").set(14, "0").packet()), replyBytes("AC", "RBS", 11));
        QCOMPARE(stored(kit->ride(11), "pla_ophpostcode"), QString("1234 AB"));
        QVERIFY(kit->returnLog.lines().contains(QRegularExpression("^P: 1234AB > \\S+ straat - \\S+ plaats$")));
    }

    void filterConversionLastMatchWins()
    {
        kit->settings.setChecked(Setting::Conversie, true);
        kit->settings.setChecked(Setting::Betaalwijze, true);
        const auto row = [&](int i, const QString &keyword, const QString &filter, const QString &rc) {
            kit->settings.setText(conversionRow(ConversionField::Keyword, i), keyword);
            kit->settings.setText(conversionRow(ConversionField::Filter, i), filter);
            kit->settings.setText(conversionRow(ConversionField::TransportKind, i), "Z" + filter);
            kit->settings.setText(conversionRow(ConversionField::Tariff, i), QString::number(i) + "0");
            kit->settings.setText(conversionRow(ConversionField::RcValue, i), rc);
        };
        row(2, "rollator", "A", "3");
        row(5, "   ", "B", "4");        // only blanks: skipped
        row(6, " rolstoel ", "C", "5"); // the blanks are searched for too
        row(7, "bel AAN", "D", "6");
        QCOMPARE(send(fullOrder().set(62, "T").set(42, "K").packet()), replyBytes("AC", "RBS", 4711));
        const QSqlRecord r = kit->ride(4711);
        QCOMPARE(stored(r, "pla_filter"), QString("D"));
        QCOMPARE(stored(r, "pla_soortvervoer"), QString("Z"));
        QCOMPARE(stored(r, "pla_tarief_bedrijf"), QString("70"));
        QCOMPARE(stored(r, "pla_rc"), QString("0")); // Betaalwijze has the last word
    }

    void rideChange()
    {
        QCOMPARE(send(fullOrder().set(59, "R").packet()), replyBytes("AC", "RBS", 4711));
        const int id = kit->ride(4711).value("pla_id").toInt();
        kit->exec("update planning set pla_nooitplannen=1, pla_rc=7 where pla_id=" + QString::number(id));

        QCOMPARE(
            send(fullOrder("WR").set(1, "VAL").set(10, "Pietersen").set(38, "Nieuw").set(5, "201403051407").packet()),
            replyBytes("AC", "VAL", 4711));
        QCOMPARE(kit->count("planning"), 1);
        const QSqlRecord r = kit->ride(4711);
        QCOMPARE(r.value("pla_id").toInt(), id);
        QCOMPARE(stored(r, "pla_cloud"), QString("2"));
        QCOMPARE(stored(r, "pla_eigenaar"), QString("002")); // kept from the new ride
        QCOMPARE(stored(r, "pla_kleur"), QString("clRed"));
        QCOMPARE(stored(r, "pla_oph_syn"), QString("Ziekenhuis"));
        QCOMPARE(stored(r, "pla_naam_reiziger"), QString("Pietersen"));
        QCOMPARE(stored(r, "pla_rc"), QString("7"));
        QVERIFY(stored(r, "pla_tekst").startsWith("Nieuw\r\nRollator\r\nNieuw\r\nContract: ONeill\r\nWagen: R"));
        QVERIFY(!stored(r, "pla_tekst").contains("Eigenschappen"));
        QCOMPARE(transactions(*kit).last(), (Transaction{0, 0, id, 0, 0, 92, "Contant"}));
        QCOMPARE(kit->unstamped(kit->activityLog).filter("pakketnummer"), QStringList{"- WR pakketnummer: 4711"});
        QCOMPARE(kit->returnLog.lines(), QStringList{"<WR>4711 - SW: R"});

        // A change for a ride that is not stored creates it without channel values.
        QCOMPARE(send(fullOrder("WR", 815).packet()), replyBytes("AC", "RBS", 815));
        const QSqlRecord created = kit->ride(815);
        QCOMPARE(stored(created, "pla_cloud"), QString("1"));
        QVERIFY(created.isNull("pla_eigenaar"));
        QCOMPARE(stored(created, "pla_bdr_id"), QString("12"));
        QCOMPARE(stored(created, "pla_reiziger"), QString("34"));
        QCOMPARE(stored(created, "pla_soortwagen"), QString("T"));
        QCOMPARE(kit->unstamped(kit->activityLog).filter("pakketnummer"),
                 (QStringList{"- WR pakketnummer: 815", "---> NR pakketnummer: 815"}));
    }

    void cancellation()
    {
        QCOMPARE(send(fullOrder().packet()), replyBytes("AC", "RBS", 4711));
        QCOMPARE(send(fullOrder("NR", 4712).packet()), replyBytes("AC", "RBS", 4712));
        const int id = kit->ride(4711).value("pla_id").toInt();
        kit->exec("update planning set pla_route=5, pla_van=6, pla_opmerking='een lange opmerking' where pla_id=" +
                  QString::number(id));

        QCOMPARE(send(OrderItems("VR", 4711).set(1, "STT").packet()), replyBytes("AC", "STT", 4711));
        const QSqlRecord r = kit->ride(4711);
        QCOMPARE(stored(r, "pla_opmerking"), QString("(VERWIJDERD DOOR RBS)"));
        QCOMPARE(stored(r, "pla_cloud"), QString("1"));
        QCOMPARE(stored(r, "pla_nooitplannen"), QString("1"));
        QCOMPARE(stored(r, "pla_route"), QString("0"));
        QCOMPARE(stored(r, "pla_van"), QString("0"));
        QCOMPARE(stored(r, "pla_naar"), QString("0"));
        QCOMPARE(stored(r, "pla_naam_reiziger"), QString("Jansen"));
        QVERIFY(kit->ride(4712).isNull("pla_opmerking")); // only the ride it names
        QCOMPARE(transactions(*kit).last(), (Transaction{0, 0, id, 0, 0, 93, "4711"}));
        const QStringList lines = kit->unstamped(kit->activityLog);
        QVERIFY(lines.contains("- VR pakketnummer: 4711"));
        QCOMPARE(lines.last(), QString("* <RBS><EINDE>"));
        QCOMPARE(kit->returnLog.lines(), QStringList{"<VR>4711"});

        // A number no ride carries: acknowledged, a cancelled row without number.
        QCOMPARE(send(OrderItems("VR", 999).packet()), replyBytes("AC", "RBS", 999));
        QCOMPARE(kit->count("planning"), 3);
        QCOMPARE(kit->count("planning", "pla_extern is null and pla_opmerking='(VERWIJDERD DOOR RBS)'"), 1);
        QCOMPARE(transactions(*kit).last(), (Transaction{0, 0, 0, 0, 0, 93, "999"}));
    }
};

QTEST_MAIN(TestRideIntake)
#include "tst_rideintake.moc"
