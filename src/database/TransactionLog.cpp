#include "database/TransactionLog.h"

#include "database/Dataset.h"
#include "shell/FailureHandler.h"
#include "shell/Settings.h"

namespace velora {

namespace {

// The remarks the service writes ("Op rekening", "Contant", a ride number,
// nothing) hold no quote; doubling one anyway keeps any other remark from
// ending the text early.
QString quotedRemark(const QString &remark)
{
    QString text = remark;
    return text.replace(u'\'', QStringLiteral("''"));
}

} // namespace

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
        const QString statement =
            QStringLiteral("INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                           "tra_code, tra_opmerking) VALUES  (") +
            QString::number(user) + u',' + QString::number(rideState) + u',' + QString::number(ride) + u',' +
            QString::number(vehicle) + u',' + QString::number(driver) + u',' + QString::number(code) +
            QStringLiteral(",'") + quotedRemark(remark) + QStringLiteral("')");
        m_command.execute(statement);
    });
}

} // namespace velora
