#pragma once

#include <QString>

namespace velora {

class Command;
class FailureHandler;
class Settings;

// LogTransactie: one row in TRANSACTIES, fire and forget. A failure goes to the
// failure handler and the caller carries on.
class TransactionLog {
public:
    TransactionLog(Command &command, Settings &settings, FailureHandler &failures);

    void LogTransactie(qint32 rideState, qint32 ride, qint32 vehicle, qint32 driver, qint32 code,
                       const QString &remark);

private:
    Command &m_command;
    Settings &m_settings;
    FailureHandler &m_failures;
};

} // namespace velora
