#pragma once

#include "service/ServicePanel.h"
#include "shell/ServiceRole.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

namespace velora {

class ConfigFile;
class Database;
class DistanceClient;
class IntakeServer;
class ReturnLink;
class StatusEndpoint;
class WorkQueue;
struct Datasets;
class FailureHandler;
class Log;
class Settings;

// The service object: owns the timers, the work queue and the subsystems
// (database, intake server, return link) and holds the state
// the window shows. Everything that touches the datasets (received packets,
// the timers' database work, the buttons that use the database) is a job of
// the one work queue. The
// window is a view of it; headless mode runs it without one. Settings, logs and
// the failure handler are created by main() and passed in.
class Service : public ServicePanel {
    Q_OBJECT
public:
    Service(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, ConfigFile &config,
            QString programFolder, QObject *parent = nullptr);
    ~Service() override;

    QString programFolder() const override { return m_programFolder; }
    QString logFolder() const override; // <program folder>/RBS

    // Start-up without the window: creates the folder RBS, starts the timers.
    void start() override;
    // Close step: database closed, activity log saved to RBS/, settings
    // gathered and written. Throws Failure when the log cannot be saved; the
    // caller then keeps running (the close is abandoned).
    void close() override;
    // The close step of an unattended service: when the log cannot be saved
    // the close goes on without it (the failure reported like any other).
    // Returns false then.
    bool closeEvenWithoutLog();
    // SIGHUP: the settings file is read again and applied. Settings are read
    // at the moment of use; a listening intake server moves to a changed port.
    void reloadSettings();
    // SaveSettings: the current values into the in-memory document.
    void gatherSettings() override;
    // One line for the service manager's status: the intake server (its port,
    // or why it does not listen), the database and the two return queues.
    QString statusLine() const;

    // Stand-by: the other machine of a pair on one server database holds
    // the service lock; this one neither listens nor sends.
    bool standby() const { return m_role.standby(); }

    // State shown by the window.
    bool serverListening() const override;                     // lamp JvLED1
    QStringList connections() const override;                  // RBSConnections
    QStringList queue(ReturnChannelId channel) const override; // RBSQOut / VALYSQOut
    ResubmitButton noReplyButton() const override;             // NackBerichten
    ResubmitButton failedButton() const override;              // ErrorBerichten
    StatusSnapshot statusSnapshot() const override;
    const ServiceMetrics *metrics() const override { return m_metrics.get(); }
    quint16 statusPort() const;

    // Actions of the window's buttons. Each handles its own failures as the
    // window's handler would.
    void testDatabaseConnection(const std::function<void()> &reportSuccess) override; // "TEST"
    void sendTestStatus() override;                                                   // "VERZENDEN"
    void clearQueue(ReturnChannelId channel) override;                                // queue pages' clear buttons
    void resubmitNoReply() override;                                                  // "NO REPLY"
    void resubmitFailed() override;                                                   // "NACK"

    // The six timers (five of them the return link's); tests may shorten
    // their intervals.
    QTimer &General() { return m_general; }
    QTimer &RetourZender();
    QTimer &RBSQOutTimer();
    QTimer &ValysQOutTimer();
    QTimer &SendClient();
    QTimer &SendclientValys();

private:
    // The activity log into RBS/; throws Failure when it cannot be written.
    void saveLog();
    // As a booking system's connection ends: a log past its bound is saved
    // and emptied. A failure reaches the intake's failure handling.
    void saveFullActivityLog();
    // When the intake is to listen on a database not open yet; a failure
    // counts in the metrics and goes on to the intake, which reports it.
    void openDatabaseForIntake();

    // Timer ticks, each run inside the failure handler's guard.
    void GeneralTimer();
    // After each General tick and when the intake starts or stops
    // listening: READY=1 once the intake is settled, STATUS= whenever the
    // line changed. Nothing without a service manager listening.
    void reportToServiceManager();
    bool intakeSettled() const;
    bool closeStep(bool abandonWhenLogFails);
    // At every General tick, before the intake's: the active machine makes
    // sure its connection (and with it the lock) still stands, the stand-by
    // asks for the lock again every few seconds.
    void serviceLockTick();
    void setStandby(bool standby);

    Settings &m_settings;
    Log &m_activityLog;
    Log &m_returnLog;
    FailureHandler &m_failures;
    ConfigFile &m_config;
    QString m_programFolder;

    QTimer m_general;
    // Posts the watchdog's keep-alive as a job: it is sent only when the work
    // queue gets to it, so a queue that is stuck lets the manager restart us.
    QTimer m_watchdog;
    bool m_readyReported = false;
    QString m_reportedStatus;

    ServiceRole m_role;
    QElapsedTimer m_lockAsked; // when the stand-by last asked for the lock

    // The queue before its users: their jobs may still wait in it.
    std::unique_ptr<ServiceMetrics> m_metrics;
    std::unique_ptr<WorkQueue> m_work;
    std::unique_ptr<Database> m_database;
    std::unique_ptr<DistanceClient> m_distance;
    std::unique_ptr<Datasets> m_datasets;
    std::unique_ptr<ReturnLink> m_returnLink;
    std::unique_ptr<IntakeServer> m_intake;
    std::unique_ptr<StatusEndpoint> m_statusEndpoint;
};

} // namespace velora
