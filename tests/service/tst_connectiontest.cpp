#include "intake/IntakeTestKit.h"
#include "service/Service.h"
#include "shell/ConfigFile.h"
#include "support/LoopbackHttpServer.h"

using namespace velora;
using namespace velora::test;

// The button "TEST" of the window closes and reopens the one connection. It
// can be pressed while a packet's post waits for the distance service (the
// window stays responsive then); the packet must finish on its connection.
class TestConnectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void waitsForAPostThatAsksTheDistance()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        Settings settings;
        Log activityLog(QStringLiteral("RBSLog"));
        Log returnLog(QStringLiteral("RBSCLog"));
        FailureHandler failures(activityLog);
        ConfigFile config(folder.filePath(QStringLiteral("VeloraRBS.xml")));

        LoopbackHttpServer distance;
        QVERIFY(distance.listen());
        distance.respondNever(); // the post waits until its time-out
        settings.setText(Setting::AfstandServer, distance.host());
        settings.setText(Setting::AfstandPoort, QString::number(distance.port()));
        settings.setText(Setting::AfstandTimeOut, QStringLiteral("2"));

        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        settings.setText(Setting::RBSPoort, QString::number(port));
        settings.setChecked(Setting::RBSActive, true);

        Service service(settings, activityLog, returnLog, failures, config, folder.path());
        service.start();
        QVERIFY(waitUntil([&] { return service.serverListening(); }, 10000));

        BookingPeer peer(port);
        QVERIFY(peer.connected());
        peer.send(OrderItems(QStringLiteral("NR"), 4711).packet());
        QVERIFY(waitUntil([&] { return distance.requests().size() == 1; }, 10000));

        const QString answered = QStringLiteral("* ") + QString::fromLatin1(replyBytes("AC", "RBS", 4711));
        bool tested = false;
        bool answeredWhenTested = false;
        service.testDatabaseConnection([&] {
            tested = true;
            answeredWhenTested = activityLog.lines().contains(answered);
        });
        QVERIFY2(!tested, "the test ran inside the waiting post");

        QCOMPARE(peer.waitForReplies(1, 10000), replyBytes(QStringLiteral("AC"), QStringLiteral("RBS"), 4711));
        QVERIFY(waitUntil([&] { return tested; }, 10000));
        QVERIFY2(answeredWhenTested, "the test ran before the packet was answered");

        QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        check.setDatabaseName(folder.filePath(QStringLiteral("VeloraRBS.db")));
        QVERIFY(check.open());
        {
            QSqlQuery rides(QStringLiteral("select pla_id from planning where pla_extern = 4711"), check);
            QVERIFY(rides.next());
            const int id = rides.value(0).toInt();
            QSqlQuery transactions(QStringLiteral("select tra_rit from TRANSACTIES where tra_code = 91"), check);
            QVERIFY(transactions.next());
            QCOMPARE(transactions.value(0).toInt(), id);
        }
        check.close();
        check = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    }
};

QTEST_GUILESS_MAIN(TestConnectionTest)
#include "tst_connectiontest.moc"
