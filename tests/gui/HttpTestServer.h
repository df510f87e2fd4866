#pragma once

// A small HTTP server on loopback for the update tests: fixed answers per
// path, every request recorded as it arrived.

#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace velora::test {

struct HttpAnswer {
    QByteArray status = "200 OK";
    QList<QByteArray> headers; // "Name: value"
    QByteArray body;
    bool sendLength = true;      // Content-Length header
    qint64 announcedLength = -1; // a length other than the body's
    qint64 stallAfter = -1;      // send this many body bytes, then keep the connection open silently
};

class HttpTestServer : public QObject {
public:
    HttpTestServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
    }

    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    void answer(const QString &path, HttpAnswer answer) { m_answers[path] = std::move(answer); }
    const QList<QByteArray> &requests() const { return m_requests; }
    // Sends the rest of every stalled answer and ends it.
    void releaseStalled()
    {
        for (const auto &[socket, rest] : m_stalled) {
            if (socket) {
                socket->write(rest);
                socket->disconnectFromHost();
            }
        }
        m_stalled.clear();
    }
    int openConnections() const
    {
        int open = 0;
        for (const auto &socket : m_sockets)
            open += socket && socket->state() == QAbstractSocket::ConnectedState;
        return open;
    }

private:
    void serve(QTcpSocket *socket)
    {
        socket->setParent(this);
        m_sockets << socket;
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            if (!buffer->contains("\r\n\r\n"))
                return;
            m_requests << *buffer;
            const QList<QByteArray> words = buffer->left(buffer->indexOf("\r\n")).split(' ');
            const QString path = QString::fromLatin1(words.value(1));
            buffer->clear();
            HttpAnswer answer = m_answers.value(path, HttpAnswer{"404 Not Found", {}, "niet gevonden"});
            QByteArray head = "HTTP/1.0 " + answer.status + "\r\n";
            for (const QByteArray &header : answer.headers)
                head += header + "\r\n";
            if (answer.sendLength)
                head += "Content-Length: " +
                        QByteArray::number(answer.announcedLength >= 0 ? answer.announcedLength : answer.body.size()) +
                        "\r\n";
            socket->write(head + "\r\n");
            if (words.value(0) != "HEAD") {
                if (answer.stallAfter >= 0) {
                    socket->write(answer.body.left(answer.stallAfter));
                    m_stalled.append({QPointer<QTcpSocket>(socket), answer.body.mid(answer.stallAfter)});
                    return;
                }
                socket->write(answer.body);
            }
            socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
    QMap<QString, HttpAnswer> m_answers;
    QList<QByteArray> m_requests;
    QList<QPointer<QTcpSocket>> m_sockets;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> m_stalled;
};

} // namespace velora::test
