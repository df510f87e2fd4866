#include "database/DatabaseTestKit.h"

#include "rides/RideHooks.h"
#include "shell/DateTimes.h"
#include "support/LoopbackHttpServer.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

using namespace velora;
using velora::test::DatabaseKit;
using velora::test::LoopbackHttpServer;

namespace {

QByteArray answer(int metres, int seconds)
{
    return LoopbackHttpServer::response(
        200, "<DistanceMatrixResponse>\n <status>OK</status>\n <row><element><status>OK</status>\n"
             "  <duration><value>" +
                 QByteArray::number(seconds) + "</value></duration>\n  <distance><value>" + QByteArray::number(metres) +
                 "</value></distance>\n </element></row>\n</DistanceMatrixResponse>\n");
}

const QDateTime kPickup = wallClock(QDate(2024, 5, 6), QTime(10, 0, 30, 500));

} // namespace

class RideHooksTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_kit = std::make_unique<DatabaseKit>();
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->listen());
        m_kit->settings.setText(Setting::AfstandServer, m_server->host());
        m_kit->settings.setText(Setting::AfstandPoort, QString::number(m_server->port()));
        m_kit->settings.setText(Setting::AfstandTimeOut, QStringLiteral("2"));
    }
    void cleanup()
    {
        m_kit.reset();
        m_server.reset();
    }

    void newRowGetsEveryDefault()
    {
        m_kit->settings.setChecked(Setting::GoogleV2, false);
        Dataset &ins = m_kit->datasets->ADOINS;
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        const QDateTime before = wallClockNow().addSecs(-1);
        ins.append();
        ins.post();
        const QString marker = ins.text(QStringLiteral("pla_temp"));
        ins.close();

        Dataset &found = m_kit->datasets->ADOZoekLaatste;
        found.setStatement(QStringLiteral("select * from planning where pla_temp='") + marker + u'\'');
        found.open();
        QCOMPARE(found.rowCount(), 1);
        const QDateTime zero = zeroDateTime();
        const QList<QPair<const char *, QVariant>> expected = {
            {"pla_status", "W"},
            {"pla_spoed", 0},
            {"pla_Vandrel_status", 0},
            {"pla_veloralink_ETA", 0},
            {"pla_veloralink_ETD", 0},
            {"pla_ETD_latitude", 0.0},
            {"pla_ETD_longitude", 0.0},
            {"pla_ETA_latitude", 0.0},
            {"pla_klant_email", 0},
            {"pla_ETA", zero},
            {"pla_ETD", zero},
            {"pla_chauffeur_email", 0},
            {"pla_ETA_longitude", 0.0},
            {"pla_minuten_extra", 15},
            {"pla_minuten_afwijking", 15},
            {"pla_isretour", 0},
            {"pla_txtext_actief", 0},
            {"pla_proces", 0},
            {"pla_bellen", 0},
            {"pla_voorin", 0},
            {"pla_filter", ""},
            {"pla_soortvervoer", "P"},
            {"pla_soortrit", "S"},
            {"pla_soortwagen", "T"},
            {"pla_minuten", 0},
            {"pla_is_materiaal", 0},
            {"pla_is_koprit", 0},
            {"pla_hulpstukken", 0},
            {"pla_km_sqr", 0.0},
            {"pla_mut", 1},
            {"pla_km_map", 0.0},
            {"pla_van", 0},
            {"pla_naar", 0},
            {"pla_route", 0},
            {"pla_chauffeur", 0},
            {"pla_wagen", 0},
            {"pla_lopers", 1},
            {"pla_rollers", 0},
            {"pla_combineren", 0},
            {"pla_zone_naar", 0},
            {"pla_zone_van", 0},
            {"pla_ntr", 0},
            {"pla_vektis", 0},
            {"pla_vektis_subnummer", 0},
            {"pla_uzovi", 0},
            {"pla_begeleiding", 0},
            {"pla_nss_code", "NS-000"},
            {"pla_vrij_factuur1", ""},
            {"pla_vrij_factuur2", ""},
            {"pla_tijdstip_aanrijden", zero},
            {"pla_auto_toewijzen", 0},
            {"pla_tijdstip_toewijzer", zero},
        };
        for (const auto &[column, value] : expected) {
            const QString name = QLatin1String(column);
            QVERIFY2(!found.isNull(name), column);
            if (value.typeId() == QMetaType::QDateTime)
                QCOMPARE(found.dateTime(name), value.toDateTime());
            else if (value.typeId() == QMetaType::Double)
                QCOMPARE(found.number(name), value.toDouble());
            else if (value.typeId() == QMetaType::Int)
                QCOMPARE(found.integer(name), value.toInt());
            else
                QCOMPARE(found.text(name), value.toString());
        }
        QVERIFY(found.dateTime(QStringLiteral("pla_txtext_vanaf")) >= before);
        QVERIFY(found.dateTime(QStringLiteral("pla_tvtext_verwacht")) >= before);
        QVERIFY(found.dateTime(QStringLiteral("pla_tvtext_verwacht")) <= wallClockNow());
        QCOMPARE(found.integer(QStringLiteral("pla_nooitplannen")), 1); // no travel time
        QVERIFY(found.isNull(QStringLiteral("pla_extern")));            // left to the appending code
    }

    void markerPattern()
    {
        const QDateTime now = wallClock(QDate(2014, 12, 8), QTime(14, 5, 9));
        const QRegularExpression pattern(QStringLiteral("^P20141208140509129(\\d{1,3})$"));
        const QRegularExpressionMatch first = pattern.match(makeRideMarker(now));
        QVERIFY(first.hasMatch());
        QVERIFY(first.captured(1).toInt() <= 999);
        QVERIFY(first.captured(1) == QString::number(first.captured(1).toInt())); // no leading zeros
        QVERIFY(pattern.match(makeRideMarker(now)).hasMatch());
    }

    void travelTime_data()
    {
        QTest::addColumn<bool>("googleV2");
        QTest::addColumn<QByteArray>("service"); // raw answer; empty: nobody listens
        QTest::addColumn<int>("destinationAfterSecs");
        QTest::addColumn<double>("km");
        QTest::addColumn<int>("minutesBefore");
        QTest::addColumn<QString>("destinationPlace");
        QTest::addColumn<QString>("lokaal");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<double>("storedKm");
        QTest::addColumn<bool>("neverPlan");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QStringList>("log");

        const QString utrecht = QStringLiteral("Utrecht");
        const auto saved = [](int n) { return QStringLiteral("- Opgeslagen minuten: %1").arg(n); };
        const QString failed = QStringLiteral("- Berekening minuten V2 mislukt");
        QTest::newRow("destination 25 min after pickup")
            << true << answer(15234, 1250) << 25 * 60 << 0.0 << 0 << utrecht << "20" << 25 << 0.0 << false << 0
            << QStringList{QStringLiteral("- Ontvangen minuten: 25")};
        QTest::newRow("destination 25 min 50 s after pickup")
            << true << answer(15234, 1250) << 25 * 60 + 50 << 0.0 << 0 << utrecht << "20" << 25 << 0.0 << false << 0
            << QStringList{QStringLiteral("- Ontvangen minuten: 25")};
        QTest::newRow("speed rule, same place") << false << QByteArray() << 0 << 12.0 << 0 << utrecht << "20" << 4
                                                << 12.0 << false << 0 << QStringList{saved(4)};
        QTest::newRow("speed rule, other place") << false << QByteArray() << 0 << 12.0 << 0 << "Zeist"
                                                 << "20" << 8 << 12.0 << false << 0 << QStringList{saved(8)};
        QTest::newRow("speed rule, place in other case") << false << QByteArray() << 0 << 12.0 << 0 << "UTRECHT"
                                                         << "20" << 8 << 12.0 << false << 0 << QStringList{saved(8)};
        QTest::newRow("speed setting without digits") << false << QByteArray() << 0 << 12.0 << 0 << utrecht << "abc"
                                                      << 0 << 12.0 << true << 0 << QStringList{saved(0)};
        QTest::newRow("edited ride keeps its minutes") << false << QByteArray() << 0 << 12.0 << 30 << utrecht << "20"
                                                       << 30 << 12.0 << false << 0 << QStringList{saved(30)};
        QTest::newRow("service answers 15234 m and 1250 s")
            << true << answer(15234, 1250) << 0 << 0.0 << 0 << "Zeist"
            << "20" << 20 << 15.23 << false << 1
            << QStringList{QStringLiteral("- Berekende minuten V2: 20"), saved(20)};
        QTest::newRow("service unreachable") << true << QByteArray() << 0 << 0.0 << 0 << "Zeist"
                                             << "20" << 0 << 0.0 << true << 0 << QStringList{failed, saved(0)};
        QTest::newRow("service answers 0 m: speed rule decides")
            << true << answer(0, 600) << 0 << 12.0 << 0 << utrecht << "20" << 4 << 12.0 << false << 1
            << QStringList{failed, saved(4)};
        QTest::newRow("service answers 59 s")
            << true << answer(800, 59) << 0 << 12.0 << 0 << utrecht << "20" << 0 << 0.8 << true << 1
            << QStringList{QStringLiteral("- Berekende minuten V2: 0"), saved(0)};
    }

    void travelTime()
    {
        QFETCH(bool, googleV2);
        QFETCH(QByteArray, service);
        QFETCH(int, destinationAfterSecs);
        QFETCH(double, km);
        QFETCH(int, minutesBefore);
        QFETCH(QString, destinationPlace);
        QFETCH(QString, lokaal);
        QFETCH(int, minutes);
        QFETCH(double, storedKm);
        QFETCH(bool, neverPlan);
        QFETCH(int, requests);
        QFETCH(QStringList, log);

        m_kit->settings.setChecked(Setting::GoogleV2, googleV2);
        m_kit->settings.setText(Setting::Lokaal, lokaal);
        QTcpServer closed;
        if (service.isEmpty()) {
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            m_kit->settings.setText(Setting::AfstandPoort, QString::number(closed.serverPort()));
            closed.close();
        } else {
            m_server->respondWith(service);
        }

        Dataset &ins = m_kit->datasets->ADOINS;
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        const QDateTime destination = kPickup.addSecs(destinationAfterSecs);
        ins.setValue(QStringLiteral("pla_extern"), 77);
        ins.setValue(QStringLiteral("pla_tijdstip"), kPickup);
        ins.setValue(QStringLiteral("pla_tijdstip_locatie"), destination);
        ins.setValue(QStringLiteral("pla_km_sqr"), km);
        ins.setValue(QStringLiteral("pla_minuten"), minutesBefore);
        ins.setValue(QStringLiteral("pla_ophstraat"), QStringLiteral("Stationsplein"));
        ins.setValue(QStringLiteral("pla_ophnummer"), QStringLiteral("1"));
        ins.setValue(QStringLiteral("pla_ophpostcode"), QStringLiteral("3511ED"));
        ins.setValue(QStringLiteral("pla_ophstad"), QStringLiteral("Utrecht"));
        ins.setValue(QStringLiteral("pla_besstraat"), QStringLiteral("Slotlaan"));
        ins.setValue(QStringLiteral("pla_beststad"), destinationPlace);
        // The step a packet's post takes first: it may wait for the service.
        QCoro::waitFor(m_kit->datasets->hooks.prepare(ins));
        ins.post();
        ins.close();

        ins.setStatement(QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= 77"));
        ins.open();
        QCOMPARE(ins.rowCount(), 1);
        QCOMPARE(ins.integer(QStringLiteral("pla_minuten")), minutes);
        QCOMPARE(ins.number(QStringLiteral("pla_km_sqr")), storedKm);
        QCOMPARE(ins.number(QStringLiteral("pla_km_map")), googleV2 && requests && storedKm != km ? storedKm : 0.0);
        const QDateTime storedPickup = ins.dateTime(QStringLiteral("pla_tijdstip"));
        const QDateTime storedDestination = ins.dateTime(QStringLiteral("pla_tijdstip_locatie"));
        if (destinationAfterSecs > 0 || minutes == 0)
            QCOMPARE(storedDestination, destination); // the destination time stands
        else
            QCOMPARE(storedPickup.msecsTo(storedDestination), qint64(minutes) * 60000); // they agree as stored
        QCOMPARE(ins.integer(QStringLiteral("pla_nooitplannen")), neverPlan ? 1 : 0);
        QCOMPARE(int(m_server->requests().size()), requests);
        if (requests)
            QVERIFY(m_server->requests().first().requestLine.contains(
                "origins=Stationsplein%201%203511%20Utrecht&destinations=Slotlaan%20%20%20" +
                destinationPlace.toUtf8() + "&mode"));

        QStringList hookLines;
        static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d- "));
        for (const QString &line : m_kit->activityLog.lines())
            if (stamp.match(line).hasMatch())
                hookLines << line.mid(8);
        QCOMPARE(hookLines, log);
        if (googleV2 && service.isEmpty()) // the cause is logged by the client, once
            QCOMPARE(m_kit->activityLog.lineCount(), hookLines.size() + 1);
    }

    void cancelledRideIsKeptOutOfPlanning_data()
    {
        QTest::addColumn<QString>("remark");
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("cancelled") << QStringLiteral("(VERWIJDERD DOOR RBS)") << true;
        QTest::newRow("lower case is not") << QStringLiteral("(verwijderd door rbs)") << false;
    }

    void cancelledRideIsKeptOutOfPlanning()
    {
        QFETCH(QString, remark);
        QFETCH(bool, cancelled);
        m_kit->settings.setChecked(Setting::GoogleV2, false);
        Dataset &ins = m_kit->datasets->ADOINS;
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        ins.setValue(QStringLiteral("pla_tijdstip"), kPickup);
        ins.setValue(QStringLiteral("pla_tijdstip_locatie"), kPickup.addSecs(600));
        ins.setValue(QStringLiteral("pla_route"), 5);
        ins.setValue(QStringLiteral("pla_van"), 6);
        ins.setValue(QStringLiteral("pla_naar"), 7);
        ins.setValue(QStringLiteral("pla_opmerking"), remark);
        ins.post();
        QCOMPARE(ins.integer(QStringLiteral("pla_minuten")), 10); // travel time steps ran first
        QCOMPARE(ins.integer(QStringLiteral("pla_nooitplannen")), cancelled ? 1 : 0);
        QCOMPARE(ins.integer(QStringLiteral("pla_route")), cancelled ? 0 : 5);
        QCOMPARE(ins.integer(QStringLiteral("pla_van")), cancelled ? 0 : 6);
        QCOMPARE(ins.integer(QStringLiteral("pla_naar")), cancelled ? 0 : 7);
    }

private:
    std::unique_ptr<DatabaseKit> m_kit;
    std::unique_ptr<LoopbackHttpServer> m_server;
};

QTEST_GUILESS_MAIN(RideHooksTest)
#include "tst_RideHooks.moc"
