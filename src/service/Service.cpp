#include "service/Service.h"

#include "Version.h"

#include "database/Database.h"
#include "intake/IntakeServer.h"
#include "net/DistanceClient.h"
#include "returns/ReturnLink.h"
#include "rides/Datasets.h"
#include "service/StatusEndpoint.h"
#include "service/SystemdNotify.h"
#include "shell/ConfigFile.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/WorkQueue.h"

#include <QDir>
#include <QPointer>
#include <QScopeGuard>

namespace velora {

namespace {

// The activity log is saved to RBS/ and emptied as a booking system's
// connection ends once it holds more lines than this.
constexpr qsizetype kActivityLogBound = 500;

} // namespace

Service::Service(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, ConfigFile &config,
                 QString programFolder, QObject *parent)
    : ServicePanel(parent), m_settings(settings), m_activityLog(activityLog), m_returnLog(returnLog),
      m_failures(failures), m_config(config), m_programFolder(std::move(programFolder))
{
    m_general.setObjectName(QStringLiteral("General"));
    m_general.setInterval(1000);
    connect(&m_general, &QTimer::timeout, this, [this] { m_failures.guard([this] { GeneralTimer(); }); });

    // Connected after the tick itself, so it reports what the tick left.
    connect(&m_general, &QTimer::timeout, this, &Service::reportToServiceManager);
    connect(&m_watchdog, &QTimer::timeout, this,
            [this] { m_work->post(QStringLiteral("watchdog"), [] { systemd::notify("WATCHDOG=1"); }); });

    m_metrics = std::make_unique<ServiceMetrics>();
    m_failures.keepHistoryIn(logFolder(), &m_settings);
    connect(&m_failures, &FailureHandler::failed, this, [this] { m_metrics->failure(); });
    m_work = std::make_unique<WorkQueue>();
    m_database = std::make_unique<Database>(m_settings, m_programFolder);
    connect(m_database.get(), &Database::notice, this,
            [this](const QString &text) { m_activityLog.addLine(timeOfDayStamp() + text); });
    m_distance = std::make_unique<DistanceClient>(m_settings, m_activityLog);
    m_datasets = std::make_unique<Datasets>(*m_database, m_settings, m_activityLog, *m_distance, m_failures);
    m_returnLink = std::make_unique<ReturnLink>(
        ReturnLinkContext{.settings = m_settings,
                          .activityLog = m_activityLog,
                          .returnLog = m_returnLog,
                          .failures = m_failures,
                          .work = *m_work,
                          .database = *m_database,
                          .datasets = *m_datasets,
                          .queueFile = QDir(m_programFolder).filePath(QStringLiteral("VeloraRBS-queues.db")),
                          .role = &m_role,
                          .metrics = m_metrics.get()});
    connect(m_returnLink.get(), &ReturnLink::queueChanged, this, &ServicePanel::queueChanged);
    connect(m_returnLink.get(), &ReturnLink::resubmitButtonsChanged, this, &ServicePanel::resubmitButtonsChanged);
    IntakeContext intake{m_settings, m_activityLog, m_returnLog, m_failures, *m_database, *m_datasets, *m_work};
    intake.openDatabase = [this] { openDatabaseForIntake(); };
    intake.connectionEnding = [this] { saveFullActivityLog(); };
    m_intake = std::make_unique<IntakeServer>(std::move(intake));
    m_intake->setRole(&m_role);
    connect(m_intake.get(), &IntakeServer::lampChanged, this, &ServicePanel::serverListeningChanged);
    // The intake starts listening in a job after the tick: READY=1 follows
    // at once rather than at the next tick.
    connect(m_intake.get(), &IntakeServer::lampChanged, this, &Service::reportToServiceManager);
    connect(m_intake.get(), &IntakeServer::connectionsChanged, this, &ServicePanel::connectionsChanged);
    m_distance->setMetrics(m_metrics.get());
    m_intake->setMetrics(m_metrics.get());
    m_statusEndpoint = std::make_unique<StatusEndpoint>(*m_metrics, [this] { return statusSnapshot(); });
}

// Members go in reverse order of declaration: the intake and the return link
// before the datasets and the database they use. A packet still waiting for
// the distance service is finished first, while all it uses is still there:
// its reply goes out as the intake closes.
Service::~Service()
{
    m_distance->endWait();
}

QString Service::logFolder() const
{
    return QDir(m_programFolder).filePath(QStringLiteral("RBS"));
}

void Service::saveLog()
{
    saveActivityLog(m_activityLog, logFolder(), QDateTime::currentDateTime(),
                    m_settings.integer(Setting::LogBewaarDagen));
}

void Service::saveFullActivityLog()
{
    if (m_activityLog.lineCount() <= kActivityLogBound)
        return;
    saveLog();
    m_activityLog.clear();
}

void Service::openDatabaseForIntake()
{
    try {
        m_database->open();
    } catch (...) {
        m_metrics->databaseFailure();
        throw;
    }
}

void Service::start()
{
    // A folder that cannot be created is not reported here: saving the log at
    // close fails then, and that failure is reported and abandons the close.
    QDir(m_programFolder).mkpath(QStringLiteral("RBS"));
    m_general.start();
    m_returnLink->start();
    if (const auto period = systemd::watchdogPeriod(); period.count() > 0) {
        m_watchdog.setInterval(period);
        m_watchdog.start();
    }
}

void Service::close()
{
    closeStep(true);
}

bool Service::closeEvenWithoutLog()
{
    return closeStep(false);
}

bool Service::closeStep(bool abandonWhenLogFails)
{
    // Booking systems first: nothing new is read, and every reply already
    // written reaches its peer (a ride stored without its "AC" would be sent
    // again and stored twice). The wait is bounded for peers that do not read.
    constexpr int kReplyWaitMs = 2000;
    bool logSaved = true;
    systemd::notify("STOPPING=1");
    m_intake->stop(kReplyWaitMs);
    try {
        // A post waiting for the distance service (the signal or the window's
        // close arrived during that wait) still uses the database: it keeps
        // it to the end of its packet, and the database closes when the
        // service ends.
        if (!m_work->isBusy())
            m_database->close();
        saveLog();
    } catch (const std::exception &e) {
        // The close is abandoned and the service goes on: so does the intake,
        // from the next tick.
        if (abandonWhenLogFails) {
            m_intake->resume();
            throw;
        }
        // Unattended, a stop that waits for a second signal is one that the
        // service manager ends with SIGKILL, settings unwritten: the close
        // goes on without the log file, whose failure is reported as any.
        logSaved = false;
        m_failures.handle(QStringLiteral("RBSLog"), failureMessage(e));
    } catch (...) {
        if (abandonWhenLogFails) {
            m_intake->resume();
            throw;
        }
        logSaved = false;
        m_failures.handle(QStringLiteral("RBSLog"), QStringLiteral("Unknown failure"));
    }
    gatherSettings();
    const ConfigFile::FlushResult written = m_config.FlushSettings();
    if (written == ConfigFile::FlushResult::Failed || written == ConfigFile::FlushResult::Protected)
        qWarning("The settings file %s was not written; the settings of this run are lost.",
                 qUtf8Printable(QDir::toNativeSeparators(m_config.path())));
    // The program ends after a successful close: no tick may work on after the
    // log was saved.
    m_general.stop();
    m_returnLink->stop();
    m_work->discardWaiting();
    // The packet that waits for the distance service ends now, its request
    // counted as failed, and writes its reply; the intake delivers it as the
    // program ends. Left waiting, it would never be resumed once the event
    // loop has stopped.
    m_distance->endWait();
    return logSaved;
}

void Service::reloadSettings()
{
    // Ready again once the file is read, also when reading it failed: the
    // service goes on with what it has either way. A reload before the first
    // tick leaves the first READY=1 to that tick.
    systemd::notifyReloading();
    const auto ready = qScopeGuard([this] {
        if (m_readyReported)
            systemd::notify("READY=1\nSTATUS=" + statusLine().toUtf8());
    });
    // The file object reads its file once; a new one reads it as it is now.
    m_config = ConfigFile(m_config.path(), m_activityLog);
    m_config.LoadSettings(m_settings);
    m_activityLog.addLine(
        dateTimeStamp() +
        QStringLiteral(" Settings file %1 read again (SIGHUP).").arg(QDir::toNativeSeparators(m_config.path())));
    m_intake->moveToConfiguredPort();
}

void Service::gatherSettings()
{
    m_config.SaveSettings(m_settings);
}

QString Service::statusLine() const
{
    QString intake;
    const qint32 port = m_settings.integer(Setting::RBSPoort);
    if (m_intake->isListening())
        intake = QStringLiteral("listening on port %1").arg(m_intake->port());
    else if (m_intake->isStopped())
        intake = QStringLiteral("not listening: closing");
    else if (!m_settings.checked(Setting::RBSActive))
        intake = QStringLiteral("not listening: server off (RBSActive_Checked)");
    else if (!m_database->isOpen())
        intake = QStringLiteral("not listening: waiting for the database");
    else if (port <= 0 || port > 65535)
        intake = QStringLiteral("not listening: invalid port \"%1\"").arg(m_settings.text(Setting::RBSPoort));
    else
        intake = QStringLiteral("not listening on port %1: %2").arg(port).arg(m_intake->listenError());
    return QStringLiteral("%1; database %2; return queues RBS %3, VALYS %4")
        .arg(intake, m_database->isOpen() ? QStringLiteral("open") : QStringLiteral("not open"))
        .arg(m_returnLink->channel(ReturnChannelId::Rbs).queue().size())
        .arg(m_returnLink->channel(ReturnChannelId::Valys).queue().size());
}

bool Service::intakeSettled() const
{
    // A booking system that connects once the manager calls the service
    // started must be served: ready only when the intake listens, or when it
    // does not listen by choice (switched off, or this machine is stand-by).
    return m_intake->isListening() || m_intake->isStopped() || !m_settings.checked(Setting::RBSActive) ||
           m_role.standby();
}

void Service::reportToServiceManager()
{
    if (!systemd::notifying())
        return;
    const QString status = statusLine();
    const bool becomesReady = !m_readyReported && intakeSettled();
    if (!becomesReady && status == m_reportedStatus)
        return;
    m_reportedStatus = status;
    // Before that, the status alone: "systemctl status" shows why the start
    // still waits (the database, the port in use).
    systemd::notify((becomesReady ? QByteArrayLiteral("READY=1\n") : QByteArray()) + "STATUS=" + status.toUtf8());
    m_readyReported = m_readyReported || becomesReady;
}

bool Service::serverListening() const
{
    return m_intake->lamp();
}

QStringList Service::connections() const
{
    return m_intake->connections();
}

QStringList Service::queue(ReturnChannelId channel) const
{
    return m_returnLink->channel(channel).queue().entries();
}

ResubmitButton Service::noReplyButton() const
{
    return m_returnLink->scheduler().noReplyButton();
}

ResubmitButton Service::failedButton() const
{
    return m_returnLink->scheduler().failedButton();
}

StatusSnapshot Service::statusSnapshot() const
{
    StatusSnapshot now;
    now.listening = m_intake->isListening();
    now.port = m_intake->port();
    now.listenProblem = m_intake->listenProblem();
    now.openConnections = m_intake->openConnectionCount();
    now.databaseOpen = m_database->isOpen();
    now.channels = m_returnLink->channelStatuses();
    now.uptimeSeconds = m_metrics->uptimeSeconds();
    now.version = QString::fromLatin1(kFileVersion);
    now.lastFailure = m_failures.lastFailure();
    return now;
}

quint16 Service::statusPort() const
{
    return m_statusEndpoint->port();
}

void Service::testDatabaseConnection(const std::function<void()> &reportSuccess)
{
    // The test closes the connection. While a packet's post waits for the
    // distance service the button still works, but closing the connection
    // under that packet would drop its unit of work (its rows would no longer
    // be stored together), so the test waits behind it like every other user.
    QPointer<Service> self(this);
    m_work->post(QStringLiteral("Button3"), [self, reportSuccess] {
        if (self)
            self->m_failures.guard([&] { self->m_database->testConnection(reportSuccess); });
    });
}

void Service::sendTestStatus()
{
    m_returnLink->scheduler().Button1Click();
}

void Service::clearQueue(ReturnChannelId channel)
{
    m_returnLink->clearQueue(channel);
}

void Service::resubmitNoReply()
{
    m_returnLink->scheduler().NackBerichtenClick();
}

void Service::resubmitFailed()
{
    m_returnLink->scheduler().ErrorBerichtenClick();
}

void Service::GeneralTimer()
{
    // Follows StatusPoort and StatusAdres, also after a SIGHUP; a setting that
    // cannot be used is reported once, when it is set.
    const QString problem =
        m_statusEndpoint->configure(m_settings.text(Setting::StatusAdres), m_settings.integer(Setting::StatusPoort));
    if (!problem.isEmpty())
        m_failures.handle(QStringLiteral("StatusServer"), QStringLiteral("StatusServer: ") + problem);
    // Posted before the intake's tick, which then listens or stops by what
    // this one found.
    QPointer<Service> self(this);
    m_work->post(QStringLiteral("service-lock"), [self] {
        if (self)
            self->m_failures.guard([&] { self->serviceLockTick(); });
    });
    m_intake->GeneralTimer();
}

void Service::serviceLockTick()
{
    // How often the stand-by asks: every tick, so that it takes over within
    // a second of the lock's release (one short statement a second).
    constexpr qint64 kLockRetryMs = 1000;
    Database &database = *m_database;
    // A server connection closed because it was lost is opened again here,
    // and opening asks for the lock: a machine that gave the lock up goes
    // stand-by now, not when its next packet comes. While the server cannot
    // be reached the role stands (the packets say why they are refused).
    if (!database.isOpen()) {
        if (!isOdbc(database.backend()))
            return;
        try {
            database.open();
        } catch (const Failure &) {
            return;
        }
    }
    if (database.holdsServiceLock()) {
        // A session the server ended took the lock with it: the connection
        // is closed here, and the reopen finds out whether it is still ours.
        database.checkConnection();
    } else if (!m_lockAsked.isValid() || m_lockAsked.hasExpired(kLockRetryMs)) {
        m_lockAsked.start();
        database.takeServiceLock();
    }
    if (database.isOpen())
        setStandby(!database.holdsServiceLock());
}

void Service::setStandby(bool standby)
{
    if (m_role.standby() == standby)
        return;
    m_role.setStandby(standby);
    m_activityLog.addLine(
        dateTimeStamp() +
        (standby ? QStringLiteral(" Stand-by: another machine holds the service lock of this database; not listening "
                                  "and not sending until it is released")
                 : QStringLiteral(" Active: this machine holds the service lock of this database and serves")));
}

QTimer &Service::RetourZender()
{
    return m_returnLink->RetourZender();
}

QTimer &Service::RBSQOutTimer()
{
    return m_returnLink->RBSQOutTimer();
}

QTimer &Service::ValysQOutTimer()
{
    return m_returnLink->ValysQOutTimer();
}

QTimer &Service::SendClient()
{
    return m_returnLink->SendClient();
}

QTimer &Service::SendclientValys()
{
    return m_returnLink->SendclientValys();
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_Service.cpp"
