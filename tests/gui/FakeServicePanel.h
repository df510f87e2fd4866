#pragma once

// The window's view of the service, played by the tests: state the tests set
// and calls they count, so that every control can be checked without running
// the link itself.

#include "service/ServicePanel.h"
#include "shell/Failure.h"

#include <QDir>

namespace velora {

namespace standin {

struct State {
    bool listening = false;
    QStringList connections;
    QStringList rbsQueue;
    QStringList valysQueue;
    ResubmitButton noReply;
    ResubmitButton failed;
    bool closeFails = false;
    bool databaseTestSucceeds = true;
    int starts = 0;
    int closes = 0;
    int gathers = 0;
    int testSends = 0;
    int noReplyResubmits = 0;
    int failedResubmits = 0;
    StatusSnapshot status;
    const ServiceMetrics *metrics = nullptr;
};

inline State &state()
{
    static State current;
    return current;
}

} // namespace standin

class FakeServicePanel : public ServicePanel {
public:
    explicit FakeServicePanel(QString folder = QDir::tempPath()) : m_folder(std::move(folder)) {}

    QString programFolder() const override { return m_folder; }
    QString logFolder() const override { return QDir(m_folder).filePath(QStringLiteral("RBS")); }
    void start() override { ++standin::state().starts; }
    void close() override
    {
        ++standin::state().closes;
        if (standin::state().closeFails)
            throw Failure(QStringLiteral("Kan logbestand niet opslaan"));
    }
    void gatherSettings() override { ++standin::state().gathers; }
    bool serverListening() const override { return standin::state().listening; }
    QStringList connections() const override { return standin::state().connections; }
    QStringList queue(ReturnChannelId channel) const override
    {
        return channel == ReturnChannelId::Rbs ? standin::state().rbsQueue : standin::state().valysQueue;
    }
    ResubmitButton noReplyButton() const override { return standin::state().noReply; }
    ResubmitButton failedButton() const override { return standin::state().failed; }
    StatusSnapshot statusSnapshot() const override { return standin::state().status; }
    const ServiceMetrics *metrics() const override { return standin::state().metrics; }
    void testDatabaseConnection(const std::function<void()> &reportSuccess) override
    {
        if (standin::state().databaseTestSucceeds)
            reportSuccess();
    }
    void sendTestStatus() override { ++standin::state().testSends; }
    void clearQueue(ReturnChannelId channel) override
    {
        (channel == ReturnChannelId::Rbs ? standin::state().rbsQueue : standin::state().valysQueue).clear();
        Q_EMIT queueChanged(channel);
    }
    void resubmitNoReply() override { ++standin::state().noReplyResubmits; }
    void resubmitFailed() override { ++standin::state().failedResubmits; }

private:
    QString m_folder;
};

} // namespace velora
