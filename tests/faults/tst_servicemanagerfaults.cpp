// The service under a service manager: its unit file, the notifications it
// sends (ready, watchdog, status, reload, stop), its failure lines in the
// journal, and a start on a display that is not there.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

using namespace velora;
using namespace velora::faults;

namespace {

// The manager's end of the notification protocol: a datagram socket whose
// path the service finds in NOTIFY_SOCKET. Each datagram is one notification
// of newline-separated assignments.
class NotifySocket {
public:
    explicit NotifySocket(const QString &path) : m_path(QFile::encodeName(path))
    {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_fd < 0 || m_path.size() >= qsizetype(sizeof(address.sun_path)))
            return;
        std::memcpy(address.sun_path, m_path.constData(), size_t(m_path.size()));
        m_bound = bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        unlink(m_path.constData());
    }
    bool bound() const { return m_bound; }

    const QList<QByteArray> &messages()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
            if (n < 0)
                break;
            m_messages.append(QByteArray(buffer, qsizetype(n)));
        }
        return m_messages;
    }
    // Index of the first notification from `from` on that assigns `line`
    // ("READY=1"), or -1.
    qsizetype find(const QByteArray &line, qsizetype from = 0)
    {
        const QList<QByteArray> &all = messages();
        for (qsizetype i = from; i < all.size(); ++i) {
            if (all[i].split('\n').contains(line))
                return i;
        }
        return -1;
    }
    int count(const QByteArray &line)
    {
        int n = 0;
        for (const QByteArray &message : messages())
            n += message.split('\n').contains(line);
        return n;
    }
    // The value of the last STATUS= sent so far.
    QByteArray lastStatus()
    {
        QByteArray status;
        for (const QByteArray &message : messages()) {
            for (const QByteArray &line : message.split('\n')) {
                if (line.startsWith("STATUS="))
                    status = line.mid(7);
            }
        }
        return status;
    }

private:
    QByteArray m_path;
    int m_fd = -1;
    bool m_bound = false;
    QList<QByteArray> m_messages;
};

// The environment systemd gives a Type=notify service with WatchdogSec=.
QProcessEnvironment managedEnvironment(const QString &socketPath, int watchdogMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), socketPath);
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QString::number(qint64(watchdogMs) * 1000));
    environment.remove(QStringLiteral("WATCHDOG_PID"));
    return environment;
}

} // namespace

class TestServiceManagerFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The installed unit as systemd itself reads it. verify reports unknown
    // keys and bad values as warnings with exit code 0, so any line naming
    // the unit fails the test too.
    void unitFileVerifies()
    {
        const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed (package systemd); the unit file is not checked");
        QFile unit(QStringLiteral(VELORA_SYSTEMD_UNIT));
        QVERIFY2(unit.open(QIODevice::ReadOnly), qPrintable(unit.fileName()));
        QByteArray text = unit.readAll();
        // verify wants the program to exist: the one just built stands in
        // for the installed one.
        const qsizetype start = text.indexOf("ExecStart=") + 10;
        QVERIFY(start >= 10);
        const qsizetype end = text.indexOf(' ', start);
        text.replace(start, end - start, QByteArrayLiteral(VELORA_EXECUTABLE));
        QTemporaryDir tmp;
        QFile copy(tmp.filePath(QStringLiteral("velora-rbs.service")));
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(text) == text.size());
        copy.close();

        // verify also looks up the manual page the unit names, as the
        // package installs it.
        QVERIFY(QDir(tmp.path()).mkpath(QStringLiteral("man/man8")));
        QVERIFY(QFile::copy(QStringLiteral(VELORA_MANUAL_PAGE), tmp.filePath(QStringLiteral("man/man8/VeloraRBS.8"))));
        QProcess verify;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MANPATH"), tmp.filePath(QStringLiteral("man")));
        verify.setProcessEnvironment(environment);
        verify.start(analyze, {QStringLiteral("verify"), copy.fileName()});
        QVERIFY(verify.waitForFinished(30000));
        const QByteArray report = verify.readAllStandardError() + verify.readAllStandardOutput();
        QVERIFY2(verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0, report.constData());
        QVERIFY2(!report.contains("velora-rbs.service"), report.constData());
    }

    // Everything a Type=notify unit with WatchdogSec= hears from the real
    // process: ready after the first tick with a status line, keep-alives,
    // the status once the intake listens, reloading then ready again for
    // SIGHUP, stopping at SIGTERM.
    void notificationsFollowTheLifecycle()
    {
        QTemporaryDir tmp;
        NotifySocket manager(tmp.filePath(QStringLiteral("notify")));
        QVERIFY(manager.bound());
        StartedService started(tmp.path(),
                               {.environment = managedEnvironment(tmp.filePath(QStringLiteral("notify")), 1000)});
        // Not until it listens: that it is ready before is what is checked.
        QVERIFY(started.start(StartedService::Until::Started));
        ServiceProcess &service = started.process();
        const quint16 port = started.port();

        QVERIFY2(test::waitUntil([&] { return manager.find("READY=1") >= 0; }, 15000), service.errors().constData());
        // A booking system that connects as soon as the start is reported
        // done is served: ready comes once the intake listens, not before.
        QTcpSocket early;
        early.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY2(early.waitForConnected(1000), qPrintable(early.errorString()));
        const QByteArray ready = manager.messages().at(manager.find("READY=1"));
        QVERIFY2(ready.contains("\nSTATUS=listening on port ") && ready.contains("return queues RBS 0, VALYS 0"),
                 ready.constData());
        const QByteArray listening = "listening on port " + QByteArray::number(port) + "; database open";
        QVERIFY2(test::waitUntil([&] { return manager.lastStatus().startsWith(listening); }, 15000),
                 manager.lastStatus().constData());
        // Every half interval while the queue runs.
        QVERIFY(test::waitUntil([&] { return manager.count("WATCHDOG=1") >= 3; }, 5000));

        service.signal(SIGHUP);
        QVERIFY(test::waitUntil([&] { return manager.find("RELOADING=1") >= 0; }, 10000));
        const qsizetype reloading = manager.find("RELOADING=1");
        QVERIFY(manager.messages().at(reloading).contains("\nMONOTONIC_USEC="));
        QVERIFY(test::waitUntil([&] { return manager.find("READY=1", reloading + 1) >= 0; }, 10000));
        QVERIFY(service.waitForOutput("read again (SIGHUP)"));

        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitCode(), 0);
        QCOMPARE(manager.count("STOPPING=1"), 1);
    }

    // The keep-alive is a job of the work queue: while a packet holds the
    // queue (its post waits for a distance service that never answers) none
    // is sent, so a queue stuck for longer than WatchdogSec gets the service
    // restarted. Once the time-out frees the queue, they come again.
    void watchdogFallsSilentWhileTheQueueIsHeld()
    {
        QTemporaryDir tmp;
        NotifySocket manager(tmp.filePath(QStringLiteral("notify")));
        QVERIFY(manager.bound());
        QTcpServer silentDistance; // completes the handshake, never answers
        QVERIFY(silentDistance.listen(QHostAddress::LocalHost, 0));
        StartedService started(tmp.path(),
                               {.settings = silentDistanceSettings(silentDistance.serverPort(), 6),
                                .environment = managedEnvironment(tmp.filePath(QStringLiteral("notify")), 600)});
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();
        QVERIFY(test::waitUntil([&] { return manager.count("WATCHDOG=1") >= 2; }, 5000));

        LoadClients load(port, 1);
        QVERIFY(service.waitForOutput("NR pakketnummer"));
        QTest::qWait(400); // into the wait; a keep-alive already running may end
        const int held = manager.count("WATCHDOG=1");
        QTest::qWait(2500); // eight intervals of 300 ms
        QCOMPARE(manager.count("WATCHDOG=1"), held);
        QVERIFY(test::waitUntil([&] { return manager.count("WATCHDOG=1") > held; }, 10000));

        load.stop();
        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitCode(), 0);
    }

    // Standard output is the journal's stream (here a file, which takes no
    // entries of its own): the failure message that replaces the activity
    // log (the log cannot be saved at close, a plain file stands where the
    // folder RBS belongs) is written with the priority prefix "<3>", a
    // settings problem with "<4>", every other line as it is. The stop goes
    // on without the log and ends at the first signal, with exit code 1.
    void failureLinesReachTheJournalAsErrors()
    {
        QTemporaryDir tmp;
        QFile blocker(tmp.filePath(QStringLiteral("RBS")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString journal = tmp.filePath(QStringLiteral("journal"));
        QFile(journal).open(QIODevice::WriteOnly);
        struct stat status {};
        QVERIFY(stat(QFile::encodeName(journal).constData(), &status) == 0);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("JOURNAL_STREAM"),
                           QStringLiteral("%1:%2").arg(quint64(status.st_dev)).arg(quint64(status.st_ino)));
        StartedService started(tmp.path(), {.settings = {{QStringLiteral("TrackBar1_Position"), QStringLiteral("abc")}},
                                            .environment = environment});
        ServiceProcess &service = started.process();
        service.process().setStandardOutputFile(journal);
        QVERIFY(started.start());
        service.signal(SIGTERM);
        const auto lines = [&] {
            QFile file(journal);
            file.open(QIODevice::ReadOnly);
            return file.readAll().split('\n');
        };
        QVERIFY2(test::waitUntil(
                     [&] {
                         for (const QByteArray &line : lines())
                             if (line.startsWith("<3>[RBSLog] Cannot create file"))
                                 return true;
                         return false;
                     },
                     10000),
                 lines().join('\n').constData());
        QVERIFY(service.waitForExit(5000));
        QCOMPARE(service.exitCode(), 1);
        QVERIFY2(service.errors().contains("stopped without saving the activity log"), service.errors().constData());
        bool listeningLinePlain = false;
        int warnings = 0;
        for (const QByteArray &line : lines()) {
            listeningLinePlain |= line.startsWith("[RBSLog] ") && line.endsWith(" RBS C/S ingeschakeld");
            QVERIFY2(!line.startsWith("<3>") || line.contains("Cannot create file"), line.constData());
            if (line.startsWith("<4>")) {
                ++warnings;
                QVERIFY2(line.startsWith("<4>[RBSLog] ") && line.contains("TrackBar1_Position: \"abc\""),
                         line.constData());
            }
            QVERIFY2(!line.startsWith('<') || line.startsWith("<3>") || line.startsWith("<4>"), line.constData());
        }
        QCOMPARE(warnings, 1);
        QVERIFY(listeningLinePlain);
    }

    // DISPLAY names an X server that is not there: the program says so in one
    // line and runs headless, where Qt would abort it (exit 134).
    void unreachableDisplayFallsBackToHeadless()
    {
        int display = 4711;
        while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)) ||
               QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
            ++display;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
        StartedService program({.environment = environment, .mode = ServiceProcess::Mode::Window});
        QVERIFY(program.start());
        QVERIFY(test::waitUntil([&] { return program->errors().contains("running without window"); }, 10000));
        program->signal(SIGTERM);
        QVERIFY(program->waitForExit());
        const QByteArray errors = program->errors();
        QVERIFY(!program->crashed());
        QCOMPARE(program->exitCode(), 0);
        QCOMPARE(errors.count("no display available"), 1);
        QVERIFY2(errors.contains("VeloraRBS: no display available (cannot connect to the X server of DISPLAY=:" +
                                 QByteArray::number(display) + "); running headless."),
                 errors.constData());
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestServiceManagerFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_servicemanagerfaults.moc"
