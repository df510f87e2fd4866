#pragma once

#include "database/Dataset.h"
#include "rides/RideHooks.h"
#include "rides/TransactionLog.h"

namespace velora {

class Database;
class DistanceClient;
class FailureHandler;
class Log;
class Settings;

// The named datasets on the one connection, with the rides dataset's hooks
// wired in. Every user closes a dataset before giving it a new statement.
struct Datasets {
    Datasets(Database &database, Settings &settings, Log &activityLog, DistanceClient &distance,
             FailureHandler &failures);

    RideHooks hooks;
    Dataset ADOINS;         // planning: appending and editing rides (joins the packet's unit)
    Dataset ADOZoekLaatste; // planning: rides by their marker (a posted ride's id comes from its insert)
    Dataset ADOHIS;         // planning with WAGENS: the status message's ride
    Dataset ADOTRETOUR;     // planning: selections by return state
    Dataset ADODEB;         // reizigers: traveller lookup and creation (joins the packet's unit)
    Dataset ADOPOSTCODE;    // Straten: postcode conversion
    Command ADOCommand;     // transactions and return-state updates (joins the packet's unit)
    TransactionLog transactions;
};

} // namespace velora
