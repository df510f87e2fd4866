// The service's files when the disk hurts: a program folder that fills up
// while the service runs, and a log folder removed under it.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace velora;
using namespace velora::faults;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDiskFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The program folder fills up while the service runs. The stop can save
    // neither the log nor the settings: both stay as they were (no empty
    // settings file, no empty log file), the operator reads why on standard
    // error, the service still ends at the first signal, within the time a
    // service manager gives it, with an exit code that says what was lost,
    // and the next start serves with the old settings.
    void fullDiskKeepsTheOldSettings()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath(QStringLiteral("program"));
        QVERIFY(QDir().mkpath(folder));
        SmallDisk disk(folder);
        if (!disk.mounted())
            QSKIP(qPrintable(QStringLiteral("a tmpfs cannot be mounted here (%1); this test needs root with "
                                            "the right to mount")
                                 .arg(disk.error())));
        StartedService service(folder);
        QVERIFY(service.writeSettings());
        const QString settingsPath = service.filePath(QStringLiteral("VeloraRBS.xml"));
        const QByteArray settings = readAll(settingsPath);
        QVERIFY(!settings.isEmpty());
        QVERIFY(service.start());
        QVERIFY(exchangeOnce(service.port(), newRidePacket(1)).contains("<EINDE>"));
        QVERIFY(disk.fill() > 0);

        QElapsedTimer stopping;
        stopping.start();
        service->signal(SIGTERM);
        QVERIFY2(service->waitForExit(5000), service->errors().constData());
        qInfo("ended %lld ms after SIGTERM", stopping.elapsed());
        QCOMPARE(service->exitCode(), 1);
        QVERIFY2(service->errors().contains("No space left on device"), service->errors().constData());
        QVERIFY2(service->errors().contains("stopped without saving the activity log"), service->errors().constData());

        QCOMPARE(readAll(settingsPath), settings);
        const QFileInfoList logs =
            QDir(QDir(folder).filePath(QStringLiteral("RBS"))).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QFileInfo &log : logs)
            QVERIFY2(log.size() > 0, qPrintable(log.fileName() + QStringLiteral(" is empty")));
        // Nothing half written stays behind either.
        QCOMPARE(QDir(folder).entryList({QStringLiteral("VeloraRBS.xml.*")}, QDir::Files | QDir::Hidden),
                 QStringList());

        disk.release();
        QVERIFY(service.start()); // again, on the settings the stop left
        service->signal(SIGTERM);
        QVERIFY(service->waitForExit());
        QCOMPARE(service->exitCode(), 0);
    }

    // The log folder is removed under the running service: the stop makes it
    // again and saves the log there, and the service ends at the first signal.
    void removedLogFolderIsMadeAgain()
    {
        StartedService service;
        QVERIFY(service.start());
        QDir logFolder(service.filePath(QStringLiteral("RBS")));
        QVERIFY(logFolder.exists());
        QVERIFY(logFolder.removeRecursively());

        service->signal(SIGTERM);
        QVERIFY2(service->waitForExit(10000), service->errors().constData());
        QCOMPARE(service->exitCode(), 0);
        const QFileInfoList logs = logFolder.entryInfoList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        QVERIFY(logs.first().fileName().endsWith(QLatin1String(".TXT")));
        QVERIFY(logs.first().size() > 0);
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestDiskFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_diskfaults.moc"
