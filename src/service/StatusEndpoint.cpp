#include "service/StatusEndpoint.h"

#include <QHttpServer>
#include <QHttpServerResponse>

namespace velora {

StatusEndpoint::StatusEndpoint(const ServiceMetrics &metrics, std::function<StatusSnapshot()> snapshot, QObject *parent)
    : QObject(parent), m_metrics(metrics), m_snapshot(std::move(snapshot))
{
}

StatusEndpoint::~StatusEndpoint() = default;

QString StatusEndpoint::configure(const QString &address, qint32 port)
{
    const QString trimmed = address.trimmed().isEmpty() ? QStringLiteral("127.0.0.1") : address.trimmed();
    if (trimmed == m_address && port == m_wantedPort)
        return {};
    m_address = trimmed;
    m_wantedPort = port;
    m_server.reset();
    m_port = 0;
    if (port == 0)
        return {};
    if (port < 0 || port > 65535)
        return QStringLiteral("Ongeldige statuspoort: %1").arg(port);
    const QHostAddress host(trimmed);
    if (host.isNull())
        return QStringLiteral("Ongeldig statusadres: %1").arg(trimmed);

    auto server = std::make_unique<QHttpServer>();
    server->route(QStringLiteral("/health"), QHttpServerRequest::Method::Get, [this] {
        const StatusSnapshot now = m_snapshot();
        return QHttpServerResponse("application/json", healthJson(now),
                                   now.healthy() ? QHttpServerResponse::StatusCode::Ok
                                                 : QHttpServerResponse::StatusCode::ServiceUnavailable);
    });
    server->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get, [this] {
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", m_metrics.prometheusText(m_snapshot()));
    });
    const quint16 bound = server->listen(host, quint16(port));
    if (bound == 0)
        return QStringLiteral("Statuspoort %1:%2 kan niet worden geopend").arg(trimmed).arg(port);
    m_server = std::move(server);
    m_port = bound;
    return {};
}

} // namespace velora

#include "moc_StatusEndpoint.cpp"
