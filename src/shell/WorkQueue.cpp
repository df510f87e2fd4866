#include "shell/WorkQueue.h"

#include <QMetaObject>
#include <QtGlobal>

#include <exception>
#include <utility>

namespace velora {

namespace {

// Entry points guard their own work; this only keeps the queue going.
void reportUnguarded(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception &e) {
        qWarning("WorkQueue: unguarded failure: %s", e.what());
    } catch (...) {
        qWarning("WorkQueue: unguarded failure");
    }
}

} // namespace

void WorkQueue::post(const QString &key, Step step)
{
    enqueue(Entry{key, {}, std::move(step)});
}

void WorkQueue::postJob(const QString &key, Job job)
{
    enqueue(Entry{key, std::move(job), {}});
}

void WorkQueue::postGroupJob(const QString &key, Job job)
{
    enqueue(Entry{key, std::move(job), {}, true});
}

void WorkQueue::postGroupJobNext(Job job)
{
    // Never started inside the caller: it is posted from a group's end.
    m_waiting.push_front(Entry{{}, std::move(job), {}, true});
    if (!m_running && !m_runScheduled) {
        m_runScheduled = true;
        QMetaObject::invokeMethod(this, &WorkQueue::runWaiting, Qt::QueuedConnection);
    }
}

void WorkQueue::enqueue(Entry entry)
{
    if (!m_running && m_waiting.empty()) {
        if (!entry.joinsGroup)
            closeGroup();
        start(std::move(entry));
        // Jobs the one just ended posted meanwhile.
        runWaiting();
        return;
    }
    if (!entry.key.isEmpty()) {
        if (m_waitingKeys.contains(entry.key))
            return;
        m_waitingKeys.insert(entry.key);
    }
    m_waiting.push_back(std::move(entry));
}

void WorkQueue::discardWaiting()
{
    m_waiting.clear();
    m_waitingKeys.clear();
}

void WorkQueue::runWaiting()
{
    m_runScheduled = false;
    while (!m_running && !m_waiting.empty()) {
        Entry entry = std::move(m_waiting.front());
        m_waiting.pop_front();
        if (!entry.key.isEmpty())
            m_waitingKeys.remove(entry.key);
        if (!entry.joinsGroup)
            closeGroup();
        start(std::move(entry));
    }
    if (!m_running && m_waiting.empty())
        closeGroupWhenIdle();
}

void WorkQueue::start(Entry entry)
{
    m_running = true;
    m_runningPosted = entry.posted;
    if (entry.step) {
        try {
            entry.step();
        } catch (...) {
            reportUnguarded(std::current_exception());
        }
        m_running = false;
        return;
    }
    m_starting = true;
    watch(QPointer<WorkQueue>(this), std::move(entry.job));
    m_starting = false;
    // Still running: the job waits for an answer from outside. What the
    // group holds is stored and answered now rather than after the wait.
    if (m_running) {
        if (m_waitHook)
            m_waitHook();
        closeGroup();
    }
}

QCoro::Task<> WorkQueue::watch(QPointer<WorkQueue> queue, Job job)
{
    try {
        co_await job();
    } catch (...) {
        reportUnguarded(std::current_exception());
    }
    if (queue)
        queue->jobEnded();
}

void WorkQueue::jobEnded()
{
    m_running = false;
    // Ended without waiting: the loop that started it goes on.
    if (m_starting || m_runScheduled)
        return;
    if (m_waiting.empty()) {
        closeGroupWhenIdle();
        return;
    }
    // The job was resumed by whatever ended its wait: the answer's event, or
    // a close that ends the wait early. The next job starts from the event
    // loop, never inside that caller.
    m_runScheduled = true;
    QMetaObject::invokeMethod(this, &WorkQueue::runWaiting, Qt::QueuedConnection);
}

void WorkQueue::leaveOpen(GroupClose close)
{
    if (!m_groupClose) {
        m_groupJobs = 0;
        m_groupClock.start();
    }
    m_groupClose = std::move(close);
    // A bound on what one commit holds back: the first packet's reply waits
    // for the last one's work.
    if (++m_groupJobs >= kGroupJobs || m_groupClock.nsecsElapsed() >= kGroupNs)
        closeGroup();
}

void WorkQueue::closeGroup()
{
    GroupClose close = std::exchange(m_groupClose, {});
    if (!close)
        return;
    // The group's end is database work like a job's: whatever it posts waits.
    const bool wasRunning = std::exchange(m_running, true);
    try {
        close();
    } catch (...) {
        reportUnguarded(std::current_exception());
    }
    m_running = wasRunning;
    if (!m_running && !m_waiting.empty() && !m_runScheduled) {
        m_runScheduled = true;
        QMetaObject::invokeMethod(this, &WorkQueue::runWaiting, Qt::QueuedConnection);
    }
}

void WorkQueue::closeGroupWhenIdle()
{
    if (!m_groupClose || m_groupCloseScheduled)
        return;
    // Queued: the event loop first reports every connection that became
    // readable meanwhile, and their reads join the group.
    m_groupCloseScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_groupCloseScheduled = false;
            if (!m_running)
                closeGroup();
        },
        Qt::QueuedConnection);
}

} // namespace velora

#include "moc_WorkQueue.cpp"
