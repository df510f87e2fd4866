#include "shell/ServiceMetrics.h"

#include "shell/ProcessFigures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace velora {

namespace {

struct Family {
    const char *name;
    const char *help;
};

// In the order the text lists them; each with its help line.
const Family kCounters[] = {
    {"velora_packets_received_total", "Packets received from booking systems, by packet type and reply sent."},
    {"velora_rides_stored_total", "New rides stored (committed and answered AC)."},
    {"velora_distance_requests_total", "Requests to the distance service, by outcome."},
    {"velora_database_failures_total", "Database opens and commits that failed."},
    {"velora_return_messages_total", "Status messages of the return channels, by channel and event."},
    {"velora_peers_refused_total", "Connections refused because the peer is not in RBSToegestaan."},
    {"velora_failures_total", "Failures reported in the activity log."},
};

const char *const kChannels[] = {"rbs", "valys"};
const char *const kReturnEvents[] = {"queued", "sent", "acknowledged", "refused", "unanswered"};

QString label(const char *name, const QString &value)
{
    QString escaped = value;
    escaped.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'"', QStringLiteral("\\\""))
        .replace(u'\n', QStringLiteral("\\n"));
    return QLatin1String(name) + QStringLiteral("=\"") + escaped + u'"';
}

void gauge(QByteArray &out, const char *name, const char *help, const std::vector<std::pair<QString, qint64>> &series)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n";
    for (const auto &[labels, value] : series) {
        out += name;
        if (!labels.isEmpty())
            out += '{' + labels.toUtf8() + '}';
        out += ' ' + QByteArray::number(value) + '\n';
    }
}

} // namespace

ServiceMetrics::ServiceMetrics()
{
    m_started.start();
    // The series a scraper expects from the start are there with 0, so that
    // a rate over the first increase is not lost.
    for (const char *channel : kChannels) {
        for (const char *event : kReturnEvents)
            add(QStringLiteral("velora_return_messages_total"),
                label("channel", QLatin1String(channel)) + u',' + label("event", QLatin1String(event)), 0);
    }
    for (const char *family : {"velora_rides_stored_total", "velora_database_failures_total",
                               "velora_peers_refused_total", "velora_failures_total"})
        add(QLatin1String(family), QString(), 0);
}

void ServiceMetrics::rollDay() const
{
    const QDate day = QDate::currentDate();
    if (day == m_day)
        return;
    m_day = day;
    for (auto &entry : m_today)
        entry.second = 0;
}

void ServiceMetrics::add(const QString &family, const QString &labels, quint64 count)
{
    rollDay();
    m_counters[{family, labels}] += count;
    m_today[{family, labels}] += count;
}

void ServiceMetrics::packetHandled(const QString &type, const QString &reply)
{
    add(QStringLiteral("velora_packets_received_total"), label("type", type) + u',' + label("reply", reply));
}

void ServiceMetrics::rideStored()
{
    add(QStringLiteral("velora_rides_stored_total"), QString());
}

void ServiceMetrics::distanceRequest(const QString &outcome)
{
    add(QStringLiteral("velora_distance_requests_total"), label("outcome", outcome));
}

void ServiceMetrics::databaseFailure()
{
    add(QStringLiteral("velora_database_failures_total"), QString());
}

void ServiceMetrics::returnMessage(const QString &channel, const QString &event, quint64 count)
{
    add(QStringLiteral("velora_return_messages_total"), label("channel", channel) + u',' + label("event", event),
        count);
}

void ServiceMetrics::peerRefused()
{
    add(QStringLiteral("velora_peers_refused_total"), QString());
}

void ServiceMetrics::failure()
{
    add(QStringLiteral("velora_failures_total"), QString());
}

void ServiceMetrics::packetHandlingTime(double seconds)
{
    for (std::size_t i = 0; i < std::size(kHandlingBounds); ++i) {
        if (seconds <= kHandlingBounds[i])
            ++m_handlingBuckets[i];
    }
    ++m_handlingCount;
    m_handlingSum += seconds;
}

quint64 ServiceMetrics::total(const QString &family, const QString &labels) const
{
    quint64 sum = 0;
    for (const auto &[series, value] : m_counters) {
        if (series.first == family && series.second.contains(labels))
            sum += value;
    }
    return sum;
}

quint64 ServiceMetrics::today(const QString &family, const QString &labels) const
{
    rollDay();
    quint64 sum = 0;
    for (const auto &[series, value] : m_today) {
        if (series.first == family && series.second.contains(labels))
            sum += value;
    }
    return sum;
}

