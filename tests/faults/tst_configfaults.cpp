// Settings files with values the service cannot take as written: the check
// command names them, the service says so at start and keeps the operator's
// text.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace velora;
using namespace velora::faults;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

Run checkConfig(const QString &folder)
{
    QProcess process;
    process.start(QStringLiteral(VELORA_EXECUTABLE),
                  {QStringLiteral("--check-config"), QStringLiteral("--dir"), folder});
    Run run;
    if (!process.waitForFinished(15000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A settings file with exactly these value elements.
bool writeElements(const QString &folder, const QList<QPair<QByteArray, QByteArray>> &elements)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<Configuration>\n<Hoofdscherm>\n"
                     "<FormVersion>0</FormVersion>\n";
    for (const auto &[name, value] : elements)
        xml += "<" + name + ">" + value + "</" + name + ">\n";
    xml += "</Hoofdscherm>\n</Configuration>\n";
    QFile file(QDir(folder).filePath(QStringLiteral("VeloraRBS.xml")));
    return file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size();
}

QStringList folderContents(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

const QStringList kBadValueLines = {
    QStringLiteral("RBSPoort_Text: \"21OO\" is read as 21."),
    QStringLiteral("RBSActive_Checked: \"ja\" cannot be read as yes/no"),
    QStringLiteral("TrackBar1_Position: \"tien\" cannot be read as an integer; the setting keeps 15."),
    QStringLiteral("RBSCPoort_Text: \"70000\" is outside the port range 1..65535."),
    QStringLiteral("AfstandPoort_Text: \"\" is read as 0, outside the port range 1..65535."),
    QStringLiteral("unknown element Onbekend_Text under Hoofdscherm"),
    QStringLiteral("StatusPoort_Text: \"70000\" is outside the port range 0..65535."),
    QStringLiteral("StatusAdres_Text: \"nergens\" is no address; the status endpoint does not listen."),
    QStringLiteral("RBSToegestaan_Text: \"10.0.0.0/33\" is no address or network; it lets nobody in."),
};

} // namespace

class TestConfigFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void checkOfACleanFile()
    {
        QTemporaryDir tmp;
        QVERIFY(writeSettings(tmp.path(), 2100, {{QStringLiteral("RBSCPoort_Text"), QStringLiteral("2101")}}));
        const Run run = checkConfig(tmp.path());
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("no problems found"));
        QVERIFY(run.err.isEmpty());
        QCOMPARE(folderContents(tmp.path()), QStringList{"VeloraRBS.xml"});
    }

    // A file whose root is not "Configuration" is still read (and written
    // back) by the service, which takes the first element for the root: the
    // check says so rather than calling the file clean.
    void checkOfAnotherRoot()
    {
        QTemporaryDir tmp;
        QFile file(tmp.filePath(QStringLiteral("VeloraRBS.xml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<?xml version=\"1.0\"?>\n<Settings><Hoofdscherm><FormVersion>0</FormVersion>"
                   "<RBSPoort_Text>2100</RBSPoort_Text></Hoofdscherm></Settings>\n");
        file.close();
        const Run run = checkConfig(tmp.path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("the root element is Settings, not Configuration"), run.out.constData());
        QVERIFY(run.out.contains("1 problem found."));
    }

    // Every bad value is named by the check, which runs beside the service
    // that owns the folder; the service names them too, runs on, and at its
    // end writes the values it could not read back as they were.
    void badValuesAreNamedAndKept()
    {
        QTemporaryDir tmp;
        QVERIFY(writeElements(tmp.path(), {{"RBSPoort_Text", "21OO"},
                                           {"RBSActive_Checked", "ja"},
                                           {"TrackBar1_Position", "tien"},
                                           {"RBSCPoort_Text", "70000"},
                                           {"AfstandPoort_Text", ""},
                                           {"Onbekend_Text", "x"},
                                           {"StatusPoort_Text", "70000"},
                                           {"StatusAdres_Text", "nergens"},
                                           {"RBSToegestaan_Text", "127.0.0.1 10.0.0.0/33"}}));
        const QString settingsPath = tmp.filePath(QStringLiteral("VeloraRBS.xml"));
        const QByteArray written = readAll(settingsPath);

        Run run = checkConfig(tmp.path());
        QCOMPARE(run.exitCode, 1);
        for (const QString &line : kBadValueLines)
            QVERIFY2(run.out.contains(line.toUtf8()),
                     qPrintable(line + QStringLiteral(" in:\n") + QString::fromUtf8(run.out)));
        QVERIFY2(run.out.contains("9 problems found."), run.out.constData());
        QCOMPARE(readAll(settingsPath), written);
        QCOMPARE(folderContents(tmp.path()), QStringList{"VeloraRBS.xml"});

        ServiceProcess service(tmp.path());
        QVERIFY(service.start());
        QVERIFY(service.waitForOutput("RBSActive_Checked: \"ja\""));
        QVERIFY(test::waitUntil([&] { return service.errors().contains("running without window"); }));
        for (const QString &line : kBadValueLines) {
            QVERIFY2(service.errors().contains(line.toUtf8()), qPrintable(line));
            QCOMPARE(service.output().count(line.toUtf8()), 1);
        }
        run = checkConfig(tmp.path()); // no lock taken: not 3
        QCOMPARE(run.exitCode, 1);
        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitCode(), 0);
        const QByteArray after = readAll(settingsPath);
        for (const char *element :
             {"<RBSActive_Checked>ja</RBSActive_Checked>", "<TrackBar1_Position>tien</TrackBar1_Position>",
              "<RBSPoort_Text>21OO</RBSPoort_Text>", "<Onbekend_Text>x</Onbekend_Text>"})
            QVERIFY2(after.contains(element), element);
    }

    // A file that cannot be read at all: the check says so with code 2 and
    // leaves it; the service moves it aside, says so on standard error, and
    // serves on the defaults.
    void unreadableFile()
    {
        QTemporaryDir tmp;
        const QString settingsPath = tmp.filePath(QStringLiteral("VeloraRBS.xml"));
        QCOMPARE(checkConfig(tmp.path()).exitCode, 2); // no file yet
        {
            QFile file(settingsPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("<Configuration><Hoofdscherm>");
        }
        const Run run = checkConfig(tmp.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.err.contains("is not readable XML"));
        QCOMPARE(folderContents(tmp.path()), QStringList{"VeloraRBS.xml"});

        ServiceProcess service(tmp.path());
        QVERIFY(service.start());
        QVERIFY(test::waitUntil([&] { return service.errors().contains("running without window"); }));
        QVERIFY(service.errors().contains("is not readable XML"));
        QVERIFY(service.errors().contains("The file was kept as"));
        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitCode(), 0);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestConfigFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configfaults.moc"
