#include "rides/TransactionLog.h"

#include "database/Dataset.h"
#include "shell/FailureHandler.h"
#include "shell/Settings.h"

namespace velora {

TransactionLog::TransactionLog(Command &command, Settings &settings, FailureHandler &failures)
    : m_command(command), m_settings(settings), m_failures(failures)
{
}

void TransactionLog::LogTransactie(qint32 rideState, qint32 ride, qint32 vehicle, qint32 driver, qint32 code,
                                   const QString &remark)
{
    // Fire and forget: the caller goes on as if the row were written.
    m_failures.guard([&] {
        const qint32 user = m_settings.integer(Setting::Gebruiker);
        // Nothing here reads the row back: on a server, a group's
        // transaction rows go in one round trip with its commit.
        m_command.insertWithCommit(
            QStringLiteral("INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                           "tra_code, tra_opmerking) VALUES  (?,?,?,?,?,?,?)"),
            // Without a remark the column holds an empty text, not NULL.
            {user, rideState, ride, vehicle, driver, code, remark.isNull() ? QStringLiteral("") : remark});
    });
}

} // namespace velora
