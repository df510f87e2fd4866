#include "update/PackageDownload.h"

#include "shell/DurableFile.h"
#include "update/PackageHash.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QUrl>

namespace velora {

namespace {

QString grouped(qint64 value, const QString &separator)
{
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, separator);
    return digits;
}

} // namespace

QString sizeDisplay(qint64 bytes, const QString &groupSeparator)
{
    constexpr qint64 kB = 1024;
    constexpr qint64 mB = kB * 1024;
    constexpr qint64 gB = mB * 1024;
    if (bytes == 0)
        return QStringLiteral("0 B");
    if (bytes <= kB)
        return grouped(bytes, groupSeparator) + QStringLiteral(" B");
    if (bytes <= mB)
        return grouped(bytes / kB, groupSeparator) + QStringLiteral(" KB");
    if (bytes <= gB)
        return grouped(bytes / mB, groupSeparator) + QStringLiteral(" MB");
    return grouped(bytes / gB, groupSeparator) + QStringLiteral(" GB");
}

QString clockText(qint64 seconds)
{
    if (seconds < 0)
        seconds = 0;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QChar(u'0'))
        .arg((seconds / 60) % 60, 2, 10, QChar(u'0'))
        .arg(seconds % 60, 2, 10, QChar(u'0'));
}

PackageDownload::PackageDownload(QString programFolder, UpdateConnection connection, QObject *parent)
    : QObject(parent), m_programFolder(std::move(programFolder)), m_connection(std::move(connection))
{
    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, &PackageDownload::onTick);
}

PackageDownload::~PackageDownload()
{
    if (m_head)
        m_head->abort();
    if (m_download) {
        m_download->abort();
        if (m_target) {
            m_target->close();
            m_target->remove();
        }
    }
}

QString PackageDownload::proxyStatusText() const
{
    if (!m_connection.proxy.isSet())
        return QStringLiteral("Download bestand");
    return QStringLiteral("Download bestand via proxy server (") + m_connection.proxy.host + u':' +
           QString::number(m_connection.proxy.port) + u')';
}

void PackageDownload::start(const UpdateDescription &description)
{
    if (busy())
        return;
    m_description = description;
    m_cancelled = false;
    m_total = 0;
    const QString name = QUrl(m_description.downloadFileUrl).fileName();
    // The name comes from the server: only a plain file name may be used, so
    // that nothing is written outside TempDownloads.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        Q_EMIT status(QStringLiteral("Mislukt: 0 Ongeldige bestandsnaam"));
        Q_EMIT finished(DownloadResult::Failed);
        return;
    }
    QDir folder(m_programFolder);
    folder.mkpath(QStringLiteral("TempDownloads"));
    m_targetPath = folder.filePath(QStringLiteral("TempDownloads/") + name);
    m_target = std::make_unique<QFile>(m_targetPath);
    // Unbuffered: every part of the package reaches the disk as it arrives,
    // so a full disk fails that write and the transfer, instead of a buffer
    // whose flush at the end nobody sees fail.
    if (!m_target->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        Q_EMIT status(QStringLiteral("Mislukt: 0 ") + m_target->errorString());
        m_target.reset();
        Q_EMIT finished(DownloadResult::Failed);
        return;
    }
    Q_EMIT status(QStringLiteral("Zoek naar bestandsinformatie"));
    m_head = m_connection.start(QUrl(m_description.downloadFileUrl), true, nullptr, 0, this);
    connect(m_head, &HttpClient::finished, this, &PackageDownload::sizeKnown);
}

