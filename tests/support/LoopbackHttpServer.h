#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

namespace velora::test {

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

    // A complete response with Content-Length.
    static QByteArray response(int status, const QByteArray &body,
                               const QByteArray &contentType = "text/xml; charset=UTF-8",
                               const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});

Q_SIGNALS:
    void requestReceived();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    QTcpServer m_server;
    Responder m_responder;
    bool m_closeAfterResponse = true;
    QList<Request> m_requests;
};

} // namespace velora::test
