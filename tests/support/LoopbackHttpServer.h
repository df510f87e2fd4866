#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

namespace velora::test {

// A fixed answer for one request target, as a file server gives it.
struct HttpAnswer {
    QByteArray status = "200 OK";
    QList<QByteArray> headers; // "Name: value"
    QByteArray body;
    bool sendLength = true;      // Content-Length header
    qint64 announcedLength = -1; // a length other than the body's
    qint64 stallAfter = -1;      // send this many body bytes, then keep the connection open silently
};

// A small HTTP server on 127.0.0.1 for tests: it records every request exactly
// as it arrived (the raw request line included) and answers with whatever
// bytes the test gives, so malformed, truncated, huge or missing answers can
// be played as easily as good ones. Runs on the test's own event loop.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray raw;         // everything received for this request
        QByteArray requestLine; // first line without CR LF
        QByteArray method;
        QByteArray target; // the request target as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // First header of that name (case-insensitive); empty when absent.
        QByteArray header(const QByteArray &name) const;
    };
    // Raw bytes to send back; an empty result sends nothing and keeps the
    // connection open (a server that never answers).
    using Responder = std::function<QByteArray(const Request &)>;

    explicit LoopbackHttpServer(QObject *parent = nullptr);

    // Listens on 127.0.0.1 at a free port; false when that fails.
    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    QString host() const { return QStringLiteral("127.0.0.1"); }

    void setResponder(Responder responder) { m_responder = std::move(responder); }
    // The same raw answer for every request.
    void respondWith(const QByteArray &raw);
    // Accept and read, never answer.
    void respondNever();
    // Close the connection after the answer is written (default true).
    void setCloseAfterResponse(bool close) { m_closeAfterResponse = close; }

    const QList<Request> &requests() const { return m_requests; }

    // From now on fixed answers by request target instead of the responder
    // (HTTP/1.0, nothing but the head for HEAD); a target without one gets a 404.
    void answerByTarget() { m_byTarget = true; }
    void answer(const QString &target, HttpAnswer answer)
    {
        m_byTarget = true;
        m_answers[target] = std::move(answer);
    }
    QUrl url(const QString &path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path)); }
    // Sends the rest of every stalled answer and ends it.
    void releaseStalled();
    int openConnections() const;

    // A complete response with Content-Length.
    static QByteArray response(int status, const QByteArray &body,
                               const QByteArray &contentType = "text/xml; charset=UTF-8",
                               const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});

Q_SIGNALS:
    void requestReceived();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    // Writes the fixed answer for the request; false while it stalls.
    bool writeAnswer(QTcpSocket *socket, const Request &request);

    QTcpServer m_server;
    Responder m_responder;
    bool m_closeAfterResponse = true;
    QList<Request> m_requests;
    bool m_byTarget = false;
    QMap<QString, HttpAnswer> m_answers;
    QList<QPointer<QTcpSocket>> m_sockets;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> m_stalled;
};

} // namespace velora::test
