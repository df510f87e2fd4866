#include "update/UpdateChecker.h"

#include "shell/DurableFile.h"
#include "shell/TextRules.h"
#include "update/ProgramStart.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <zlib.h>

#include <optional>

namespace velora {

QString descriptionSection(const QString &programFileName)
{
    const QString name = QFileInfo(programFileName).fileName();
    const qsizetype dot = name.indexOf(u'.');
    return dot < 0 ? name : name.left(dot);
}

namespace {

// Release notes and descriptions are written on the maker's side, often in
// the single-byte code page; UTF-8 is taken when the bytes are valid UTF-8.
QString decodeText(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return fromAnsi(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

} // namespace

UpdateDescription readUpdateDescription(const QByteArray &iniText, const QString &section)
{
    UpdateDescription description;
    const QString text = decodeText(iniText);
    bool inSection = false;
    for (QString line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        auto is = [&key](const char *name) { return key.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
        if (is("DownloadFileURL"))
            description.downloadFileUrl = value;
        else if (is("ReadmeFileURL"))
            description.readmeFileUrl = value;
        else if (is("UpdatePageURL"))
            description.updatePageUrl = value;
        else if (is("Version"))
            description.version = value;
        else if (is("SQLVersion"))
            description.sqlVersion = value;
        else if (is("CRC32Hash"))
            description.crc32Hash = value;
        else if (is("MD5Hash"))
            description.md5Hash = value;
        else if (is("SHA1Hash"))
            description.sha1Hash = value;
    }
    return description;
}

bool versionSortsBefore(const QString &installed, const QString &offered)
{
    // QString's ordering is by UTF-16 code unit: character code order.
    return installed < offered;
}

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

QString sqlScriptsWarningText(const QString &sqlVersion)
{
    return QStringLiteral("U kunt de beschikbare update momenteel niet installeren.\r\n"
                          "\r\n"
                          "Velora  beschikt niet over de juiste database versie en u moet vooraf de SQL scripts "
                          "uitvoeren.\r\n"
                          "\r\n"
                          "Noodzakelijke versie SQL scripts: ") +
           sqlVersion;
}

CheckOutcome decideCheckOutcome(const QString &installedVersion, const QString &installedSqlVersion,
                                const UpdateDescription &description, bool interactive)
{
    if (versionSortsBefore(installedVersion, description.version)) {
        // An empty installed script version sorts before any non-empty one.
        if (versionSortsBefore(installedSqlVersion, description.sqlVersion))
            return CheckOutcome::SqlScriptsWarning;
        return CheckOutcome::ShowNotice;
    }
    if (!interactive)
        return CheckOutcome::Silent;
    if (!description.version.isEmpty() || description.updatePageUrl.isEmpty())
        return CheckOutcome::NoUpdateInformation;
    return CheckOutcome::NoUpdateOfferWebsite;
}

// --- Transfers ------------------------------------------------------------

HttpRequest updateRequest(const QUrl &url, bool head, const HttpProxy &proxy, int idleTimeoutMs)
{
    HttpRequest request;
    request.url = url;
    request.head = head;
    request.http10 = true;
    request.userAgent = "Mozilla/4.0 (compatible; ICS)";
    // The library adds Host and Accept: */* itself; the proxy needs no hint
    // to keep its connection, which HTTP/1.0 does not keep anyway.
    request.headers = {"Pragma: no-cache", "Proxy-Connection:"};
    request.maxRedirects = kUpdateMaxRedirects;
    request.proxy = proxy;
    request.connectTimeoutMs = idleTimeoutMs;
    request.idleTimeoutMs = idleTimeoutMs;
    request.bodyOnlyOnSuccess = true;
    return request;
}

bool transferSucceeded(const HttpClient &transfer)
{
    return transfer.failure() == HttpClient::Failure::None && transfer.statusCode() >= 200 &&
           transfer.statusCode() <= 299;
}

QString transferFailureText(const HttpClient &transfer)
{
    using Failure = HttpClient::Failure;
    int code = 0;
    QString text;
    switch (transfer.failure()) {
    case Failure::None:
    case Failure::TooManyRedirects:
        code = transfer.statusCode();
        text = transfer.statusText();
        break;
    case Failure::Timeout: text = QStringLiteral("Time-out"); break;
    case Failure::ConnectFailed:
    case Failure::ConnectionLost: text = transfer.errorString(); break;
    case Failure::ClosedBeforeHead: text = QStringLiteral("Verbinding verbroken"); break;
    case Failure::InvalidRequest: text = QStringLiteral("Ongeldig adres ") + transfer.errorString(); break;
    case Failure::BodyIncomplete:
        // HTTP/1.0: the end of the connection ends the body. A body shorter
        // than announced is a broken transfer, never a package to install.
        code = transfer.statusCode();
        text = transfer.statusText() + QStringLiteral(" (onvolledig ontvangen)");
        break;
    case Failure::SinkWrite:
        code = transfer.statusCode();
        text = QStringLiteral("Schrijven mislukt: ") + transfer.errorString();
        break;
    case Failure::BadResponse:
    case Failure::TooLarge: text = QStringLiteral("Ongeldig antwoord"); break;
    }
    return QStringLiteral("Mislukt: ") + QString::number(code) + u' ' + text;
}

QString packageHashMismatch(const QString &path, const UpdateDescription &description)
{
    // Only the strongest hash counts: a weaker one that matches proves
    // nothing once a stronger one does not.
    QString name;
    QByteArray expected;
    std::optional<QCryptographicHash::Algorithm> algorithm;
    auto hex = [](const QString &text) { return text.trimmed().toLatin1().toLower(); };
    if (!description.sha1Hash.trimmed().isEmpty()) {
        name = QStringLiteral("SHA1Hash");
        expected = hex(description.sha1Hash);
        algorithm = QCryptographicHash::Sha1;
    } else if (!description.md5Hash.trimmed().isEmpty()) {
        name = QStringLiteral("MD5Hash");
        expected = hex(description.md5Hash);
        algorithm = QCryptographicHash::Md5;
    } else if (!description.crc32Hash.trimmed().isEmpty()) {
        name = QStringLiteral("CRC32Hash");
        expected = hex(description.crc32Hash);
    } else {
        return QString();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return name;
    QCryptographicHash hash(algorithm.value_or(QCryptographicHash::Sha1));
    uLong crc = crc32(0L, Z_NULL, 0);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0)
            return name;
        if (read == 0)
            break;
        if (algorithm)
            hash.addData(QByteArrayView(block.constData(), read));
        else
            crc = crc32(crc, reinterpret_cast<const Bytef *>(block.constData()), uInt(read));
    }
    if (algorithm)
        return hash.result().toHex() == expected ? QString() : name;
    // A CRC-32 is written with or without its leading zeros.
    bool ok = false;
    const uLong stated = expected.toULong(&ok, 16);
    return ok && stated == crc ? QString() : name;
}

// --- UpdateChecker ----------------------------------------------------------

UpdateChecker::UpdateChecker(UpdateCheckerConfig config, QObject *parent) : QObject(parent), m_config(std::move(config))
{
    qRegisterMetaType<velora::CheckOutcome>();
    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, &UpdateChecker::tick);
}

UpdateChecker::~UpdateChecker()
{
    if (m_transfer)
        m_transfer->abort();
    if (m_download) {
        // Ending mid-download: no package may stay behind half written.
        m_download->abort();
        if (m_target) {
            m_target->close();
            m_target->remove();
        }
    }
}

void UpdateChecker::prepareFolders()
{
    QDir folder(m_config.programFolder);
    folder.mkpath(QStringLiteral("Backups"));
    folder.mkpath(QStringLiteral("TempDownloads"));
    if (m_config.programFilePath.isEmpty())
        return;
    const QString backup = folder.filePath(QStringLiteral("Backups/") + QFileInfo(m_config.programFilePath).fileName());
    QFile::remove(backup);
    QFile::copy(m_config.programFilePath, backup);
}

namespace {

// The description and the release notes are read into memory whole; a few
// lines each are expected. Without a bound a server sending without end fills
// the temporary folder and then the memory of the service.
constexpr qint64 kMaxTextBytes = 1024 * 1024;

} // namespace

HttpClient *UpdateChecker::newTransfer(const QUrl &url, bool head, QIODevice *sink, qint64 bodyLimit)
{
    auto *transfer = new HttpClient(this);
    if (sink)
        transfer->setBodySink(sink);
    else
        transfer->discardBody();
    HttpRequest request = updateRequest(url, head, m_config.proxy, m_config.idleTimeoutMs);
    request.bodyLimit = bodyLimit;
    transfer->start(request);
    return transfer;
}

void UpdateChecker::checkForUpdate(bool interactive)
{
    m_interactive = interactive;
    m_description = {};
    m_releaseNotes.clear();
    m_tempFile = std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("AUXXXXXX")));
    m_tempFile->open();
    m_transfer = newTransfer(m_config.descriptionUrl, false, m_tempFile.get(), kMaxTextBytes);
    connect(m_transfer, &HttpClient::finished, this, &UpdateChecker::descriptionFetched);
}

