#include "shell/HttpExchange.h"

#include <QIODevice>
#include <QPointer>
#include <QScopeGuard>

namespace velora {

namespace {

// A head this long without its blank line is not a head any server means.
constexpr qsizetype kMaxHeadBytes = 64 * 1024;
// A chunk-size line is a few hex digits; extensions beyond this are refused
// rather than buffered without end.
constexpr qsizetype kMaxChunkLineBytes = 4096;

bool sameName(QByteArrayView a, QByteArrayView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Strict hexadecimal: no sign, no "0x", no blanks; small enough for qint64.
std::optional<qint64> chunkSize(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 15)
        return std::nullopt;
    qint64 size = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        size = size * 16 + digit;
    }
    return size;
}

// Content-Length must be digits only; several headers must agree, or the
// body's end is ambiguous and nothing read from it can be trusted.
std::optional<qint64> announcedLength(const QList<QByteArray> &values)
{
    qint64 length = -1;
    for (const QByteArray &value : values) {
        bool ok = false;
        const qint64 one = value.toLongLong(&ok);
        if (!ok || one < 0 || value.startsWith('+') || (length >= 0 && one != length))
            return std::nullopt;
        length = one;
    }
    return length;
}

bool breaksLine(QByteArrayView text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

} // namespace

QByteArray HttpResponseHead::value(QByteArrayView name) const
{
    for (const auto &header : headers)
        if (sameName(header.first, name))
            return header.second;
    return QByteArray();
}

QList<QByteArray> HttpResponseHead::values(QByteArrayView name) const
{
    QList<QByteArray> found;
    for (const auto &header : headers)
        if (sameName(header.first, name))
            found << header.second;
    return found;
}

std::optional<HttpResponseHead> parseResponseHead(const QByteArray &head)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QByteArray statusLine = lines.value(0).trimmed();
    if (!statusLine.startsWith("HTTP/"))
        return std::nullopt;
    HttpResponseHead parsed;
    const qsizetype firstBlank = statusLine.indexOf(' ');
    const qsizetype secondBlank = firstBlank < 0 ? -1 : statusLine.indexOf(' ', firstBlank + 1);
    if (firstBlank >= 0)
        parsed.statusCode = statusLine.mid(firstBlank + 1, secondBlank < 0 ? -1 : secondBlank - firstBlank - 1).toInt();
    if (secondBlank >= 0)
        parsed.statusText = QString::fromLatin1(statusLine.mid(secondBlank + 1));

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        // Old servers continue a long value on the next line, indented.
        if ((line.startsWith(' ') || line.startsWith('\t')) && !parsed.headers.isEmpty()) {
            const QByteArray more = line.trimmed();
            QByteArray &value = parsed.headers.last().second;
            if (!more.isEmpty())
                value += (value.isEmpty() ? QByteArray() : QByteArray(" ")) + more;
            continue;
        }
        // Lines without a name are noise, not a reason to refuse the answer.
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        if (name.isEmpty())
            continue;
        parsed.headers.append({name, line.mid(colon + 1).trimmed()});
    }
    return parsed;
}

HttpExchange::HttpExchange(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { fail(Failure::Timeout); });
    connect(&m_socket, &QTcpSocket::connected, this, &HttpExchange::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &HttpExchange::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, &HttpExchange::onClosed);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &HttpExchange::onSocketError);
}

