#pragma once

#include "net/HttpClient.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

class QTemporaryFile;

namespace velora {

// Where the update description lives unless the operator names another
// address (--update-url). Kept here and nowhere else.
inline constexpr char kUpdateDescriptionUrl[] =
    "http://updates.velora-software.example/liveupdate/VeloraRBS/Updates.txt";
// Shown when the description names no page of its own.
inline constexpr char kDefaultUpdatePage[] = "http://www.velora-software.example/";

inline constexpr char kSqlScriptsWarningTitle[] = "SQL scripts controle is mislukt";
inline constexpr char kNoUpdateText[] = "Er is geen nieuwe versie beschikbaar.";

// The keys of the update description's section. Missing keys read as empty.
struct UpdateDescription {
    QString downloadFileUrl;
    QString readmeFileUrl;
    QString updatePageUrl;
    QString version;
    QString sqlVersion;
    // Checksums of the package, hexadecimal; the strongest present is checked.
    QString crc32Hash;
    QString md5Hash;
    QString sha1Hash;
};

// The description's section is named after the program file up to its first dot.
QString descriptionSection(const QString &programFileName);
// Reads the keys of one section of an INI text. Section and key names are
// compared without regard to letter case, as INI readers do.
UpdateDescription readUpdateDescription(const QByteArray &iniText, const QString &section);

// Versions are compared as plain texts by character code: 9.0.1.51 sorts
// before 9.0.1.6. The update server publishes its versions with that in mind.
bool versionSortsBefore(const QString &installed, const QString &offered);

// Byte counts for the operator: "0 B", then B up to 1024, KB up to 1024^2, MB
// up to 1024^3 and GB above, the divided values rounded down, all with
// thousands separators.
QString sizeDisplay(qint64 bytes, const QString &groupSeparator = QStringLiteral(","));
// Seconds as "hh:nn:ss".
QString clockText(qint64 seconds);
// The text of the warning box shown when the update needs newer SQL scripts.
QString sqlScriptsWarningText(const QString &sqlVersion);

// What a finished check leads to.
enum class CheckOutcome {
    ShowNotice,          // newer version: the notice window
    SqlScriptsWarning,   // newer version that needs newer database scripts
    NoUpdateInformation, // "Er is geen nieuwe versie beschikbaar."
    NoUpdateOfferWebsite,
    Silent // not interactive and nothing new
};
CheckOutcome decideCheckOutcome(const QString &installedVersion, const QString &installedSqlVersion,
                                const UpdateDescription &description, bool interactive);

// Every request of the update check: HTTP/1.0 (the server closes the
// connection after the body), GET or HEAD, up to five redirections, the
// operator's proxy if any, and given up after idleTimeoutMs without data so
// that a dead update server never leaves a transfer hanging for good.
inline constexpr int kUpdateMaxRedirects = 5;
HttpRequest updateRequest(const QUrl &url, bool head, const HttpProxy &proxy, int idleTimeoutMs);
// A whole answer with a 2xx status.
bool transferSucceeded(const HttpClient &transfer);
// "Mislukt: " + status code + " " + status text; 0 and a text of its own
// when no answer came.
QString transferFailureText(const HttpClient &transfer);

// The strongest of the description's hashes (SHA-1, MD5, CRC-32) that the
// file does not match, e.g. "SHA1Hash"; empty when it matches or the
// description names none. A file that cannot be read matches nothing.
QString packageHashMismatch(const QString &path, const UpdateDescription &description);

struct UpdateCheckerConfig {
    QString programFolder;
    QString programFilePath; // the program file copied into Backups
    QUrl descriptionUrl = QUrl(QString::fromLatin1(kUpdateDescriptionUrl));
    QString defaultUpdatePage = QString::fromLatin1(kDefaultUpdatePage);
    QString installedVersion;
    QString installedSqlVersion; // none: any SQLVersion counts as newer
    HttpProxy proxy;
    int idleTimeoutMs = 30000;
};

// The update check without any window: fetches the description and release
// notes, decides what the operator is shown, downloads the package with
// progress and hands it to the updater program. The windows only listen.
class UpdateChecker : public QObject {
    Q_OBJECT
public:
    enum class DownloadResult {
        Succeeded,
        Failed,
        Cancelled,
        NothingToDownload // the server named no size: no window, no message
    };

    explicit UpdateChecker(UpdateCheckerConfig config, QObject *parent = nullptr);
    ~UpdateChecker() override;

    const UpdateCheckerConfig &config() const { return m_config; }

    // The button's preparation: the folders Backups and TempDownloads, and a
    // copy of the program file in Backups (a failed copy is no reason to stop).
    void prepareFolders();

    // Fetches description and release notes, then emits checkFinished.
    void checkForUpdate(bool interactive);
    const UpdateDescription &description() const { return m_description; }
    const QString &releaseNotes() const { return m_releaseNotes; }
    bool downloadAvailable() const { return !m_description.downloadFileUrl.isEmpty(); }

    // The package: HEAD for its size, then GET into TempDownloads.
    void startDownload();
    // The operator confirmed "AFBREKEN".
    void abortDownload();
    bool downloading() const { return m_download != nullptr; }
    const QString &targetPath() const { return m_targetPath; }
    QString proxyStatusText() const;

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
    // Started at once; it reports through finished() only.
    HttpClient *newTransfer(const QUrl &url, bool head, QIODevice *sink, qint64 bodyLimit = 0);
    void descriptionFetched();
    void readmeFetched();
    void finishCheck();
    void sizeKnown();
    void transferEnded();
    void tick();
    void endDownload(DownloadResult result);

    UpdateCheckerConfig m_config;
    bool m_interactive = false;
    UpdateDescription m_description;
    QString m_releaseNotes;

    std::unique_ptr<QTemporaryFile> m_tempFile;
    QPointer<HttpClient> m_transfer;

    QString m_targetPath;
    std::unique_ptr<QFile> m_target;
    HttpClient *m_download = nullptr;
    qint64 m_total = 0;
    QDateTime m_started;
    QTimer m_ticker;
    bool m_cancelled = false;
};

} // namespace velora

Q_DECLARE_METATYPE(velora::CheckOutcome)
