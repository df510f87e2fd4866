#include "gui/StatusPageText.h"

#include "shell/Log.h"

#include <QStringList>

namespace velora {

namespace {

QString age(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("-");
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 7200)
        return QStringLiteral("%1 min").arg(seconds / 60);
    return QStringLiteral("%1 uur").arg(seconds / 3600);
}

} // namespace

QString statusPageText(const StatusSnapshot &now, const ServiceMetrics *metrics, qint32 statusPort,
                       const QString &statusAddress)
{
    QStringList lines;
    if (now.listening)
        lines << QStringLiteral("Server: luistert op poort %1, %2 verbinding(en) open")
                     .arg(now.port)
                     .arg(now.openConnections);
    else
        lines << QStringLiteral("Server: luistert niet (%1)")
                     .arg(now.listenProblem.isEmpty() ? QStringLiteral("onbekend") : now.listenProblem);
    lines << (now.databaseOpen ? QStringLiteral("Database: open") : QStringLiteral("Database: niet open"));
    for (const ChannelStatus &channel : now.channels) {
        lines << QStringLiteral("Retourkanaal %1 (%2 %3): %4, wachtrij %5, oudste %6")
                     .arg(channel.label.toUpper(), channel.name, channel.peer, channel.state)
                     .arg(channel.depth)
                     .arg(age(channel.oldestAgeSeconds));
    }
    if (metrics) {
        const QString packets = QStringLiteral("velora_packets_received_total");
        const QString returns = QStringLiteral("velora_return_messages_total");
        lines << QString();
        lines << QStringLiteral("Vandaag:");
        lines << QStringLiteral("  Pakketten ontvangen: %1 (AC %2, NC %3, zonder antwoord %4)")
                     .arg(metrics->today(packets))
                     .arg(metrics->today(packets, QStringLiteral("reply=\"AC\"")))
                     .arg(metrics->today(packets, QStringLiteral("reply=\"NC\"")))
                     .arg(metrics->today(packets, QStringLiteral("reply=\"none\"")));
        lines << QStringLiteral("  Ritten opgeslagen: %1")
                     .arg(metrics->today(QStringLiteral("velora_rides_stored_total")));
        for (const char *channel : {"rbs", "valys"}) {
            const QString of = QStringLiteral("channel=\"%1\",event=").arg(QLatin1String(channel));
            lines << QStringLiteral("  Retourberichten %1: %2 in wachtrij, %3 verzonden, %4 AC, %5 NC, %6 onbeantwoord")
                         .arg(QLatin1String(channel).toString().toUpper())
                         .arg(metrics->today(returns, of + QStringLiteral("\"queued\"")))
                         .arg(metrics->today(returns, of + QStringLiteral("\"sent\"")))
                         .arg(metrics->today(returns, of + QStringLiteral("\"acknowledged\"")))
                         .arg(metrics->today(returns, of + QStringLiteral("\"refused\"")))
                         .arg(metrics->today(returns, of + QStringLiteral("\"unanswered\"")));
        }
        lines << QStringLiteral("  Afstandsvragen: %1 (mislukt %2)")
                     .arg(metrics->today(QStringLiteral("velora_distance_requests_total")))
                     .arg(metrics->today(QStringLiteral("velora_distance_requests_total")) -
                          metrics->today(QStringLiteral("velora_distance_requests_total"),
                                         QStringLiteral("outcome=\"ok\"")));
        lines << QStringLiteral("  Databasefouten: %1, geweigerde verbindingen: %2, storingen: %3")
                     .arg(metrics->today(QStringLiteral("velora_database_failures_total")))
                     .arg(metrics->today(QStringLiteral("velora_peers_refused_total")))
                     .arg(metrics->today(QStringLiteral("velora_failures_total")));
    }
    lines << QString();
    if (now.lastFailure.isValid())
        lines << QStringLiteral("Laatste storing: %1 [%2] %3")
                     .arg(dateTimeStamp(now.lastFailure.at), now.lastFailure.component, now.lastFailure.message);
    else
        lines << QStringLiteral("Laatste storing: geen");
    if (statusPort > 0)
        lines << QStringLiteral("Status-endpoint: http://%1:%2/health en /metrics")
                     .arg(statusAddress.trimmed().isEmpty() ? QStringLiteral("127.0.0.1") : statusAddress.trimmed())
                     .arg(statusPort);
    else
        lines << QStringLiteral("Status-endpoint: uit (Statuspoort 0)");
    if (!now.version.isEmpty())
        lines << QStringLiteral("Versie %1, actief sinds %2").arg(now.version, age(now.uptimeSeconds));
    return lines.join(u'\n');
}

} // namespace velora
