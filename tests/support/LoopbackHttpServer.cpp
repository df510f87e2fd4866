#include "support/LoopbackHttpServer.h"

#include <QTcpSocket>

namespace velora::test {

QByteArray LoopbackHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &entry : headers)
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    return QByteArray();
}

LoopbackHttpServer::LoopbackHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackHttpServer::onNewConnection);
    respondWith(response(200, QByteArray()));
}

bool LoopbackHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void LoopbackHttpServer::respondWith(const QByteArray &raw)
{
    m_responder = [raw](const Request &) { return raw; };
}

void LoopbackHttpServer::respondNever()
{
    m_responder = [](const Request &) { return QByteArray(); };
}

QByteArray LoopbackHttpServer::response(int status, const QByteArray &body, const QByteArray &contentType,
                                        const QList<QPair<QByteArray, QByteArray>> &extraHeaders)
{
    QByteArray raw = "HTTP/1.1 " + QByteArray::number(status) + (status < 400 ? " OK" : " Error") + "\r\n";
    raw += "Content-Type: " + contentType + "\r\n";
    raw += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto &header : extraHeaders)
        raw += header.first + ": " + header.second + "\r\n";
    raw += "Connection: close\r\n\r\n";
    return raw + body;
}

void LoopbackHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_sockets << socket;
        socket->setProperty("buffer", QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LoopbackHttpServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            break;
        Request request;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        request.requestLine = lines.value(0);
        if (request.requestLine.endsWith('\r'))
            request.requestLine.chop(1);
        const QList<QByteArray> parts = request.requestLine.split(' ');
        request.method = parts.value(0);
        request.target = parts.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        const qsizetype length = request.header("Content-Length").toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            break;
        request.body = buffer.mid(headEnd + 4, length);
        request.raw = buffer.left(headEnd + 4 + length);
        buffer.remove(0, headEnd + 4 + length);
        m_requests.append(request);
        Q_EMIT requestReceived();
        if (m_byTarget) {
            if (writeAnswer(socket, request))
                socket->disconnectFromHost();
            break;
        }
        const QByteArray answer = m_responder ? m_responder(request) : QByteArray();
        if (!answer.isEmpty()) {
            socket->write(answer);
            if (m_closeAfterResponse) {
                socket->disconnectFromHost();
                break;
            }
        }
    }
    socket->setProperty("buffer", buffer);
}

bool LoopbackHttpServer::writeAnswer(QTcpSocket *socket, const Request &request)
{
    const HttpAnswer answer =
        m_answers.value(QString::fromLatin1(request.target), HttpAnswer{"404 Not Found", {}, "niet gevonden"});
    QByteArray head = "HTTP/1.0 " + answer.status + "\r\n";
    for (const QByteArray &header : answer.headers)
        head += header + "\r\n";
    if (answer.sendLength)
        head += "Content-Length: " +
                QByteArray::number(answer.announcedLength >= 0 ? answer.announcedLength : answer.body.size()) + "\r\n";
    socket->write(head + "\r\n");
    if (request.method == "HEAD")
        return true;
    if (answer.stallAfter >= 0) {
        socket->write(answer.body.left(answer.stallAfter));
        m_stalled.append({QPointer<QTcpSocket>(socket), answer.body.mid(answer.stallAfter)});
        return false;
    }
    socket->write(answer.body);
    return true;
}

void LoopbackHttpServer::releaseStalled()
{
    for (const auto &[socket, rest] : m_stalled) {
        if (socket) {
            socket->write(rest);
            socket->disconnectFromHost();
        }
    }
    m_stalled.clear();
}

int LoopbackHttpServer::openConnections() const
{
    int open = 0;
    for (const auto &socket : m_sockets)
        open += socket && socket->state() == QAbstractSocket::ConnectedState;
    return open;
}

} // namespace velora::test
