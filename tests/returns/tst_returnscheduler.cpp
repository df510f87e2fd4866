#include "ReturnsTestKit.h"

#include <QSignalSpy>
#include <QTest>

using namespace velora;
using namespace velora::test;

namespace {

// Runs one scheduler tick and waits until its work is done.
void tickOnce(ReturnsKit &kit)
{
    QSignalSpy done(kit.scheduler, &ReturnScheduler::tickDone);
    kit.scheduler->RetourZenderTimer();
    QVERIFY(done.count() == 1 || done.wait(2000));
}

QList<int> states(ReturnsKit &kit, const QList<int> &rides)
{
    QList<int> result;
    for (int ride : rides)
        result << kit.returnState(ride);
    return result;
}

} // namespace

class TestReturnScheduler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void offersOneRidePerTickCountingDown()
    {
        ReturnsKit kit;
        kit.settings.setChecked(Setting::RBSRetour, true);
        kit.settings.setPosition(Setting::TrackBar1, 6);
        kit.scheduler->setSecondLength(5); // 6 "seconds" of 5 ms
        QList<int> rides;
        for (int i = 0; i < 10; ++i)
            rides << kit.insertRide(
                {{"pla_eigenaar", i % 2 ? "003" : "002"}, {"pla_extern", 100 + i}, {"pla_retour_rbs", 1}});
        QSignalSpy buttons(kit.scheduler, &ReturnScheduler::buttonsChanged);
        kit.schedulerTimer.start(1);

        QVERIFY(waitUntil([&] { return kit.returnLines("D:-> RETOURMELDING AANGEBODEN - ").size() == 10; }));
        QStringList expected;
        for (int n = 10; n >= 1; --n)
            expected << QString("D:-> AANTAL RESTERENDE RETOURMELDINGEN - %1").arg(n);
        QCOMPARE(kit.returnLines("D:-> AANTAL"), expected);
        QCOMPARE(states(kit, rides), QList<int>(10, 3));
        QCOMPARE(kit.rbs->queue().size() + kit.valys->queue().size(), 10);
        QCOMPARE(kit.valys->queue().size(), 5);
        QCOMPARE(kit.schedulerTimer.interval(), 30);

        // Each offered ride: its message line, then the offer line.
        const QStringList lines = kit.returnLog.lines();
        const qsizetype firstOffer = lines.indexOf(QString("D:-> RETOURMELDING AANGEBODEN - %1").arg(rides.first()));
        QCOMPARE(lines.value(firstOffer - 1), QString("D:-> RETOURMELDING - 100"));

        QVERIFY(waitUntil([&] { return kit.scheduler->noReplyButton().caption == "NO REPLY (10)"; }));
        QVERIFY(kit.scheduler->noReplyButton().visible);
        QVERIFY(!kit.scheduler->failedButton().visible);
        QVERIFY(buttons.count() >= 1);
        QTest::qWait(100); // nothing is pending any more: nothing new offered
        QCOMPARE(kit.returnLines("D:-> AANTAL").size(), 10);
        QVERIFY(kit.failureMessages.isEmpty());
    }

    void switchedOffOffersNothingButTestSendWorks()
    {
        ReturnsKit kit;
        const int ride = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 1}});
        kit.schedulerTimer.setInterval(ReturnScheduler::kFirstIntervalMs);
        tickOnce(kit);
        QCOMPARE(kit.returnState(ride), 1);
        QVERIFY(kit.returnLog.lines().isEmpty());
        QCOMPARE(kit.schedulerTimer.interval(), ReturnScheduler::kFirstIntervalMs);

        kit.settings.setText(Setting::Testnummer, QString::number(ride));
        kit.scheduler->Button1Click();
        QCOMPARE(kit.rbs->queue().size(), 1);
        QCOMPARE(kit.returnLog.lines(), QStringList{"D:-> RETOURMELDING - 4711"});
        QCOMPARE(kit.returnState(ride), 1); // the test send leaves the state alone

        for (const char *text : {"0", "", "abc", "999999"}) {
            kit.settings.setText(Setting::Testnummer, text);
            kit.scheduler->Button1Click();
        }
        QCOMPARE(kit.rbs->queue().size(), 1);
        QCOMPARE(kit.returnLog.lineCount(), 1);
    }

    void sttRideIsOfferedWithoutMessageAndResubmitted()
    {
        ReturnsKit kit;
        kit.settings.setChecked(Setting::RBSRetour, true);
        const int ride = kit.insertRide({{"pla_eigenaar", "013"}, {"pla_extern", 77}, {"pla_retour_rbs", 1}});
        tickOnce(kit);
        QCOMPARE(kit.returnState(ride), 3);
        QVERIFY(kit.rbs->queue().isEmpty() && kit.valys->queue().isEmpty());
        QCOMPARE(kit.returnLog.lines(), (QStringList{"D:-> AANTAL RESTERENDE RETOURMELDINGEN - 1",
                                                     QString("D:-> RETOURMELDING AANGEBODEN - %1").arg(ride)}));
        tickOnce(kit);
        QCOMPARE(kit.scheduler->noReplyButton().caption, QString("NO REPLY (1)"));
        QVERIFY(kit.scheduler->noReplyButton().visible);

        kit.scheduler->NackBerichtenClick();
        QCOMPARE(kit.returnState(ride), 1);
        QCOMPARE(kit.scheduler->noReplyButton().caption, QString("NO REPLY (1)")); // until the next tick
        tickOnce(kit);
        QCOMPARE(kit.returnState(ride), 3);
        tickOnce(kit);
        QVERIFY(kit.scheduler->noReplyButton().visible);
    }

    void resubmissionStatements()
    {
        ReturnsKit kit;
        kit.settings.setChecked(Setting::RBSRetour, true);
        const QList<int> offered = {kit.insertRide({{"pla_eigenaar", "002"}, {"pla_retour_rbs", 3}}),
                                    kit.insertRide({{"pla_eigenaar", "003"}, {"pla_retour_rbs", 3}}),
                                    kit.insertRide({{"pla_eigenaar", "013"}, {"pla_retour_rbs", 3}})};
        const QList<int> failed = {kit.insertRide({{"pla_eigenaar", "002"}, {"pla_retour_rbs", 999}}),
                                   kit.insertRide({{"pla_eigenaar", "013"}, {"pla_retour_rbs", 999}})};
        const QList<int> untouched = {kit.insertRide({{"pla_eigenaar", "004"}, {"pla_retour_rbs", 3}}),
                                      kit.insertRide({{"pla_eigenaar", "004"}, {"pla_retour_rbs", 999}}),
                                      kit.insertRide({{"pla_eigenaar", "002"}, {"pla_retour_rbs", 99}}),
                                      kit.insertRide({{"pla_eigenaar", "002"}, {"pla_retour_rbs", 2}})};
        tickOnce(kit);
        QCOMPARE(kit.scheduler->noReplyButton().caption, QString("NO REPLY (3)"));
        QCOMPARE(kit.scheduler->failedButton().caption, QString("NACK (2)"));
        QVERIFY(kit.scheduler->failedButton().visible);

        kit.scheduler->ErrorBerichtenClick();
        QCOMPARE(states(kit, failed), QList<int>({1, 1}));
        QCOMPARE(states(kit, offered), QList<int>({3, 3, 3}));
        kit.scheduler->NackBerichtenClick();
        QCOMPARE(states(kit, offered), QList<int>({1, 1, 1}));
        QCOMPARE(states(kit, untouched), QList<int>({3, 999, 99, 2}));

        // Everything pending now: the next tick offers one and hides NACK.
        kit.exec("update planning set pla_retour_rbs=2 where pla_retour_rbs=1");
        tickOnce(kit);
        QVERIFY(!kit.scheduler->failedButton().visible);
        QVERIFY(!kit.scheduler->noReplyButton().visible);
        QVERIFY(kit.failureMessages.isEmpty());
    }

    void buttonFailureReplacesActivityLog()
    {
        ReturnsKit kit;
        const int ride = kit.insertRide({{"pla_retour_rbs", 3}});
        kit.exec("alter table planning rename to planning_gone");
        kit.activityLog.addLine("one");
        kit.activityLog.addLine("two");
        kit.scheduler->NackBerichtenClick();
        QCOMPARE(kit.failureMessages.size(), 1);
        QCOMPARE(kit.activityLog.lines(), QStringList{kit.failureMessages.first()});
        kit.exec("alter table planning_gone rename to planning");
        QCOMPARE(kit.returnState(ride), 3);
    }

    void failuresKeepTheTimerRunning()
    {
        ReturnsKit kit;
        kit.settings.setChecked(Setting::RBSRetour, true);
        kit.settings.setPosition(Setting::TrackBar1, 5);
        kit.scheduler->setSecondLength(10);
        const int ride = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 1}});

        // A selection that fails: the tick ends, the timer goes on.
        kit.exec("alter table planning rename to planning_gone");
        kit.schedulerTimer.start(5);
        QVERIFY(waitUntil([&] { return kit.failureMessages.size() >= 2; }));
        QVERIFY(kit.schedulerTimer.isActive());
        QCOMPARE(kit.schedulerTimer.interval(), 50);
        QVERIFY(!kit.datasets->ADOTRETOUR.isOpen());

        // A failing composition still offers the ride.
        kit.exec("alter table planning_gone rename to planning");
        kit.exec("drop table WAGENS");
        QVERIFY(waitUntil([&] { return kit.returnState(ride) == 3; }));
        QVERIFY(kit.rbs->queue().isEmpty());
        QCOMPARE(kit.returnLines("PROC ERROR APX_RBS_STATUS ").size(), 1);
        QCOMPARE(kit.returnLog.lines().last(), QString("D:-> RETOURMELDING AANGEBODEN - %1").arg(ride));
    }
};

QTEST_GUILESS_MAIN(TestReturnScheduler)
#include "tst_returnscheduler.moc"
