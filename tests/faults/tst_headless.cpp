// The built program headless (and once with its window) from start to end:
// the files it leaves, what it reports on its streams, its exit codes.

#include "shell/SettingsFileOrder.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>

using namespace velora;

namespace {

QStringList hoofdschermNames(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList names;
    QXmlStreamReader reader(&file);
    int depth = 0;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth == 3) {
            names << reader.name().toString();
            reader.skipCurrentElement();
            --depth;
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    return reader.hasError() ? QStringList{reader.errorString()} : names;
}

// Starts the service headless on folder and waits until it is up (its log
// folder exists, which start() makes after the signal hook is in place).
bool startService(QProcess &process, const QString &folder, const QString &logFolder)
{
    process.setProgram(QStringLiteral(VELORA_EXECUTABLE));
    process.setArguments({QStringLiteral("--headless"), QStringLiteral("--dir"), folder});
    process.start();
    if (!process.waitForStarted(10000))
        return false;
    return test::waitUntil([&] { return QFileInfo(logFolder).isDir(); }, 15000);
}

// Starts the service headless on folder with a plain file where its log
// folder belongs, so that its close step cannot save the activity log, and
// waits for the start line, which comes once the signal hook is in place.
bool startWithLogFolderBlocked(QProcess &process, const QString &folder, QByteArray &err)
{
    QFile blocker(QDir(folder).filePath(QStringLiteral("RBS")));
    if (!blocker.open(QIODevice::WriteOnly))
        return false;
    blocker.close();
    process.setProgram(QStringLiteral(VELORA_EXECUTABLE));
    process.setArguments({QStringLiteral("--headless"), QStringLiteral("--dir"), folder});
    process.start();
    if (!process.waitForStarted(10000))
        return false;
    return test::waitUntil([&] { return (err += process.readAllStandardError()).contains("running"); }, 15000);
}

// True once the process catches SIGTERM itself (its hook is in place), read
// from the kernel's mask of caught signals.
bool catchesSigterm(const QProcess &process)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
    return false;
}

bool stop(QProcess &process)
{
    process.terminate(); // SIGTERM
    return process.waitForFinished(15000);
}

} // namespace

class TestHeadless : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runsHeadlessAndClosesOnSigterm()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath(QStringLiteral("new"));
        const QString logFolder = folder + QStringLiteral("/RBS");
        QProcess process;
        QVERIFY(startService(process, folder, logFolder));
        QVERIFY(!QFile::exists(folder + QStringLiteral("/VeloraRBS.xml"))); // written at the end only

        QVERIFY(stop(process));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(hoofdschermNames(folder + QStringLiteral("/VeloraRBS.xml")), test::expectedElementOrder());
        const QStringList logs = QDir(logFolder).entryList({QStringLiteral("*.TXT")}, QDir::Files);
        QCOMPARE(logs.size(), 1);
    }

    void unreadableSettingsAreReportedOnStandardOutput()
    {
        QTemporaryDir tmp;
        QFile broken(tmp.filePath(QStringLiteral("VeloraRBS.xml")));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("<Configuration><Hoofdscherm>");
        broken.close();
        QProcess process;
        QVERIFY(startService(process, tmp.path(), tmp.filePath(QStringLiteral("RBS"))));
        QVERIFY(stop(process));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.startsWith("[RBSLog] ") && out.contains("VeloraRBS.xml.unreadable-"), out.constData());
        const QStringList kept =
            QDir(tmp.path()).entryList({QStringLiteral("VeloraRBS.xml.unreadable-*")}, QDir::Files);
        QCOMPARE(kept.size(), 1);
        // The log saved at close holds the report too.
        const QStringList logs = QDir(tmp.filePath(QStringLiteral("RBS"))).entryList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        QFile log(tmp.filePath(QStringLiteral("RBS/")) + logs.first());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("unreadable"));
    }

    // Headless nobody can act on a log that cannot be saved: the close goes
    // on without it at the first signal, writes the settings (or says why
    // it could not), and the exit code says that the log was lost.
    void closeGoesOnWithoutTheLog_data()
    {
        QTest::addColumn<bool>("settingsWritable");
        QTest::newRow("settings written") << true;
        QTest::newRow("settings not writable either") << false;
    }

    void closeGoesOnWithoutTheLog()
    {
        QFETCH(bool, settingsWritable);
        QTemporaryDir tmp;
        // A folder where the settings file belongs: it can be neither read nor replaced.
        if (!settingsWritable)
            QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("VeloraRBS.xml")));
        // "RBS" as a plain file: the log folder can be neither made nor used.
        QProcess process;
        QByteArray err;
        QVERIFY(startWithLogFolderBlocked(process, tmp.path(), err));
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 1);
        err += process.readAllStandardError();
        QVERIFY2(err.contains("stopped without saving the activity log"), err.constData());
        QVERIFY2(process.readAllStandardOutput().contains("[RBSLog] Cannot create file"), err.constData());
        QCOMPARE(QFileInfo(tmp.filePath(QStringLiteral("VeloraRBS.xml"))).isFile(), settingsWritable);
        QCOMPARE(err.contains("was not written"), !settingsWritable);
    }

    // With the window the close step is the window's; a failed close keeps
    // the window, but an unattended service must still end at the second
    // signal, as it does without the window.
    void windowCloseAbandonedThenSecondSignalEnds()
    {
        QTemporaryDir tmp;
        QFile blocker(tmp.filePath(QStringLiteral("RBS")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.setProgram(QStringLiteral(VELORA_EXECUTABLE));
        process.setArguments({QStringLiteral("--dir"), tmp.path()});
        process.start();
        QVERIFY(process.waitForStarted(10000));
        QVERIFY(test::waitUntil([&] { return catchesSigterm(process); }, 15000));
        // Let the window come up and start the service.
        QTest::qWait(500);

        process.terminate();
        QByteArray err;
        QVERIFY(test::waitUntil([&] { return (err += process.readAllStandardError()).contains("close abandoned"); },
                                15000));
        QVERIFY(!process.waitForFinished(500));
        QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("VeloraRBS.xml"))));

        process.terminate();
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(QFile::exists(tmp.filePath(QStringLiteral("VeloraRBS.xml"))));
    }

    void unusableFolderExitsWithCode2()
    {
        QTemporaryDir tmp;
        QFile plain(tmp.filePath(QStringLiteral("file")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QProcess process;
        process.start(QStringLiteral(VELORA_EXECUTABLE), {QStringLiteral("--headless"), QStringLiteral("--dir"),
                                                          plain.fileName() + QStringLiteral("/sub")});
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("cannot create"));
    }

    void versionAndHelp()
    {
        QProcess process;
        process.start(QStringLiteral(VELORA_EXECUTABLE), {QStringLiteral("--version")});
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+\\n$"))
                    .match(QString::fromLatin1(process.readAllStandardOutput()))
                    .hasMatch());
        process.start(QStringLiteral(VELORA_EXECUTABLE), {QStringLiteral("--help")});
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray help = process.readAllStandardOutput();
        QVERIFY(help.contains("--headless") && help.contains("--dir"));
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestHeadless test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_headless.moc"
