// Renders every page and sub-page of the window on a seeded program folder.
// As a test it checks that each page renders at the window's size; with
// VELORA_SCREENSHOT_DIR set it also saves one PNG per page there
// (scripts/screenshots.sh).

#include "FakeServicePanel.h"
#include "gui/Dialogs.h"
#include "gui/Hoofdscherm.h"
#include "gui/UpdateWindows.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"

#include <QDir>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace velora;

namespace {

class NoDialogs : public Dialogs {
public:
    void information(QWidget *, const QString &, const QString &) override {}
    void warning(QWidget *, const QString &, const QString &) override {}
    void error(QWidget *, const QString &, const QString &) override {}
    bool question(QWidget *, const QString &, const QString &) override { return false; }
    std::optional<QColor> chooseColour(QWidget *, const QColor &) override { return std::nullopt; }
    void openUrl(const QUrl &) override {}
};

void seed(Settings &settings, Log &activityLog, Log &returnLog)
{
    settings.setText(Setting::xLoginServer, QStringLiteral("sqlserver01\\VELORA"));
    settings.setText(Setting::xLoginDatabase, QStringLiteral("Velora"));
    settings.setText(Setting::xLoginSQL, QStringLiteral("rbs"));
    settings.setText(Setting::xPaswoordSQL, QStringLiteral("geheim"));
    settings.setChecked(Setting::RBSActive, true);
    settings.setText(Setting::RBSCHost, QStringLiteral("10.20.0.15"));
    settings.setText(Setting::RBS_BDR, QStringLiteral("1"));
    settings.setText(Setting::RBS_BDR_VAL, QStringLiteral("2"));
    settings.setText(Setting::RBS_BDR_STT, QStringLiteral("3"));
    settings.setText(Setting::RBS_DEB, QStringLiteral("9001"));
    settings.setText(Setting::RitkleurRBS, QStringLiteral("0080FF"));
    settings.setText(Setting::RitkleurVAL, QStringLiteral("FF8000"));
    settings.setText(Setting::S1, QStringLiteral("ROLSTOEL"));
    settings.setText(Setting::F1, QStringLiteral("R"));
    settings.setText(Setting::rc1, QStringLiteral("1"));
    settings.setPosition(Setting::TrackBar1, 20);
    activityLog.addLine(QStringLiteral("09:15:02Verbinding om 09:15:02 -> 10.20.0.31"));
    activityLog.addLine(QStringLiteral("09:15:02* <RBS>4E522C524253<EINDE>"));
    activityLog.addLine(QStringLiteral("09:15:03---> NR pakketnummer: 482113"));
    returnLog.addLine(QStringLiteral("D:-> RETOURMELDING AANGEBODEN - 1187"));
    returnLog.addLine(QStringLiteral("C:-> RETOURMELDING - AC,RBS,7,482113,0,"));
    standin::state().listening = true;
    standin::state().connections = {QStringLiteral("10.20.0.31"), QStringLiteral("10.20.0.32")};
    standin::state().rbsQueue = {QStringLiteral("<RBS>52532C5242532C372C343832313133<EINDE>")};
    standin::state().noReply = {true, QStringLiteral("NO REPLY (2)")};
    settings.setText(Setting::StatusPoort, QStringLiteral("9100"));
    settings.setText(Setting::RBSToegestaan, QStringLiteral("10.20.0.0/24, 192.168.5.7"));
    StatusSnapshot &status = standin::state().status;
    status.listening = true;
    status.port = 2100;
    status.openConnections = 2;
    status.databaseOpen = true;
    status.channels = {{QStringLiteral("rbs"), QStringLiteral("RBSClientSocket"), QStringLiteral("10.20.0.15:2100"),
                        QStringLiteral("niet verbonden"), 1, 35},
                       {QStringLiteral("valys"), QStringLiteral("ValysClientSocket"), QStringLiteral("127.0.0.1:2100"),
                        QStringLiteral("niet verbonden"), 0, -1}};
    status.uptimeSeconds = 5 * 3600;
    status.version = QStringLiteral("9.0.1.51");
    status.lastFailure = {QDateTime(QDate(2026, 3, 2), QTime(9, 14, 55)), QStringLiteral("RBSClientSocket"),
                          QStringLiteral("RBSClientSocket 10.20.0.15:2100: Connection refused"), QString()};
    static ServiceMetrics metrics;
    for (int i = 0; i < 41; ++i) {
        metrics.packetHandled(QStringLiteral("NR"), QStringLiteral("AC"));
        metrics.rideStored();
    }
    metrics.packetHandled(QStringLiteral("NR"), QStringLiteral("NC"));
    metrics.packetHandled(QStringLiteral("other"), QStringLiteral("none"));
    metrics.returnMessage(QStringLiteral("rbs"), QStringLiteral("queued"), 39);
    metrics.returnMessage(QStringLiteral("rbs"), QStringLiteral("sent"), 38);
    metrics.returnMessage(QStringLiteral("rbs"), QStringLiteral("acknowledged"), 37);
    metrics.returnMessage(QStringLiteral("rbs"), QStringLiteral("unanswered"), 1);
    metrics.failure();
    standin::state().metrics = &metrics;
}

QString fileName(int index, const QString &caption)
{
    QString name = caption.toLower();
    name.replace(u' ', u'-');
    return QStringLiteral("%1-%2.png").arg(index, 2, 10, QChar(u'0')).arg(name);
}

} // namespace

