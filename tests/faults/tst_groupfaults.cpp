// Packets pipelined on 8 connections, stored in groups that share one commit:
// one unit that fails inside a group, and a kill -9 between groups.

#include "faults/FaultKit.h"
#include "support/PostgresCluster.h"
#include "support/TestSupport.h"

#include "wire/WireCodec.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>

using namespace velora;
using namespace velora::faults;

namespace {

constexpr int kConnections = 8;
constexpr int kPerRound = 16;
constexpr int kRounds = 12;

// One booking system that sends its packets in rounds, every packet of a
// round in one write, and then reads the round's replies. Records what it
// was told per ride and whether each reply named the ride of the packet it
// answers, in the order sent.
struct PipelinedClient {
    std::vector<RideOutcome> outcomes;
    QStringList orderFaults;

    void run(quint16 port, qint32 firstRide, int perRound, int rounds, const std::atomic<bool> &stop)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return;
        qint32 ride = firstRide;
        for (int round = 0; round < rounds && !stop; ++round) {
            QByteArray packets;
            const qsizetype first = qsizetype(outcomes.size());
            for (int i = 0; i < perRound; ++i) {
                outcomes.push_back({ride, Told::Nothing});
                packets += newRidePacket(ride++);
            }
            socket.write(packets);
            QByteArray received;
            QDeadlineTimer deadline(10000);
            qsizetype next = first;
            while (next < qsizetype(outcomes.size())) {
                qsizetype end;
                while (next < qsizetype(outcomes.size()) && (end = received.indexOf("<EINDE>")) >= 0) {
                    const qsizetype start = received.indexOf("<RBS>");
                    const QStringList items =
                        ReadCommaList(DecodeHexText(QString::fromLatin1(received.mid(start + 5, end - start - 5))));
                    received.remove(0, end + 7);
                    RideOutcome &outcome = outcomes[size_t(next++)];
                    if (!items.contains(QString::number(outcome.ride)))
                        orderFaults << QStringLiteral("ride %1 answered by %2").arg(outcome.ride).arg(items.join(u','));
                    outcome.told = items.value(0) == QLatin1String("AC") ? Told::Accepted : Told::Refused;
                }
                if (next >= qsizetype(outcomes.size()))
                    break;
                // Short waits, each followed by a read: bytes taken in while
                // the packets were written count as well.
                if (deadline.hasExpired() || socket.state() != QAbstractSocket::ConnectedState)
                    return; // the service is gone: the rest were told nothing
                socket.waitForReadyRead(100);
                received += socket.readAll();
            }
        }
    }
};

struct PipelinedLoad {
    std::vector<PipelinedClient> clients{kConnections};
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};

    PipelinedLoad(quint16 port, int perRound, int rounds)
    {
        for (int c = 0; c < kConnections; ++c)
            threads.emplace_back([this, c, port, perRound, rounds] {
                clients[size_t(c)].run(port, 100000 * (c + 1), perRound, rounds, stop);
                ++finished;
            });
    }
    // Waits for the clients with this thread's event loop running: the
    // service's standard output is read meanwhile. Left unread, the pipe
    // fills after a hundred packets or so, and the service waits in its
    // write of the log lines instead of answering.
    void finish()
    {
        while (finished < kConnections)
            QTest::qWait(20);
        join();
    }
    ~PipelinedLoad()
    {
        stop = true;
        join();
    }
    // Waits until every client has sent its rounds, or has lost its connection.
    void join()
    {
        for (std::thread &thread : threads)
            if (thread.joinable())
                thread.join();
    }
    std::vector<RideOutcome> outcomes() const
    {
        std::vector<RideOutcome> all;
        for (const PipelinedClient &client : clients)
            all.insert(all.end(), client.outcomes.begin(), client.outcomes.end());
        return all;
    }
    QStringList orderFaults() const
    {
        QStringList all;
        for (const PipelinedClient &client : clients)
            all << client.orderFaults;
        return all;
    }
};

