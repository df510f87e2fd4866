#include "shell/UpdateChecker.h"

#include "shell/DurableFile.h"
#include "shell/ProgramStart.h"
#include "shell/TextRules.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>
#include <QTemporaryFile>

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

// --- HttpTransfer -----------------------------------------------------------

HttpTransfer::HttpTransfer(Method method, QUrl url, QIODevice *sink, HttpProxy proxy, QObject *parent)
    : QObject(parent), m_method(method), m_url(std::move(url)), m_sink(sink), m_proxy(std::move(proxy))
{
}

QString HttpTransfer::failureText() const
{
    return QStringLiteral("Mislukt: ") + QString::number(m_statusCode) + u' ' + m_statusText;
}

void HttpTransfer::start()
{
    connectToServer();
}

void HttpTransfer::abort()
{
    if (m_finished)
        return;
    m_aborted = true;
    m_statusText = QStringLiteral("Afgebroken");
    finish(false);
}

void HttpTransfer::connectToServer()
{
    m_statusCode = 0;
    m_statusText.clear();
    m_contentLength = -1;
    if (m_exchange) {
        m_exchange->disconnect(this);
        m_exchange->abort();
        m_exchange->deleteLater();
        m_exchange = nullptr;
    }
    if (m_url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 || m_url.host().isEmpty()) {
        // Reported from the event loop, like every other outcome, so that the
        // caller never sees finished() before start() returned.
        QTimer::singleShot(0, this, [this] { failWith(0, QStringLiteral("Ongeldig adres ") + m_url.toString()); });
        return;
    }

    HttpExchange::Request request;
    request.method = m_method == Method::Head ? QByteArray("HEAD") : QByteArray("GET");
    request.version = "HTTP/1.0";
    if (m_proxy.isSet()) {
        request.target = m_url.toEncoded(QUrl::RemoveFragment);
    } else {
        request.target = m_url.path(QUrl::FullyEncoded).toLatin1();
        if (request.target.isEmpty())
            request.target = "/";
        if (m_url.hasQuery())
            request.target += '?' + m_url.query(QUrl::FullyEncoded).toLatin1();
    }
    QByteArray host = m_url.host(QUrl::FullyEncoded).toLatin1();
    if (m_url.port(80) != 80)
        host += ':' + QByteArray::number(m_url.port());
    request.headers = {
        {"Host", host},
        {"User-Agent", "Mozilla/4.0 (compatible; ICS)"},
        {"Accept", "*/*"},
        {"Pragma", "no-cache"},
    };

    m_exchange = new HttpExchange(this);
    m_exchange->setTimeout(m_idleTimeoutMs, HttpExchange::TimeoutKind::Idle);
    m_exchange->setBodyLimit(m_bodyLimit);
    if (m_sink)
        m_exchange->setBodySink(m_sink);
    else
        m_exchange->discardBody();
    connect(m_exchange, &HttpExchange::headReceived, this, &HttpTransfer::headReceived);
    connect(m_exchange, &HttpExchange::progress, this, [this](qint64 received, qint64) {
        m_received = received;
        Q_EMIT progress(m_received, m_contentLength);
    });
    connect(m_exchange, &HttpExchange::finished, this, [this] { finish(true); });
    connect(m_exchange, &HttpExchange::failed, this, &HttpTransfer::exchangeFailed);
    if (m_proxy.isSet())
        m_exchange->start(m_proxy.host, m_proxy.port, request);
    else
        m_exchange->start(m_url.host(), static_cast<quint16>(m_url.port(80)), request);
}

void HttpTransfer::headReceived()
{
    const HttpResponseHead &head = m_exchange->head();
    m_statusCode = head.statusCode;
    m_statusText = head.statusText;
    m_contentLength = m_exchange->contentLength();
    const QByteArray location = head.value("location");

    const bool redirect = (m_statusCode == 301 || m_statusCode == 302 || m_statusCode == 303 || m_statusCode == 307 ||
                           m_statusCode == 308) &&
                          !location.isEmpty();
    if (redirect) {
        if (m_redirects >= kMaxRedirects) {
            failWith(m_statusCode, m_statusText);
            return;
        }
        ++m_redirects;
        m_url = m_url.resolved(QUrl::fromEncoded(location));
        connectToServer();
        return;
    }
    // Only a success has a body worth reading; a HEAD ends with its head.
    if (m_statusCode < 200 || m_statusCode > 299)
        finish(false);
}

void HttpTransfer::exchangeFailed()
{
    switch (m_exchange->failure()) {
    case HttpExchange::Failure::Timeout: failWith(0, QStringLiteral("Time-out")); break;
    case HttpExchange::Failure::ConnectFailed:
    case HttpExchange::Failure::ConnectionLost: failWith(0, m_exchange->errorString()); break;
    case HttpExchange::Failure::ClosedBeforeHead: failWith(0, QStringLiteral("Verbinding verbroken")); break;
    case HttpExchange::Failure::BodyIncomplete:
        // HTTP/1.0: the end of the connection ends the body. A body shorter
        // than announced is a broken transfer, never a package to install.
        m_statusText += QStringLiteral(" (onvolledig ontvangen)");
        finish(false);
        break;
    case HttpExchange::Failure::SinkWrite:
        failWith(m_statusCode, QStringLiteral("Schrijven mislukt: ") + m_exchange->errorString());
        break;
    default: failWith(0, QStringLiteral("Ongeldig antwoord")); break;
    }
}

