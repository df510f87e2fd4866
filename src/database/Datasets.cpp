#include "database/Datasets.h"

namespace velora {

Datasets::Datasets(Database &database, Settings &settings, Log &activityLog, DistanceClient &distance,
                   FailureHandler &failures)
    : hooks(settings, activityLog, distance),
      ADOINS(database, QStringLiteral("ADOINS"), QStringLiteral("planning"), QStringLiteral("pla_id"), true),
      ADOZoekLaatste(database, QStringLiteral("ADOZoekLaatste"), QStringLiteral("planning"), QStringLiteral("pla_id"),
                     false),
      ADOHIS(database, QStringLiteral("ADOHIS"), QStringLiteral("planning"), QStringLiteral("pla_id"), false),
      ADOTRETOUR(database, QStringLiteral("ADOTRETOUR"), QStringLiteral("planning"), QStringLiteral("pla_id"), true),
      // A traveller created for a packet stays even when the ride is refused:
      // the next packet for the same debtor finds it instead of creating another.
      ADODEB(database, QStringLiteral("ADODEB"), QStringLiteral("reizigers"), QStringLiteral("rei_id"), false),
      ADOPOSTCODE(database, QStringLiteral("ADOPOSTCODE"), QStringLiteral("Straten"), QString(), false),
      ADOCommand(database, true), transactions(ADOCommand, settings, failures)
{
    ADOINS.onNewRow = [this](Dataset &ride) { hooks.applyNewRowDefaults(ride); };
    ADOINS.beforePost = [this](Dataset &ride) { hooks.beforePost(ride); };
}

} // namespace velora
