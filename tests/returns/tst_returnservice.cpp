#include "ReturnsTestKit.h"

#include "service/Service.h"
#include "shell/ConfigFile.h"

#include <QSignalSpy>
#include <QTest>

using namespace velora;
using namespace velora::test;

// The return link as the service runs it: a ride marked pending in the
// dispatch database reaches the return host through the service's own timers
// and buttons.
class TestReturnService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pendingRideReachesTheHostAndIsAcknowledged()
    {
        QTemporaryDir folder;
        Settings settings;
        Log activityLog("RBSLog"), returnLog("RBSCLog");
        FailureHandler failures(activityLog);
        ConfigFile config(folder.filePath("VeloraRBS.xml"));
        ReturnPeer host;
        host.answer = [](const QByteArray &message) { return acceptFor(rideNumberOf(message)); };
        settings.setText(Setting::RBSCHost, "127.0.0.1");
        settings.setText(Setting::RBSCPoort, QString::number(host.port()));
        settings.setChecked(Setting::RBSRetour, true);
        useTestDatabase(settings);

        // The dispatch suite's side: a ride in the service's database.
        int ride = 0;
        {
            Database suite(settings, folder.path());
            suite.open();
            suite.close();
        }
        const auto onFile = [&](const QString &statement) {
            QSqlDatabase db = suiteConnection("suite", folder.filePath("VeloraRBS.db"));
            QVariant result;
            if (db.open()) {
                QSqlQuery query(db);
                if (query.exec(statement))
                    result = query.next() ? query.value(0) : query.lastInsertId();
            }
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase("suite");
            return result;
        };
        ride = onFile("insert into planning (pla_eigenaar, pla_extern, pla_retour_rbs, pla_status) "
                      "values ('002', 4711, 1, 'T')")
                   .toInt();
        QVERIFY(ride > 0);

        Service service(settings, activityLog, returnLog, failures, config, folder.path());
        QSignalSpy queued(&service, &ServicePanel::queueChanged);
        service.start();
        service.RetourZender().setInterval(20);
        service.RBSQOutTimer().setInterval(50);
        service.SendClient().setInterval(20);
        service.RetourZender().start();
        service.RBSQOutTimer().start();
        service.SendClient().start();

        const auto stateOfRide = [&] {
            const QVariant state = onFile(QString("select pla_retour_rbs from planning where pla_id=%1").arg(ride));
            return state.isValid() ? state.toInt() : -1;
        };
        QVERIFY(waitUntil([&] { return host.messages().size() == 1; }));
        QCOMPARE(rideNumberOf(host.messages().first()), 4711);
        QVERIFY(queued.count() >= 2); // appended, then sent
        QVERIFY(service.queue(ReturnChannelId::Rbs).isEmpty());
        QVERIFY(waitUntil([&] { return returnLog.lines().contains("C:-> RETOURMELDING - STATUS 2 voor 4711"); }));
        QCOMPARE(stateOfRide(), 2);
        QVERIFY(returnLog.lines().contains(QString("D:-> RETOURMELDING AANGEBODEN - %1").arg(ride)));

        // The window's buttons reach the same link.
        QVERIFY(!service.noReplyButton().visible);
        settings.setText(Setting::Testnummer, QString::number(ride));
        service.sendTestStatus();
        QVERIFY(waitUntil([&] { return host.messages().size() == 2; }));
        service.RBSQOutTimer().stop();
        service.sendTestStatus();
        QCOMPARE(service.queue(ReturnChannelId::Rbs).size(), 1);
        service.clearQueue(ReturnChannelId::Rbs);
        QVERIFY(service.queue(ReturnChannelId::Rbs).isEmpty());
        QVERIFY(!activityLog.lines().isEmpty() && activityLog.lines().first().startsWith("*<RBS>"));
    }
};

QTEST_GUILESS_MAIN(TestReturnService)
#include "tst_returnservice.moc"
