#pragma once

#include "net/DistanceClient.h"

#include <QCoroTask>
#include <QDateTime>
#include <QString>

#include <optional>

namespace velora {

class Dataset;
class Log;
class Settings;

// Ride marker: "P" + "yyyymmddhhnnssms" (the last "m" and "s" are the month and
// the second without leading zero) + a random number 0..999.
QString makeRideMarker(const QDateTime &now);

// The two hooks of the rides dataset ADOINS.
class RideHooks {
public:
    RideHooks(Settings &settings, Log &activityLog, DistanceClient &distance);

    // The 55 new-row defaults, in their order.
    void applyNewRowDefaults(Dataset &ride) const;
    // The ride's before-post step, for a post that may wait: asks the
    // distance service when the travel time needs it (co_await: the job waits
    // without holding anything but the work queue), then runs the hook below
    // with that answer. A post without it (Dataset::post alone) treats the
    // distance as not found.
    QCoro::Task<> prepare(Dataset &ride);
    // Travel time, destination time and the planning exclusions before a post.
    void beforePost(Dataset &ride);

private:
    bool needsDistance(const Dataset &ride) const;

    Settings &m_settings;
    Log &m_activityLog;
    DistanceClient &m_distance;
    // The distance service's answer for the ride being prepared.
    std::optional<myKilometers> m_answer;
};

} // namespace velora
