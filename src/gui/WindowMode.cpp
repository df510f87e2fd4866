#include "gui/WindowMode.h"

#include "Version.h"
#include "gui/Dialogs.h"
#include "gui/Hoofdscherm.h"
#include "shell/FailureHandler.h"
#include "shell/ServicePanel.h"

#include <QApplication>
#include <QFileInfo>

namespace velora {

bool windowSystemAvailable()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

int runWindow(QApplication &app, ServicePanel &service, Settings &settings, Log &activityLog, Log &returnLog,
              FailureHandler &failures, const WindowOptions &options)
{
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
    QApplication::setApplicationDisplayName(QString::fromLatin1(kApplicationTitle));
    // The window may be hidden in the tray while a message box closes; only
    // the close step ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    WidgetDialogs widgetDialogs;
    Dialogs &dialogs = options.dialogs ? *options.dialogs : widgetDialogs;

    UpdateCheckerConfig update;
    update.programFolder = service.programFolder();
    update.programFilePath = QApplication::applicationFilePath();
    if (QFileInfo(update.programFilePath).fileName().isEmpty())
        update.programFilePath = QStringLiteral("VeloraRBS");
    if (!options.updateUrl.isEmpty())
        update.descriptionUrl = QUrl(options.updateUrl);

    Hoofdscherm window(service, settings, activityLog, returnLog, failures, dialogs, update);
    window.setSettingsWriter(options.writeSettingsFile);
    QObject::connect(&window, &Hoofdscherm::serviceClosed, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&window, &Hoofdscherm::endedForUpdate, &app, [] { QCoreApplication::exit(0); });
    if (options.onCloseAvailable)
        options.onCloseAvailable([&window] { return window.CloseService(); });

    failures.guard([&service] { service.start(); });
    window.show();
    const int code = app.exec();
    if (options.onCloseAvailable)
        options.onCloseAvailable({}); // the window is gone
    return code;
}

} // namespace velora
