#pragma once

#include "shell/FailureHandler.h"

#include <exception>

namespace velora {

// The application object with the last line of defence of the failure rule:
// an exception that escapes any event handler (a slot, a timer tick, a socket
// event, a widget's event) stops here and goes to the FailureHandler instead of
// unwinding through Qt's event loop. Base is QCoreApplication for headless runs
// and QApplication for the window; this header stays free of Widgets so that
// the core never depends on them.
template <typename Base>
class GuardedApplication : public Base {
public:
    GuardedApplication(int &argc, char **argv) : Base(argc, argv) {}

    // Set once the failure handler exists (it needs the activity log, which is
    // made after the application object).
    void setFailureHandler(FailureHandler *failures) { m_failures = failures; }

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return Base::notify(receiver, event);
        } catch (const std::exception &e) {
            report(failureMessage(e));
        } catch (...) {
            report(QStringLiteral("Unknown failure"));
        }
        return false;
    }

private:
    void report(const QString &message)
    {
        if (m_failures)
            m_failures->handle(message);
        else
            qWarning("%s", qUtf8Printable(message));
    }

    FailureHandler *m_failures = nullptr;
};

} // namespace velora
