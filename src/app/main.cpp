#include "Version.h"

#include "gui/WindowMode.h"
#include "gui/WindowModule.h"

#include "service/StatusQuery.h"

#include "app/TerminationSignals.h"
#include "service/HeadlessConsole.h"
#include "service/Service.h"
#include "service/SystemdNotify.h"
#include "shell/ConfigFile.h"
#include "shell/FailureHandler.h"
#include "shell/GuardedApplication.h"
#include "shell/Log.h"
#include "shell/Settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QLockFile>
#include <QTemporaryFile>
#include <QTextStream>

#include <cstring>
#include <memory>

namespace {

using namespace velora;

constexpr int kExitSettingsProblems = 1;
constexpr int kExitSettingsUnreadable = 2;
constexpr int kExitBadFolder = 2;
constexpr int kExitUsage = 2;
constexpr int kExitFolderInUse = 3;

// The return log is cleared only when a return host answers; with the return
// link off it would grow with every ride for as long as the service runs. The
// same rule as the activity log's: cleared when it holds more than this many
// lines.
constexpr qsizetype kReturnLogBound = 500;

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

// Two services on one program folder would share its database, and both
// would send every status message. The lock file holds the process id and
// host of the service that owns the folder; a lock whose process is gone (a
// kill -9, a power cut) is taken over. Age alone never makes a lock stale: a
// service runs for months.
QString lockProgramFolder(QLockFile &lock, int *exitCode)
{
    lock.setStaleLockTime(0);
    if (lock.tryLock(100))
        return {};
    const QString shownLock = QDir::toNativeSeparators(lock.fileName());
    if (lock.error() != QLockFile::LockFailedError) {
        *exitCode = kExitBadFolder;
        return QStringLiteral("cannot create the lock file %1").arg(shownLock);
    }
    *exitCode = kExitFolderInUse;
    qint64 pid = 0;
    QString host;
    QString application;
    if (!lock.getLockInfo(&pid, &host, &application))
        return QStringLiteral("in use by another process (lock file %1)").arg(shownLock);
    return QStringLiteral("in use by process %1 on host %2 (lock file %3)").arg(QString::number(pid), host, shownLock);
}

// --check-config: the settings file as the service would read it, without
// the lock, without creating or writing anything in the folder, so that it can
// run beside the service that owns the folder.
int checkSettingsFile(const QString &folder)
{
    const QString path = QDir(folder).filePath(QStringLiteral("VeloraRBS.xml"));
    const ConfigFile::Check check = ConfigFile::check(path);
    if (!check.readable) {
        QTextStream(stderr) << "VeloraRBS: " << check.problem << "\n";
        return kExitSettingsUnreadable;
    }
    QTextStream out(stdout);
    const QString shownPath = QDir::toNativeSeparators(path);
    for (const QString &warning : check.warnings)
        out << shownPath << ": " << warning << "\n";
    if (check.warnings.isEmpty()) {
        out << shownPath << ": no problems found.\n";
        return 0;
    }
    out << shownPath << ": " << check.warnings.size() << (check.warnings.size() == 1 ? " problem" : " problems")
        << " found.\n";
    return kExitSettingsProblems;
}

// The window's module: beside the program (a build folder), else where the
// package velora-rbs-window puts it. Null, with the reason, when it is not
// there or not usable; it stays loaded for the rest of the run.
const WindowEntry *loadWindowModule(QString *reason)
{
    const QString name = QStringLiteral("velora-window.so");
    const QString beside = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    QString path = QDir(beside).filePath(name);
    if (!QFileInfo::exists(path))
        path = QDir(QStringLiteral(VELORA_WINDOW_MODULE_DIR)).filePath(name);
    if (!QFileInfo::exists(path)) {
        *reason = QStringLiteral("no window: %1 is not installed (package velora-rbs-window)").arg(path);
        return nullptr;
    }
    // Its destructor leaves the module loaded: the window's code runs until
    // the program ends.
    static QLibrary module;
    module.setFileName(path);
    using Entry = const WindowEntry *(*)();
    const auto entry = reinterpret_cast<Entry>(module.resolve("velora_window_entry"));
    if (!entry) {
        *reason = QStringLiteral("no window: %1 cannot be loaded (%2)").arg(path, module.errorString());
        return nullptr;
    }
    return entry();
}

// window: the module when the window runs; null headless, where
// noWindowReason says why when a window was wanted.
int run(int argc, char **argv, const WindowEntry *window, bool windowWanted, const QString &noWindowReason = {})
{
    const bool headless = window == nullptr;
    using Headless = GuardedApplication<QCoreApplication>;
    const std::unique_ptr<QCoreApplication> application(window ? window->makeApplication(argc, argv)
                                                               : new Headless(argc, argv));
    QCoreApplication &app = *application;
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
                       "\"[RBSLog] line\" and \"[RBSCLog] line\". SIGINT/SIGTERM close the service; "
                       "SIGHUP reads the settings file again."));
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
    const QCommandLineOption updateUrlOption(
        QStringLiteral("update-url"),
        QStringLiteral("Address of the update description (window mode). Default: the built-in address."),
        QStringLiteral("URL"));
    parser.addOption(updateUrlOption);
    const QCommandLineOption statusOption(
        QStringLiteral("status"),
        QStringLiteral("Ask the service running on the program folder (--dir) for its status through its status "
                       "endpoint (StatusPoort_Text) and print it. Exit code 0 when healthy, 1 otherwise."));
    parser.addOption(statusOption);
    const QCommandLineOption checkConfigOption(
        QStringLiteral("check-config"),
        QStringLiteral("Check the settings file VeloraRBS.xml of the program folder and exit: lists every value "
                       "that cannot be read, is read other than written or is out of range, and every unknown "
                       "element. Exit code 0 when clean, 1 with problems, 2 when the file cannot be read. Takes no "
                       "lock and writes nothing."));
    parser.addOption(checkConfigOption);

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
    // Only asks: the folder belongs to the running service, so it is neither
    // made nor locked.
    if (parser.isSet(statusOption)) {
        QTextStream out(stdout);
        return queryStatus(folder, out, err);
    }
    if (parser.isSet(checkConfigOption))
        return checkSettingsFile(folder);
    if (const QString problem = prepareProgramFolder(folder); !problem.isEmpty()) {
        err << "VeloraRBS: program folder " << QDir::toNativeSeparators(folder) << ": " << problem << "\n";
        return kExitBadFolder;
    }
    // Before the settings file or the database is touched.
    QLockFile folderLock(QDir(folder).filePath(QStringLiteral("VeloraRBS.lock")));
    int lockExitCode = 0;
    if (const QString problem = lockProgramFolder(folderLock, &lockExitCode); !problem.isEmpty()) {
        err << "VeloraRBS: program folder " << QDir::toNativeSeparators(folder) << ": " << problem << "\n";
        return lockExitCode;
    }
    if (windowWanted && headless)
        err << "VeloraRBS: " << noWindowReason << "; running headless.\n";
    err.flush();

    Settings settings;
    Log activityLog(QStringLiteral("RBSLog"));
    Log returnLog(QStringLiteral("RBSCLog"));
    returnLog.setLineBound(kReturnLogBound);
    FailureHandler failures(activityLog);
    if (window)
        window->setFailureHandler(app, &failures);
    else
        static_cast<Headless &>(app).setFailureHandler(&failures);

    // Standard output may be a pipe to a log reader that ends before the
    // service does: writing there must fail, not end the service.
    ignoreBrokenPipe();
    // Headless, standard output carries both logs.
    QFile out;
    std::unique_ptr<HeadlessConsole> console;
    if (headless) {
        out.open(stdout, QIODevice::WriteOnly);
        console = std::make_unique<HeadlessConsole>(activityLog, returnLog, out);
        console->setJournalPriorities(systemd::standardOutputIsJournal());
        console->setJournalEntries(systemd::journalTakesEntries());
    }

    ConfigFile config(QDir(folder).filePath(QStringLiteral("VeloraRBS.xml")), activityLog);
    // SIGHUP: the settings file is read again into the live settings. Every
    // part reads its settings when it uses them, so the new values apply from
    // the next tick or packet. A fresh ConfigFile in place of the old one reads
    // the file anew (the old one has read it once and keeps that document);
    // the service refers to this same object, so the close step writes from
    // the document read now. Hooked before the first reading, so that a SIGHUP
    // during start-up waits for the event loop instead of ending the program.
    Service *reloading = nullptr;
    onReloadSignal(&app, [&] {
        if (reloading)
            failures.guard([&] { reloading->reloadSettings(); });
    });

    config.LoadSettings(settings);
    // The activity log has these too; standard error is what an operator sees
    // first when the service is started by hand or by the service manager.
    if (!config.loadProblem().isEmpty())
        QTextStream(stderr) << "VeloraRBS: " << config.loadProblem() << "\n";
    if (headless) {
        // In the journal at the rank of the activity log's copy: a warning.
        const char *rank = systemd::standardErrorIsJournal() ? "<4>" : "";
        QTextStream warn(stderr);
        for (const QString &warning : config.warnings())
            warn << rank << "VeloraRBS: settings file " << QDir::toNativeSeparators(config.path()) << ": " << warning
                 << "\n";
    }

    Service service(settings, activityLog, returnLog, failures, config, folder);
    reloading = &service;

    bool closeFailedOnce = false;
    std::function<bool()> closeWindow;
    onTerminationSignal(&app, [&] {
        if (!closeWindow) {
            // Headless nobody is there to decide what to do about a log
            // that cannot be saved (a full disk): the close goes on without
            // it, within the manager's stop time-out, and the exit code says
            // that something was lost.
            bool logSaved = false;
            const bool closed = failures.guard([&] { logSaved = service.closeEvenWithoutLog(); });
            if (closed && logSaved) {
                QCoreApplication::exit(0);
                return;
            }
            QTextStream(stderr) << "VeloraRBS: stopped without saving the activity log (see above).\n";
            QCoreApplication::exit(1);
            return;
        }
        // The same close step as the window's "SLUITEN"; when it succeeds
        // the window ends the event loop itself.
        if (closeWindow())
            return;
        // The log could not be saved: the close is abandoned and the window
        // stays open. It must still be stoppable by signal, so a second one
        // ends it with the settings written and without the log file.
        if (!closeFailedOnce) {
            closeFailedOnce = true;
            QTextStream(stderr) << "VeloraRBS: close abandoned, the activity log could not be saved. "
                                   "Send the signal again to stop without it.\n";
            return;
        }
        failures.guard([&] {
            service.gatherSettings();
            const ConfigFile::FlushResult written = config.FlushSettings();
            // The note above promised only the log would be lost.
            if (written == ConfigFile::FlushResult::Failed || written == ConfigFile::FlushResult::Protected)
                QTextStream(stderr) << "VeloraRBS: the settings file " << QDir::toNativeSeparators(config.path())
                                    << " was not written either; the settings of this run are lost.\n";
        });
        QCoreApplication::exit(1);
    });

    if (window) {
        WindowOptions options;
        options.updateUrl = parser.value(updateUrlOption);
        options.writeSettingsFile = [&] {
            service.gatherSettings();
            config.FlushSettings();
        };
        options.onCloseAvailable = [&](std::function<bool()> close) { closeWindow = std::move(close); };
        return window->run(app, service, settings, activityLog, returnLog, failures, options);
    }

    service.start();
    QTextStream(stderr) << "VeloraRBS " << kFileVersion << ": running without window on "
                        << QDir::toNativeSeparators(folder) << "\n";
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    const bool informational = hasArgument(
        argc, argv,
        {"--help", "-h", "-?", "--help-all", "--version", "--status", "-status", "--check-config", "-check-config"});
    const bool headlessAsked = hasArgument(argc, argv, {"--headless", "-headless"});
    const bool windowWanted = !headlessAsked && !informational;
    // A display that is named but cannot be reached would make QApplication
    // abort the program: it is probed first, and the service runs headless.
    QString noWindowReason;
    if (windowWanted) {
        if (const WindowEntry *window = loadWindowModule(&noWindowReason)) {
            QString noDisplay;
            if (window->available(&noDisplay))
                return run(argc, argv, window, true);
            noWindowReason = QStringLiteral("no display available (%1)").arg(noDisplay);
        }
    }
    // Without a window nothing needs GLib's main loop (a desktop's platform
    // theme would), and Qt's own loop wakes itself once for any number of
    // queued calls, where GLib's writes its wake-up file each time: about
    // three write and three read calls fewer per packet under load.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    return run(argc, argv, nullptr, windowWanted, noWindowReason);
}
