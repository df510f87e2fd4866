#pragma once

#include <QString>

#include <functional>

class QApplication;

namespace velora {

class Dialogs;
class FailureHandler;
class Log;
class ServicePanel;
class Settings;

struct WindowOptions {
    // The update description's address; empty: the built-in one.
    QString updateUrl;
    // Writes the settings file. Called when the program ends for an update
    // (the close step, which writes it otherwise, does not run then).
    std::function<void()> writeSettingsFile;
    // Receives, once the window exists, the function that closes it through
    // the close step; it returns false when the close was abandoned (the log
    // could not be saved). main calls that function from the event loop when
    // SIGINT or SIGTERM arrives (never from the signal handler itself).
    std::function<void(std::function<bool()> closeWindow)> onCloseAvailable;
    // Boxes and pickers; null: the real ones.
    Dialogs *dialogs = nullptr;
};

// Whether a window can be shown at all: a display that answers, or a platform
// chosen with QT_QPA_PLATFORM that needs none (offscreen). Decides between
// window and headless before the QApplication exists, since Qt aborts the
// program when its platform cannot start. When there is none, *reason says
// why in a few words (for the one line on standard error).
bool windowSystemAvailable(QString *reason = nullptr);

// Window mode: creates the main window and its tray icon on the service,
// starts the service, shows the window and runs the event loop. Returns the
// event loop's exit code once the window closed (close step done) or the
// program ended for an update.
int runWindow(QApplication &app, ServicePanel &service, Settings &settings, Log &activityLog, Log &returnLog,
              FailureHandler &failures, const WindowOptions &options);

} // namespace velora
