#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <map>

class QIODevice;
class QSocketNotifier;
// libcurl's handle types, as its header declares them; the header itself
// stays out of every file that uses this one.
typedef void CURL;
typedef void CURLM;
struct curl_slist;

namespace velora {

struct HttpProxy {
    QString host;
    quint16 port = 80;
    bool isSet() const { return !host.isEmpty(); }
};

// What one transfer asks for. Everything not said here is the library's
// default, except that no proxy is taken from the environment: a transfer
// goes through the proxy named here or through none.
struct HttpRequest {
    QUrl url; // http or https; anything else fails as InvalidRequest
    // Sent instead of the URL's path and query, byte for byte. The URL then
    // only names scheme, host and port.
    QByteArray target;
    QByteArray method = "GET";
    bool head = false;         // HEAD, whatever method says
    bool http10 = false;       // otherwise the library's default version
    QByteArray userAgent;      // none sent when empty
    QList<QByteArray> headers; // "Name: value"; "Name:" removes one the library would send
    int maxRedirects = 0;      // 0: a redirection is the answer
    HttpProxy proxy;
    int connectTimeoutMs = 0;    // 0: the library's own (300 s)
    qint64 overallTimeoutMs = 0; // from start to end; 0: none
    int idleTimeoutMs = 0;       // less than one byte a second for this long; 0: none
    qint64 bodyLimit = 0;        // 0: none
    // A final answer outside 2xx ends the transfer with its head: a body
    // nobody will use is not read.
    bool bodyOnlyOnSuccess = false;
    // https: the server's certificate is always verified, name included. By
    // default against the system's store of authorities; a PEM file named
    // here is trusted instead (a private authority, a test's own).
    QString caFile;
};

// One HTTP transfer on the event loop: libcurl's multi interface, its sockets
// watched by QSocketNotifiers and its time-outs by a QTimer, so that nothing
// ever waits on the thread that runs it. finished() comes once per start(),
// always from the event loop (never from inside start() or abort()), and not
// at all after abort().
class HttpClient : public QObject {
    Q_OBJECT
public:
    enum class Failure {
        None,             // a whole answer came (any status; see statusCode())
        InvalidRequest,   // not an http or https URL, or no host
        Untrusted,        // https: the server's certificate did not verify (errorString() says why)
        ConnectFailed,    // no connection came about (errorString() says why)
        ConnectionLost,   // the connection broke after it was made
        Timeout,          // connect, overall or idle time-out
        BadResponse,      // not an HTTP answer, or one that cannot be read
        ClosedBeforeHead, // the server closed before the head was complete
        BodyIncomplete,   // closed before the announced length or the last chunk
        TooLarge,         // head beyond 64 KiB, or body beyond its limit
        SinkWrite,        // the body could not be written (errorString() says why)
        TooManyRedirects  // statusCode() and statusText() are the last redirection's
    };
    // Head bytes of one answer, interim answers (1xx) included.
    static constexpr qint64 kMaxHeadBytes = 64 * 1024;

    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // The body goes to sink as it arrives instead of into body().
    void setBodySink(QIODevice *sink) { m_sink = sink; }
    // The body is counted but kept nowhere.
    void discardBody() { m_discard = true; }

    void start(const HttpRequest &request);
    // Ends the transfer at once, without a signal.
    void abort();

    bool isRunning() const { return m_running; }
    bool hasHead() const { return m_statusCode != 0; }
    int statusCode() const { return m_statusCode; }
    const QString &statusText() const { return m_statusText; }
    // The final answer's Content-Length (also for HEAD); -1 when none.
    qint64 contentLength() const { return m_contentLength; }
    qint64 bodyBytes() const { return m_bodyBytes; }
    const QByteArray &body() const { return m_body; }
    Failure failure() const { return m_failure; }
    const QString &errorString() const { return m_errorString; }
    // The library's code for the failure, for logs.
    int errorCode() const { return m_errorCode; }

Q_SIGNALS:
    // After each piece of the body: bytes so far and the announced length (-1: none).
    void progress(qint64 received, qint64 total);
    void finished();

private:
    static int onSocket(CURL *easy, int socket, int what, void *self, void *);
    static int onTimer(CURLM *multi, long milliseconds, void *self);
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    void watch(int socket, int what);
    void act(int socket, int events);
    void complete(int code);
    void fail(Failure failure, const QString &errorString = QString());
    void release();

    QTimer m_timer;
    CURLM *m_multi = nullptr;
    CURL *m_easy = nullptr;
    curl_slist *m_headerList = nullptr;
    std::map<int, std::pair<QSocketNotifier *, QSocketNotifier *>> m_watches; // socket: read, write
    char m_errorBuffer[256] = {};                                             // CURL_ERROR_SIZE

    QIODevice *m_sink = nullptr;
    bool m_discard = false;
    HttpRequest m_request;
    bool m_running = false;
    int m_statusCode = 0;
    QString m_statusText;
    bool m_headDone = false; // the final answer's head is complete
    bool m_locationSeen = false;
    QByteArray m_location; // the current head's Location, as sent
    qint64 m_headBytes = 0;
    qint64 m_contentLength = -1;
    qint64 m_bodyBytes = 0;
    qint64 m_reported = 0;
    QByteArray m_body;
    Failure m_failure = Failure::None;
    Failure m_stoppedFor = Failure::None; // why a callback ended the transfer
    bool m_stoppedAtHead = false;
    QString m_errorString;
    int m_errorCode = 0;
};

} // namespace velora