bool execute(const QString &databasePath, const QString &statement)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inject"));
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        QSqlQuery query(db);
        ok = db.open() && query.exec(statement);
        if (!ok)
            qWarning("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inject"));
    return ok;
}

// One packet and its reply, with the service's standard output read all the
// while: the refusals before it wrote far more than a pipe holds, and a full
// pipe holds the service in its write of the next lines.
Told exchangeReadingOutput(ServiceProcess &service, quint16 port, const QByteArray &packet)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return Told::Nothing;
    socket.write(packet);
    QByteArray received;
    const QDeadlineTimer deadline(15000);
    while (toldIn(received) == Told::Nothing && !deadline.hasExpired()) {
        QTest::qWait(20); // the process reads its pipes in the event loop
        service.output();
        received += socket.readAll();
    }
    return toldIn(received);
}

} // namespace

class TestGroupFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void failingUnitsAreRefusedAlone_data()
    {
        QTest::addColumn<bool>("onServer");
        QTest::addColumn<bool>("refuseTransactionRow");
        QTest::newRow("embedded") << false << false;
        // On a server the units of a group set no savepoints: the refused
        // one undoes its whole transaction, and the packets kept in it
        // before are handled again.
        QTest::newRow("server") << true << false;
        // On a server the transaction rows of a group are written together
        // when it ends: one refused there undoes the transaction after all
        // of its packets were handled.
        QTest::newRow("server, transaction row") << true << true;
    }

    // A trigger refuses one ride per round: that packet alone is "NC" and
    // stores nothing; the packets stored in the same transaction before and
    // after it are "AC" and stored once, and every connection gets its
    // replies in the order it sent the packets.
    void failingUnitsAreRefusedAlone()
    {
        QFETCH(bool, onServer);
        QFETCH(bool, refuseTransactionRow);
        test::PostgresCluster *server = onServer ? &test::PostgresCluster::shared() : nullptr;
        if (server)
            QVERIFY(server->resetTables());
        StartedService started({.server = server});
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();
        const QString database = started.databasePath();
        // The second packet of every round, on another connection each
        // round: most of them have packets of the same transaction before
        // them, whatever the groups' bounds cut off.
        QSet<qint32> refused;
        for (int round = 0; round < kRounds; ++round)
            refused.insert((round % kConnections + 1) * 100000 + round * kPerRound + 1);
        QStringList refusedList;
        for (const qint32 ride : refused)
            refusedList << QString::number(ride);
        const QString refusedRides = refusedList.join(u',');
        if (server) {
            const QString refusedRow = refuseTransactionRow
                                           ? QStringLiteral("exists (select 1 from planning where pla_id = new.tra_rit "
                                                            "and pla_extern in (%1))")
                                           : QStringLiteral("new.pla_extern in (%1)");
            QString output;
            QVERIFY2(
                server->psql(QStringLiteral("create function refuse_one() returns trigger language plpgsql as "
                                            "$$ begin if %1 then "
                                            "raise exception 'refused for the test'; end if; return new; end $$;\n"
                                            "create trigger refuse_one before insert on %2 "
                                            "for each row execute function refuse_one()")
                                 .arg(refusedRow.arg(refusedRides), refuseTransactionRow ? QStringLiteral("TRANSACTIES")
                                                                                         : QStringLiteral("planning")),
                             &output),
                qPrintable(output));
        } else {
            QVERIFY(execute(database, QStringLiteral("create trigger refuse_one before insert on planning "
                                                     "when new.pla_extern in (%1) begin "
                                                     "select raise(abort, 'refused for the test'); end")
                                          .arg(refusedRides)));
        }

        PipelinedLoad load(port, kPerRound, kRounds);
        load.finish();
        const std::vector<RideOutcome> outcomes = load.outcomes();
        QCOMPARE(int(outcomes.size()), kConnections * kPerRound * kRounds);
        QVERIFY2(load.orderFaults().isEmpty(), qPrintable(load.orderFaults().join(u'\n')));
        for (const RideOutcome &outcome : outcomes)
            QCOMPARE(outcome.told, refused.contains(outcome.ride) ? Told::Refused : Told::Accepted);
        LedgerReport report;
        if (server) {
            QSqlDatabase db = server->connection(QStringLiteral("ledger"));
            report = checkLedger(db, outcomes);
        } else {
            report = checkLedger(database, outcomes);
        }
        QVERIFY2(report.sound(), qPrintable(report.text()));
        QCOMPARE(report.stored, kConnections * kPerRound * kRounds - int(refused.size()));

        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        // The refused packet's lines stay together: its failure follows its
        // own "NC" reply line. (The last one: a transaction row's failure is
        // also reported on its own as it happens, where the packet's lines
        // are not held.)
        const QByteArray output = service.output();
        const qsizetype failure = output.lastIndexOf("refused for the test");
        QVERIFY(failure > 0);
        const qsizetype replyLine = output.lastIndexOf("[RBSLog] * <RBS>", failure);
        QVERIFY(replyLine > 0);
        QVERIFY(!output.mid(replyLine, failure - replyLine).contains("\n[RBSLog] * <RBS>4143")); // no "AC" between
    }

    // The disk fills up while groups are stored: what could not be written
    // is refused ("NC") and left out, nothing told "AC" is lost, and with
    // room again the service stores and answers as before.
    void fullDiskRefusesWhatItCannotStore()
    {
        QTemporaryDir tmp;
        SmallDisk disk(tmp.path(), "size=8m");
        if (!disk.mounted())
            QSKIP(qPrintable(QStringLiteral("no tmpfs for the test: ") + disk.error()));
        StartedService started(tmp.path());
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();
        // Room for a few hundred rides, not for all of them.
        const qint64 filled = disk.fill();
        QVERIFY(filled > 1024 * 1024);
        QFile filler(QDir(tmp.path()).filePath(QStringLiteral("filler")));
        QVERIFY(filler.resize(filled - 1024 * 1024));

        std::vector<RideOutcome> outcomes;
        {
            PipelinedLoad load(port, kPerRound, kRounds);
            load.finish();
            outcomes = load.outcomes();
            QVERIFY2(load.orderFaults().isEmpty(), qPrintable(load.orderFaults().join(u'\n')));
        }
        int accepted = 0;
        int refused = 0;
        for (const RideOutcome &outcome : outcomes) {
            accepted += outcome.told == Told::Accepted;
            refused += outcome.told == Told::Refused;
        }
        qInfo("told AC %d, NC %d while the disk filled", accepted, refused);
        QVERIFY2(refused > 0, "the disk never filled");
        QVERIFY2(accepted > 0, "nothing was stored before the disk filled");
        QCOMPARE(accepted + refused, kConnections * kPerRound * kRounds);

        disk.release();
        constexpr qint32 afterwards = 900000;
        const Told told = exchangeReadingOutput(service, port, newRidePacket(afterwards));
        QCOMPARE(told, Told::Accepted);
        outcomes.push_back({afterwards, told});

        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        const LedgerReport report = checkLedger(started.databasePath(), outcomes);
        QVERIFY2(report.sound(), qPrintable(report.text()));
        QCOMPARE(report.stored, accepted + 1);
    }

    // kill -9 while groups are being stored: every ride answered "AC" is
    // stored exactly once, with its one transaction row.
    void killedBetweenGroupsLosesNothingAnswered()
    {
        StartedService service;
        std::vector<RideOutcome> outcomes;
        {
            QVERIFY(service.start());
            PipelinedLoad load(service.port(), 16, 1000);
            QTest::qWait(1500);
            service->signal(SIGKILL);
            QVERIFY(service->waitForExit());
            load.stop = true;
            load.join();
            outcomes = load.outcomes();
        }
        int told = 0;
        for (const RideOutcome &outcome : outcomes)
            told += outcome.told == Told::Accepted;
        QVERIFY(told >= 100);
        const LedgerReport report = checkLedger(service.databasePath(), outcomes);
        QVERIFY2(report.sound(), qPrintable(report.text()));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestGroupFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_groupfaults.moc"
