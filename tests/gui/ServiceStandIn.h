#pragma once

// Test-only definitions of the service object's members, for as long as the
// real service is built elsewhere: the window is tested against the agreed
// interface, with state the tests set and calls they count. Remove this file
// (and its includes) once the service's own source is on this branch.
// Include it from one source file per test program only.
// The core library's meta-object code also needs the database connection's
// destructor, defined here as long as the database layer is built elsewhere.

#include "database/Database.h"
#include "shell/Failure.h"
#include "shell/Service.h"

#include <QDir>

namespace velora {

class ConfigFile {};

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
};

inline State &state()
{
    static State current;
    return current;
}

} // namespace standin

Service::Service(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, ConfigFile &config,
                 QString programFolder, QObject *parent)
    : QObject(parent), m_settings(settings), m_activityLog(activityLog), m_returnLog(returnLog), m_failures(failures),
      m_config(config), m_programFolder(std::move(programFolder))
{
}
Service::~Service() = default;
Database::~Database() = default;
QString Service::logFolder() const
{
    return QDir(m_programFolder).filePath(QStringLiteral("RBS"));
}
void Service::start()
{
    ++standin::state().starts;
}
void Service::close()
{
    ++standin::state().closes;
    if (standin::state().closeFails)
        throw Failure(QStringLiteral("Kan logbestand niet opslaan"));
}
void Service::gatherSettings()
{
    ++standin::state().gathers;
}
bool Service::serverListening() const
{
    return standin::state().listening;
}
QStringList Service::connections() const
{
    return standin::state().connections;
}
QStringList Service::queue(ReturnChannelId channel) const
{
    return channel == ReturnChannelId::Rbs ? standin::state().rbsQueue : standin::state().valysQueue;
}
ResubmitButton Service::noReplyButton() const
{
    return standin::state().noReply;
}
ResubmitButton Service::failedButton() const
{
    return standin::state().failed;
}
void Service::testDatabaseConnection(const std::function<void()> &reportSuccess)
{
    if (standin::state().databaseTestSucceeds)
        reportSuccess();
}
void Service::sendTestStatus()
{
    ++standin::state().testSends;
}
void Service::clearQueue(ReturnChannelId channel)
{
    (channel == ReturnChannelId::Rbs ? standin::state().rbsQueue : standin::state().valysQueue).clear();
    Q_EMIT queueChanged(channel);
}
void Service::resubmitNoReply()
{
    ++standin::state().noReplyResubmits;
}
void Service::resubmitFailed()
{
    ++standin::state().failedResubmits;
}

} // namespace velora
