#pragma once

#include "intake/RideOperations.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace velora {

class Database;
class FailureHandler;
class Log;
class PeerLink;
class Settings;
struct Datasets;
struct PacketContext;

// RBSServerSocketClientRead for one received text: log it, decode and parse
// it, act by its packet type and answer. Never throws: a failure answers "NC"
// when the text can be parsed, and otherwise reaches the failure handler.
class PacketHandler {
public:
    PacketHandler(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, Database &database,
                  Datasets &datasets);

    void handle(const QByteArray &received, PeerLink &peer) noexcept;

    RideOperations &operations() { return m_operations; }

private:
    void handleSteps(const QString &received, PacketContext &packet);
    void failurePath(const QString &received, PacketContext &packet, const QString &message);
    // The rows one packet writes are committed together: "AC" is only sent
    // for what is stored, "NC" leaves nothing of the ride stored.
    void inUnit(PacketContext &packet, bool requirePeer, const std::function<void()> &operation);
    void logActivity(const QString &text);

    Settings &m_settings;
    Log &m_activityLog;
    FailureHandler &m_failures;
    Database &m_database;
    RideOperations m_operations;
};

} // namespace velora
