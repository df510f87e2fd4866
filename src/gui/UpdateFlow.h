#pragma once

#include "gui/UpdateWindows.h"
#include "update/UpdateChecker.h"

#include <QObject>
#include <QPointer>

class QWidget;

namespace velora {

class Dialogs;

// The button "CONTROLEER OP UPDATES" from press to hand-over: runs one
// UpdateChecker per press and shows its windows and boxes. Nothing here
// blocks: the transfers report through signals, so the link keeps working.
class UpdateFlow : public QObject {
    Q_OBJECT
public:
    UpdateFlow(UpdateCheckerConfig config, Dialogs &dialogs, QWidget *window, QObject *parent = nullptr);
    ~UpdateFlow() override;

    // BtnUpdateClick. A press while a check or download runs is ignored.
    void BtnUpdateClick();
    bool busy() const { return m_checker != nullptr; }

    UpdateChecker *checker() const { return m_checker; }
    UpdateNoticeWindow *noticeWindow() const { return m_notice; }
    UpdateDownloadWindow *downloadWindow() const { return m_download; }

Q_SIGNALS:
    void checkFinished(velora::CheckOutcome outcome);
    // The package is in TempDownloads and the operator was told; the window
    // starts the updater and ends the program.
    void packageReady(velora::UpdateChecker *checker);
    // The press is over (whatever the outcome); tests wait for it.
    void finished();

private:
    void checked(CheckOutcome outcome);
    void DownloadUpdate();
    void askAbort();
    void downloadFinished(UpdateChecker::DownloadResult result);
    void release();

    UpdateCheckerConfig m_config;
    Dialogs &m_dialogs;
    QWidget *m_window;
    UpdateChecker *m_checker = nullptr;
    QPointer<UpdateNoticeWindow> m_notice;
    QPointer<UpdateDownloadWindow> m_download;
};

} // namespace velora
