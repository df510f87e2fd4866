#include "gui/WindowMode.h"

#include "Version.h"
#include "gui/Dialogs.h"
#include "gui/Hoofdscherm.h"
#include "service/ServicePanel.h"
#include "shell/FailureHandler.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#endif

namespace velora {

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
namespace {

// How long the X server gets to accept the connection and the greeting. A
// display on another host that drops packets would otherwise hold the start
// for minutes, where Qt itself would wait just as long.
constexpr int kDisplayProbeMs = 3000;

// Opens and closes one X connection the way Qt's xcb platform will (same
// DISPLAY, same authority file), in a child process so that a server that
// never answers costs at most kDisplayProbeMs. Runs before the program starts
// any thread, which keeps the fork simple.
QString probeXDisplay()
{
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("DISPLAY is unset");
    const pid_t child = fork();
    if (child < 0)
        return {}; // cannot tell: let Qt try
    if (child == 0) {
        xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
        const int error = xcb_connection_has_error(connection);
        xcb_disconnect(connection);
        _exit(error == 0 ? 0 : 1);
    }
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return {};
        if (clock.elapsed() >= kDisplayProbeMs) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return QStringLiteral("the X server of DISPLAY=%1 did not answer within %2 s")
                .arg(display)
                .arg(kDisplayProbeMs / 1000);
        }
        usleep(10 * 1000);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    return QStringLiteral("cannot connect to the X server of DISPLAY=%1").arg(display);
}

// A Wayland compositor listens on a socket named by WAYLAND_DISPLAY, relative
// to XDG_RUNTIME_DIR unless it is a path.
QString probeWaylandDisplay()
{
    QString name = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (name.isEmpty())
        return QStringLiteral("WAYLAND_DISPLAY is unset");
    if (!name.startsWith(u'/'))
        name = qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + name;
    const QByteArray path = QFile::encodeName(name);
    sockaddr_un address{};
    if (path.size() >= qsizetype(sizeof(address.sun_path)))
        return QStringLiteral("the Wayland socket path %1 is too long").arg(name);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected ? QString() : QStringLiteral("cannot connect to the Wayland display %1").arg(name);
}

// Empty when the platform can start; otherwise why not.
QString probePlatform(const QString &name)
{
    if (name == QLatin1String("xcb"))
        return probeXDisplay();
    if (name.startsWith(QLatin1String("wayland")))
        return probeWaylandDisplay();
    // offscreen, minimal, vnc, eglfs, linuxfb: no display server to reach;
    // whoever chose them explicitly knows the machine.
    return {};
}

} // namespace
#endif

bool windowSystemAvailable(QString *reason)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Qt tries the platforms of QT_QPA_PLATFORM in order ("wayland;xcb");
    // without it, Wayland in a Wayland session and X otherwise.
    QStringList candidates;
    for (const QString &entry : qEnvironmentVariable("QT_QPA_PLATFORM").split(u';', Qt::SkipEmptyParts))
        candidates.append(entry.section(u':', 0, 0).trimmed()); // "xcb:option=value"
    if (candidates.isEmpty()) {
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            candidates.append(QStringLiteral("wayland"));
        if (!qEnvironmentVariableIsEmpty("DISPLAY"))
            candidates.append(QStringLiteral("xcb"));
    }
    if (candidates.isEmpty()) {
        if (reason)
            *reason = QStringLiteral("DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset");
        return false;
    }
    QStringList problems;
    for (const QString &candidate : candidates) {
        const QString problem = probePlatform(candidate);
        if (problem.isEmpty())
            return true;
        problems.append(problem);
    }
    if (reason)
        *reason = problems.join(QStringLiteral("; "));
    return false;
#else
    Q_UNUSED(reason);
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
