// The service as an operator's machine meets it: a second start on the same
// folder, a kill -9, a SIGHUP after the settings file was edited, and a log
// reader that goes away.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"
#include "wire/WireCodec.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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

QByteArray settingsFile(const QTemporaryDir &tmp)
{
    QFile file(tmp.filePath(QStringLiteral("VeloraRBS.xml")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray portElement(quint16 port)
{
    return "<RBSPoort_Text>" + QByteArray::number(port) + "</RBSPoort_Text>";
}

// A second free port, different from the first.
quint16 otherFreePort(quint16 taken)
{
    quint16 port = freeLoopbackPort();
    while (port == taken)
        port = freeLoopbackPort();
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
        QTemporaryDir tmp;
        const quint16 port = freeLoopbackPort();
        QVERIFY(writeSettings(tmp.path(), port));
        auto first = std::make_unique<ServiceProcess>(tmp.path());
        QVERIFY(first->start());
        QVERIFY(ServiceProcess::waitForListening(port));
        const QByteArray settingsBefore = settingsFile(tmp);

        ServiceProcess second(tmp.path());
        QVERIFY(second.start());
        QVERIFY(second.waitForExit(10000));
        QCOMPARE(second.exitCode(), 3);
        QVERIFY2(second.errors().contains("process " + QByteArray::number(first->pid())), second.errors().constData());
        QVERIFY(second.output().isEmpty());
        QCOMPARE(settingsFile(tmp), settingsBefore);
        QVERIFY(rideAccepted(port, 1));

        first->signal(SIGKILL);
        QVERIFY(first->waitForExit());
        first.reset();
        QVERIFY(QFile::exists(tmp.filePath(QStringLiteral("VeloraRBS.lock"))));

        ServiceProcess third(tmp.path());
        QVERIFY(third.start());
        QVERIFY(ServiceProcess::waitForListening(port));
        QVERIFY(rideAccepted(port, 2));
        third.signal(SIGTERM);
        QVERIFY(third.waitForExit());
        QCOMPARE(third.exitCode(), 0);
        QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("VeloraRBS.lock"))));
    }

    // SIGHUP reads the edited settings file into the running service: it says
    // so, serves the new port, and its close step writes the new value back
    // instead of the one it started with.
    void hangupReloadsSettings()
    {
        QTemporaryDir tmp;
        const quint16 port = freeLoopbackPort();
        const quint16 newPort = otherFreePort(port);
        QVERIFY(writeSettings(tmp.path(), port));
        ServiceProcess service(tmp.path());
        QVERIFY(service.start());
        QVERIFY(ServiceProcess::waitForListening(port));

        QVERIFY(writeSettings(tmp.path(), newPort));
        service.signal(SIGHUP);
        QVERIFY(service.waitForOutput("read again (SIGHUP)."));
        QVERIFY(ServiceProcess::waitForListening(newPort, 5000));
        QVERIFY(rideAccepted(newPort, 1));
        QCOMPARE(service.process().state(), QProcess::Running);

        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitCode(), 0);
        QVERIFY(settingsFile(tmp).contains(portElement(newPort)));
    }

    // The same in window mode, where SIGHUP used to end the program without
    // its close step. A reload that is lost shows in the file: the close step
    // would write the old port back.
    void hangupReloadsSettingsInWindowMode()
    {
        QTemporaryDir tmp;
        const quint16 port = freeLoopbackPort();
        QVERIFY(writeSettings(tmp.path(), port));
        QProcess window;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        window.setProcessEnvironment(environment);
        window.start(QStringLiteral(VELORA_EXECUTABLE),
                     {QStringLiteral("--dir"), tmp.path(), QStringLiteral("--update-url"),
                      QStringLiteral("http://127.0.0.1:1/none")});
        QVERIFY(window.waitForStarted(10000));
        QVERIFY(ServiceProcess::waitForListening(port));

        QVERIFY(writeSettings(tmp.path(), 4242));
        ::kill(pid_t(window.processId()), SIGHUP);
        // Signals are handled in the order they came: the reload before the close.
        ::kill(pid_t(window.processId()), SIGTERM);
        QVERIFY(window.waitForFinished(15000));
        QCOMPARE(window.exitStatus(), QProcess::NormalExit);
        QCOMPARE(window.exitCode(), 0);
        QVERIFY2(settingsFile(tmp).contains(portElement(4242)), settingsFile(tmp).constData());
    }

    // The reader of standard output is gone: the next log line fails to be
    // written, and that must not end the service or cost a reply.
    void closedOutputKeepsServing()
    {
        QTemporaryDir tmp;
        const quint16 port = freeLoopbackPort();
        QVERIFY(writeSettings(tmp.path(), port));
        // Standard output goes to a pipe of the test's own, not to QProcess,
        // whose closeReadChannel() only stops reading and keeps the pipe open.
        int pipeEnds[2];
        QCOMPARE(::pipe2(pipeEnds, O_CLOEXEC), 0);
        ServiceProcess service(tmp.path());
        service.process().setChildProcessModifier([writeEnd = pipeEnds[1]] { ::dup2(writeEnd, STDOUT_FILENO); });
        QVERIFY(service.start());
        ::close(pipeEnds[1]);
        QVERIFY(ServiceProcess::waitForListening(port));
        // The log reader is gone.
        ::close(pipeEnds[0]);

        for (qint32 ride = 1; ride <= 3; ++ride)
            QVERIFY(rideAccepted(port, ride));
        QTest::qWait(200);
        QCOMPARE(service.process().state(), QProcess::Running);
        QVERIFY(service.errors().contains("standard output cannot be written"));

        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QVERIFY(!service.crashed());
        QCOMPARE(service.exitCode(), 0);
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestProcessFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processfaults.moc"
