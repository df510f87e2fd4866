#include "update/UpdateTransfer.h"

#include <QDir>
#include <QTemporaryFile>

namespace velora {

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
    case Failure::Untrusted:
        // Said as such: an operator must not take it for a server that is
        // merely down, nor for "no new version".
        text = QStringLiteral("Certificaat van de server niet vertrouwd (") + transfer.errorString() + u')';
        break;
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

HttpClient *UpdateConnection::start(const QUrl &url, bool head, QIODevice *sink, qint64 bodyLimit,
                                    QObject *parent) const
{
    auto *transfer = new HttpClient(parent);
    if (sink)
        transfer->setBodySink(sink);
    else
        transfer->discardBody();
    HttpRequest request = updateRequest(url, head, proxy, idleTimeoutMs);
    request.bodyLimit = bodyLimit;
    request.caFile = caFile;
    transfer->start(request);
    return transfer;
}

UpdateTextFetch::UpdateTextFetch(const UpdateConnection &connection, const QUrl &url, QObject *parent)
    : QObject(parent), m_file(std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("AUXXXXXX"))))
{
    m_file->open();
    m_transfer = connection.start(url, false, m_file.get(), kMaxTextBytes, this);
    connect(m_transfer, &HttpClient::finished, this, &UpdateTextFetch::transferred);
}

// The transfer is a child: it ends with this.
UpdateTextFetch::~UpdateTextFetch() = default;

void UpdateTextFetch::transferred()
{
    HttpClient *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->deleteLater();
    m_succeeded = transferSucceeded(*transfer);
    if (m_succeeded) {
        m_file->seek(0);
        m_text = m_file->readAll();
    } else {
        m_failureText = transferFailureText(*transfer);
        m_untrusted = transfer->failure() == HttpClient::Failure::Untrusted;
    }
    m_file.reset();
    Q_EMIT finished();
}

} // namespace velora
