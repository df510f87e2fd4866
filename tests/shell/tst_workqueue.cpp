// The work queue: jobs one at a time in arrival order, the bounds of a group of
// jobs that share one end, and a packet whose post waits for the distance
// service holding back every other job's database work while the event loop
// itself runs on.

#include "intake/IntakeTestKit.h"
#include "shell/WorkQueue.h"
#include "support/LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <coroutine>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace velora;
using namespace velora::test;

namespace {

// Suspends a job until the test resumes it, as an answer from outside would.
struct Pause {
    std::coroutine_handle<> &slot;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) noexcept { slot = waiting; }
    void await_resume() const noexcept {}
};

} // namespace

class TestWorkQueue : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void jobsRunOneAtATimeInArrivalOrder()
    {
        WorkQueue queue;
        QStringList ran;
        std::coroutine_handle<> paused;
        queue.postJob(QStringLiteral("first"), [&]() -> QCoro::Task<> {
            ran << QStringLiteral("first begins");
            co_await Pause{paused};
            ran << QStringLiteral("first ends");
        });
        // An idle queue runs a job at once.
        QCOMPARE(ran, QStringList{QStringLiteral("first begins")});
        QVERIFY(queue.isBusy());

        queue.post(QStringLiteral("read-1"), [&] { ran << QStringLiteral("read 1"); });
        queue.post(QStringLiteral("fails"), [&] { throw std::runtime_error("unguarded"); });
        queue.postJob(QStringLiteral("tick"), [&]() -> QCoro::Task<> {
            ran << QStringLiteral("tick");
            co_return;
        });
        // The waiting read does this one's work when it runs.
        queue.post(QStringLiteral("read-1"), [&] { ran << QStringLiteral("read 1 again"); });
        QCOMPARE(queue.waitingCount(), 3);
        QTest::qWait(50);
        QCOMPARE(ran.size(), 1); // the loop ran; nothing started behind the waiting job

        std::exchange(paused, {}).resume();
        // The next job starts from the event loop, not inside whatever
        // resumed the waiting one.
        QCOMPARE(ran, (QStringList{QStringLiteral("first begins"), QStringLiteral("first ends")}));
        QVERIFY(!queue.isBusy());
        QVERIFY(waitUntil([&] { return queue.waitingCount() == 0; }));
        QCOMPARE(ran.mid(2), (QStringList{QStringLiteral("read 1"), QStringLiteral("tick")}));

        // A job posted by a running job runs after it, not inside it.
        queue.post(QStringLiteral("outer"), [&] {
            ran << QStringLiteral("outer");
            queue.post(QStringLiteral("inner"), WorkQueue::Step([&] { ran << QStringLiteral("inner"); }));
            ran << QStringLiteral("outer ends");
        });
        QCOMPARE(ran.mid(4),
                 (QStringList{QStringLiteral("outer"), QStringLiteral("outer ends"), QStringLiteral("inner")}));
    }

    // Jobs that keep joining one group, all waiting when the first runs, still
    // end it at a bound: kGroupJobs jobs, or kGroupNs of work since it opened.
    void anOpenGroupEndsAtItsBounds()
    {
        WorkQueue queue;
        struct Closed {
            int jobs;
            qint64 ns; // by a clock started before the queue's own, read after it
        };
        std::vector<Closed> closed;
        int joined = 0;
        QElapsedTimer opened;
        unsigned long workUs = 0;
        auto run = [&](int jobs) {
            closed.clear();
            // Behind a job that holds the queue, the group's jobs are all
            // waiting: nothing but a bound ends their group before the last.
            std::coroutine_handle<> paused;
            queue.postJob(QStringLiteral("holds"), [&]() -> QCoro::Task<> { co_await Pause{paused}; });
            for (int i = 0; i < jobs; ++i) {
                queue.postGroupJob(QString(), [&]() -> QCoro::Task<> {
                    if (workUs > 0)
                        QThread::usleep(workUs);
                    if (!queue.hasOpenGroup())
                        opened.start();
                    ++joined;
                    queue.leaveOpen([&] { closed.push_back({std::exchange(joined, 0), opened.nsecsElapsed()}); });
                    co_return;
                });
            }
            std::exchange(paused, {}).resume();
            return waitUntil([&] { return queue.waitingCount() == 0 && !queue.isBusy() && !queue.hasOpenGroup(); });
        };

        // Quick jobs: a group that closed within 2 ms closed at its count. A
        // busy machine may stretch a group past 2 ms; another round then tells.
        int countedGroups = 0;
        for (int round = 0; round < 5 && countedGroups == 0; ++round) {
            QVERIFY(run(300));
            int jobs = 0;
            for (std::size_t i = 0; i < closed.size(); ++i) {
                jobs += closed[i].jobs;
                QVERIFY(closed[i].jobs <= WorkQueue::kGroupJobs);
                if (i + 1 < closed.size() && closed[i].ns < WorkQueue::kGroupNs) {
                    QCOMPARE(closed[i].jobs, WorkQueue::kGroupJobs);
                    ++countedGroups;
                }
            }
            QCOMPARE(jobs, 300);
        }
        QVERIFY(countedGroups > 0);

        // Each job works 3 ms before it joins: the one that opens a group is
        // not ended by it, the next one is past 2 ms and ends it.
        workUs = 3000;
        QVERIFY(run(10));
        QList<int> sizes;
        for (const Closed &group : closed)
            sizes << group.jobs;
        QCOMPARE(sizes, QList<int>(5, 2));
    }

    // The first packet's post waits for a distance service that does not
    // answer. Meanwhile a second booking system is accepted and sends, a
    // timer fires and a button's database work is posted; none of the
    // database work runs until the time-out has ended the first packet.
    void aPacketWaitingForTheDistanceHoldsTheQueueNotTheLoop()
    {
        LoopbackHttpServer distance;
        QVERIFY(distance.listen());
        int asked = 0;
        distance.setResponder([&](const LoopbackHttpServer::Request &) {
            // The first request is never answered, the others at once.
            if (asked++ == 0)
                return QByteArray();
            return LoopbackHttpServer::response(
                200, "<DistanceMatrixResponse><status>OK</status><row><element><status>OK</status>"
                     "<duration><value>600</value></duration><distance><value>5000</value></distance>"
                     "</element></row></DistanceMatrixResponse>");
        });
        IntakeKit kit;
        kit.settings.setChecked(Setting::GoogleV2, true);
        kit.settings.setText(Setting::AfstandServer, distance.host());
        kit.settings.setText(Setting::AfstandPoort, QString::number(distance.port()));
        kit.settings.setText(Setting::AfstandTimeOut, QStringLiteral("1"));
        QVERIFY(kit.start());

        BookingPeer first(kit.server->port());
        QVERIFY(first.connected());
        first.send(OrderItems(QStringLiteral("NR"), 4711).packet());
        QVERIFY(waitUntil([&] { return distance.requests().size() == 1; }));
        QElapsedTimer waited;
        waited.start();

        int loopLevelInTimer = -1;
        QTimer::singleShot(50, [&] { loopLevelInTimer = QThread::currentThread()->loopLevel(); });
        BookingPeer second(kit.server->port());
        QVERIFY(second.connected());
        QVERIFY(waitUntil([&] { return kit.server->openConnectionCount() == 2; }));
        second.send(OrderItems(QStringLiteral("NR"), 4712).packet());
        QVERIFY(waitUntil([&] { return loopLevelInTimer >= 0; }));
        QTest::qWait(200); // the second packet's read is queued meanwhile
        int ridesWhenProbed = -1;
        kit.work.post(QStringLiteral("probe"), [&] { ridesWhenProbed = kit.count(QStringLiteral("planning")); });

        // The timer ran from the test's own loop: no loop nested in the wait.
        QCOMPARE(loopLevelInTimer, 0);
        QVERIFY(kit.work.isBusy());
        QCOMPARE(ridesWhenProbed, -1);
        QCOMPARE(kit.count(QStringLiteral("planning")), 0);
        QVERIFY(second.received().isEmpty());
        QVERIFY(!kit.activityLog.text().contains(QStringLiteral("NR pakketnummer: 4712")));

        // The time-out ends the wait; the ride is stored on its own estimate.
        QCOMPARE(first.waitForReplies(1), replyBytes(QStringLiteral("AC"), QStringLiteral("RBS"), 4711));
        const qint64 elapsed = waited.elapsed();
        QVERIFY2(elapsed >= 700 && elapsed < 2500, qPrintable(QString::number(elapsed)));
        QVERIFY(
            kit.activityLog.text().contains(QStringLiteral("Geen antwoord van de afstandsserver binnen 1 seconden")));
        QVERIFY(kit.activityLog.text().contains(QStringLiteral("- Berekening minuten V2 mislukt")));

        // Then the others, in the order they came.
        QCOMPARE(second.waitForReplies(1), replyBytes(QStringLiteral("AC"), QStringLiteral("RBS"), 4712));
        QVERIFY(waitUntil([&] { return ridesWhenProbed >= 0; }));
        QCOMPARE(ridesWhenProbed, 2);
        QCOMPARE(kit.ride(4712).value(QStringLiteral("pla_minuten")).toInt(), 10);
    }
};

QTEST_GUILESS_MAIN(TestWorkQueue)
#include "tst_workqueue.moc"
