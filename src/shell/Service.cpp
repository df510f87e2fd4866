#include "shell/Service.h"

#include "database/Database.h"
#include "database/Datasets.h"
#include "database/DistanceClient.h"
#include "intake/IntakeServer.h"
#include "shell/ConfigFile.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"

#include <QDir>

namespace velora {

Service::Service(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, ConfigFile &config,
                 QString programFolder, QObject *parent)
    : ServicePanel(parent), m_settings(settings), m_activityLog(activityLog), m_returnLog(returnLog),
      m_failures(failures), m_config(config), m_programFolder(std::move(programFolder))
{
    const struct {
        QTimer &timer;
        const char *name;
        int interval;
        void (Service::*tick)();
    } timers[] = {
        {m_general, "General", 1000, &Service::GeneralTimer},
        {m_retourZender, "RetourZender", 15000, &Service::RetourZenderTimer},
        {m_rbsQOutTimer, "RBSQOutTimer", 5000, &Service::RBSQOutTimerTimer},
        {m_valysQOutTimer, "ValysQOutTimer", 5000, &Service::ValysQOutTimerTimer},
        {m_sendClient, "SendClient", 1000, &Service::SendClientTimer},
        {m_sendclientValys, "SendclientValys", 1000, &Service::SendclientValysTimer},
    };
    for (const auto &entry : timers) {
        entry.timer.setObjectName(QLatin1String(entry.name));
        entry.timer.setInterval(entry.interval);
        const auto tick = entry.tick;
        connect(&entry.timer, &QTimer::timeout, this,
                [this, tick] { m_failures.guard([this, tick] { (this->*tick)(); }); });
    }

    m_database = std::make_unique<Database>(m_settings, m_programFolder);
    m_distance = std::make_unique<DistanceClient>(m_settings, m_activityLog, m_database->gate());
    m_datasets = std::make_unique<Datasets>(*m_database, m_settings, m_activityLog, *m_distance, m_failures);
    m_intake = std::make_unique<IntakeServer>(m_settings, m_activityLog, m_returnLog, m_failures, *m_database,
                                              *m_datasets, logFolder());
    connect(m_intake.get(), &IntakeServer::lampChanged, this, &ServicePanel::serverListeningChanged);
    connect(m_intake.get(), &IntakeServer::connectionsChanged, this, &ServicePanel::connectionsChanged);
}

Service::~Service()
{
    // The intake uses the datasets and the database: it goes first.
    m_intake.reset();
    m_datasets.reset();
}

QString Service::logFolder() const
{
    return QDir(m_programFolder).filePath(QStringLiteral("RBS"));
}

void Service::start()
{
    // A folder that cannot be created is not reported here: saving the log at
    // close fails then, and that failure is reported and abandons the close.
    QDir(m_programFolder).mkpath(QStringLiteral("RBS"));
    for (QTimer *timer :
         {&m_general, &m_retourZender, &m_rbsQOutTimer, &m_valysQOutTimer, &m_sendClient, &m_sendclientValys})
        timer->start();
}

void Service::close()
{
    m_database->close();
    saveActivityLog(m_activityLog, logFolder());
    gatherSettings();
    const ConfigFile::FlushResult written = m_config.FlushSettings();
    if (written == ConfigFile::FlushResult::Failed || written == ConfigFile::FlushResult::Protected)
        qWarning("The settings file %s was not written; the settings of this run are lost.",
                 qUtf8Printable(QDir::toNativeSeparators(m_config.path())));
    // The program ends after a successful close: no tick may work on after the
    // log was saved.
    for (QTimer *timer :
         {&m_general, &m_retourZender, &m_rbsQOutTimer, &m_valysQOutTimer, &m_sendClient, &m_sendclientValys})
        timer->stop();
}

void Service::gatherSettings()
{
    m_config.SaveSettings(m_settings);
}

bool Service::serverListening() const
{
    return m_intake->lamp();
}

QStringList Service::connections() const
{
    return m_intake->connections();
}

QStringList Service::queue(ReturnChannelId) const
{
    return {};
}

ResubmitButton Service::noReplyButton() const
{
    return {};
}

ResubmitButton Service::failedButton() const
{
    return {};
}

void Service::testDatabaseConnection(const std::function<void()> &)
{
    // The database layer's connection test arrives here.
}

void Service::sendTestStatus()
{
    // The return scheduler's test send of the ride in Testnummer arrives here.
}

void Service::clearQueue(ReturnChannelId)
{
    // Clearing the return channel's queue arrives here.
}

void Service::resubmitNoReply()
{
    // The return scheduler's resubmission of unanswered rides arrives here.
}

void Service::resubmitFailed()
{
    // The return scheduler's resubmission of refused rides arrives here.
}

void Service::GeneralTimer()
{
    m_intake->GeneralTimer();
}

void Service::RetourZenderTimer()
{
    // The return scheduler's offer of one waiting ride arrives here.
}

void Service::RBSQOutTimerTimer()
{
    // Opening the RBS return connection while its queue holds messages arrives here.
}

void Service::ValysQOutTimerTimer()
{
    // Opening the Valys return connection while its queue holds messages arrives here.
}

void Service::SendClientTimer()
{
    // Sending the head of the RBS queue when connected arrives here.
}

void Service::SendclientValysTimer()
{
    // Sending the head of the Valys queue when connected arrives here.
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_Service.cpp"
