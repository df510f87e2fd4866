#pragma once

#include <QString>

namespace velora {

class Database;
class FailureHandler;
class Log;
class ServiceMetrics;
class ServiceRole;
class Settings;
class WorkQueue;
struct Datasets;

// What the return link takes from the service around it. The link's parts
// (both channels, the scheduler) are built from the same context, so that a
// part's constructor names what it is rather than everything it uses.
struct ReturnLinkContext {
    Settings &settings;
    Log &activityLog;
    Log &returnLog;
    FailureHandler &failures;
    WorkQueue &work;
    Database &database;
    Datasets &datasets;
    // The file that keeps the queues across runs (VeloraRBS-queues.db in the
    // program folder); empty, the queues live in memory only.
    QString queueFile;
    // Asked before every connection and send: nothing goes out while it says
    // stand-by. Unset, the channels always send.
    const ServiceRole *role = nullptr;
    // Counts queued, sent, acknowledged, refused and unanswered messages.
    ServiceMetrics *metrics = nullptr;
};

} // namespace velora
