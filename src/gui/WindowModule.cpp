#include "gui/WindowModule.h"

#include "gui/WindowMode.h"
#include "shell/GuardedApplication.h"

#include <QApplication>

namespace {

using namespace velora;

using WindowApplication = GuardedApplication<QApplication>;

QCoreApplication *makeApplication(int &argc, char **argv)
{
    return new WindowApplication(argc, argv);
}

void setFailureHandler(QCoreApplication &app, FailureHandler *failures)
{
    static_cast<WindowApplication &>(app).setFailureHandler(failures);
}

int run(QCoreApplication &app, ServicePanel &service, Settings &settings, Log &activityLog, Log &returnLog,
        FailureHandler &failures, const WindowOptions &options)
{
    return runWindow(static_cast<WindowApplication &>(app), service, settings, activityLog, returnLog, failures,
                     options);
}

const WindowEntry kEntry{&windowSystemAvailable, &makeApplication, &setFailureHandler, &run};

} // namespace

extern "C" __attribute__((visibility("default"))) const WindowEntry *velora_window_entry()
{
    return &kEntry;
}
