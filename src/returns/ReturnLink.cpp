#include "returns/ReturnLink.h"

#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/WorkQueue.h"

#include <QDir>
#include <QPointer>

namespace velora {

ReturnLink::ReturnLink(const ReturnLinkContext &context, QObject *parent) : QObject(parent), m_context(context)
{
    // The intervals the service has always run with; the scheduler sets its
    // own from the slider after its first tick.
    const struct {
        QTimer &timer;
        const char *name;
        int interval;
    } timers[] = {
        {m_retourZender, "RetourZender", ReturnScheduler::kFirstIntervalMs},
        {m_rbsQOutTimer, "RBSQOutTimer", 5000},
        {m_valysQOutTimer, "ValysQOutTimer", 5000},
        {m_sendClient, "SendClient", 1000},
        {m_sendclientValys, "SendclientValys", 1000},
    };
    for (const auto &entry : timers) {
        entry.timer.setObjectName(QLatin1String(entry.name));
        entry.timer.setInterval(entry.interval);
    }

    m_rbs = std::make_unique<ReturnChannel>(rbsChannelSetup(), m_context, m_rbsQOutTimer);
    m_valys = std::make_unique<ReturnChannel>(valysChannelSetup(), m_context, m_valysQOutTimer);
    m_statusMessages =
        std::make_unique<StatusMessages>(m_context.datasets, m_context.returnLog, m_rbs->queue(), m_valys->queue());
    m_scheduler = std::make_unique<ReturnScheduler>(m_context, *m_statusMessages, m_retourZender);

    // Each tick inside the failure handler's guard: no exception may reach
    // the event loop.
    const auto onTick = [this](QTimer &timer, auto tick) {
        connect(&timer, &QTimer::timeout, this, [this, tick] { m_context.failures.guard(tick); });
    };
    onTick(m_retourZender, [this] { m_scheduler->RetourZenderTimer(); });
    onTick(m_rbsQOutTimer, [this] { m_rbs->queueTick(); });
    onTick(m_valysQOutTimer, [this] { m_valys->queueTick(); });
    onTick(m_sendClient, [this] { m_rbs->sendTick(); });
    onTick(m_sendclientValys, [this] { m_valys->sendTick(); });

    connect(&m_rbs->queue(), &ReturnQueue::changed, this, [this] { Q_EMIT queueChanged(ReturnChannelId::Rbs); });
    connect(&m_valys->queue(), &ReturnQueue::changed, this, [this] { Q_EMIT queueChanged(ReturnChannelId::Valys); });
    keepQueuesOnDisk();
    // After the queues are restored: the run that queued those messages
    // counted them.
    m_rbs->setMetrics(m_context.metrics);
    m_valys->setMetrics(m_context.metrics);
    connect(m_scheduler.get(), &ReturnScheduler::buttonsChanged, this, &ReturnLink::resubmitButtonsChanged);
}

ReturnLink::~ReturnLink() = default;

void ReturnLink::keepQueuesOnDisk()
{
    if (m_context.queueFile.isEmpty())
        return;
    m_queueStore = std::make_unique<ReturnQueueStore>(m_context.queueFile);
    m_queueStore->setReporter(
        [this](const QString &line) { m_context.activityLog.addLine(dateTimeStamp() + u' ' + line); });
    if (!m_queueStore->open())
        return;
    const qsizetype rbs = m_rbs->queue().keepIn(*m_queueStore, QStringLiteral("RBSQOut"));
    const qsizetype valys = m_valys->queue().keepIn(*m_queueStore, QStringLiteral("VALYSQOut"));
    if (rbs + valys > 0)
        m_context.activityLog.addLine(dateTimeStamp() +
                                      QStringLiteral(" Queue file %1: %2 status messages of the last run wait to be "
                                                     "sent (RBSQOut %3, VALYSQOut %4).")
                                          .arg(QDir::toNativeSeparators(m_queueStore->path()))
                                          .arg(rbs + valys)
                                          .arg(rbs)
                                          .arg(valys));
}

void ReturnLink::start()
{
    for (QTimer *timer : {&m_retourZender, &m_rbsQOutTimer, &m_valysQOutTimer, &m_sendClient, &m_sendclientValys})
        timer->start();
}

void ReturnLink::stop()
{
    for (QTimer *timer : {&m_retourZender, &m_rbsQOutTimer, &m_valysQOutTimer, &m_sendClient, &m_sendclientValys})
        timer->stop();
}

void ReturnLink::clearQueue(ReturnChannelId id)
{
    const bool valys = id == ReturnChannelId::Valys;
    QPointer<ReturnChannel> guarded(&channel(id));
    m_context.work.post(valys ? QStringLiteral("VALYSQOut-clear") : QStringLiteral("RBSQOut-clear"), [guarded] {
        if (guarded)
            guarded->clearQueue();
    });
}

std::vector<ChannelStatus> ReturnLink::channelStatuses() const
{
    std::vector<ChannelStatus> statuses;
    for (const ReturnChannel *channel : {m_rbs.get(), m_valys.get()}) {
        ChannelStatus status;
        status.label = channel->setup().label;
        status.name = channel->setup().socketName;
        status.peer = channel->configuredPeer();
        status.state = channel->isConnected()        ? QStringLiteral("verbonden")
                       : channel->isAttemptPending() ? QStringLiteral("verbinden")
                                                     : QStringLiteral("niet verbonden");
        status.depth = channel->queue().size();
        status.oldestAgeSeconds = channel->oldestAgeSeconds();
        statuses.push_back(status);
    }
    return statuses;
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_ReturnLink.cpp"
