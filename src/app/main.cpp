#include "Version.h"

#include "shell/ConfigFile.h"
#include "shell/FailureHandler.h"
#include "shell/GuardedApplication.h"
#include "shell/HeadlessConsole.h"
#include "shell/Log.h"
#include "shell/Service.h"
#include "shell/Settings.h"
#include "shell/TerminationSignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTextStream>

#include <cstring>
#include <memory>

namespace {

using namespace velora;

constexpr int kExitBadFolder = 2;
constexpr int kExitUsage = 2;

bool hasArgument(int argc, char **argv, std::initializer_list<const char *> names)
{
    for (int i = 1; i < argc; ++i) {
        for (const char *name : names) {
            if (std::strcmp(argv[i], name) == 0)
                return true;
        }
    }
    return false;
}

// A window needs a display; an explicit QT_QPA_PLATFORM (offscreen, xcb, ...)
// is taken as the operator's choice.
bool displayAvailable()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// The program folder must exist and take new files (settings, logs, database).
// A probe file is the only honest test: permission bits say nothing for root,
// and a read-only mount shows only when writing.
QString prepareProgramFolder(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot create the folder");
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".write-test-XXXXXX")));
    if (!probe.open())
        return QStringLiteral("cannot write in the folder (%1)").arg(probe.errorString());
    return {};
}

template <typename Application>
int run(int argc, char **argv, bool headless, bool windowWanted)
{
    Application app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VeloraRBS"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kFileVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString::fromUtf8(kApplicationTitle) +
        QStringLiteral(": links the dispatch database with the booking systems over TCP.\n"
                       "Without --headless the window is shown when a display is available."));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("Run without window and tray icon; log lines go to standard output as "
                       "\"[RBSLog] line\" and \"[RBSCLog] line\". SIGINT/SIGTERM close the service."));
    const QCommandLineOption dirOption(
        QStringLiteral("dir"),
        QStringLiteral("Program folder holding VeloraRBS.xml, the log folder RBS/ and the embedded database. "
                       "Created when missing. Default: the folder of the executable."),
        QStringLiteral("DIR"));
    parser.addOption(headlessOption);
    parser.addOption(dirOption);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Print the version and exit."));
    parser.addOption(versionOption);

    QTextStream err(stderr);
    if (!parser.parse(QCoreApplication::arguments())) {
        err << parser.errorText() << "\n"
            << "Try VeloraRBS --help.\n";
        return kExitUsage;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }
    if (parser.isSet(versionOption)) {
        QTextStream(stdout) << kFileVersion << "\n";
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << "Unexpected argument: " << parser.positionalArguments().first() << "\nTry VeloraRBS --help.\n";
        return kExitUsage;
    }

    const QString folder =
        QDir(parser.isSet(dirOption) ? parser.value(dirOption) : QCoreApplication::applicationDirPath()).absolutePath();
    if (const QString problem = prepareProgramFolder(folder); !problem.isEmpty()) {
        err << "VeloraRBS: program folder " << QDir::toNativeSeparators(folder) << ": " << problem << "\n";
        return kExitBadFolder;
    }
    if (windowWanted && headless)
        err << "VeloraRBS: no display available (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset); "
               "running headless.\n";
    err.flush();

    Settings settings;
    Log activityLog(QStringLiteral("RBSLog"));
    Log returnLog(QStringLiteral("RBSCLog"));
    FailureHandler failures(activityLog);
    app.setFailureHandler(&failures);

    // Until the window exists every run shows its logs on standard output.
    QFile out;
    out.open(stdout, QIODevice::WriteOnly);
    std::unique_ptr<HeadlessConsole> console;
    bool windowShown = false;

    if (!headless) {
        // WINDOW: create the main window here (src/gui) as a view of the
        // service, bound to settings, logs and service, then set windowShown.
        // Closing it runs service.close() through the failure handler.
    }
    if (!windowShown)
        console = std::make_unique<HeadlessConsole>(activityLog, returnLog, out);

    ConfigFile config(QDir(folder).filePath(QStringLiteral("VeloraRBS.xml")), activityLog);
    config.LoadSettings(settings);

    Service service(settings, activityLog, returnLog, failures, config, folder);

    bool closeFailedOnce = false;
    onTerminationSignal(&app, [&] {
        if (failures.guard([&] { service.close(); })) {
            QCoreApplication::exit(0);
            return;
        }
        // The log could not be saved: the close is abandoned and the service
        // goes on, as for the window. An unattended service must still be
        // stoppable, so a second signal ends it with the settings written and
        // without the log file.
        if (!closeFailedOnce) {
            closeFailedOnce = true;
            QTextStream(stderr) << "VeloraRBS: close abandoned, the activity log could not be saved. "
                                   "Send the signal again to stop without it.\n";
            return;
        }
        failures.guard([&] {
            service.gatherSettings();
            config.FlushSettings();
        });
        QCoreApplication::exit(1);
    });

    service.start();
    if (!windowShown)
        QTextStream(stderr) << "VeloraRBS " << kFileVersion << ": running without window on "
                            << QDir::toNativeSeparators(folder) << "\n";
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    const bool informational = hasArgument(argc, argv, {"--help", "-h", "-?", "--help-all", "--version"});
    const bool headlessAsked = hasArgument(argc, argv, {"--headless", "-headless"});
    const bool windowWanted = !headlessAsked && !informational;
    if (windowWanted && displayAvailable())
        return run<GuardedApplication<QApplication>>(argc, argv, false, true);
    return run<GuardedApplication<QCoreApplication>>(argc, argv, true, windowWanted);
}
