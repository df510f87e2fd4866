#pragma once

#include "wire/RideOrder.h"

#include <QCoroTask>
#include <QString>

namespace velora {

class Dataset;
class FailureHandler;
class Log;
class Settings;
struct Datasets;

// What a ride packet asks of the rides table.
enum class RideAction {
    NewRide,
    Change,
    Cancellation
};

// How a ride packet is answered when its operation succeeds; when it fails,
// the intake handler answers "NC" once the operation has ended.
struct RideOutcome {
    QString reply; // the reply's type
    // The reply goes out at once, before the operation touches the database,
    // instead of when the packet's handling ends.
    bool beforeWork = false;
};

// What "NR", "WR" and "VR" packets do to the rides table. Each operation
// raises a failure to the intake handler, which answers "NC" and rolls the
// packet's unit of work back. The handler sends every reply: nothing here
// knows the connection.
class RideOperations {
public:
    RideOperations(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, Datasets &datasets);

    // Known before the operation runs, so that a reply due before the work
    // can go out first.
    static RideOutcome outcome(RideAction action);
    // May wait for the distance service before the ride is posted; the
    // caller co_awaits it, and the order lives until it has ended.
    QCoro::Task<> perform(RideAction action, const tRitOrder &order);
    // Finds or creates the traveller of the order's debtor number and links
    // the ride being filled in ADOINS to it. A traveller it creates belongs to
    // the packet's unit of work.
    void ResolveTraveller(const tRitOrder &order);

private:
    QCoro::Task<> RegisterNewRide(const tRitOrder &order);
    QCoro::Task<> ApplyRideChange(const tRitOrder &order);
    QCoro::Task<> CancelRide(const tRitOrder &order);
    enum class Kind {
        NewRide,
        Change
    };
    // The steps a new ride and a change share once their row is in hand, up to
    // the stored ride, its transaction row and the return log line.
    QCoro::Task<> fillAndStore(const tRitOrder &order, Kind kind);
    void setOrderColumns(const tRitOrder &order, Kind kind);
    void setAmounts(const tRitOrder &order);
    void composeRemark(const tRitOrder &order, Kind kind);
    void setPaymentRc(const tRitOrder &order);
    void storeMarker();
    // Travel time first (it may wait for the distance service), then the
    // traveller and the ride, all inside the packet's unit of work.
    QCoro::Task<> storeWithTraveller(const tRitOrder &order);
    qint32 postedRideId() const;
    void writeTransaction(qint32 ride, qint32 code, const QString &remark);
    void logActivity(const QString &text);

    Settings &m_settings;
    Log &m_activityLog;
    Log &m_returnLog;
    FailureHandler &m_failures;
    Datasets &m_datasets;
    Dataset &m_ride;
};

} // namespace velora