void PackageDownload::sizeKnown()
{
    HttpClient *head = m_head;
    head->deleteLater();
    m_head = nullptr;
    if (head->failure() == HttpClient::Failure::Untrusted) {
        // Not "no size": a server that fails verification is said to, and
        // nothing it would send is taken.
        Q_EMIT status(transferFailureText(*head));
        m_target->close();
        m_target->remove();
        m_target.reset();
        Q_EMIT finished(DownloadResult::Failed);
        return;
    }
    m_total = transferSucceeded(*head) && head->contentLength() > 0 ? head->contentLength() : 0;
    Q_EMIT prepared(QFileInfo(m_targetPath).fileName(), m_total);
    Q_EMIT status(proxyStatusText());
    if (m_total == 0) {
        // Nothing to measure progress against: the download is not started
        // and the empty target file stays, as the operator saw no window.
        m_target->close();
        m_target.reset();
        Q_EMIT finished(DownloadResult::NothingToDownload);
        return;
    }
    m_started = QDateTime::currentDateTimeUtc();
    m_ticker.start();
    Q_EMIT started();
    m_download = m_connection.start(QUrl(m_description.downloadFileUrl), false, m_target.get(), 0, this);
    connect(m_download, &HttpClient::progress, this,
            [this](qint64 received, qint64) { Q_EMIT progress(received, m_total); });
    connect(m_download, &HttpClient::finished, this, &PackageDownload::transferEnded);
}

void PackageDownload::abort()
{
    if (!m_download)
        return;
    m_cancelled = true;
    m_ticker.stop();
    m_download->abort();
    transferEnded();
}

void PackageDownload::onTick()
{
    if (!m_download)
        return;
    const qint64 seconds = m_started.secsTo(QDateTime::currentDateTimeUtc());
    const qint64 received = m_download->bodyBytes();
    const QString separator = QLocale().groupSeparator();
    const QString speed =
        (seconds > 0 ? sizeDisplay(received / seconds, separator) : QStringLiteral("0 B")) + QStringLiteral("/sec");
    // The size is the server's word: in whole numbers an absurd one (up to
    // 2^63 - 1) overflows the estimate and shows nonsense.
    qint64 left = 0;
    if (received > 0) {
        const double estimate = double(m_total - received) * double(seconds) / double(received);
        left = estimate < 1e18 ? static_cast<qint64>(estimate) : qint64(1e18);
    }
    Q_EMIT tick(speed, clockText(seconds), clockText(left));
}

QString PackageDownload::verify()
{
    // The updater installs what is on the disk: the package must be there
    // whole before the download counts as done.
    QString reason = syncFile(*m_target);
    m_target->close();
    if (reason.isEmpty() && m_target->error() != QFileDevice::NoError)
        reason = m_target->errorString();
    if (reason.isEmpty())
        reason = syncFolder(QFileInfo(m_targetPath).absolutePath());
    if (!reason.isEmpty())
        return QStringLiteral("Mislukt: 0 Schrijven mislukt: ") + reason;
    // The package may come over plain HTTP and the updater runs whatever it
    // is given: only the package the description vouches for may reach it.
    const QString mismatch = packageHashMismatch(m_targetPath, m_description);
    if (!mismatch.isEmpty())
        return QStringLiteral("Mislukt: 0 Pakket klopt niet met ") + mismatch;
    return QString();
}

void PackageDownload::transferEnded()
{
    HttpClient *download = m_download;
    m_download = nullptr;
    download->deleteLater();
    m_ticker.stop();
    bool ok = transferSucceeded(*download) && !m_cancelled;
    if (ok && download->bodyBytes() < m_total) {
        // Shorter than the size the server announced: a damaged package.
        ok = false;
        Q_EMIT status(transferFailureText(*download) + QStringLiteral(" (onvolledig ontvangen)"));
    } else if (!ok && !m_cancelled) {
        Q_EMIT status(transferFailureText(*download));
    }
    if (ok) {
        const QString failure = verify();
        if (!failure.isEmpty()) {
            ok = false;
            Q_EMIT status(failure);
        }
    }
    Q_EMIT progress(m_total, m_total);
    m_target->close();
    if (!ok)
        m_target->remove();
    m_target.reset();
    Q_EMIT finished(ok ? DownloadResult::Succeeded : m_cancelled ? DownloadResult::Cancelled : DownloadResult::Failed);
}

} // namespace velora
