#pragma once

#include "rides/RideOperations.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>

namespace velora {

class Database;
class FailureHandler;
class Log;
class PeerLink;
class ServiceMetrics;
class Settings;
struct Datasets;
struct PacketContext;

// RBSServerSocketClientRead for one received text: log it, decode and parse
// it, act by its packet type and answer. Never fails: a failure answers "NC"
// when the text can be parsed, and otherwise reaches the failure handler. The
// handling may wait for the distance service; the caller co_awaits it, and
// the peer must outlive it.
class PacketHandler {
public:
    PacketHandler(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, Database &database,
                  Datasets &datasets);

    QCoro::Task<> handle(QByteArray received, PeerLink &peer);

    RideOperations &operations() { return m_operations; }
    // Counts each packet by type and reply, the rides stored and the
    // database's failed opens and commits there.
    void setMetrics(ServiceMetrics *metrics) { m_metrics = metrics; }

private:
    using Operation = QCoro::Task<> (RideOperations::*)(const tRitOrder &, PacketContext &);

    QCoro::Task<> handleSteps(const QString &received, PacketContext &packet);
    void failurePath(const QString &received, PacketContext &packet, const QString &message);
    // The rows one packet writes are committed together: "AC" is only sent
    // for what is stored, "NC" leaves nothing of the ride stored.
    QCoro::Task<> inUnit(PacketContext &packet, bool requirePeer, Operation operation, const tRitOrder &order);
    void logActivity(const QString &text);
    void openDatabase();

    Settings &m_settings;
    Log &m_activityLog;
    FailureHandler &m_failures;
    Database &m_database;
    RideOperations m_operations;
    ServiceMetrics *m_metrics = nullptr;
};

} // namespace velora
