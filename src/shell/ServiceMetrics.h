#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace velora {

// The last failure the failure handler took: when, which part, what.
struct FailureRecord {
    QDateTime at;
    QString component;
    QString message;
    QString peer; // the remote address it was about, when known
    bool isValid() const { return at.isValid(); }
};

// One return channel as the status shows it.
struct ChannelStatus {
    QString label; // "rbs", "valys"
    QString name;  // RBSClientSocket, ValysClientSocket
    QString peer;  // host:port as set
    QString state; // "verbonden", "verbinden", "niet verbonden"
    qsizetype depth = 0;
    qint64 oldestAgeSeconds = -1; // -1: queue empty
};

// The gauges: what the service is now, read when asked.
struct StatusSnapshot {
    bool listening = false;
    quint16 port = 0;
    QString listenProblem; // why the intake does not listen; empty when it does
    int openConnections = 0;
    bool databaseOpen = false;
    std::vector<ChannelStatus> channels;
    qint64 uptimeSeconds = 0;
    QString version;
    FailureRecord lastFailure;
    // The link does its work: booking systems can connect where the settings
    // file says, and rides can be stored.
    bool healthy() const { return listening && listenProblem.isEmpty() && databaseOpen; }
};

// The service's counters, kept apart from the window so that a service
// without one counts the same. Each counter is a series: a family name and
// its labels. Every count is kept twice: since the start and since midnight
// (the status page shows the day's).
class ServiceMetrics {
public:
    ServiceMetrics();

    // A handled packet: its type ("NR", "WR", "VR", "RS", "AC", "NC", "other"
    // or "unreadable") and the reply it got ("AC", "NC" or "none").
    void packetHandled(const QString &type, const QString &reply);
    void rideStored();
    // "ok", "status" (answered without a distance), "timeout", "unreachable",
    // "too_large", "not_configured", "failed".
    void distanceRequest(const QString &outcome);
    void databaseFailure();
    // Per return channel ("rbs", "valys"): "queued", "sent", "acknowledged",
    // "refused", "unanswered".
    void returnMessage(const QString &channel, const QString &event, quint64 count = 1);
    void peerRefused();
    void failure();
    // How long one packet took from the start of its handling to its reply
    // (for a packet stored with others, to the commit of its group).
    void packetHandlingTime(double seconds);

    // Sum of the series of a family whose labels contain `labels` (all when empty).
    quint64 total(const QString &family, const QString &labels = QString()) const;
    quint64 today(const QString &family, const QString &labels = QString()) const;

    qint64 uptimeSeconds() const { return m_started.elapsed() / 1000; }

    // The Prometheus text format: the counters, then the gauges of `now`.
    QByteArray prometheusText(const StatusSnapshot &now) const;

private:
    using Series = std::pair<QString, QString>; // family, labels as written between braces
    void add(const QString &family, const QString &labels, quint64 count = 1);
    void rollDay() const;

    // The packet handling times as a histogram: per upper bound, how many
    // took at most that long.
    static constexpr double kHandlingBounds[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                 0.1,    0.25,  0.5,    1,     2.5,  5,     10};
    quint64 m_handlingBuckets[std::size(kHandlingBounds)] = {};
    quint64 m_handlingCount = 0;
    double m_handlingSum = 0;

    std::map<Series, quint64> m_counters;
    mutable std::map<Series, quint64> m_today;
    mutable QDate m_day;
    QElapsedTimer m_started;
};

// The body of GET /health.
QByteArray healthJson(const StatusSnapshot &now);

} // namespace velora