class Screenshots : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyPageRenders()
    {
        QTemporaryDir programFolder;
        Settings settings;
        Log activityLog(QStringLiteral("RBSLog"));
        Log returnLog(QStringLiteral("RBSCLog"));
        FailureHandler failures(activityLog);
        seed(settings, activityLog, returnLog);
        FakeServicePanel service(programFolder.path());
        NoDialogs dialogs;
        UpdateCheckerConfig update;
        update.programFolder = programFolder.path();
        Hoofdscherm window(service, settings, activityLog, returnLog, failures, dialogs, update);
        window.show();

        const QString target = qEnvironmentVariable("VELORA_SCREENSHOT_DIR");
        if (!target.isEmpty())
            QDir().mkpath(target);
        // Returns the size rendered; an empty size when saving failed.
        auto save = [&target](QWidget *widget, const QString &name) {
            QApplication::processEvents();
            const QPixmap shot = widget->grab();
            if (!target.isEmpty() && !shot.save(QDir(target).filePath(name)))
                return QSize();
            return shot.size();
        };

        int index = 1;
        QTabWidget *pages = window.pages();
        for (int page = 0; page < pages->count(); ++page) {
            pages->setCurrentIndex(page);
            if (pages->widget(page) != window.returnPages()) {
                QCOMPARE(save(&window, fileName(index++, pages->tabText(page))), QSize(828, 568));
                continue;
            }
            for (int sub = 0; sub < window.returnPages()->count(); ++sub) {
                window.returnPages()->setCurrentIndex(sub);
                QCOMPARE(
                    save(&window, fileName(index++, pages->tabText(page) + u' ' + window.returnPages()->tabText(sub))),
                    QSize(828, 568));
            }
        }

        UpdateNoticeWindow notice;
        notice.setReleaseNotes(QStringLiteral("Versie 9.0.2.0\n- Retourberichten Valys sneller verzonden\n"
                                              "- Filterconversie op tien regels"));
        notice.setDownloadEnabled(true);
        notice.show();
        QVERIFY(save(&notice, fileName(index++, QStringLiteral("update melding"))).isValid());
        UpdateDownloadWindow download;
        download.setFileName(QStringLiteral("VeloraRBS_9.0.2.0.zip"));
        download.setStatus(QStringLiteral("Download bestand"));
        download.setTransfer(1572864, 4194304);
        download.setTimes(QStringLiteral("512 KB/sec"), QStringLiteral("00:00:03"), QStringLiteral("00:00:05"));
        download.show();
        QVERIFY(save(&download, fileName(index++, QStringLiteral("update download"))).isValid());
    }
};

QTEST_MAIN(Screenshots)
#include "tst_screenshots.moc"
