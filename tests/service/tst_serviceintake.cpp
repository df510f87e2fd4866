#include "intake/IntakeTestKit.h"

#include "service/Service.h"
#include "shell/ConfigFile.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace velora;
using namespace velora::test;

// The intake as the service composes it: the service opens the database the
// intake is to listen on, and keeps the activity log bounded as connections
// end.
class TestServiceIntake : public QObject {
    Q_OBJECT

    struct Running {
        QTemporaryDir folder;
        Settings settings;
        Log activityLog{QStringLiteral("RBSLog")};
        Log returnLog{QStringLiteral("RBSCLog")};
        FailureHandler failures{activityLog};
        ConfigFile config{folder.filePath(QStringLiteral("VeloraRBS.xml"))};
        std::unique_ptr<Service> service;

        explicit Running(const QString &loginServer = QString())
        {
            settings.setChecked(Setting::RBSActive, true);
            settings.setText(Setting::RBSPoort, QString::number(freePort()));
            settings.setChecked(Setting::GoogleV2, false);
            settings.setText(Setting::xLoginServer, loginServer);
            service = std::make_unique<Service>(settings, activityLog, returnLog, failures, config, folder.path());
            service->General().setInterval(20);
            service->start();
        }
        quint64 databaseFailures() const
        {
            return service->metrics()->total(QStringLiteral("velora_database_failures_total"));
        }
    };

private Q_SLOTS:
    void fullLogIsSavedAsAConnectionEnds()
    {
        Running run;
        QVERIFY(waitUntil([&] { return run.service->serverListening(); }));
        QCOMPARE(run.databaseFailures(), quint64(0));
        BookingPeer peer(quint16(run.settings.integer(Setting::RBSPoort)));
        QVERIFY(peer.connected());
        QVERIFY(waitUntil([&] { return run.service->connections().size() == 1; }));

        // 500 lines are kept as a connection ends, more are saved and cleared
        // before its end is logged.
        run.activityLog.clear();
        for (int i = 0; i < 501; ++i)
            run.activityLog.addLine(QString::number(i));
        peer.socket().disconnectFromHost();
        QVERIFY(waitUntil([&] { return run.service->connections().isEmpty(); }));
        QCOMPARE(run.activityLog.lineCount(), 1);
        QVERIFY(run.activityLog.lines().first().startsWith("Verbinding verbroken om "));
        const QString logFolder = run.service->logFolder();
        const QStringList saved = QDir(logFolder).entryList({"*.TXT"});
        QCOMPARE(saved.size(), 1);
        QFile file(QDir(logFolder).filePath(saved.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count("\r\n"), 501);
    }

    void failedOpenIsCountedAndTheIntakeWaits()
    {
        // A database file below a plain file cannot be made.
        QTemporaryDir blocked;
        QFile plain(blocked.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        Running run("sqlite:" + blocked.filePath("plain/VeloraRBS.db"));
        QVERIFY(waitUntil([&] { return run.databaseFailures() > 0; }));
        QVERIFY(!run.service->serverListening());
        QVERIFY(run.service->statusSnapshot().listenProblem.contains("database"));
    }
};

QTEST_GUILESS_MAIN(TestServiceIntake)
#include "tst_serviceintake.moc"
