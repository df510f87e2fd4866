#pragma once

#include <QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

namespace velora {

// The one queue of work that touches the datasets: received packets, the
// timers' database work and the buttons that use the database. Jobs run one
// at a time, each to its end, in the order they arrived, so no job ever sees
// another's rows half done.
//
// A job that waits (a packet's post asking the distance service) is a
// coroutine: it suspends, the event loop runs on (the window stays
// responsive, connections are accepted, timers tick and post their jobs),
// and no other job starts until it has ended. Coroutines rather than a state
// machine because the waiting job is the packet's whole handling: with
// co_await its unit of work, its rollback on failure and its reply stay one
// straight sequence with ordinary try/catch, instead of three ride operations
// cut in two at their post with the rollback path repeated after the wait.
class WorkQueue : public QObject {
    Q_OBJECT
public:
    // Work that may wait for an answer from outside. The callable itself is
    // kept until its coroutine has ended, so a coroutine lambda may use its
    // captures after a wait.
    using Job = std::function<QCoro::Task<>()>;
    // Work that never waits: runs without a coroutine frame of its own.
    using Step = std::function<void()>;

    using QObject::QObject;

    // The job runs now when nothing runs and nothing waits, otherwise after
    // the jobs already waiting. A key names what the job does for whom: while
    // a job under the same key still waits, a second one is not queued, since
    // the waiting one does the same work with whatever has arrived by then.
    void post(const QString &key, Step step);
    void postJob(const QString &key, Job job);
    // A job that may end inside an open group (below): a packet read.
    void postGroupJob(const QString &key, Job job);
    // A group job that runs before every job already waiting: work the open
    // group must do before anything else joins it or it is ended.
    void postGroupJobNext(Job job);

    // A group: jobs that each leave the end of their work to be done once
    // for all of them (packets whose units share one commit, their replies
    // sent after it). A job calls leaveOpen() with the function that ends
    // the group; the queue calls it, at the latest:
    // - before a job that does not join groups, so that no other work sees
    //   the group's transaction;
    // - when no job is waiting, at the event loop's next turn (the reads of
    //   every connection that became readable meanwhile join first), so a
    //   lone packet is not held back;
    // - when a job waits for an answer from outside (the distance service),
    //   so that nothing is held during the wait;
    // - at the bound: kGroupJobs jobs or kGroupNs of work since it opened.
    using GroupClose = std::function<void()>;
    void leaveOpen(GroupClose close);
    // Ends the open group now, if there is one.
    void closeGroup();
    // Called when a job waits for an answer from outside (its start returned
    // with the job still running), before the group is closed.
    void setWaitHook(std::function<void()> hook) { m_waitHook = std::move(hook); }
    bool hasOpenGroup() const { return bool(m_groupClose); }

    static constexpr int kGroupJobs = 64;
    static constexpr qint64 kGroupNs = 2'000'000;

    // A job is running (it may be waiting for an answer).
    bool isBusy() const { return m_running; }
    // When the running job was posted: a packet read counts its wait from
    // there, the time its booking system has been waiting for its reply.
    std::chrono::steady_clock::time_point runningJobPosted() const { return m_runningPosted; }
    // Jobs waiting behind the running one. A job may leave work for the ones
    // behind it to finish together (several packets in one commit).
    qsizetype waitingCount() const { return qsizetype(m_waiting.size()); }
    // The waiting jobs are dropped: after a close nothing may work on.
    void discardWaiting();

private:
    struct Entry {
        QString key;
        Job job;
        Step step;
        bool joinsGroup = false;
        std::chrono::steady_clock::time_point posted = std::chrono::steady_clock::now();
    };

    void enqueue(Entry entry);
    void runWaiting();
    void start(Entry entry);
    void jobEnded();
    void closeGroupWhenIdle();
    static QCoro::Task<> watch(QPointer<WorkQueue> queue, Job job);

    std::deque<Entry> m_waiting;
    QSet<QString> m_waitingKeys;
    bool m_running = false;
    std::chrono::steady_clock::time_point m_runningPosted;
    bool m_starting = false; // inside start(): a job that ends now ended without waiting
    bool m_runScheduled = false;
    GroupClose m_groupClose;
    std::function<void()> m_waitHook;
    int m_groupJobs = 0;
    QElapsedTimer m_groupClock;
    bool m_groupCloseScheduled = false;
};

} // namespace velora
