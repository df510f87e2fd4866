#pragma once

#include <QString>

class QCoreApplication;

namespace velora {

class FailureHandler;
class Log;
class ServicePanel;
class Settings;
struct WindowOptions;

// The window is a module of its own (velora-window.so, the package
// velora-rbs-window), which the program loads only when a window is wanted:
// a headless server then needs none of the window's libraries. The module
// uses the core of the program that loaded it, so program and module meet
// here, through plain function pointers, and nowhere else.
struct WindowEntry {
    // A display that answers, or a platform that needs none (see
    // windowSystemAvailable).
    bool (*available)(QString *reason);
    // The application object of the window: a QApplication that hands what
    // escapes an event handler to the failure handler once it is set.
    QCoreApplication *(*makeApplication)(int &argc, char **argv);
    void (*setFailureHandler)(QCoreApplication &app, FailureHandler *failures);
    // runWindow on that application object.
    int (*run)(QCoreApplication &app, ServicePanel &service, Settings &settings, Log &activityLog, Log &returnLog,
               FailureHandler &failures, const WindowOptions &options);
};

} // namespace velora

// The module's one exported symbol, looked up by this name.
extern "C" const velora::WindowEntry *velora_window_entry();
