#pragma once

#include "shell/ServiceMetrics.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QHttpServer;

namespace velora {

// The status endpoint on loopback (or the address set): GET /health and
// GET /metrics. It runs on the service's own event loop, so its answers read
// the live figures between two events, never half-way through one.
class StatusEndpoint : public QObject {
    Q_OBJECT
public:
    StatusEndpoint(const ServiceMetrics &metrics, std::function<StatusSnapshot()> snapshot, QObject *parent = nullptr);
    ~StatusEndpoint() override;

    // Listens on address:port, or stops for port 0. Only a change does
    // anything. Returns the reason it cannot listen (empty when it can or
    // nothing changed).
    QString configure(const QString &address, qint32 port);
    quint16 port() const { return m_port; }

private:
    const ServiceMetrics &m_metrics;
    std::function<StatusSnapshot()> m_snapshot;
    std::unique_ptr<QHttpServer> m_server;
    QString m_address;
    qint32 m_wantedPort = 0;
    quint16 m_port = 0;
};

} // namespace velora
