#pragma once

#include "shell/Settings.h"
#include "update/UpdateChecker.h"

#include <QColor>
#include <QWidget>

#include <functional>

class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;

namespace velora {

class Dialogs;
class FailureHandler;
class Log;
class ServicePanel;
class StatusLamp;
class UpdateFlow;
enum class ReturnChannelId;

// A colour as six upper-case hex digits, red, green, blue (0,128,255 gives
// 0080FF): the form the dispatch suite stores ride colours in.
QString ColourToHex(const QColor &colour);

// The operator's window on the service: every setting as a control bound to
// the settings, the logs, queues and connections of the service, its buttons,
// and the tray icon. It holds no state of the link itself.
class Hoofdscherm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 828;
    static constexpr int kClientHeight = 568;

    Hoofdscherm(ServicePanel &service, Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures,
                Dialogs &dialogs, UpdateCheckerConfig updateConfig, QWidget *parent = nullptr);
    ~Hoofdscherm() override;

    // "VERBERGEN NAAR TAAKBALK": settings gathered, then hidden (minimised
    // where the desktop has no notification area to bring it back from).
    void HideToTaskbar();
    // "SLUITEN" and the tray's "Sluiten": the close step, see closeEvent.
    // False when the close was abandoned and the window stays.
    bool CloseService();
    // The tray's "Details".
    void ShowWindow();

    QSystemTrayIcon *trayIcon() const { return m_tray; }
    bool trayAvailable() const { return m_trayAvailable; }
    QTabWidget *pages() const { return m_pages; }
    QTabWidget *returnPages() const { return m_returnPages; }
    UpdateFlow *updateFlow() const { return m_updateFlow; }

    // Called with a ready package once the settings are gathered; main
    // writes the settings file there. Without it nothing is written.
    void setSettingsWriter(std::function<void()> writer) { m_writeSettings = std::move(writer); }

Q_SIGNALS:
    // The close step succeeded: the program ends.
    void serviceClosed();
    // The updater was started: the program ends without the close step.
    void endedForUpdate();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildSettingsPage();
    QWidget *buildUpdatePage();
    QWidget *buildReturnPages();
    QWidget *buildReturnSettingsPage();
    QWidget *buildQueuePage(ReturnChannelId channel);
    QWidget *buildBaseDataPage();
    QWidget *buildConnectionsPage();
    QWidget *buildFiltersPage();
    QWidget *buildStatusPage();
    void showStatus();
    QWidget *buildButtonBar();
    void buildTrayIcon();

    QPushButton *colourButton(const char *name, Setting field);
    void showServiceState();
    void showQueue(ReturnChannelId channel);
    void showResubmitButtons();
    void handOverToUpdater(UpdateChecker *checker);

    ServicePanel &m_service;
    Settings &m_settings;
    Log &m_activityLog;
    Log &m_returnLog;
    FailureHandler &m_failures;
    Dialogs &m_dialogs;
    std::function<void()> m_writeSettings;

    QTabWidget *m_pages = nullptr;
    QTabWidget *m_returnPages = nullptr;
    StatusLamp *m_lamp = nullptr;
    QListWidget *m_connections = nullptr;
    QListWidget *m_rbsQueue = nullptr;
    QListWidget *m_valysQueue = nullptr;
    QPushButton *m_noReply = nullptr;
    QPushButton *m_failed = nullptr;
    QPlainTextEdit *m_status = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    UpdateFlow *m_updateFlow = nullptr;
    bool m_trayAvailable = false;
    bool m_centred = false;
    bool m_ended = false;
};

} // namespace velora
