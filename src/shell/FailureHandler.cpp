#include "shell/FailureHandler.h"

#include "shell/Log.h"

namespace velora {

FailureHandler::FailureHandler(Log &activityLog, QObject *parent) : QObject(parent), m_activityLog(activityLog) {}

void FailureHandler::handle(const std::exception &failure)
{
    handle(failureMessage(failure));
}

void FailureHandler::handle(const QString &message)
{
    m_activityLog.replaceWith(message);
    Q_EMIT failed(message);
}

} // namespace velora
