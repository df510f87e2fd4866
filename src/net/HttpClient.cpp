#include "net/HttpClient.h"

#include <QFile>
#include <QIODevice>
#include <QPointer>
#include <QSocketNotifier>

#include <curl/curl.h>

#include <climits>
#include <cstring>
#include <mutex>

namespace velora {

static_assert(CURL_ERROR_SIZE == 256, "the error buffer in HttpClient.h");

namespace {

void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isRedirect(int status)
{
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

} // namespace

HttpClient::HttpClient(QObject *parent) : QObject(parent)
{
    initialiseOnce();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

HttpClient::~HttpClient()
{
    release();
}

void HttpClient::start(const HttpRequest &request)
{
    if (m_running)
        return;
    m_request = request;
    m_running = true;
    m_statusCode = 0;
    m_statusText.clear();
    m_headDone = false;
    m_locationSeen = false;
    m_location.clear();
    m_headBytes = 0;
    m_contentLength = -1;
    m_bodyBytes = 0;
    m_reported = 0;
    m_body.clear();
    m_failure = Failure::None;
    m_stoppedFor = Failure::None;
    m_stoppedAtHead = false;
    m_errorString.clear();
    m_errorCode = 0;
    m_errorBuffer[0] = 0;

    const QUrl &url = request.url;
    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == u"https";
    if ((scheme != u"http" && !secure) || url.host().isEmpty()) {
        // Reported from the event loop like every other end.
        QTimer::singleShot(0, this, [this] {
            if (m_running && !m_easy)
                fail(Failure::InvalidRequest, m_request.url.toString());
        });
        return;
    }

    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &HttpClient::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &HttpClient::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);

    CURL *easy = m_easy;
    curl_easy_setopt(easy, CURLOPT_URL, url.toEncoded(QUrl::RemoveFragment).constData());
    // HTTP and HTTPS only, also where a redirection points; what began
    // verified never goes on in the clear.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    // The library verifies the peer and its name by default; only the
    // authorities it trusts may be named, never the check turned off.
    const QByteArray caFile = QFile::encodeName(request.caFile);
    if (!caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpClient::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpClient::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    if (!request.target.isEmpty())
        curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, request.target.constData());
    if (request.head)
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    else if (request.method != "GET")
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
    if (request.http10)
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    if (!request.userAgent.isEmpty())
        curl_easy_setopt(easy, CURLOPT_USERAGENT, request.userAgent.constData());
    for (const QByteArray &header : request.headers)
        m_headerList = curl_slist_append(m_headerList, header.constData());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headerList);
    if (request.maxRedirects > 0) {
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(request.maxRedirects));
    }
    // An empty proxy keeps http_proxy and the like from the environment out.
    const QByteArray proxy = request.proxy.isSet() ? "http://" + QUrl::toAce(request.proxy.host) + ':' +
                                                         QByteArray::number(request.proxy.port)
                                                   : QByteArray("");
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    if (request.connectTimeoutMs > 0)
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(request.connectTimeoutMs));
    if (request.overallTimeoutMs > 0)
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(request.overallTimeoutMs));
    if (request.idleTimeoutMs > 0) {
        // The library counts this in whole seconds.
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long((request.idleTimeoutMs + 999) / 1000));
    }
    // Fails at once on an announced length beyond the limit. libcurl 7.88
    // checks nothing else against it (measured: a chunked or close-delimited
    // body of 10 MiB passes a 1 MiB limit), so onBody() counts as well.
    if (request.bodyLimit > 0)
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(request.bodyLimit));
    // The first socket and timer calls come back through the event loop.
    curl_multi_add_handle(m_multi, easy);
}

void HttpClient::abort()
{
    release();
}

int HttpClient::onSocket(CURL *, int socket, int what, void *self, void *)
{
    static_cast<HttpClient *>(self)->watch(socket, what);
    return 0;
}

