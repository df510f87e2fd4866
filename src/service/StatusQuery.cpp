#include "service/StatusQuery.h"

#include "net/HttpClient.h"
#include "shell/ConfigFile.h"
#include "shell/Settings.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QUrl>

namespace velora {

namespace {

constexpr int kRequestTimeoutMs = 5000;

struct Answer {
    int status = 0; // HTTP status; 0 when none came
    QByteArray body;
    QString error;
};

// The command ends when its two answers are in: waiting in a local loop
// holds up nothing else.
Answer get(const QUrl &url)
{
    HttpRequest request;
    request.url = url;
    request.connectTimeoutMs = kRequestTimeoutMs;
    request.idleTimeoutMs = kRequestTimeoutMs;
    HttpClient client;
    QEventLoop loop;
    QObject::connect(&client, &HttpClient::finished, &loop, &QEventLoop::quit);
    client.start(request);
    loop.exec();
    Answer answer;
    // A head that came counts as an answer, as a cut-off body of it does.
    answer.status = client.hasHead() ? client.statusCode() : 0;
    answer.body = client.body();
    if (answer.status == 0)
        answer.error = client.errorString();
    return answer;
}

QString seconds(qint64 value)
{
    if (value < 0)
        return QStringLiteral("-");
    return QStringLiteral("%1 s").arg(value);
}

// ": intake (why), database" for the parts /health names as failing.
QString failingParts(const QByteArray &health)
{
    const QJsonObject body = QJsonDocument::fromJson(health).object();
    QStringList parts;
    for (const QJsonValue &part : body.value(QStringLiteral("failing")).toArray()) {
        const QString name = part.toString();
        const QString problem =
            name == u"intake"
                ? body.value(QStringLiteral("intake")).toObject().value(QStringLiteral("problem")).toString()
                : QString();
        parts << (problem.isEmpty() ? name : name + QStringLiteral(" (") + problem + u')');
    }
    return parts.isEmpty() ? QString() : QStringLiteral(": ") + parts.join(QStringLiteral(", "));
}

} // namespace

QString statusText(const QByteArray &health, const QByteArray &metrics)
{
    QString text;
    QTextStream out(&text);
    const QJsonObject body = QJsonDocument::fromJson(health).object();
    const QJsonObject intake = body.value(QStringLiteral("intake")).toObject();
    out << "Status:          " << body.value(QStringLiteral("status")).toString() << "\n";
    out << "Version:         " << body.value(QStringLiteral("version")).toString() << "\n";
    out << "Uptime:          " << seconds(body.value(QStringLiteral("uptimeSeconds")).toInteger(-1)) << "\n";
    if (intake.value(QStringLiteral("listening")).toBool()) {
        out << "Intake server:   listening on port " << intake.value(QStringLiteral("port")).toInt() << ", "
            << intake.value(QStringLiteral("openConnections")).toInt() << " connection(s) open\n";
        if (intake.contains(QStringLiteral("problem")))
            out << "                 but: " << intake.value(QStringLiteral("problem")).toString() << "\n";
    } else
        out << "Intake server:   not listening (" << intake.value(QStringLiteral("problem")).toString() << ")\n";
    out << "Database:        "
        << (body.value(QStringLiteral("database")).toObject().value(QStringLiteral("open")).toBool() ? "open"
                                                                                                     : "not open")
        << "\n";
    const QJsonArray channels = body.value(QStringLiteral("returnChannels")).toArray();
    for (const QJsonValue &value : channels) {
        const QJsonObject channel = value.toObject();
        out << "Return channel " << channel.value(QStringLiteral("channel")).toString() << ": "
            << channel.value(QStringLiteral("name")).toString() << " "
            << channel.value(QStringLiteral("peer")).toString() << ", "
            << channel.value(QStringLiteral("state")).toString() << ", queue "
            << channel.value(QStringLiteral("queueDepth")).toInteger() << ", oldest "
            << seconds(channel.value(QStringLiteral("oldestAgeSeconds")).toInteger(-1)) << "\n";
    }
    const QJsonObject failure = body.value(QStringLiteral("lastFailure")).toObject();
    if (failure.isEmpty())
        out << "Last failure:    none\n";
    else
        out << "Last failure:    " << failure.value(QStringLiteral("time")).toString() << " ["
            << failure.value(QStringLiteral("component")).toString() << "] "
            << failure.value(QStringLiteral("message")).toString() << "\n";
    out << "Counters:\n";
    for (const QByteArray &line : metrics.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            out << "  " << QString::fromUtf8(line) << "\n";
    }
    return text;
}

int queryStatus(const QString &programFolder, QTextStream &out, QTextStream &err)
{
    const QString path = QDir(programFolder).filePath(QStringLiteral("VeloraRBS.xml"));
    if (!QFileInfo::exists(path)) {
        err << "VeloraRBS: no settings file " << QDir::toNativeSeparators(path) << "\n";
        return 1;
    }
    Settings settings;
    ConfigFile config(path);
    config.LoadSettings(settings);
    const qint32 port = settings.integer(Setting::StatusPoort);
    if (port <= 0 || port > 65535) {
        err << "VeloraRBS: the status endpoint is off for " << QDir::toNativeSeparators(programFolder)
            << " (StatusPoort_Text is " << settings.text(Setting::StatusPoort) << " in "
            << QDir::toNativeSeparators(path) << ")\n";
        return 1;
    }
    QString address = settings.text(Setting::StatusAdres).trimmed();
    if (address.isEmpty())
        address = QStringLiteral("127.0.0.1");
    // The endpoint listening on all addresses is asked on loopback.
    const QHostAddress host(address);
    if (host == QHostAddress(QHostAddress::AnyIPv4))
        address = QStringLiteral("127.0.0.1");
    else if (host == QHostAddress(QHostAddress::AnyIPv6) || host == QHostAddress(QHostAddress::Any))
        address = QStringLiteral("::1");
    QUrl base;
    base.setScheme(QStringLiteral("http"));
    base.setHost(address);
    base.setPort(port);

    QUrl healthUrl = base;
    healthUrl.setPath(QStringLiteral("/health"));
    const Answer health = get(healthUrl);
    if (health.status == 0) {
        err << "VeloraRBS: no running service answers at " << healthUrl.toString() << " (" << health.error << ")\n";
        return 1;
    }
    QUrl metricsUrl = base;
    metricsUrl.setPath(QStringLiteral("/metrics"));
    const Answer metrics = get(metricsUrl);
    out << "VeloraRBS on " << QDir::toNativeSeparators(programFolder) << " (" << base.toString() << ")\n"
        << statusText(health.body, metrics.body);
    out.flush();
    if (health.status != 200) {
        err << "VeloraRBS: not healthy (HTTP " << health.status << ")" << failingParts(health.body) << "\n";
        return 1;
    }
    return 0;
}

} // namespace velora
