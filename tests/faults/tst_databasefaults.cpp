// The embedded database file handled by its operator while the service runs:
// a backup moved over it, and the file made read-only and writable again.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"
#include "wire/WireCodec.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace velora;
using namespace velora::faults;

namespace {

constexpr uid_t kUnprivileged = 65534; // "nobody" on Debian

// Runs one statement on its own connection; the first column of each row.
QStringList query(const QString &path, const QString &statement)
{
    QStringList rows;
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (!q.exec(statement))
                rows << QStringLiteral("error: ") + q.lastError().text();
            while (q.next())
                rows << q.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

} // namespace

class TestDatabaseFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A consistent copy holding rides of its own is moved over the open file
    // while booking systems send rides: the file that was moved in is used as
    // it is (the old file's journal is not played into it), it keeps its own
    // rides, and every ride answered "AC" after the move is in it.
    void fileMovedOverTheOpenOneIsUsedAsItIs()
    {
        StartedService started;
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();
        const QString live = started.databasePath();
        const QString backup = started.filePath(QStringLiteral("other.db"));
        {
            LoadClients seed(port, 2, 900000);
            QVERIFY(test::waitUntil([&] { return seed.accepted() >= 40; }, 30000));
        }
        // A consistent copy taken while the service writes, as an operator
        // makes a backup; its rides are the ones it must keep.
        QVERIFY(query(live, QStringLiteral("vacuum into '%1'").arg(backup)).isEmpty());
        // Rides of its own, which the file it replaces does not hold.
        QVERIFY(query(backup, QStringLiteral("update planning set pla_extern = pla_extern + 50000")).isEmpty());
        const QStringList backupRides = query(backup, QStringLiteral("select pla_extern from planning"));
        QVERIFY(backupRides.size() >= 40);

        constexpr int kBefore = 4;
        LoadClients before(port, kBefore, 100000);
        QVERIFY(test::waitUntil([&] { return before.accepted() >= 50; }, 30000));
        // A report reading the old file holds on to pages the service has
        // replaced since, so its journal cannot all be written into it.
        const QString reader = QUuid::createUuid().toString();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), reader);
            db.setDatabaseName(live);
            QVERIFY(db.open());
            QSqlQuery read(db);
            QVERIFY(read.exec(QStringLiteral("begin")));
            QVERIFY(read.exec(QStringLiteral("select count(*) from planning")) && read.next());
        }
        QVERIFY(test::waitUntil([&] { return before.accepted() >= 100; }, 30000));
        // The old file is busy with its own journal when the copy replaces it.
        QCOMPARE(std::rename(QFile::encodeName(backup).constData(), QFile::encodeName(live).constData()), 0);
        LoadClients after(port, 2, 500000);
        const bool noticed = service.waitForOutput("another file is at this path now; it is opened as it is", 5000);
        QSqlDatabase::removeDatabase(reader);
        QVERIFY(test::waitUntil([&] { return after.accepted() >= 100; }, 30000));
        before.stop();
        after.stop();
        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());

        const LedgerReport report = checkLedger(live, after.outcomes());
        const QSet<QString> stored = [&] {
            const QStringList rides = query(live, QStringLiteral("select pla_extern from planning"));
            return QSet<QString>(rides.cbegin(), rides.cend());
        }();
        int lostFromBackup = 0;
        for (const QString &ride : backupRides)
            lostFromBackup += !stored.contains(ride);
        const QStringList &problems = report.problems;
        qInfo("integrity %s; rides of the moved-in file lost: %d of %lld; rides in the file %d; rides after the move "
              "wrong: %lld",
              qPrintable(report.integrity), lostFromBackup, backupRides.size(), report.stored, problems.size());
        QCOMPARE(report.integrity, QStringLiteral("ok"));
        QCOMPARE(lostFromBackup, 0);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

        // The rides in flight during the move: each booking system sends one
        // after another, so once one of its rides is in the moved-in file,
        // every later one it was told "AC" about must be there as well (one
        // answered "AC" into the old file after the move would be missing).
        std::map<int, std::vector<RideOutcome>> perClient;
        for (const RideOutcome &outcome : before.outcomes())
            perClient[(outcome.ride - 100000) % kBefore].push_back(outcome);
        QStringList lostAfterMove;
        for (auto &[client, outcomes] : perClient) {
            std::sort(outcomes.begin(), outcomes.end(),
                      [](const RideOutcome &a, const RideOutcome &b) { return a.ride < b.ride; });
            bool moved = false;
            for (auto it = outcomes.begin(); it != outcomes.end(); ++it) {
                const bool here = stored.contains(QString::number(it->ride));
                if (it->told == Told::Accepted && !here && moved)
                    lostAfterMove << QString::number(it->ride);
                moved = moved || here;
            }
        }
        QVERIFY2(lostAfterMove.isEmpty(), qPrintable(lostAfterMove.join(u' ')));

        // The old file's journal was kept aside, not played into the new file.
        const QStringList aside = QDir(started.folder()).entryList({QStringLiteral("VeloraRBS.db-wal.*")}, QDir::Files);
        QVERIFY(noticed);
        QCOMPARE(aside.size(), 1);
        QVERIFY(service.output().contains("the journal of the file it replaced was moved aside to"));
    }

    // The file made read-only and then writable again by its operator while
    // the service runs as an ordinary user: refused while read-only, accepted
    // again at once when it is writable, and after a restart as well.
    void readOnlyFileAcceptedAgainOnceWritable()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run the service as an unprivileged user (root ignores permission bits)");
        StartedService service({.childSetup = [] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivileged) != 0 || ::setuid(kUnprivileged) != 0)
                ::_exit(126);
        }});
        QVERIFY(service.writeSettings());
        for (const QString &path : {service.folder(), service.filePath(QStringLiteral("VeloraRBS.xml"))})
            QCOMPARE(::chown(QFile::encodeName(path).constData(), kUnprivileged, kUnprivileged), 0);
        const QString live = service.databasePath();
        auto send = [&](qint32 ride) { return toldIn(exchangeOnce(service.port(), newRidePacket(ride))); };
        auto setMode = [&](mode_t mode) { return ::chmod(QFile::encodeName(live).constData(), mode) == 0; };

        int refusedWritable = 0;
        int refusedRestarted = 0;
        auto stop = [&] {
            service->signal(SIGTERM);
            return service->waitForExit();
        };
        QVERIFY(service.start());
        QCOMPARE(send(1), Told::Accepted);
        QVERIFY(stop());
        // Read-only when the service opens it: refused.
        QVERIFY(setMode(0444));
        QVERIFY(service.start());
        QCOMPARE(send(2), Told::Refused);
        QCOMPARE(send(3), Told::Refused);
        // Writable again: accepted from the next packet on.
        QVERIFY(setMode(0644));
        for (qint32 ride = 10; ride < 15; ++ride)
            refusedWritable += send(ride) != Told::Accepted;
        qInfo("not accepted after it was made writable again: %d of 5", refusedWritable);
        QVERIFY(stop());
        // And what the read-only open left beside the file refuses nothing
        // after a restart.
        QVERIFY(service.start());
        for (qint32 ride = 30; ride < 35; ++ride)
            refusedRestarted += send(ride) != Told::Accepted;
        qInfo("not accepted after the restart: %d of 5", refusedRestarted);
        QVERIFY(stop());
        QCOMPARE(refusedWritable, 0);
        QCOMPARE(refusedRestarted, 0);

        std::vector<RideOutcome> told;
        for (qint32 ride : {1, 10, 11, 12, 13, 14, 30, 31, 32, 33, 34})
            told.push_back({ride, Told::Accepted});
        for (qint32 ride : {2, 3})
            told.push_back({ride, Told::Refused});
        const LedgerReport report = checkLedger(live, told);
        QVERIFY2(report.sound(), qPrintable(report.text()));
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestDatabaseFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_databasefaults.moc"