int HttpClient::onTimer(CURLM *, long milliseconds, void *self)
{
    QTimer &timer = static_cast<HttpClient *>(self)->m_timer;
    // Only started here: the library must not be called from its own callback.
    // A later expiry than a QTimer holds fires early and is simply set again.
    if (milliseconds < 0)
        timer.stop();
    else
        timer.start(int(qMin<long>(milliseconds, INT_MAX)));
    return 0;
}

void HttpClient::watch(int socket, int what)
{
    auto found = m_watches.find(socket);
    if (what == CURL_POLL_REMOVE) {
        if (found != m_watches.end()) {
            // deleteLater: this may run inside one of these notifiers' signals.
            for (QSocketNotifier *notifier : {found->second.first, found->second.second}) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
            m_watches.erase(found);
        }
        return;
    }
    if (found == m_watches.end()) {
        auto *read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        auto *write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        connect(read, &QSocketNotifier::activated, this, [this, socket] { act(socket, CURL_CSELECT_IN); });
        connect(write, &QSocketNotifier::activated, this, [this, socket] { act(socket, CURL_CSELECT_OUT); });
        found = m_watches.emplace(socket, std::make_pair(read, write)).first;
    }
    found->second.first->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    found->second.second->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

void HttpClient::act(int socket, int events)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    // Signals only now, outside the library: a listener may abort or delete.
    QPointer<HttpClient> self(this);
    if (m_bodyBytes != m_reported) {
        m_reported = m_bodyBytes;
        curl_off_t length = -1;
        curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        Q_EMIT progress(m_bodyBytes, length);
        if (!self || !m_multi)
            return;
    }
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg == CURLMSG_DONE) {
            complete(message->data.result);
            return;
        }
    }
}

size_t HttpClient::onHeader(char *data, size_t size, size_t count, void *self)
{
    auto *client = static_cast<HttpClient *>(self);
    const QByteArrayView line(data, qsizetype(size * count));
    if (line.startsWith("HTTP/")) {
        if (client->m_headDone) {
            // A redirection is followed: a new answer, a new head.
            client->m_headDone = false;
            client->m_locationSeen = false;
            client->m_location.clear();
            client->m_headBytes = 0;
        }
        const QList<QByteArray> words = line.trimmed().toByteArray().split(' ');
        client->m_statusCode = words.value(1).toInt();
        client->m_statusText = QString::fromLatin1(words.mid(2).join(' '));
    }
    // The library passes the head one whole line at a time and holds up to
    // 100 KiB of one line itself (CURL_MAX_HTTP_HEADER; it has no setting for
    // the whole head), so the head is counted here, interim answers included.
    client->m_headBytes += line.size();
    if (client->m_headBytes > kMaxHeadBytes) {
        client->m_stoppedFor = Failure::TooLarge;
        return 0;
    }
    if (line.size() >= 9 && QByteArrayView(line.first(9)).compare("location:", Qt::CaseInsensitive) == 0) {
        client->m_locationSeen = true;
        client->m_location = line.sliced(9).trimmed().toByteArray();
    }
    if (line.trimmed().isEmpty()) {
        const int status = client->m_statusCode;
        if (status >= 100 && status < 200)
            return line.size();
        client->m_headDone = true;
        const bool followed = client->m_request.maxRedirects > 0 && isRedirect(status) && client->m_locationSeen;
        // Not CURLOPT_FAILONERROR: that stops at 400 and above only, while a
        // 3xx answer that is not followed is no package either.
        if (client->m_request.bodyOnlyOnSuccess && !followed && (status < 200 || status > 299)) {
            client->m_stoppedAtHead = true;
            return 0;
        }
    }
    return line.size();
}

size_t HttpClient::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *client = static_cast<HttpClient *>(self);
    const qint64 bytes = qint64(size * count);
    if (client->m_request.bodyOnlyOnSuccess && (client->m_statusCode < 200 || client->m_statusCode > 299))
        return size * count; // a redirection's own body
    if (client->m_request.bodyLimit > 0 && client->m_bodyBytes + bytes > client->m_request.bodyLimit) {
        client->m_stoppedFor = Failure::TooLarge;
        return 0;
    }
    if (client->m_sink) {
        if (client->m_sink->write(data, bytes) != bytes) {
            client->m_stoppedFor = Failure::SinkWrite;
            client->m_errorString = client->m_sink->errorString();
            return 0;
        }
    } else if (!client->m_discard) {
        client->m_body.append(data, bytes);
    }
    client->m_bodyBytes += bytes;
    return size * count;
}

