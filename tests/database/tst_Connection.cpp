#include "DatabaseTestKit.h"

#include "shell/Failure.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTest>

using namespace velora;
using velora::test::DatabaseKit;

class ConnectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void targetFromTheFourSettings_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("backend");
        QTest::addColumn<QString>("expected"); // path relative to the program folder, or the ODBC text
        QTest::newRow("empty") << QString() << int(Backend::EmbeddedSqlite) << QStringLiteral("VeloraRBS.db");
        QTest::newRow("blank") << QStringLiteral("  ") << int(Backend::EmbeddedSqlite)
                               << QStringLiteral("VeloraRBS.db");
        QTest::newRow("sqlite relative") << QStringLiteral("sqlite:data/rides.db") << int(Backend::SqliteFile)
                                         << QStringLiteral("data/rides.db");
        QTest::newRow("sql server") << QStringLiteral("dispatch\\VELORA") << int(Backend::SqlServerOdbc)
                                    << QStringLiteral("DRIVER={FreeTDS};Server=dispatch\\VELORA;Database=Velora;"
                                                      "UID=link;PWD={s3cr;t}}pw};");
        QTest::newRow("sql server with port") << QStringLiteral("10.0.0.5,1433") << int(Backend::SqlServerOdbc)
                                              << QStringLiteral("DRIVER={FreeTDS};Server=10.0.0.5;Port=1433;"
                                                                "Database=Velora;UID=link;PWD={s3cr;t}}pw};");
    }

    void targetFromTheFourSettings()
    {
        QFETCH(QString, server);
        QFETCH(int, backend);
        QFETCH(QString, expected);
        Settings settings;
        settings.setText(Setting::xLoginServer, server);
        settings.setText(Setting::xLoginDatabase, QStringLiteral("Velora"));
        settings.setText(Setting::xLoginSQL, QStringLiteral("link"));
        settings.setText(Setting::xPaswoordSQL, QStringLiteral("s3cr;t}pw"));
        const ConnectionTarget target = connectionTargetFor(settings, QStringLiteral("/opt/velora"));
        QCOMPARE(int(target.backend), backend);
        if (target.backend == Backend::SqlServerOdbc) {
            QCOMPARE(target.odbcConnectString, expected);
            QVERIFY(!target.displayText.contains(QLatin1String("s3cr")));
            QVERIFY(target.displayText.contains(QLatin1String("PWD=***")));
        } else {
            QCOMPARE(target.sqlitePath, QDir(QStringLiteral("/opt/velora")).filePath(expected));
        }
    }

    // No SQL Server here: what can be checked is that a connect that cannot
    // succeed comes back with the driver's message, without the password, and
    // within the login bound. (A peer that accepts and then never answers is
    // not bounded by the ODBC driver installed here; it stays out of the test.)
    void failedConnectReturnsWithinTheBound()
    {
        DatabaseKit kit;
        DatabaseTimeouts timeouts;
        timeouts.odbcLoginSeconds = 2;
        kit.database->setTimeouts(timeouts);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        const quint16 port = listener.serverPort();
        listener.close(); // nothing listens there any more
        kit.settings.setText(Setting::xLoginServer, QStringLiteral("127.0.0.1,%1").arg(port));
        kit.settings.setText(Setting::xLoginDatabase, QStringLiteral("Velora"));
        kit.settings.setText(Setting::xLoginSQL, QStringLiteral("sa"));
        kit.settings.setText(Setting::xPaswoordSQL, QStringLiteral("Geheim42"));

        QElapsedTimer timer;
        timer.start();
        QString message;
        try {
            kit.database->open();
        } catch (const Failure &failure) {
            message = failure.message();
        }
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(!message.isEmpty(), "the connect did not fail");
        qInfo() << "connect failed after" << elapsed << "ms:" << message;
        QVERIFY(!kit.database->isOpen());
        QVERIFY(!message.contains(QLatin1String("Geheim42")));
        QVERIFY(message.contains(QLatin1String("127.0.0.1")));
        QVERIFY2(elapsed < 8000, qPrintable(QString::number(elapsed)));
    }

    void transactionRowOfTheWorkedExample_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<int>("expectedUser");
        QTest::newRow("initial") << QStringLiteral("0") << 0;
        QTest::newRow("letters only") << QStringLiteral("abc") << 0;
        QTest::newRow("number and blank") << QStringLiteral("12 ") << 12;
    }

    void transactionRowOfTheWorkedExample()
    {
        QFETCH(QString, user);
        QFETCH(int, expectedUser);
        DatabaseKit kit;
        kit.settings.setText(Setting::Gebruiker, user);
        kit.datasets->transactions.LogTransactie(0, 1234, 0, 0, 91, QStringLiteral("Op rekening"));
        kit.datasets->transactions.LogTransactie(0, 1234, 17, 5, 94, QString());
        kit.datasets->transactions.LogTransactie(0, 0, 0, 0, 93, QStringLiteral("O'Neill"));
        QCOMPARE(kit.activityLog.lineCount(), 0);

        QSqlQuery query(kit.database->connection());
        QVERIFY(query.exec(QStringLiteral("select tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                                          "tra_code, tra_opmerking from TRANSACTIES order by rowid")));
        QStringList rows;
        while (query.next()) {
            QStringList values;
            for (int i = 0; i < 7; ++i)
                values << query.value(i).toString();
            rows << values.join(u',');
        }
        const QString u = QString::number(expectedUser);
        QCOMPARE(rows,
                 (QStringList{u + QStringLiteral(",0,1234,0,0,91,Op rekening"), u + QStringLiteral(",0,1234,17,5,94,"),
                              u + QStringLiteral(",0,0,0,0,93,O'Neill")}));
    }

    void transactionFailureGoesToTheFailureHandler()
    {
        DatabaseKit kit;
        kit.database->open();
        QSqlQuery(kit.database->connection()).exec(QStringLiteral("DROP TABLE TRANSACTIES"));
        kit.activityLog.addLine(QStringLiteral("earlier line"));
        QSignalSpy failed(&kit.failures, &FailureHandler::failed);
        kit.datasets->transactions.LogTransactie(0, 1234, 17, 5, 94, QString()); // returns normally
        QCOMPARE(failed.count(), 1);
        QCOMPARE(kit.activityLog.lineCount(), 1);
        QVERIFY2(kit.activityLog.lines().first().contains(QLatin1String("TRANSACTIES")),
                 qPrintable(kit.activityLog.text()));
    }
};

QTEST_GUILESS_MAIN(ConnectionTest)
#include "tst_Connection.moc"
