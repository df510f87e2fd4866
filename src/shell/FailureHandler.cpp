#include "shell/FailureHandler.h"

#include "shell/Log.h"
#include "shell/Settings.h"

namespace velora {

FailureHandler::FailureHandler(Log &activityLog, QObject *parent) : QObject(parent), m_activityLog(activityLog) {}

void FailureHandler::handle(const std::exception &failure)
{
    handle(failureMessage(failure));
}

void FailureHandler::handle(const QString &message)
{
    handle(QString(), message);
}

void FailureHandler::handle(const QString &component, const QString &message)
{
    handle(component, message, QString());
}

void FailureHandler::handle(const QString &component, const QString &message, const QString &peer)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString part = component.isEmpty() ? QStringLiteral("service") : component;
    const bool again = m_last.isValid() && m_last.component == part && m_last.message == message && m_last.peer == peer;
    if (again && m_lastShown.isValid() && m_lastShown.msecsTo(now) < m_repeatIntervalMs) {
        ++m_repeats;
        m_last.at = now;
        Q_EMIT failed(message);
        return;
    }
    QString shown = message;
    if (again && m_repeats > 0)
        shown += QStringLiteral(" (%1 more times since %2)").arg(m_repeats).arg(timeOfDayStamp(m_lastShown));
    m_repeats = 0;
    m_lastShown = now;
    saveHistory();
    m_activityLog.replaceWith(shown, {LinePriority::Error, part, peer});
    m_leftByLastFailure = m_activityLog.lines();
    m_last = {now, part, message, peer};
    Q_EMIT failed(message);
}

void FailureHandler::keepHistoryIn(const QString &folder, const Settings *settings)
{
    m_historyFolder = folder;
    m_settings = settings;
}

void FailureHandler::saveHistory()
{
    if (m_historyFolder.isEmpty() || m_activityLog.lineCount() == 0 || m_activityLog.lines() == m_leftByLastFailure)
        return;
    const int keepDays = m_settings ? m_settings->integer(Setting::LogBewaarDagen) : 0;
    try {
        saveActivityLog(m_activityLog, m_historyFolder, QDateTime::currentDateTime(), keepDays);
    } catch (...) {
        // Reported on standard error by the save; the failure itself still
        // has to reach the log, and this handler must never throw.
    }
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_FailureHandler.cpp"
