#pragma once

#include "update/UpdateDescription.h"
#include "update/UpdateTransfer.h"

#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

namespace velora {

// Byte counts for the operator: "0 B", then B up to 1024, KB up to 1024^2, MB
// up to 1024^3 and GB above, the divided values rounded down, all with
// thousands separators.
QString sizeDisplay(qint64 bytes, const QString &groupSeparator = QStringLiteral(","));
// Seconds as "hh:nn:ss".
QString clockText(qint64 seconds);

enum class DownloadResult {
    Succeeded,
    Failed,
    Cancelled,
    NothingToDownload // the server named no size: no window, no message
};

// The package into TempDownloads: HEAD for its size, then GET, with
// progress once a second; at the end synced to the disk and checked against
// the description's hash. Only a package that passed stays on the disk.
class PackageDownload : public QObject {
    Q_OBJECT
public:
    PackageDownload(QString programFolder, UpdateConnection connection, QObject *parent = nullptr);
    // Ending mid-download: no package may stay behind half written.
    ~PackageDownload() override;

    void start(const UpdateDescription &description);
    // The operator confirmed "AFBREKEN".
    void abort();
    // The GET runs (the HEAD before it does not count).
    bool downloading() const { return m_download != nullptr; }
    // The HEAD or the GET runs.
    bool busy() const { return m_head || m_download; }
    const QString &targetPath() const { return m_targetPath; }
    QString proxyStatusText() const;

Q_SIGNALS:
    void status(const QString &text);
    // Step before the transfer: file name and size are known.
    void prepared(const QString &fileName, qint64 total);
    void started();
    void progress(qint64 received, qint64 total);
    // Once a second: speed, elapsed and remaining time.
    void tick(const QString &speed, const QString &elapsed, const QString &remaining);
    void finished(velora::DownloadResult result);

private:
    void sizeKnown();
    void transferEnded();
    void onTick();
    // Synced, closed and matching the description; otherwise the reason.
    QString verify();

    QString m_programFolder;
    UpdateConnection m_connection;
    UpdateDescription m_description;
    QString m_targetPath;
    std::unique_ptr<QFile> m_target;
    QPointer<HttpClient> m_head;
    HttpClient *m_download = nullptr;
    qint64 m_total = 0;
    QDateTime m_started;
    QTimer m_ticker;
    bool m_cancelled = false;
};

} // namespace velora
