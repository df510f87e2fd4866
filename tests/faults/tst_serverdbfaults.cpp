// The service headless on a live database server named by an ODBC data
// source, while booking systems send rides.

#include "faults/FaultKit.h"
#include "support/PostgresCluster.h"
#include "support/TestSupport.h"

#include <QSqlQuery>
#include <QTest>

#include <csignal>
#include <map>

using namespace velora;
using namespace velora::faults;
using velora::test::PostgresCluster;

class TestServerDatabaseFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // "dsn:" to the server: 8 booking systems at once; every ride answered
    // "AC" is in the server's planning table once, with its one transaction
    // row naming its own pla_id; no ride told "NC".
    void ridesAnsweredAcceptedAreInTheServersPlanning()
    {
        PostgresCluster &cluster = PostgresCluster::shared();
        QVERIFY(cluster.resetTables());
        StartedService started({.server = &cluster});
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();

        // One ride on its own first: the reply and the row.
        const QByteArray reply = exchangeOnce(port, newRidePacket(4711));
        QVERIFY2(reply.startsWith("<RBS>41432C"), reply.constData()); // "AC,"
        std::vector<RideOutcome> outcomes;
        {
            LoadClients load(port, 8);
            QVERIFY(test::waitUntil([&] { return load.accepted() >= 200; }, 30000));
            load.stop();
            outcomes = load.outcomes();
        }
        outcomes.push_back({4711, Told::Accepted});
        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QVERIFY2(!service.output().contains("Database"), service.output().right(2000).constData());

        QSqlDatabase db = cluster.connection(QStringLiteral("ledger"));
        QVERIFY(db.isOpen());
        std::map<qint32, std::vector<int>> rides; // pla_extern: pla_id of each row
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("select pla_extern, pla_id from planning")));
        while (query.next())
            rides[query.value(0).toInt()].push_back(query.value(1).toInt());
        std::map<int, std::vector<int>> codes; // tra_rit: tra_code of each row
        QVERIFY(query.exec(QStringLiteral("select tra_rit, tra_code from TRANSACTIES")));
        while (query.next())
            codes[query.value(0).toInt()].push_back(query.value(1).toInt());
        int accepted = 0;
        for (const RideOutcome &outcome : outcomes) {
            const std::vector<int> &ids = rides[outcome.ride];
            QVERIFY2(outcome.told != Told::Refused, qPrintable(QString::number(outcome.ride)));
            if (outcome.told == Told::Nothing) {
                QVERIFY(ids.size() <= 1);
                continue;
            }
            ++accepted;
            QVERIFY2(ids.size() == 1, qPrintable(QStringLiteral("ride %1: %2 rows").arg(outcome.ride).arg(ids.size())));
            QCOMPARE(codes[ids.front()], std::vector<int>{91});
        }
        QVERIFY(accepted >= 201);
        db.close();
    }
};

QTEST_GUILESS_MAIN(TestServerDatabaseFaults)
#include "tst_serverdbfaults.moc"
