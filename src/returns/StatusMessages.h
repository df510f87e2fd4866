#pragma once

#include "wire/RideResults.h"

#include <QString>
#include <QVariant>

namespace velora {

class Dataset;
class Log;
class ReturnQueue;
struct Datasets;

// The ride amount in whole cents, truncated towards zero, computed from the
// decimal text of the value so that 12.34 gives 1234 (binary floating point
// would give 1233.99... and truncate to 1233). A null value gives 0. Throws
// Failure for a value that is not a number or leaves the 32-bit range.
qint32 amountInCents(const QVariant &amount);

// A coordinate column as text with a point as decimal separator, in plain
// notation (never an exponent); a null value gives the empty text.
QString coordinateText(const QVariant &coordinate);

// The plate as the booking systems want it: without dashes, at most 8 characters.
QString plateText(const QString &plate);

// The status message of the ride on the current row of ADOHIS (the ride
// joined with its vehicle), by the status rule for the three times.
tRitResults resultsFromRide(const Dataset &ride);

// ZendStatus: composes the status message of a ride and queues it on the
// queue of its channel (VAL on the Valys queue, RBS on the RBS queue); rides
// of other owners end silently. A failure is logged in the return log and not
// passed on: the caller goes on as if the message had been queued.
class StatusMessages {
public:
    StatusMessages(Datasets &datasets, Log &returnLog, ReturnQueue &rbsQueue, ReturnQueue &valysQueue);

    void ZendStatus(qint32 rideId);

private:
    void compose(qint32 rideId);

    Datasets &m_datasets;
    Log &m_returnLog;
    ReturnQueue &m_rbsQueue;
    ReturnQueue &m_valysQueue;
};

} // namespace velora
