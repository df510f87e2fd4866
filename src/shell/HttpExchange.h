#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

class QIODevice;

namespace velora {

// The head of an HTTP/1.x response.
struct HttpResponseHead {
    int statusCode = 0; // 0 when the status line names no number
    QString statusText;
    QList<QPair<QByteArray, QByteArray>> headers; // names as sent, values trimmed, folded lines joined

    // The first value of that header, the name compared without letter case;
    // empty when absent.
    QByteArray value(QByteArrayView name) const;
    QList<QByteArray> values(QByteArrayView name) const;
};

// Reads the lines before the blank line of a response. Nothing when the first
// line is not an HTTP status line.
std::optional<HttpResponseHead> parseResponseHead(const QByteArray &head);

// One HTTP/1.x request over its own connection, and its response: the head
// parsed, the body delimited by Content-Length, chunked encoding or the end of
// the connection. Policy (redirections, proxies, what a status means, how long
// to wait) stays with the caller. Everything runs on the event loop.
//
// Exactly one of finished() and failed() is emitted, never from inside
// start(), and nothing at all after abort().
class HttpExchange : public QObject {
    Q_OBJECT
public:
    enum class Failure {
        None,
        InvalidRequest,   // a line break or blank in the request target, a line break in a header
        ConnectFailed,    // no connection came about (errorString() says why)
        ConnectionLost,   // a socket error after the connection was made
        Timeout,          // see setTimeout
        BadResponse,      // not an HTTP response, or a body framing that cannot be read
        ClosedBeforeHead, // the server closed before the head was complete
        BodyIncomplete,   // closed before the announced length or the last chunk
        TooLarge,         // head or body beyond its limit
        SinkWrite         // the body could not be written (errorString() says why)
    };
    enum class TimeoutKind {
        Overall, // from start() to the end
        Idle     // restarted whenever data arrives
    };
    struct Request {
        QByteArray method = "GET";
        QByteArray target = "/"; // sent exactly as given
        QByteArray version = "HTTP/1.1";
        QList<QPair<QByteArray, QByteArray>> headers; // sent in this order, "Name: value"
    };

    explicit HttpExchange(QObject *parent = nullptr);
    ~HttpExchange() override;

    // 0 (the default) waits for good.
    void setTimeout(int milliseconds, TimeoutKind kind);
    // Body bytes beyond this fail the exchange; 0 (the default) sets no limit.
    void setBodyLimit(qint64 bytes) { m_bodyLimit = bytes; }
    // The body goes to sink as it arrives instead of into body().
    void setBodySink(QIODevice *sink) { m_sink = sink; }
    // The body is counted but kept nowhere.
    void discardBody() { m_discard = true; }

    void start(const QString &host, quint16 port, const Request &request);
    // Ends the exchange at once without a signal; safe from inside any of its signals.
    void abort();

    bool isRunning() const { return m_state != State::Idle && m_state != State::Done; }
    bool hasHead() const { return m_head.has_value(); }
    const HttpResponseHead &head() const;
    // The Content-Length the server announced (also for HEAD); -1 when none
    // or when the body is chunked.
    qint64 contentLength() const { return m_contentLength; }
    qint64 bodyBytes() const { return m_bodyBytes; }
    const QByteArray &body() const { return m_body; }

    Failure failure() const { return m_failure; }
    // The socket's or the sink's own description for ConnectFailed,
    // ConnectionLost and SinkWrite.
    const QString &errorString() const { return m_errorString; }
    QAbstractSocket::SocketError socketError() const { return m_socketError; }

Q_SIGNALS:
    // The head is in; head() holds it. A caller that wants no body calls abort().
    void headReceived();
    // Once when the body starts (0 received), then after each piece.
    void progress(qint64 received, qint64 total);
    void finished();
    void failed();

private:
    enum class State {
        Idle,
        Connecting,
        Head,
        Body,
        Done
    };
    enum class Framing {
        None,
        Length,
        Chunked,
        UntilClose
    };

    void onConnected();
    void onReadyRead();
    void onClosed();
    void onSocketError(QAbstractSocket::SocketError error);
    void process();
    bool readHead();
    bool readBody();
    bool readChunks();
    bool deliver(QByteArrayView bytes);
    void succeed();
    void fail(Failure failure, const QString &errorString = QString());
    void end();

    QTcpSocket m_socket;
    QTimer m_timer;
    TimeoutKind m_timeoutKind = TimeoutKind::Overall;
    int m_timeoutMs = 0;
    qint64 m_bodyLimit = 0;
    QIODevice *m_sink = nullptr;
    bool m_discard = false;

    State m_state = State::Idle;
    QByteArray m_request;
    bool m_headRequest = false;
    QByteArray m_buffer;
    std::optional<HttpResponseHead> m_head;
    qsizetype m_interimHeadBytes = 0; // heads of 1xx answers already skipped
    Framing m_framing = Framing::None;
    qint64 m_contentLength = -1;
    qint64 m_chunkLeft = -1; // bytes of the current chunk still to come; -1: a size line is next
    bool m_chunkDataEnd = false;
    qint64 m_bodyBytes = 0;
    QByteArray m_body;

    Failure m_failure = Failure::None;
    QString m_errorString;
    QAbstractSocket::SocketError m_socketError = QAbstractSocket::UnknownSocketError;
};

} // namespace velora
