#pragma once

#include "shell/Failure.h"

#include <QObject>

#include <exception>
#include <utility>

namespace velora {

class Log;

// ApplicationEvents1Exception: the one place where failures that no handler
// caught itself end up. The activity log's whole content becomes the message;
// the service then goes on with the next event.
class FailureHandler : public QObject {
    Q_OBJECT
public:
    explicit FailureHandler(Log &activityLog, QObject *parent = nullptr);

    void handle(const std::exception &failure);
    void handle(const QString &message);

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
    Log &m_activityLog;
};

} // namespace velora