namespace {

void addLine(QString &text, const QString &line)
{
    if (!text.isEmpty())
        text += u'\n';
    text += line;
}

} // namespace

void UpdateChecker::descriptionFetched()
{
    HttpClient *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->deleteLater();
    if (transferSucceeded(*transfer)) {
        m_tempFile->seek(0);
        m_description = readUpdateDescription(m_tempFile->readAll(),
                                              descriptionSection(QFileInfo(m_config.programFilePath).fileName()));
    } else {
        addLine(m_releaseNotes, transferFailureText(*transfer));
    }
    if (m_description.updatePageUrl.isEmpty())
        m_description.updatePageUrl = m_config.defaultUpdatePage;
    m_tempFile.reset();

    if (m_description.readmeFileUrl.isEmpty()) {
        finishCheck();
        return;
    }
    m_tempFile = std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("AUXXXXXX")));
    m_tempFile->open();
    m_transfer = newTransfer(QUrl(m_description.readmeFileUrl), false, m_tempFile.get(), kMaxTextBytes);
    connect(m_transfer, &HttpClient::finished, this, &UpdateChecker::readmeFetched);
}

void UpdateChecker::readmeFetched()
{
    HttpClient *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->deleteLater();
    if (transferSucceeded(*transfer)) {
        m_tempFile->seek(0);
        QString notes = decodeText(m_tempFile->readAll());
        notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        m_releaseNotes = notes;
    } else {
        addLine(m_releaseNotes, transferFailureText(*transfer));
    }
    m_tempFile.reset();
    finishCheck();
}