QByteArray ServiceMetrics::prometheusText(const StatusSnapshot &now) const
{
    QByteArray out;
    for (const Family &family : kCounters) {
        const QString name = QLatin1String(family.name);
        out += QByteArray("# HELP ") + family.name + ' ' + family.help + "\n# TYPE " + family.name + " counter\n";
        for (const auto &[series, value] : m_counters) {
            if (series.first != name)
                continue;
            out += family.name;
            if (!series.second.isEmpty())
                out += '{' + series.second.toUtf8() + '}';
            out += ' ' + QByteArray::number(value) + '\n';
        }
    }
    const char *const histogram = "velora_packet_handling_seconds";
    out += QByteArray("# HELP ") + histogram +
           " Time from the start of a packet's handling to its reply, group commit included.\n# TYPE " + histogram +
           " histogram\n";
    for (std::size_t i = 0; i < std::size(kHandlingBounds); ++i)
        out += QByteArray(histogram) + "_bucket{le=\"" + QByteArray::number(kHandlingBounds[i], 'g', 6) + "\"} " +
               QByteArray::number(m_handlingBuckets[i]) + '\n';
    out += QByteArray(histogram) + "_bucket{le=\"+Inf\"} " + QByteArray::number(m_handlingCount) + '\n';
    out += QByteArray(histogram) + "_sum " + QByteArray::number(m_handlingSum, 'g', 12) + '\n';
    out += QByteArray(histogram) + "_count " + QByteArray::number(m_handlingCount) + '\n';
    gauge(out, "velora_open_connections", "Booking-system connections open now.", {{QString(), now.openConnections}});
    std::vector<std::pair<QString, qint64>> depth;
    std::vector<std::pair<QString, qint64>> age;
    for (const ChannelStatus &channel : now.channels) {
        depth.emplace_back(label("channel", channel.label), channel.depth);
        age.emplace_back(label("channel", channel.label), qMax<qint64>(0, channel.oldestAgeSeconds));
    }
    gauge(out, "velora_return_queue_depth", "Status messages waiting in the return queue.", depth);
    gauge(out, "velora_return_queue_oldest_age_seconds",
          "Age of the oldest status message waiting in the return queue (0 when empty).", age);
    gauge(out, "velora_intake_listening", "1 when the intake server listens.", {{QString(), now.listening ? 1 : 0}});
    gauge(out, "velora_database_open", "1 when the database is open.", {{QString(), now.databaseOpen ? 1 : 0}});
    gauge(out, "velora_uptime_seconds", "Seconds since the service started.", {{QString(), now.uptimeSeconds}});
    gauge(out, "velora_build_info", "The build's file version.", {{label("version", now.version), 1}});
    appendProcessFigures(out);
    return out;
}

QByteArray healthJson(const StatusSnapshot &now)
{
    QJsonObject intake{{QStringLiteral("listening"), now.listening},
                       {QStringLiteral("port"), now.port},
                       {QStringLiteral("openConnections"), now.openConnections}};
    if (!now.listenProblem.isEmpty())
        intake.insert(QStringLiteral("problem"), now.listenProblem);
    QJsonArray channels;
    for (const ChannelStatus &channel : now.channels) {
        channels.append(QJsonObject{{QStringLiteral("channel"), channel.label},
                                    {QStringLiteral("name"), channel.name},
                                    {QStringLiteral("peer"), channel.peer},
                                    {QStringLiteral("state"), channel.state},
                                    {QStringLiteral("queueDepth"), qint64(channel.depth)},
                                    {QStringLiteral("oldestAgeSeconds"), channel.oldestAgeSeconds}});
    }
    // The parts that keep the link from working, so that a monitor (and
    // --status) can say which one, not only that something is wrong.
    QJsonArray failing;
    if (!now.listening || !now.listenProblem.isEmpty())
        failing.append(QStringLiteral("intake"));
    if (!now.databaseOpen)
        failing.append(QStringLiteral("database"));
    QJsonObject body{{QStringLiteral("status"), now.healthy() ? QStringLiteral("ok") : QStringLiteral("unhealthy")},
                     {QStringLiteral("failing"), failing},
                     {QStringLiteral("version"), now.version},
                     {QStringLiteral("uptimeSeconds"), now.uptimeSeconds},
                     {QStringLiteral("intake"), intake},
                     {QStringLiteral("database"), QJsonObject{{QStringLiteral("open"), now.databaseOpen}}},
                     {QStringLiteral("returnChannels"), channels}};
    if (now.lastFailure.isValid()) {
        body.insert(QStringLiteral("lastFailure"),
                    QJsonObject{{QStringLiteral("time"), now.lastFailure.at.toString(Qt::ISODate)},
                                {QStringLiteral("component"), now.lastFailure.component},
                                {QStringLiteral("message"), now.lastFailure.message},
                                {QStringLiteral("peer"), now.lastFailure.peer}});
    } else {
        body.insert(QStringLiteral("lastFailure"), QJsonValue::Null);
    }
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}

} // namespace velora
