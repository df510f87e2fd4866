#include "database/DistanceClient.h"

#include "database/DatasetGate.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace velora {

namespace {

constexpr int kDefaultTimeOutSeconds = 10;
// A distance-matrix answer for one origin and one destination is about 1 KiB;
// anything near this size is not such an answer and is not held in memory.
constexpr qsizetype kMaxResponseBytes = 1024 * 1024;

// The request target exactly as built, except where the request line itself
// would break: bytes outside printable ASCII (letters with accents travel as
// percent-encoded UTF-8; a CR or LF from an address must not end the line).
QByteArray requestTarget(const QString &action)
{
    const QByteArray utf8 = action.toUtf8();
    QByteArray target;
    target.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            target += '%';
            target += hex[byte >> 4];
            target += hex[byte & 0x0F];
        } else {
            target += c;
        }
    }
    return target;
}

enum class Parse {
    Incomplete,
    Complete,
    Bad
};

// Body of an HTTP/1.x response: by Content-Length, chunked, or up to the close.
Parse parseResponse(const QByteArray &raw, bool closed, QByteArray &body)
{
    const qsizetype headEnd = raw.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return closed ? Parse::Bad : Parse::Incomplete;
    if (!raw.startsWith("HTTP/"))
        return Parse::Bad;
    const QList<QByteArray> headLines = raw.left(headEnd).split('\n');
    qint64 contentLength = -1;
    bool chunked = false;
    for (qsizetype i = 1; i < headLines.size(); ++i) {
        const QByteArray line = headLines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            contentLength = value.toLongLong(&ok);
            if (!ok || contentLength < 0)
                return Parse::Bad;
        } else if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
            chunked = true;
        }
    }
    const QByteArray rest = raw.mid(headEnd + 4);
    if (chunked) {
        QByteArray decoded;
        qsizetype pos = 0;
        for (;;) {
            const qsizetype lineEnd = rest.indexOf("\r\n", pos);
            if (lineEnd < 0)
                return closed ? Parse::Bad : Parse::Incomplete;
            QByteArray sizeText = rest.mid(pos, lineEnd - pos);
            const qsizetype semicolon = sizeText.indexOf(';');
            if (semicolon >= 0)
                sizeText.truncate(semicolon);
            bool ok = false;
            const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0 || size > kMaxResponseBytes)
                return Parse::Bad;
            pos = lineEnd + 2;
            if (size == 0) {
                body = decoded;
                return Parse::Complete;
            }
            if (rest.size() < pos + size + 2)
                return closed ? Parse::Bad : Parse::Incomplete;
            decoded += rest.mid(pos, size);
            pos += size + 2;
        }
    }
    if (contentLength >= 0) {
        if (rest.size() < contentLength)
            return closed ? Parse::Bad : Parse::Incomplete;
        body = rest.left(contentLength);
        return Parse::Complete;
    }
    if (!closed)
        return Parse::Incomplete;
    body = rest;
    return Parse::Complete;
}

QString firstValue(const QStringList &lines, const QString &element)
{
    return ReadXMLTag(splitLines(ReadXMLTag(lines, element)), QStringLiteral("value"));
}

} // namespace

QString ReadXMLTag(const QStringList &lines, const QString &tag)
{
    QString text;
    for (const QString &line : lines)
        text += line + QStringLiteral("\r\n");
    const QString opening = u'<' + tag + u'>';
    const QString closing = QStringLiteral("</") + tag + u'>';
    const qsizetype start = text.indexOf(opening);
    const qsizetype end = text.indexOf(closing);
    if (start < 0 || end < 0)
        return QString();
    const qsizetype contentStart = start + opening.size();
    if (end < contentStart)
        return QString();
    return text.mid(contentStart, end - contentStart);
}

QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (text[i] != u'\r' && text[i] != u'\n')
            continue;
        lines << text.mid(start, i - start);
        if (text[i] == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines << text.mid(start);
    return lines;
}

QString distanceRequestPath(const QString &origin, const QString &destination)
{
    QString from = origin;
    QString to = destination;
    from.replace(u' ', QStringLiteral("%20"));
    to.replace(u' ', QStringLiteral("%20"));
    return QStringLiteral("/maps/api/distancematrix/xml?origins=") + from + QStringLiteral("&destinations=") + to +
           QStringLiteral("&mode=driving&language=nl-NL&sensor=false&units=metric");
}

DistanceClient::DistanceClient(Settings &settings, Log &activityLog, DatasetGate &gate, QObject *parent)
    : QObject(parent), m_settings(settings), m_activityLog(activityLog), m_gate(gate)
{
}

