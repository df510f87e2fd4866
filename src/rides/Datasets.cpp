#include "rides/Datasets.h"

namespace velora {

Datasets::Datasets(Database &database, Settings &settings, Log &activityLog, DistanceClient &distance,
                   FailureHandler &failures)
    : hooks(settings, activityLog, distance),
      ADOINS(database, QStringLiteral("ADOINS"), QStringLiteral("planning"), QStringLiteral("pla_id"), true),
      ADOZoekLaatste(database, QStringLiteral("ADOZoekLaatste"), QStringLiteral("planning"), QStringLiteral("pla_id"),
                     false),
      ADOHIS(database, QStringLiteral("ADOHIS"), QStringLiteral("planning"), QStringLiteral("pla_id"), false),
      ADOTRETOUR(database, QStringLiteral("ADOTRETOUR"), QStringLiteral("planning"), QStringLiteral("pla_id"), true),
      // A traveller created for a packet is committed with its ride: a refused
      // ride leaves no traveller behind, and its resend creates it anew.
      ADODEB(database, QStringLiteral("ADODEB"), QStringLiteral("reizigers"), QStringLiteral("rei_id"), true),
      ADOPOSTCODE(database, QStringLiteral("ADOPOSTCODE"), QStringLiteral("Straten"), QString(), false),
      ADOCommand(database, true), transactions(ADOCommand, settings, failures)
{
    ADOINS.onNewRow = [this](Dataset &ride) { hooks.applyNewRowDefaults(ride); };
    ADOINS.beforePost = [this](Dataset &ride) { hooks.beforePost(ride); };
}

} // namespace velora
