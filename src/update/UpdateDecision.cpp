#include "update/UpdateDecision.h"

namespace velora {

bool versionSortsBefore(const QString &installed, const QString &offered)
{
    // QString's ordering is by UTF-16 code unit: character code order.
    return installed < offered;
}

QString sqlScriptsWarningText(const QString &sqlVersion)
{
    return QStringLiteral("U kunt de beschikbare update momenteel niet installeren.\r\n"
                          "\r\n"
                          "Velora  beschikt niet over de juiste database versie en u moet vooraf de SQL scripts "
                          "uitvoeren.\r\n"
                          "\r\n"
                          "Noodzakelijke versie SQL scripts: ") +
           sqlVersion;
}

CheckOutcome decideCheckOutcome(const QString &installedVersion, const QString &installedSqlVersion,
                                const UpdateDescription &description, bool interactive)
{
    if (versionSortsBefore(installedVersion, description.version)) {
        // An empty installed script version sorts before any non-empty one.
        if (versionSortsBefore(installedSqlVersion, description.sqlVersion))
            return CheckOutcome::SqlScriptsWarning;
        return CheckOutcome::ShowNotice;
    }
    if (!interactive)
        return CheckOutcome::Silent;
    if (!description.version.isEmpty() || description.updatePageUrl.isEmpty())
        return CheckOutcome::NoUpdateInformation;
    return CheckOutcome::NoUpdateOfferWebsite;
}

} // namespace velora