void HttpTransfer::failWith(int code, const QString &text)
{
    if (m_finished)
        return;
    m_statusCode = code;
    m_statusText = text;
    finish(false);
}

void HttpTransfer::finish(bool succeeded)
{
    if (m_finished)
        return;
    m_finished = true;
    m_succeeded = succeeded;
    if (m_exchange) {
        m_exchange->disconnect(this);
        m_exchange->abort();
        m_exchange->deleteLater();
        m_exchange = nullptr;
    }
    Q_EMIT finished();
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
        m_transfer->disconnect(this);
    if (m_download) {
        // Ending mid-download: no package may stay behind half written.
        m_download->disconnect(this);
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

HttpTransfer *UpdateChecker::newTransfer(HttpTransfer::Method method, const QUrl &url, QIODevice *sink)
{
    auto *transfer = new HttpTransfer(method, url, sink, m_config.proxy, this);
    transfer->setIdleTimeout(m_config.idleTimeoutMs);
    return transfer;
}

namespace {

// The description and the release notes are read into memory whole; a few
// lines each are expected. Without a bound a server sending without end fills
// the temporary folder and then the memory of the service.
constexpr qint64 kMaxTextBytes = 1024 * 1024;

} // namespace

void UpdateChecker::checkForUpdate(bool interactive)
{
    m_interactive = interactive;
    m_description = {};
    m_releaseNotes.clear();
    m_tempFile = std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("AUXXXXXX")));
    m_tempFile->open();
    m_transfer = newTransfer(HttpTransfer::Method::Get, m_config.descriptionUrl, m_tempFile.get());
    m_transfer->setBodyLimit(kMaxTextBytes);
    connect(m_transfer, &HttpTransfer::finished, this, &UpdateChecker::descriptionFetched);
    m_transfer->start();
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
    HttpTransfer *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->deleteLater();
    if (transfer->succeeded()) {
        m_tempFile->seek(0);
        m_description = readUpdateDescription(m_tempFile->readAll(),
                                              descriptionSection(QFileInfo(m_config.programFilePath).fileName()));
    } else {
        addLine(m_releaseNotes, transfer->failureText());
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
    m_transfer = newTransfer(HttpTransfer::Method::Get, QUrl(m_description.readmeFileUrl), m_tempFile.get());
    m_transfer->setBodyLimit(kMaxTextBytes);
    connect(m_transfer, &HttpTransfer::finished, this, &UpdateChecker::readmeFetched);
    m_transfer->start();
}

void UpdateChecker::readmeFetched()
{
    HttpTransfer *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->deleteLater();
    if (transfer->succeeded()) {
        m_tempFile->seek(0);
        QString notes = decodeText(m_tempFile->readAll());
        notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        m_releaseNotes = notes;
    } else {
        addLine(m_releaseNotes, transfer->failureText());
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
    m_transfer = newTransfer(HttpTransfer::Method::Head, QUrl(m_description.downloadFileUrl), nullptr);
    connect(m_transfer, &HttpTransfer::finished, this, &UpdateChecker::sizeKnown);
    m_transfer->start();
}

void UpdateChecker::sizeKnown()
{
    HttpTransfer *head = m_transfer;
    head->deleteLater();
    m_transfer = nullptr;
    m_total = head->succeeded() && head->contentLength() > 0 ? head->contentLength() : 0;
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
    m_download = newTransfer(HttpTransfer::Method::Get, QUrl(m_description.downloadFileUrl), m_target.get());
    connect(m_download, &HttpTransfer::progress, this,
            [this](qint64 received, qint64) { Q_EMIT downloadProgress(received, m_total); });
    connect(m_download, &HttpTransfer::finished, this, &UpdateChecker::transferEnded);
    m_download->start();
}

void UpdateChecker::abortDownload()
{
    if (!m_download)
        return;
    m_cancelled = true;
    m_ticker.stop();
    m_download->abort();
}

void UpdateChecker::tick()
{
    if (!m_download)
        return;
    const qint64 seconds = m_started.secsTo(QDateTime::currentDateTimeUtc());
    const qint64 received = m_download->bytesReceived();
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
    HttpTransfer *download = m_download;
    m_download = nullptr;
    download->deleteLater();
    m_ticker.stop();
    bool ok = download->succeeded() && !m_cancelled;
    if (ok && download->bytesReceived() < m_total) {
        // Shorter than the size the server announced: a damaged package.
        ok = false;
        Q_EMIT downloadStatus(download->failureText() + QStringLiteral(" (onvolledig ontvangen)"));
    } else if (!ok && !m_cancelled) {
        Q_EMIT downloadStatus(download->failureText());
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