void UpdateChecker::finishCheck()
{
    Q_EMIT checkFinished(
        decideCheckOutcome(m_config.installedVersion, m_config.installedSqlVersion, m_description, m_interactive));
}

QString UpdateChecker::proxyStatusText() const
{
    if (!m_config.proxy.isSet())
        return QStringLiteral("Download bestand");
    return QStringLiteral("Download bestand via proxy server (") + m_config.proxy.host + u':' +
           QString::number(m_config.proxy.port) + u')';
}

void UpdateChecker::startDownload()
{
    if (m_download || m_transfer)
        return;
    m_cancelled = false;
    m_total = 0;
    const QString name = QUrl(m_description.downloadFileUrl).fileName();
    // The name comes from the server: only a plain file name may be used, so
    // that nothing is written outside TempDownloads.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        Q_EMIT downloadStatus(QStringLiteral("Mislukt: 0 Ongeldige bestandsnaam"));
        endDownload(DownloadResult::Failed);
        return;
    }
    QDir folder(m_config.programFolder);
    folder.mkpath(QStringLiteral("TempDownloads"));
    m_targetPath = folder.filePath(QStringLiteral("TempDownloads/") + name);
    m_target = std::make_unique<QFile>(m_targetPath);
    // Unbuffered: every part of the package reaches the disk as it arrives,
    // so a full disk fails that write and the transfer, instead of a buffer
    // whose flush at the end nobody sees fail.
    if (!m_target->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        Q_EMIT downloadStatus(QStringLiteral("Mislukt: 0 ") + m_target->errorString());
        m_target.reset();
        endDownload(DownloadResult::Failed);
        return;
    }
    Q_EMIT downloadStatus(QStringLiteral("Zoek naar bestandsinformatie"));
    m_transfer = newTransfer(QUrl(m_description.downloadFileUrl), true, nullptr);
    connect(m_transfer, &HttpClient::finished, this, &UpdateChecker::sizeKnown);
}

