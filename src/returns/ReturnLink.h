#pragma once

#include "returns/ReturnChannel.h"
#include "returns/ReturnChannelId.h"
#include "returns/ReturnLinkContext.h"
#include "returns/ReturnQueueStore.h"
#include "returns/ReturnScheduler.h"
#include "returns/StatusMessages.h"
#include "shell/ServiceMetrics.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace velora {

// The return side of the service, whole: both channels with their queues
// (kept in the queue file), the status messages, the scheduler and the
// five timers that drive them. The service and the returns tests build it
// the same way, so what the tests run is the link the service runs.
class ReturnLink : public QObject {
    Q_OBJECT
public:
    // Opens the queue file, if there is one; what the last run left waiting
    // is queued again.
    explicit ReturnLink(const ReturnLinkContext &context, QObject *parent = nullptr);
    ~ReturnLink() override;

    // The five timers, in the order the service has always started them.
    void start();
    void stop();

    ReturnChannel &channel(ReturnChannelId id) { return id == ReturnChannelId::Valys ? *m_valys : *m_rbs; }
    const ReturnChannel &channel(ReturnChannelId id) const { return id == ReturnChannelId::Valys ? *m_valys : *m_rbs; }
    StatusMessages &statusMessages() { return *m_statusMessages; }
    ReturnScheduler &scheduler() { return *m_scheduler; }
    const ReturnScheduler &scheduler() const { return *m_scheduler; }

    // The queue pages' clear buttons: a job behind the ones that may still be
    // filling the queue it clears.
    void clearQueue(ReturnChannelId id);
    // Both channels as the status page and the status endpoint show them.
    std::vector<ChannelStatus> channelStatuses() const;

    // The timers; tests may shorten their intervals.
    QTimer &RetourZender() { return m_retourZender; }
    QTimer &RBSQOutTimer() { return m_rbsQOutTimer; }
    QTimer &ValysQOutTimer() { return m_valysQOutTimer; }
    QTimer &SendClient() { return m_sendClient; }
    QTimer &SendclientValys() { return m_sendclientValys; }

Q_SIGNALS:
    void queueChanged(velora::ReturnChannelId channel);
    void resubmitButtonsChanged();

private:
    void keepQueuesOnDisk();

    ReturnLinkContext m_context;
    // Before the parts that hold them: a channel and the scheduler use their
    // timer until they are gone.
    QTimer m_retourZender;
    QTimer m_rbsQOutTimer;
    QTimer m_valysQOutTimer;
    QTimer m_sendClient;
    QTimer m_sendclientValys;
    // Before the queues it keeps: they are gone before it closes.
    std::unique_ptr<ReturnQueueStore> m_queueStore;
    std::unique_ptr<ReturnChannel> m_rbs;
    std::unique_ptr<ReturnChannel> m_valys;
    std::unique_ptr<StatusMessages> m_statusMessages;
    std::unique_ptr<ReturnScheduler> m_scheduler;
};

} // namespace velora
