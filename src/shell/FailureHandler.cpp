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

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_FailureHandler.cpp"
