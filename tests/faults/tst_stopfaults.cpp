// The service stopped hard or softly while 8 booking systems send rides.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"

#include <QTcpServer>
#include <QTest>

#include <csignal>

using namespace velora;
using namespace velora::faults;

namespace {

constexpr int kConnections = 8;

} // namespace

class TestStopFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // kill -9 in the middle of the load: every ride answered "AC" survives,
    // once, with its own transaction row; the file is intact and the next
    // start serves on.
    void killedUnderLoadLosesNothingAnswered()
    {
        StartedService service;
        QVERIFY(service.start());
        std::vector<RideOutcome> outcomes;
        {
            LoadClients load(service.port(), kConnections);
            QVERIFY(test::waitUntil([&] { return load.accepted() >= 400; }, 30000));
            service->signal(SIGKILL);
            QVERIFY(service->waitForExit());
            load.stop();
            outcomes = load.outcomes();
        }
        const LedgerReport report = checkLedger(service.databasePath(), outcomes);
        QVERIFY2(report.sound(), qPrintable(report.text()));
        QVERIFY(report.stored >= 400);

        QVERIFY(service.start()); // again, on the same folder and port
        QVERIFY(exchangeOnce(service.port(), newRidePacket(1)).contains("<EINDE>"));
    }

    // SIGTERM in the middle of the load: the close step delivers every reply
    // it produced, so no ride is stored without its booking system hearing
    // "AC" (which would make it send the ride again).
    void terminatedUnderLoadDeliversEveryReply()
    {
        StartedService service;
        QVERIFY(service.start());
        LoadClients load(service.port(), kConnections);
        QVERIFY(test::waitUntil([&] { return load.accepted() >= 200; }, 30000));
        service->signal(SIGTERM);
        QVERIFY(service->waitForExit());
        QCOMPARE(service->exitCode(), 0);
        load.stop();
        const std::vector<RideOutcome> outcomes = load.outcomes();
        const LedgerReport report = checkLedger(service.databasePath(), outcomes);
        QVERIFY2(report.sound(), qPrintable(report.text()));
        int unanswered = 0;
        for (const RideOutcome &outcome : outcomes)
            unanswered += outcome.told == Told::Nothing;
        // Each connection may have sent one ride the service no longer read;
        // such a ride must not be stored.
        QVERIFY(unanswered <= kConnections);
        QCOMPARE(report.stored, load.accepted());
    }

    // SIGTERM while a ride's post waits for a distance service that does not
    // answer: the close leaves the database to that packet, the ride is
    // finished, and its "AC" reaches the booking system before the exit.
    void terminatedDuringDistanceWaitFinishesThePacket()
    {
        QTcpServer silentDistance; // completes the handshake, never answers
        QVERIFY(silentDistance.listen(QHostAddress::LocalHost, 0));
        StartedService service({.settings = silentDistanceSettings(silentDistance.serverPort(), 30)});
        QVERIFY(service.start());
        LoadClients load(service.port(), 1);
        QVERIFY(service->waitForOutput("NR pakketnummer"));
        QTest::qWait(300); // into the wait
        service->signal(SIGTERM);
        QVERIFY(service->waitForExit());
        QCOMPARE(service->exitCode(), 0);
        load.stop();
        const std::vector<RideOutcome> outcomes = load.outcomes();
        QVERIFY(!outcomes.empty());
        QCOMPARE(int(outcomes.front().told), int(Told::Accepted));
        const LedgerReport report = checkLedger(service.databasePath(), outcomes);
        QCOMPARE(report.stored, load.accepted());
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestStopFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_stopfaults.moc"