void HttpClient::complete(int code)
{
    curl_off_t length = -1;
    curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    m_contentLength = length;
    m_errorCode = code;
    const QString libraryText =
        QString::fromLocal8Bit(m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(CURLcode(code)));
    long osError = 0;
    curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osError);
    // The system's text ("Connection refused"), as the log showed it before,
    // rather than the library's longer sentence around it.
    const QString systemText = osError != 0 ? QString::fromLocal8Bit(std::strerror(int(osError))) : libraryText;

    Failure failure = Failure::BadResponse;
    QString text = libraryText;
    if (m_stoppedAtHead) {
        failure = Failure::None;
    } else if (m_stoppedFor != Failure::None) {
        failure = m_stoppedFor;
        text = m_errorString;
    } else {
        switch (code) {
        case CURLE_OK:
            // Measured: libcurl 7.88 ends a head cut off by the server's
            // close without an error, the blank line never seen.
            failure = m_headDone ? Failure::None : Failure::ClosedBeforeHead;
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            failure = Failure::ConnectFailed;
            text = QStringLiteral("Host not found");
            break;
        case CURLE_COULDNT_CONNECT:
            failure = Failure::ConnectFailed;
            text = systemText;
            break;
        case CURLE_SSL_CONNECT_ERROR:
            // No secure connection came about (the peer speaks no TLS, or
            // none that both sides share): the library's text says which.
            failure = Failure::ConnectFailed;
            break;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            failure = Failure::ConnectionLost;
            text = systemText;
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE: failure = Failure::Untrusted; break;
        case CURLE_OPERATION_TIMEDOUT: failure = Failure::Timeout; break;
        case CURLE_FILESIZE_EXCEEDED: failure = Failure::TooLarge; break;
        case CURLE_TOO_MANY_REDIRECTS: failure = Failure::TooManyRedirects; break;
        case CURLE_GOT_NOTHING: failure = Failure::ClosedBeforeHead; break;
        case CURLE_PARTIAL_FILE: failure = m_headDone ? Failure::BodyIncomplete : Failure::ClosedBeforeHead; break;
        case CURLE_UNSUPPORTED_PROTOCOL: {
            // A redirection to another scheme names the address it refused.
            // While redirections are followed the library keeps no record
            // of it, but such an address is never relative: the head's
            // Location is it.
            char *target = nullptr;
            curl_easy_getinfo(m_easy, CURLINFO_REDIRECT_URL, &target);
            if (target) {
                failure = Failure::InvalidRequest;
                text = QString::fromUtf8(target);
            } else if (m_locationSeen && !m_location.isEmpty()) {
                failure = Failure::InvalidRequest;
                text = QString::fromUtf8(m_location);
            }
            break;
        }
        default: break;
        }
    }
    fail(failure, failure == Failure::None ? QString() : text);
}

void HttpClient::fail(Failure failure, const QString &errorString)
{
    release();
    m_failure = failure;
    m_errorString = errorString;
    Q_EMIT finished();
}

void HttpClient::release()
{
    m_running = false;
    if (m_multi) {
        // Both may still call onSocket() and onTimer(), which is why the
        // watches and the timer are cleared after them.
        curl_multi_remove_handle(m_multi, m_easy);
        curl_easy_cleanup(m_easy);
        curl_multi_cleanup(m_multi);
        m_easy = nullptr;
        m_multi = nullptr;
    }
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    for (auto &[socket, notifiers] : m_watches) {
        for (QSocketNotifier *notifier : {notifiers.first, notifiers.second}) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_watches.clear();
    m_timer.stop();
}

} // namespace velora