void UpdateChecker::sizeKnown()
{
    HttpClient *head = m_transfer;
    head->deleteLater();
    m_transfer = nullptr;
    m_total = transferSucceeded(*head) && head->contentLength() > 0 ? head->contentLength() : 0;
    Q_EMIT downloadPrepared(QFileInfo(m_targetPath).fileName(), m_total);
    Q_EMIT downloadStatus(proxyStatusText());
    if (m_total == 0) {
        // Nothing to measure progress against: the download is not started
        // and the empty target file stays, as the operator saw no window.
        m_target->close();
        m_target.reset();
        endDownload(DownloadResult::NothingToDownload);
        return;
    }
    m_started = QDateTime::currentDateTimeUtc();
    m_ticker.start();
    Q_EMIT downloadStarted();
    m_download = newTransfer(QUrl(m_description.downloadFileUrl), false, m_target.get());
    connect(m_download, &HttpClient::progress, this,
            [this](qint64 received, qint64) { Q_EMIT downloadProgress(received, m_total); });
    connect(m_download, &HttpClient::finished, this, &UpdateChecker::transferEnded);
}

void UpdateChecker::abortDownload()
{
    if (!m_download)
        return;
    m_cancelled = true;
    m_ticker.stop();
    m_download->abort();
    transferEnded();
}

void UpdateChecker::tick()
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
    const QString remaining = clockText(left);
    Q_EMIT downloadTick(speed, clockText(seconds), remaining);
}

void UpdateChecker::transferEnded()
{
    HttpClient *download = m_download;
    m_download = nullptr;
    download->deleteLater();
    m_ticker.stop();
    bool ok = transferSucceeded(*download) && !m_cancelled;
    if (ok && download->bodyBytes() < m_total) {
        // Shorter than the size the server announced: a damaged package.
        ok = false;
        Q_EMIT downloadStatus(transferFailureText(*download) + QStringLiteral(" (onvolledig ontvangen)"));
    } else if (!ok && !m_cancelled) {
        Q_EMIT downloadStatus(transferFailureText(*download));
    }
    if (ok) {
        // The updater installs what is on the disk: the package must be there
        // whole before the download counts as done.
        QString reason = syncFile(*m_target);
        m_target->close();
        if (reason.isEmpty() && m_target->error() != QFileDevice::NoError)
            reason = m_target->errorString();
        if (reason.isEmpty())
            reason = syncFolder(QFileInfo(m_targetPath).absolutePath());
        if (!reason.isEmpty()) {
            ok = false;
            Q_EMIT downloadStatus(QStringLiteral("Mislukt: 0 Schrijven mislukt: ") + reason);
        }
    }
    if (ok) {
        // The package comes over plain HTTP and the updater runs whatever it
        // is given: only the package the description vouches for may reach it.
        const QString mismatch = packageHashMismatch(m_targetPath, m_description);
        if (!mismatch.isEmpty()) {
            ok = false;
            Q_EMIT downloadStatus(QStringLiteral("Mislukt: 0 Pakket klopt niet met ") + mismatch);
        }
    }
    Q_EMIT downloadProgress(m_total, m_total);
    m_target->close();
    if (!ok)
        m_target->remove();
    m_target.reset();
    endDownload(ok ? DownloadResult::Succeeded : m_cancelled ? DownloadResult::Cancelled : DownloadResult::Failed);
}

void UpdateChecker::endDownload(DownloadResult result)
{
    Q_EMIT downloadFinished(result);
}

bool UpdateChecker::startUpdater() const
{
    return startProgramDetached(updaterProgramPath(m_config.programFolder),
                                u'\'' + QDir::toNativeSeparators(m_targetPath) + u'\'');
}

} // namespace velora
