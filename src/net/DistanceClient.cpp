#include "net/DistanceClient.h"

#include "net/HttpClient.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"

#include <limits>
#include <utility>

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

QString firstValue(const QStringList &lines, const QString &element)
{
    return ReadXMLTag(splitLines(ReadXMLTag(lines, element)), QStringLiteral("value"));
}

} // namespace

DistanceAnswer readDistanceAnswer(const QString &body)
{
    DistanceAnswer answer;
    const QStringList lines = splitLines(body);
    answer.status =
        ReadXMLTag(splitLines(ReadXMLTag(lines, QStringLiteral("DistanceMatrixResponse"))), QStringLiteral("status"));
    if (answer.status == QLatin1String("OK")) {
        answer.kilometers.distance = leadingInteger(firstValue(lines, QStringLiteral("distance"))) / 1000.0;
        answer.kilometers.minutes = leadingInteger(firstValue(lines, QStringLiteral("duration"))) / 60;
    }
    return answer;
}

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

QString distanceRequestPath(const QString &origin, const QString &destination)
{
    QString from = origin;
    QString to = destination;
    from.replace(u' ', QStringLiteral("%20"));
    to.replace(u' ', QStringLiteral("%20"));
    return QStringLiteral("/maps/api/distancematrix/xml?origins=") + from + QStringLiteral("&destinations=") + to +
           QStringLiteral("&mode=driving&language=nl-NL&sensor=false&units=metric");
}

// Suspends the requesting coroutine until resume() or endWait() takes it up.
struct DistanceClient::Wait {
    DistanceClient &client;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) noexcept { client.m_waiting = waiting; }
    void await_resume() const noexcept {}
};

DistanceClient::DistanceClient(Settings &settings, Log &activityLog, QObject *parent)
    : QObject(parent), m_settings(settings), m_activityLog(activityLog)
{
}

QCoro::Task<myKilometers> DistanceClient::OpvragenAfstand(QString origin, QString destination)
{
    myKilometers result;
    m_action = distanceRequestPath(origin, destination);
    const bool answered = co_await SendRequest(QStringLiteral("GET"));
    DistanceAnswer answer;
    if (answered) {
        answer = readDistanceAnswer(m_responseText);
        if (answer.status == QLatin1String("OK"))
            m_outcome = QStringLiteral("ok");
        else
            m_outcome = answer.status.isEmpty() ? QStringLiteral("failed") : QStringLiteral("status");
    }
    if (m_metrics)
        m_metrics->distanceRequest(m_outcome);
    if (!answered)
        co_return result;
    if (answer.status == QLatin1String("OK"))
        co_return answer.kilometers;
    if (!answer.status.isEmpty())
        m_activityLog.addLine(dateTimeStamp() + QStringLiteral(" - Afstand fout: ") + answer.status);
    co_return result;
}

QCoro::Task<bool> DistanceClient::SendRequest(QString verb)
{
    m_responseText.clear();
    m_outcome = QStringLiteral("not_configured");
    const QString host = m_settings.text(Setting::AfstandServer).trimmed();
    if (host.isEmpty()) {
        GoogleXMLError(QStringLiteral("Geen afstandsserver ingesteld (AfstandServer)"), 0);
        co_return false;
    }
    qint32 port = m_settings.integer(Setting::AfstandPoort);
    if (port == 0)
        port = 80;
    if (port < 0 || port > 65535) {
        GoogleXMLError(QStringLiteral("Ongeldige poort van de afstandsserver: %1").arg(port), 0);
        co_return false;
    }
    qint32 seconds = m_settings.integer(Setting::AfstandTimeOut);
    // Without a bound an unanswered request would hold the link for good.
    if (seconds <= 0)
        seconds = kDefaultTimeOutSeconds;
    // In milliseconds a larger value would overflow, and wrap to no time-out
    // at all or to a short one.
    seconds = qMin(seconds, std::numeric_limits<int>::max() / 1000);

    QUrl server;
    server.setScheme(QStringLiteral("http"));
    server.setHost(host);
    server.setPort(port);
    HttpRequest request;
    request.url = server;
    request.method = verb.toLatin1();
    request.target = requestTarget(m_action);
    request.userAgent = "Velora";
    // The library would add Accept: */*; this request never sent it.
    request.headers = {"Content-Type: application/x-www-form-urlencoded", "Connection: close", "Accept:"};
    request.connectTimeoutMs = seconds * 1000;
    request.overallTimeoutMs = qint64(seconds) * 1000;
    request.bodyLimit = kMaxResponseBytes;

    // The caller suspends until the transfer ends (its own time-outs bound
    // it) or endWait() ends it. The resumption is queued: the caller goes on
    // to its end and destroys the client, which must not happen inside the
    // client's own signal.
    HttpClient exchange;
    const quint64 wait = ++m_waitSerial;
    connect(
        &exchange, &HttpClient::finished, this, [this, wait] { resume(wait); }, Qt::QueuedConnection);
    exchange.start(request);
    if (exchange.isRunning())
        co_await Wait{*this};
    exchange.abort();

    // Network failures name the service and the host and port asked, ahead
    // of the text the transfer gave.
    const QString where = QStringLiteral("Afstandsserver %1:%2: ").arg(host).arg(port);
    m_outcome = QStringLiteral("failed");
    // The status code is not looked at: an error page carries no status tag
    // and so reads as a failed request without a log line of its own.
    switch (exchange.failure()) {
    case HttpClient::Failure::None:
        if (!exchange.hasHead())
            co_return false;
        m_responseText = fromAnsi(exchange.body());
        co_return true;
    case HttpClient::Failure::Timeout:
        m_outcome = QStringLiteral("timeout");
        GoogleXMLError(where + QStringLiteral("Geen antwoord van de afstandsserver binnen %1 seconden").arg(seconds),
                       0);
        co_return false;
    case HttpClient::Failure::TooLarge:
        m_outcome = QStringLiteral("too_large");
        GoogleXMLError(
            where + QStringLiteral("Antwoord van de afstandsserver groter dan %1 bytes").arg(kMaxResponseBytes), 0);
        co_return false;
    case HttpClient::Failure::ConnectFailed:
        m_outcome = QStringLiteral("unreachable");
        GoogleXMLError(where + exchange.errorString(), exchange.errorCode());
        co_return false;
    case HttpClient::Failure::InvalidRequest: // a host name no URL can carry
        m_outcome = QStringLiteral("unreachable");
        GoogleXMLError(where + QStringLiteral("Host not found"), 0);
        co_return false;
    default:
        // A read that failed half-way: nothing reported.
        co_return false;
    }
}

void DistanceClient::resume(quint64 wait)
{
    // A finished transfer whose wait endWait() already ended resumes nothing.
    if (wait != m_waitSerial || !m_waiting)
        return;
    std::exchange(m_waiting, {}).resume();
}

void DistanceClient::endWait()
{
    resume(m_waitSerial);
}

void DistanceClient::GoogleXMLError(const QString &errorText, int errorCode)
{
    Q_UNUSED(errorCode);
    m_activityLog.addLine(dateTimeStamp() + u' ' + errorText);
}

} // namespace velora
