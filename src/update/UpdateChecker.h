#pragma once

#include "net/HttpClient.h"
#include "update/PackageDownload.h"
#include "update/PackageHash.h"
#include "update/UpdateDecision.h"
#include "update/UpdateDescription.h"
#include "update/UpdateTransfer.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

namespace velora {

// Where the update description lives unless the operator names another
// address (--update-url). Kept here and nowhere else.
inline constexpr char kUpdateDescriptionUrl[] =
    "http://updates.velora-software.example/liveupdate/VeloraRBS/Updates.txt";
// Shown when the description names no page of its own.
inline constexpr char kDefaultUpdatePage[] = "http://www.velora-software.example/";

struct UpdateCheckerConfig {
    QString programFolder;
    QString programFilePath; // the program file copied into Backups
    QUrl descriptionUrl = QUrl(QString::fromLatin1(kUpdateDescriptionUrl));
    QString defaultUpdatePage = QString::fromLatin1(kDefaultUpdatePage);
    QString installedVersion;
    QString installedSqlVersion; // none: any SQLVersion counts as newer
    HttpProxy proxy;
    int idleTimeoutMs = 30000;
    // https: the authorities trusted instead of the system's store (PEM);
    // the certificate is verified either way.
    QString caFile;
};

// The update check without any window: fetches the description and release
// notes, decides what the operator is shown, has the package downloaded and
// hands it to the updater program. The windows only listen.
class UpdateChecker : public QObject {
    Q_OBJECT
public:
    using DownloadResult = velora::DownloadResult;

    explicit UpdateChecker(UpdateCheckerConfig config, QObject *parent = nullptr);
    ~UpdateChecker() override;

    const UpdateCheckerConfig &config() const { return m_config; }

    // The button's preparation (prepareUpdateFolders()).
    void prepareFolders();

    // Fetches description and release notes, then emits checkFinished.
    void checkForUpdate(bool interactive);
    const UpdateDescription &description() const { return m_description; }
    const QString &releaseNotes() const { return m_releaseNotes; }
    // UntrustedServer: what the operator is told.
    const QString &checkFailure() const { return m_checkFailure; }
    bool downloadAvailable() const { return !m_description.downloadFileUrl.isEmpty(); }

    // The package: HEAD for its size, then GET into TempDownloads.
    void startDownload();
    // The operator confirmed "AFBREKEN".
    void abortDownload();
    bool downloading() const { return m_package->downloading(); }
    const QString &targetPath() const { return m_package->targetPath(); }
    QString proxyStatusText() const { return m_package->proxyStatusText(); }

    // Starts the updater with the package path between single quotes.
    bool startUpdater() const;

Q_SIGNALS:
    void checkFinished(velora::CheckOutcome outcome);

    void downloadStatus(const QString &text);
    // Step before the transfer: file name and size are known.
    void downloadPrepared(const QString &fileName, qint64 total);
    void downloadStarted();
    void downloadProgress(qint64 received, qint64 total);
    // Once a second: speed, elapsed and remaining time.
    void downloadTick(const QString &speed, const QString &elapsed, const QString &remaining);
    void downloadFinished(velora::UpdateChecker::DownloadResult result);

private:
    UpdateConnection connection() const;
    void descriptionFetched();
    void readmeFetched();
    // Takes the running fetch's end; the fetch itself goes later.
    UpdateTextFetch *takeFetch();

    UpdateCheckerConfig m_config;
    bool m_interactive = false;
    UpdateDescription m_description;
    QString m_releaseNotes;
    QString m_checkFailure;
    QPointer<UpdateTextFetch> m_fetch;
    PackageDownload *m_package;
};

} // namespace velora
