// The service as an operator's machine meets it: a second start on the same
// folder, a kill -9, a SIGHUP after the settings file was edited, and a log
// reader that goes away.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"
#include "wire/WireCodec.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace velora;
using namespace velora::faults;

namespace {

// Whether the reply to one new ride, on a new connection, is "AC".
bool rideAccepted(quint16 port, qint32 ride)
{
    const QByteArray reply = exchangeOnce(port, newRidePacket(ride));
    const qsizetype start = reply.indexOf("<RBS>");
    const qsizetype end = reply.indexOf("<EINDE>");
    if (start < 0 || end < start)
        return false;
    return DecodeHexText(receivedText(reply.mid(start + 5, end - start - 5))).startsWith(QLatin1String("AC"));
}

QByteArray settingsFile(const StartedService &service)
{
    QFile file(service.filePath(QStringLiteral("VeloraRBS.xml")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray portElement(quint16 port)
{
    return "<RBSPoort_Text>" + QByteArray::number(port) + "</RBSPoort_Text>";
}

// A second free port, different from the first.
quint16 otherFreePort(quint16 taken)
{
    quint16 port = test::freeLoopbackPort();
    while (port == taken)
        port = test::freeLoopbackPort();
    return port;
}

} // namespace

class TestProcessFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A second start on a folder in use ends at once with its own exit code,
    // names the holder and leaves the first serving; once the holder is killed
    // hard, its lock is stale and the next start takes the folder over.
    void oneServicePerFolder()
    {
        StartedService service;
        QVERIFY(service.start());
        const quint16 port = service.port();
        const QByteArray settingsBefore = settingsFile(service);
        const qint64 first = service->pid();

        ServiceProcess second(service.folder());
        QVERIFY(second.start());
        QVERIFY(second.waitForExit(10000));
        QCOMPARE(second.exitCode(), 3);
        QVERIFY2(second.errors().contains("process " + QByteArray::number(first)), second.errors().constData());
        QVERIFY(second.output().isEmpty());
        QCOMPARE(settingsFile(service), settingsBefore);
        QVERIFY(rideAccepted(port, 1));

        service->signal(SIGKILL);
        QVERIFY(service->waitForExit());
        QVERIFY(QFile::exists(service.filePath(QStringLiteral("VeloraRBS.lock"))));

        QVERIFY(service.start()); // the third
        QVERIFY(rideAccepted(port, 2));
        service->signal(SIGTERM);
        QVERIFY(service->waitForExit());
        QCOMPARE(service->exitCode(), 0);
        QVERIFY(!QFile::exists(service.filePath(QStringLiteral("VeloraRBS.lock"))));
    }

    // SIGHUP reads the edited settings file into the running service: it says
    // so, serves the new port, and its close step writes the new value back
    // instead of the one it started with.
    void hangupReloadsSettings()
    {
        StartedService service;
        QVERIFY(service.start());
        const quint16 newPort = otherFreePort(service.port());

        QVERIFY(writeSettings(service.folder(), newPort));
        service->signal(SIGHUP);
        QVERIFY(service->waitForOutput("read again (SIGHUP)."));
        QVERIFY(ServiceProcess::waitForListening(newPort, 5000));
        QVERIFY(rideAccepted(newPort, 1));
        QCOMPARE(service->process().state(), QProcess::Running);

        service->signal(SIGTERM);
        QVERIFY(service->waitForExit());
        QCOMPARE(service->exitCode(), 0);
        QVERIFY(settingsFile(service).contains(portElement(newPort)));
    }

    // The same in window mode, where SIGHUP used to end the program without
    // its close step. A reload that is lost shows in the file: the close step
    // would write the old port back.
    void hangupReloadsSettingsInWindowMode()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        StartedService window(
            {.environment = environment,
             .mode = ServiceProcess::Mode::Window,
             .arguments = {QStringLiteral("--update-url"), QStringLiteral("http://127.0.0.1:1/none")}});
        QVERIFY(window.start());

        QVERIFY(writeSettings(window.folder(), 4242));
        window->signal(SIGHUP);
        // Signals are handled in the order they came: the reload before the close.
        window->signal(SIGTERM);
        QVERIFY(window->waitForExit());
        QVERIFY(!window->crashed());
        QCOMPARE(window->exitCode(), 0);
        QVERIFY2(settingsFile(window).contains(portElement(4242)), settingsFile(window).constData());
    }

    // The reader of standard output is gone: the next log line fails to be
    // written, and that must not end the service or cost a reply.
    void closedOutputKeepsServing()
    {
        // Standard output goes to a pipe of the test's own, not to QProcess,
        // whose closeReadChannel() only stops reading and keeps the pipe open.
        int pipeEnds[2];
        QCOMPARE(::pipe2(pipeEnds, O_CLOEXEC), 0);
        StartedService service({.childSetup = [writeEnd = pipeEnds[1]] { ::dup2(writeEnd, STDOUT_FILENO); }});
        const bool started = service.start();
        ::close(pipeEnds[1]);
        QVERIFY(started);
        // The log reader is gone.
        ::close(pipeEnds[0]);

        for (qint32 ride = 1; ride <= 3; ++ride)
            QVERIFY(rideAccepted(service.port(), ride));
        QTest::qWait(200);
        QCOMPARE(service->process().state(), QProcess::Running);
        QVERIFY(service->errors().contains("standard output cannot be written"));

        service->signal(SIGTERM);
        QVERIFY(service->waitForExit());
        QVERIFY(!service->crashed());
        QCOMPARE(service->exitCode(), 0);
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestProcessFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processfaults.moc"
