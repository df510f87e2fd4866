// Status messages queued for a return host that is down, and the service
// killed before they could go: the next start sends them.

#include "faults/FaultKit.h"
#include "returns/ReturnsTestKit.h"
#include "support/TestSupport.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <csignal>

using namespace velora;
using namespace velora::faults;

namespace {

// The return link on, the scheduler at its shortest interval, both return
// hosts at `returnPort`.
QMap<QString, QString> returnSettings(quint16 returnPort)
{
    const QString port = QString::number(returnPort);
    return {{QStringLiteral("RBSRetour_Checked"), QStringLiteral("TRUE")},
            {QStringLiteral("TrackBar1_Position"), QStringLiteral("5")},
            {QStringLiteral("RBSCHost_Text"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("RBSCPoort_Text"), port},
            {QStringLiteral("VALYSHOST_Text"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("VALYSPOORT_Text"), port}};
}

int storedEntries(const QString &path)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("queue-check"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("select count(*) from return_queue")) && query.next())
                count = query.value(0).toInt();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("queue-check"));
    return count;
}

} // namespace

class TestQueueFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One message per channel waits for a host that is down; kill -9; the
    // next start, with the host up, delivers both and the queue file empties.
    void queuedMessagesSurviveAKill()
    {
        StartedService service({.settings = returnSettings(test::closedPort())});
        QVERIFY(service.writeSettings());
        int rbsRide = 0, valysRide = 0;
        {
            // The dispatch suite marks one ride of each channel for reporting.
            Settings settings;
            Database suite(settings, service.folder());
            suite.open(); // makes the file with its tables
            suite.close();
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("suite"));
            db.setDatabaseName(service.databasePath());
            QVERIFY(db.open());
            QSqlQuery insert(db);
            QVERIFY(insert.exec(QStringLiteral("insert into planning (pla_eigenaar, pla_extern, pla_retour_rbs, "
                                               "pla_status) values ('002', 4711, 1, 'T')")));
            rbsRide = insert.lastInsertId().toInt();
            QVERIFY(insert.exec(QStringLiteral("insert into planning (pla_eigenaar, pla_extern, pla_retour_rbs, "
                                               "pla_status) values ('003', 4712, 1, 'T')")));
            valysRide = insert.lastInsertId().toInt();
            insert.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("suite"));
        QVERIFY(service.start(StartedService::Until::Started));
        // The first scheduler tick comes after 15 s, the second 5 s later.
        for (int ride : {rbsRide, valysRide})
            QVERIFY(
                service->waitForOutput(QStringLiteral("RETOURMELDING AANGEBODEN - %1").arg(ride).toLatin1(), 30000));
        service->signal(SIGKILL);
        QVERIFY(service->waitForExit());
        QVERIFY(service->crashed());

        test::ReturnPeer host;
        host.answer = [](const QByteArray &message) { return test::acceptFor(test::rideNumberOf(message)); };
        QVERIFY(writeSettings(service.folder(), service.port(), returnSettings(host.port())));
        QVERIFY(service.start(StartedService::Until::Started));
        ServiceProcess &again = service.process();
        const bool both = test::waitUntil([&] { return host.messages().size() >= 2; }, 15000);
        QVERIFY2(both, qPrintable(QStringLiteral("%1 of 2 messages delivered").arg(host.messages().size())));
        QVERIFY(again.output().contains("2 status messages of the last run wait to be sent (RBSQOut 1, VALYSQOut 1)"));
        QList<qint32> delivered;
        for (const QByteArray &message : host.messages())
            delivered << test::rideNumberOf(message);
        std::sort(delivered.begin(), delivered.end());
        QCOMPARE(delivered, (QList<qint32>{4711, 4712}));
        for (int ride : {4711, 4712})
            QVERIFY(again.waitForOutput(QStringLiteral("STATUS 2 voor %1").arg(ride).toLatin1()));
        again.signal(SIGTERM);
        QVERIFY(again.waitForExit());
        QCOMPARE(again.exitCode(), 0);
        QCOMPARE(host.messages().size(), 2); // nothing twice
        QCOMPARE(storedEntries(service.filePath(QStringLiteral("VeloraRBS-queues.db"))), 0);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestQueueFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_queuefaults.moc"