HttpExchange::~HttpExchange()
{
    QObject::disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

void HttpExchange::setTimeout(int milliseconds, TimeoutKind kind)
{
    m_timeoutMs = milliseconds;
    m_timeoutKind = kind;
}

const HttpResponseHead &HttpExchange::head() const
{
    static const HttpResponseHead none;
    return m_head ? *m_head : none;
}

void HttpExchange::start(const QString &host, quint16 port, const Request &request)
{
    if (m_state != State::Idle)
        return;
    m_state = State::Connecting;
    m_headRequest = request.method == "HEAD";
    m_request = request.method + ' ' + request.target + ' ' + request.version + "\r\n";
    bool valid = !request.method.isEmpty() && !request.target.isEmpty() && !breaksLine(request.method) &&
                 !breaksLine(request.target) && !request.target.contains(' ');
    for (const auto &header : request.headers) {
        valid = valid && !breaksLine(header.first) && !breaksLine(header.second) && !header.first.contains(':');
        m_request += header.first + ": " + header.second + "\r\n";
    }
    m_request += "\r\n";
    if (!valid) {
        // A line break from outside would end the line early and let the rest
        // pass for a header or a second request: nothing is sent.
        QTimer::singleShot(0, this, [this] {
            if (m_state == State::Connecting)
                fail(Failure::InvalidRequest);
        });
        return;
    }
    if (m_timeoutMs > 0)
        m_timer.start(m_timeoutMs);
    // Errors the socket finds at once are reported from the event loop, so
    // that the caller never sees the end before start() returned.
    QTimer::singleShot(0, this, [this, host, port] {
        if (m_state == State::Connecting)
            m_socket.connectToHost(host, port);
    });
}

void HttpExchange::abort()
{
    if (m_state == State::Done)
        return;
    end();
}

void HttpExchange::onConnected()
{
    if (m_state != State::Connecting)
        return;
    m_state = State::Head;
    m_socket.write(m_request);
}

void HttpExchange::onReadyRead()
{
    if (!isRunning())
        return;
    if (m_timeoutMs > 0 && m_timeoutKind == TimeoutKind::Idle)
        m_timer.start(m_timeoutMs);
    m_buffer += m_socket.readAll();
    process();
}

void HttpExchange::onClosed()
{
    if (!isRunning())
        return;
    if (m_socket.bytesAvailable() > 0) {
        m_buffer += m_socket.readAll();
        process();
        if (!isRunning())
            return;
    }
    if (m_state == State::Connecting || m_state == State::Head)
        fail(Failure::ClosedBeforeHead);
    else if (m_framing == Framing::UntilClose)
        succeed();
    else
        fail(Failure::BodyIncomplete);
}

void HttpExchange::onSocketError(QAbstractSocket::SocketError error)
{
    if (!isRunning())
        return;
    // The server closing is how a close-delimited body ends; disconnected()
    // may or may not follow, so it is handled here as well.
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
        return;
    }
    m_socketError = error;
    fail(m_state == State::Connecting ? Failure::ConnectFailed : Failure::ConnectionLost, m_socket.errorString());
}

void HttpExchange::process()
{
    if (m_state == State::Head && !readHead())
        return;
    if (m_state == State::Body)
        readBody();
}

// True when the body follows; false while the head is incomplete or when the
// exchange ended with the head.
bool HttpExchange::readHead()
{
    for (;;) {
        qsizetype headLength = -1;
        qsizetype bodyStart = -1;
        for (qsizetype lineStart = 0;;) {
            const qsizetype lineEnd = m_buffer.indexOf('\n', lineStart);
            if (lineEnd < 0)
                break;
            const qsizetype length = lineEnd - lineStart;
            if (length == 0 || (length == 1 && m_buffer.at(lineStart) == '\r')) {
                headLength = lineStart;
                bodyStart = lineEnd + 1;
                break;
            }
            lineStart = lineEnd + 1;
        }
        // Interim heads count towards the limit: a server that sends them
        // without end would otherwise keep the exchange busy for good, and
        // every data arrival restarts an idle time-out.
        if (headLength < 0) {
            if (m_interimHeadBytes + m_buffer.size() > kMaxHeadBytes)
                fail(Failure::TooLarge);
            return false;
        }
        if (m_interimHeadBytes + headLength > kMaxHeadBytes) {
            fail(Failure::TooLarge);
            return false;
        }
        std::optional<HttpResponseHead> parsed = parseResponseHead(m_buffer.left(headLength));
        if (!parsed) {
            fail(Failure::BadResponse);
            return false;
        }
        m_buffer.remove(0, bodyStart);
        // Interim answers (100 Continue, 103 Early Hints) precede the real one.
        if (parsed->statusCode >= 100 && parsed->statusCode < 200) {
            m_interimHeadBytes += bodyStart;
            continue;
        }
        m_head = std::move(parsed);
        break;
    }

    const int status = m_head->statusCode;
    const bool noBody = m_headRequest || status == 204 || status == 304;
    const std::optional<qint64> length = announcedLength(m_head->values("content-length"));
    if (m_head->value("transfer-encoding").toLower().contains("chunked")) {
        m_framing = Framing::Chunked;
    } else if (!length) {
        // An unreadable length only matters where it would delimit a body.
        if (!noBody) {
            fail(Failure::BadResponse);
            return false;
        }
    } else {
        m_contentLength = *length;
        m_framing = *length >= 0 ? Framing::Length : Framing::UntilClose;
    }
    if (noBody)
        m_framing = Framing::None;

    QPointer<HttpExchange> self(this);
    Q_EMIT headReceived();
    if (!self || !isRunning())
        return false;
    if (m_framing == Framing::None) {
        succeed();
        return false;
    }
    if (m_framing == Framing::Length && m_bodyLimit > 0 && m_contentLength > m_bodyLimit) {
        fail(Failure::TooLarge);
        return false;
    }
    m_state = State::Body;
    Q_EMIT progress(0, m_contentLength);
    return self && isRunning();
}

