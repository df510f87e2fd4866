#include "gui/UpdateFlow.h"

#include "Version.h"
#include "gui/Dialogs.h"
#include "gui/UpdateWindows.h"

#include <QPushButton>

namespace velora {

namespace {

QString title()
{
    return QString::fromLatin1(kApplicationTitle);
}

} // namespace

UpdateFlow::UpdateFlow(UpdateCheckerConfig config, Dialogs &dialogs, QWidget *window, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_dialogs(dialogs), m_window(window)
{
}

UpdateFlow::~UpdateFlow()
{
    delete m_notice;
    delete m_download;
    // The checker is a child: deleting it aborts a running download and
    // removes its partial file.
}

void UpdateFlow::BtnUpdateClick()
{
    if (m_checker)
        return;
    m_checker = new UpdateChecker(m_config, this);
    connect(m_checker, &UpdateChecker::checkFinished, this, &UpdateFlow::checked);
    m_checker->prepareFolders();
    m_checker->checkForUpdate(true);
}

void UpdateFlow::checked(CheckOutcome outcome)
{
    Q_EMIT checkFinished(outcome);
    const UpdateDescription &description = m_checker->description();
    switch (outcome) {
    case CheckOutcome::SqlScriptsWarning:
        m_dialogs.warning(m_window, QString::fromLatin1(kSqlScriptsWarningTitle),
                          sqlScriptsWarningText(description.sqlVersion));
        release();
        return;
    case CheckOutcome::ShowNotice: {
        m_notice = new UpdateNoticeWindow(m_window);
        m_notice->setAttribute(Qt::WA_DeleteOnClose);
        m_notice->setReleaseNotes(m_checker->releaseNotes());
        m_notice->setDownloadEnabled(m_checker->downloadAvailable());
        const QString page = description.updatePageUrl;
        connect(m_notice, &UpdateNoticeWindow::informationRequested, this,
                [this, page] { m_dialogs.openUrl(QUrl(page)); });
        connect(m_notice, &UpdateNoticeWindow::downloadRequested, this, &UpdateFlow::DownloadUpdate);
        // Closing the notice without downloading ends the press.
        connect(m_notice, &QDialog::rejected, this, [this] {
            if (!m_download)
                release();
        });
        m_notice->show();
        return;
    }
    case CheckOutcome::NoUpdateInformation:
        m_dialogs.information(m_window, title(), QString::fromLatin1(kNoUpdateText));
        break;
    case CheckOutcome::NoUpdateOfferWebsite:
        if (m_dialogs.question(m_window, title(),
                               QString::fromLatin1(kNoUpdateText) + QStringLiteral("\rWenst u de website te openen?")))
            m_dialogs.openUrl(QUrl(description.updatePageUrl));
        break;
    case CheckOutcome::UntrustedServer:
        // Told whether the operator asked or not: an update server that
        // cannot be trusted is a fault to see, not "nothing new".
        m_dialogs.error(m_window, title(), m_checker->checkFailure());
        break;
    case CheckOutcome::Silent: break;
    }
    release();
}

void UpdateFlow::DownloadUpdate()
{
    if (!m_checker || m_checker->downloading())
        return;
    if (m_download)
        m_download->close(); // a failed earlier download still on screen
    m_download = new UpdateDownloadWindow(m_window);
    m_download->setAttribute(Qt::WA_DeleteOnClose);
    if (m_notice) {
        m_notice->disconnect(this);
        m_notice->close();
    }
    UpdateDownloadWindow *window = m_download;
    connect(m_checker, &UpdateChecker::downloadStatus, window, &UpdateDownloadWindow::setStatus);
    connect(m_checker, &UpdateChecker::downloadPrepared, window, [window](const QString &name, qint64 total) {
        window->setFileName(name);
        window->setTransfer(0, total);
        window->abortButton()->setEnabled(true);
    });
    connect(m_checker, &UpdateChecker::downloadProgress, window, &UpdateDownloadWindow::setTransfer);
    connect(m_checker, &UpdateChecker::downloadTick, window, &UpdateDownloadWindow::setTimes);
    connect(m_checker, &UpdateChecker::downloadStarted, window, &QWidget::show);
    connect(m_checker, &UpdateChecker::downloadFinished, this, &UpdateFlow::downloadFinished);
    connect(window->abortButton(), &QPushButton::clicked, this, &UpdateFlow::askAbort);
    // A download window closed by its close box aborts without asking.
    connect(window, &QDialog::rejected, this, [this] {
        if (m_checker && m_checker->downloading())
            m_checker->abortDownload();
    });
    m_checker->startDownload();
}

void UpdateFlow::askAbort()
{
    // Asked over the main window, not the download window: the transfer goes
    // on while the operator reads the question, and a download that ends
    // meanwhile closes its window, which would destroy an open box with it.
    if (!m_dialogs.question(m_window, title(), QStringLiteral("Deze software update afbreken?")))
        return;
    // The transfer may have ended while the question was open.
    if (m_checker && m_checker->downloading()) {
        if (m_download)
            m_download->abortButton()->setEnabled(false);
        m_checker->abortDownload();
    }
}

void UpdateFlow::downloadFinished(UpdateChecker::DownloadResult result)
{
    switch (result) {
    case UpdateChecker::DownloadResult::Succeeded:
        if (m_download)
            m_download->close();
        m_dialogs.information(m_window, title(), QStringLiteral("Velora® LiveUpdate gaat nu starten"));
        Q_EMIT packageReady(m_checker);
        break;
    case UpdateChecker::DownloadResult::Cancelled:
        if (m_download)
            m_download->abortButton()->setEnabled(false);
        m_dialogs.error(m_download, title(), QStringLiteral("De software update werd afgebroken."));
        if (m_download)
            m_download->close();
        break;
    case UpdateChecker::DownloadResult::Failed:
        // The window keeps the failure text in view until the operator
        // closes it; the partial file is already gone.
        if (m_download) {
            m_download->abortButton()->setEnabled(false);
            m_download->show();
        }
        break;
    case UpdateChecker::DownloadResult::NothingToDownload:
        if (m_download)
            m_download->close();
        break;
    }
    release();
}

void UpdateFlow::release()
{
    if (m_checker) {
        m_checker->disconnect(this);
        m_checker->deleteLater();
        m_checker = nullptr;
    }
    Q_EMIT finished();
}

} // namespace velora
