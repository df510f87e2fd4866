#pragma once

#include "update/UpdateDescription.h"

#include <QMetaType>
#include <QString>

namespace velora {

inline constexpr char kSqlScriptsWarningTitle[] = "SQL scripts controle is mislukt";
inline constexpr char kNoUpdateText[] = "Er is geen nieuwe versie beschikbaar.";

// Versions are compared as plain texts by character code: 9.0.1.51 sorts
// before 9.0.1.6. The update server publishes its versions with that in mind.
bool versionSortsBefore(const QString &installed, const QString &offered);

// The text of the warning box shown when the update needs newer SQL scripts.
QString sqlScriptsWarningText(const QString &sqlVersion);

// What a finished check leads to.
enum class CheckOutcome {
    ShowNotice,          // newer version: the notice window
    SqlScriptsWarning,   // newer version that needs newer database scripts
    NoUpdateInformation, // "Er is geen nieuwe versie beschikbaar."
    NoUpdateOfferWebsite,
    Silent,         // not interactive and nothing new
    UntrustedServer // https: the description's server failed verification; never silent
};
// For a description that arrived (or did not, and reads as empty).
CheckOutcome decideCheckOutcome(const QString &installedVersion, const QString &installedSqlVersion,
                                const UpdateDescription &description, bool interactive);

} // namespace velora

Q_DECLARE_METATYPE(velora::CheckOutcome)