bool HttpExchange::readBody()
{
    const qint64 before = m_bodyBytes;
    bool complete = false;
    switch (m_framing) {
    case Framing::Length: {
        // Whatever follows the announced length is not part of this body.
        const qint64 take = qMin<qint64>(m_buffer.size(), m_contentLength - m_bodyBytes);
        if (!deliver(QByteArrayView(m_buffer).first(take)))
            return false;
        m_buffer.clear();
        complete = m_bodyBytes == m_contentLength;
        break;
    }
    case Framing::UntilClose:
        if (!deliver(m_buffer))
            return false;
        m_buffer.clear();
        break;
    case Framing::Chunked:
        complete = readChunks();
        if (!isRunning())
            return false;
        break;
    case Framing::None: break;
    }
    if (m_bodyBytes != before) {
        QPointer<HttpExchange> self(this);
        Q_EMIT progress(m_bodyBytes, m_contentLength);
        if (!self || !isRunning())
            return false;
    }
    if (complete)
        succeed();
    return complete;
}

// True once the last chunk has been seen. Trailers after it are not read: the
// body is complete and the connection is not used again.
bool HttpExchange::readChunks()
{
    qsizetype at = 0;
    auto consumed = qScopeGuard([&] { m_buffer.remove(0, at); });
    for (;;) {
        if (m_chunkDataEnd) {
            if (m_buffer.size() - at < 2)
                return false;
            if (m_buffer.at(at) != '\r' || m_buffer.at(at + 1) != '\n') {
                fail(Failure::BadResponse);
                return false;
            }
            at += 2;
            m_chunkDataEnd = false;
            m_chunkLeft = -1;
        }
        if (m_chunkLeft < 0) {
            const qsizetype lineEnd = m_buffer.indexOf("\r\n", at);
            if (lineEnd < 0) {
                if (m_buffer.size() - at > kMaxChunkLineBytes)
                    fail(Failure::BadResponse);
                return false;
            }
            QByteArrayView line = QByteArrayView(m_buffer).sliced(at, lineEnd - at);
            const qsizetype semicolon = line.indexOf(';');
            if (semicolon >= 0)
                line = line.first(semicolon);
            const std::optional<qint64> size = chunkSize(line.trimmed());
            if (!size) {
                fail(Failure::BadResponse);
                return false;
            }
            at = lineEnd + 2;
            if (*size == 0)
                return true;
            if (m_bodyLimit > 0 && m_bodyBytes + *size > m_bodyLimit) {
                fail(Failure::TooLarge);
                return false;
            }
            m_chunkLeft = *size;
        }
        const qint64 take = qMin<qint64>(m_chunkLeft, m_buffer.size() - at);
        if (!deliver(QByteArrayView(m_buffer).sliced(at, take)))
            return false;
        at += take;
        m_chunkLeft -= take;
        if (m_chunkLeft > 0)
            return false;
        m_chunkDataEnd = true;
    }
}

bool HttpExchange::deliver(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return true;
    if (m_bodyLimit > 0 && m_bodyBytes + bytes.size() > m_bodyLimit) {
        fail(Failure::TooLarge);
        return false;
    }
    if (m_sink) {
        if (m_sink->write(bytes.data(), bytes.size()) != bytes.size()) {
            fail(Failure::SinkWrite, m_sink->errorString());
            return false;
        }
    } else if (!m_discard) {
        m_body += bytes;
    }
    m_bodyBytes += bytes.size();
    return true;
}

void HttpExchange::succeed()
{
    if (!isRunning())
        return;
    end();
    Q_EMIT finished();
}

void HttpExchange::fail(Failure failure, const QString &errorString)
{
    if (!isRunning())
        return;
    m_failure = failure;
    m_errorString = errorString;
    end();
    Q_EMIT failed();
}

void HttpExchange::end()
{
    m_state = State::Done;
    m_timer.stop();
    QObject::disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

} // namespace velora
