#pragma once

// Tools for the fault tests: they run the built service as a process on a
// temporary program folder, drive it as booking systems do over real sockets,
// hurt it (signals, files, disks) and then check the database ride by ride
// against what each booking system was told.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace velora::test {
class PostgresCluster;
}

namespace velora::faults {

// A small tmpfs mounted on a folder for one test; unmounted when it goes, also
// when the test failed half-way (the service process must be gone by then).
// Mounting needs root: a test without it says why and skips.
class SmallDisk {
public:
    explicit SmallDisk(const QString &folder, const char *size = "size=4m");
    ~SmallDisk();
    bool mounted() const { return m_mounted; }
    const QString &error() const { return m_error; }
    // Writes a filler file until the disk refuses more; the bytes written.
    qint64 fill() const;
    void release() const;

private:
    QString m_folder;
    QString m_error;
    bool m_mounted = false;
};

// A settings file that switches the intake server on at `port`. Extra
// elements are added under Hoofdscherm as given, by their full element name
// (for example "RBSPoort_Text", which then takes the place of `port`).
bool writeSettings(const QString &folder, quint16 port, const QMap<QString, QString> &extra = {});

// Settings that make every new ride ask the distance service on
// 127.0.0.1:distancePort, waiting at most timeoutSeconds.
QMap<QString, QString> silentDistanceSettings(quint16 distancePort, int timeoutSeconds);

// The service as a process on one program folder: headless, or with its
// window (on the platform the environment names).
class ServiceProcess {
public:
    enum class Mode {
        Headless,
        Window
    };

    explicit ServiceProcess(QString folder, Mode mode = Mode::Headless);
    ~ServiceProcess(); // kills it when still running

    bool start(const QStringList &extraArguments = {});
    // Until the activity log (standard output) holds `text`.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 15000);
    // Until a connect to 127.0.0.1:port succeeds.
    static bool waitForListening(quint16 port, int timeoutMs = 15000);
    void signal(int number);
    bool waitForExit(int timeoutMs = 15000);
    int exitCode() const { return m_process.exitCode(); }
    bool crashed() const { return m_process.exitStatus() == QProcess::CrashExit; }
    qint64 pid() const { return m_process.processId(); }
    // Everything read so far, and whatever is waiting.
    const QByteArray &output();
    const QByteArray &errors();
    QProcess &process() { return m_process; }

private:
    QString m_folder;
    Mode m_mode;
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

// What differs between the services the tests start.
struct ServiceOptions {
    // Elements of the settings file besides the intake's (see writeSettings).
    QMap<QString, QString> settings;
    // The intake port; 0: a free one.
    quint16 port = 0;
    // A database server whose data source the service stores on, with the
    // ODBC environment that names it; none: the embedded file in the folder.
    const test::PostgresCluster *server = nullptr;
    // The process's environment; empty: this process's own.
    QProcessEnvironment environment;
    // Runs in the child before the program starts (limits, another user).
    std::function<void()> childSetup;
    ServiceProcess::Mode mode = ServiceProcess::Mode::Headless;
    QStringList arguments; // after --dir
};

// A service started for a test: its program folder (a temporary one, or one
// the test prepared), its intake port, its settings file and the process with
// its logs. The settings file is written at the first start; a later start,
// once the last process has ended, runs a new process on whatever the folder
// holds then. When the test failed, the last process's output is shown.
class StartedService {
public:
    // What start() waits for.
    enum class Until {
        Listening, // the intake accepts connections
        StandBy,   // the service says it stands by for another machine
        Started    // the process runs
    };

    explicit StartedService(ServiceOptions options = {});
    explicit StartedService(QString folder, ServiceOptions options = {});
    ~StartedService();
    StartedService(const StartedService &) = delete;
    StartedService &operator=(const StartedService &) = delete;

    // False, with the reason as a warning, when a step failed.
    bool start(Until until = Until::Listening);
    // The settings file written now, before the first start (which then
    // leaves it), for a test that changes it or its folder first.
    bool writeSettings();

    ServiceProcess &process() { return *m_process; }
    ServiceProcess *operator->() { return m_process.get(); }
    quint16 port() const { return m_port; }
    const QString &folder() const { return m_folder; }
    QString filePath(const QString &name) const;
    // The embedded database file.
    QString databasePath() const { return filePath(QStringLiteral("VeloraRBS.db")); }

private:
    bool failed(const char *step);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    ServiceOptions m_options;
    quint16 m_port;
    bool m_settingsWritten = false;
    bool m_started = false; // the process has been started once
    std::unique_ptr<ServiceProcess> m_process;
};

// What one booking system was told about one ride.
enum class Told {
    Nothing, // no reply (the connection broke, or the service stopped)
    Accepted,
    Refused
};

struct RideOutcome {
    qint32 ride = 0;
    Told told = Told::Nothing;
};

// "AC" or "NC" of the first complete reply in bytes; Nothing while none is complete.
Told toldIn(const QByteArray &bytes);

// A new-ride packet ("NR") for `ride` as a booking system of channel RBS sends it.
QByteArray newRidePacket(qint32 ride);

// Booking systems on their own threads (blocking sockets, so that the test's
// event loop is free for the service process): each connection sends new
// rides one after another, waiting for each reply, until stopped or until
// the connection breaks. Ride numbers are unique across connections.
class LoadClients {
public:
    LoadClients(quint16 port, int connections, qint32 firstRide = 100000);
    ~LoadClients(); // stops and joins

    void stop();
    // Rides sent so far, and how many were answered "AC".
    int sent() const { return m_sent.load(); }
    int accepted() const { return m_accepted.load(); }
    // After stop(): every ride each client sent with what it was told.
    std::vector<RideOutcome> outcomes() const;

private:
    void run(int index);

    quint16 m_port;
    qint32 m_firstRide;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_sent{0};
    std::atomic<int> m_accepted{0};
    std::vector<std::vector<RideOutcome>> m_outcomes;
    std::vector<std::thread> m_threads;
};

// Sends one packet on a new connection and returns the reply bytes received
// within timeoutMs (empty for none).
QByteArray exchangeOnce(quint16 port, const QByteArray &packet, int timeoutMs = 5000);

// The database checked against what the clients were told. Empty when sound;
// else one line per ride that is wrong.
struct LedgerReport {
    QStringList problems;
    int stored = 0;    // rides found in planning
    QString integrity; // "ok" when pragma integrity_check passes
    bool sound() const { return problems.isEmpty() && integrity == QLatin1String("ok"); }
    QString text() const;
};
// Every ride answered "AC" is in planning exactly once and has exactly one
// transaction row (code 91) naming its own pla_id; no ride answered "NC" is
// stored; a ride without a reply may be stored or not, but once at most.
LedgerReport checkLedger(const QString &databasePath, const std::vector<RideOutcome> &outcomes);
// The same check on an open connection to a server database (through ODBC);
// integrity is "ok" when the tables could be read.
LedgerReport checkLedger(QSqlDatabase &server, const std::vector<RideOutcome> &outcomes);

} // namespace velora::faults
