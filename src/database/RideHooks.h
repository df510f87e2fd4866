#pragma once

#include <QDateTime>
#include <QString>

namespace velora {

class Dataset;
class DistanceClient;
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
    // Travel time, destination time and the planning exclusions before a post.
    void beforePost(Dataset &ride) const;

private:
    Settings &m_settings;
    Log &m_activityLog;
    DistanceClient &m_distance;
};

} // namespace velora