myKilometers DistanceClient::OpvragenAfstand(const QString &origin, const QString &destination)
{
    myKilometers result;
    m_action = distanceRequestPath(origin, destination);
    if (!SendRequest(QStringLiteral("GET")))
        return result;

    const QStringList lines = splitLines(m_responseText);
    const QString status =
        ReadXMLTag(splitLines(ReadXMLTag(lines, QStringLiteral("DistanceMatrixResponse"))), QStringLiteral("status"));
    if (status == QLatin1String("OK")) {
        result.distance = leadingInteger(firstValue(lines, QStringLiteral("distance"))) / 1000.0;
        result.minutes = leadingInteger(firstValue(lines, QStringLiteral("duration"))) / 60;
    } else if (!status.isEmpty()) {
        m_activityLog.addLine(dateTimeStamp() + QStringLiteral(" - Afstand fout: ") + status);
    }
    return result;
}

bool DistanceClient::SendRequest(const QString &verb)
{
    m_responseText.clear();
    const QString host = m_settings.text(Setting::AfstandServer).trimmed();
    if (host.isEmpty()) {
        GoogleXMLError(QStringLiteral("Geen afstandsserver ingesteld (AfstandServer)"), 0);
        return false;
    }
    qint32 port = m_settings.integer(Setting::AfstandPoort);
    if (port == 0)
        port = 80;
    if (port < 0 || port > 65535) {
        GoogleXMLError(QStringLiteral("Ongeldige poort van de afstandsserver: %1").arg(port), 0);
        return false;
    }
    qint32 seconds = m_settings.integer(Setting::AfstandTimeOut);
    // Without a bound an unanswered request would hold the link for good.
    if (seconds <= 0)
        seconds = kDefaultTimeOutSeconds;

    QByteArray request = verb.toLatin1() + ' ' + requestTarget(m_action) + " HTTP/1.1\r\n";
    request += "Host: " + host.toUtf8() + (port != 80 ? ':' + QByteArray::number(port) : QByteArray()) + "\r\n";
    request += "User-Agent: Velora\r\n";
    request += "Content-Type: application/x-www-form-urlencoded\r\n";
    request += "Connection: close\r\n\r\n";

    // The wait lets the event loop run; the gate keeps every other user of the
    // datasets back until this post has finished.
    DatasetGate::Hold hold(m_gate);
    QTcpSocket socket;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QByteArray raw;
    QByteArray body;
    bool connected = false;
    bool done = false;
    bool ok = false;
    QString errorText;
    int errorCode = 0;

    auto finish = [&](bool success) {
        if (done)
            return;
        done = true;
        ok = success;
        loop.quit();
    };
    auto consume = [&](bool closed) {
        raw += socket.readAll();
        if (raw.size() > kMaxResponseBytes + 64 * 1024) {
            errorText = QStringLiteral("Antwoord van de afstandsserver groter dan %1 bytes").arg(kMaxResponseBytes);
            finish(false);
            return;
        }
        switch (parseResponse(raw, closed, body)) {
        case Parse::Complete:
            if (body.size() > kMaxResponseBytes) {
                errorText = QStringLiteral("Antwoord van de afstandsserver groter dan %1 bytes").arg(kMaxResponseBytes);
                finish(false);
            } else {
                finish(true);
            }
            break;
        case Parse::Bad: finish(false); break; // a read that failed: nothing reported
        case Parse::Incomplete:
            if (closed)
                finish(false);
            break;
        }
    };

    QObject::connect(&socket, &QTcpSocket::connected, &loop, [&] {
        connected = true;
        socket.write(request);
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] { consume(false); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, [&] { consume(true); });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, [&](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            consume(true);
            return;
        }
        if (!connected) {
            errorText = socket.errorString();
            errorCode = static_cast<int>(error);
        }
        finish(false);
    });
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        errorText = QStringLiteral("Geen antwoord van de afstandsserver binnen %1 seconden").arg(seconds);
        finish(false);
    });

    timer.start(seconds * 1000);
    socket.connectToHost(host, static_cast<quint16>(port));
    if (!done)
        loop.exec(QEventLoop::AllEvents);
    timer.stop();
    QObject::disconnect(&socket, nullptr, &loop, nullptr);
    socket.abort();

    if (!ok) {
        if (!errorText.isEmpty())
            GoogleXMLError(errorText, errorCode);
        return false;
    }
    m_responseText = fromAnsi(body);
    return true;
}

void DistanceClient::GoogleXMLError(const QString &errorText, int errorCode)
{
    Q_UNUSED(errorCode);
    m_activityLog.addLine(dateTimeStamp() + u' ' + errorText);
}

} // namespace velora
