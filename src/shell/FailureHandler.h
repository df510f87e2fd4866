#pragma once

#include "shell/Failure.h"
#include "shell/ServiceMetrics.h"

#include <QObject>
#include <QStringList>

#include <exception>
#include <utility>

namespace velora {

class Log;
class Settings;

// ApplicationEvents1Exception: the one place where failures that no handler
// caught itself end up. The activity log's whole content becomes the message;
// the service then goes on with the next event.
class FailureHandler : public QObject {
    Q_OBJECT
public:
    explicit FailureHandler(Log &activityLog, QObject *parent = nullptr);

    void handle(const std::exception &failure);
    void handle(const QString &message);
    // A failure of a known part (a socket by its name, the database, the
    // distance service); the message itself names it too, for the log reader.
    void handle(const QString &component, const QString &message);
    // The same for a failure about one peer (a booking system's address).
    void handle(const QString &component, const QString &message, const QString &peer);

    // A lasting failure (a port in use, tried every second) would replace the
    // log with the same line for as long as it lasts. The same failure of the
    // same part within this interval of its last report is counted, not
    // shown; the first one after it is shown with that count.
    static constexpr qint64 kDefaultRepeatIntervalMs = 60000;
    void setRepeatInterval(qint64 ms) { m_repeatIntervalMs = ms; }

    // From now on the activity log is saved to `folder` before a failure
    // replaces it, so that what led up to the failure is kept. Saved logs
    // older than LogBewaarDagen days go at each save.
    void keepHistoryIn(const QString &folder, const Settings *settings);

    const FailureRecord &lastFailure() const { return m_last; }

    // Runs an event-loop entry point; whatever it throws goes to handle().
    // Returns false when it failed.
    template <typename Work>
    bool guard(Work &&work) noexcept
    {
        try {
            std::forward<Work>(work)();
            return true;
        } catch (const std::exception &e) {
            handle(e);
        } catch (...) {
            handle(QStringLiteral("Unknown failure"));
        }
        return false;
    }

Q_SIGNALS:
    void failed(const QString &message);

private:
    void saveHistory();

    Log &m_activityLog;
    QString m_historyFolder;
    const Settings *m_settings = nullptr;
    // The log as the last failure left it: a log still holding only that
    // is not saved again (a host that stays down fails every few seconds).
    QStringList m_leftByLastFailure;
    FailureRecord m_last;
    // When the last failure was shown, and how often it came again since.
    QDateTime m_lastShown;
    int m_repeats = 0;
    qint64 m_repeatIntervalMs = kDefaultRepeatIntervalMs;
};

} // namespace velora
