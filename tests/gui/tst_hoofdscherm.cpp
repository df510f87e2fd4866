#include "FakeServicePanel.h"
#include "Version.h"
#include "gui/Dialogs.h"
#include "gui/Hoofdscherm.h"
#include "gui/StatusLamp.h"
#include "gui/UpdateFlow.h"
#include "gui/UpdateWindows.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <functional>

using namespace velora;
using velora::test::HttpAnswer;
using velora::test::LoopbackHttpServer;
using velora::test::waitUntil;

namespace {

// Records every box instead of showing it; answers questions and the colour
// picker as the test says.
class RecordingDialogs : public Dialogs {
public:
    struct Box {
        QString kind;
        QString title;
        QString text;
    };
    QList<Box> boxes;
    QList<QUrl> opened;
    bool answer = true;
    std::optional<QColor> colour;
    // Runs while a question is open, as the event loop of a real box would.
    std::function<void()> whileAsking;
    // A real box is a child of the window it is shown over and is destroyed
    // with it, under the feet of its own event loop.
    bool questionOwnerLost = false;

    void information(QWidget *, const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("information"), title, text});
    }
    void warning(QWidget *, const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("warning"), title, text});
    }
    void error(QWidget *, const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("error"), title, text});
    }
    bool question(QWidget *parent, const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("question"), title, text});
        if (whileAsking) {
            const QPointer<QWidget> owner(parent);
            whileAsking();
            questionOwnerLost = questionOwnerLost || (parent && !owner);
        }
        return answer;
    }
    std::optional<QColor> chooseColour(QWidget *, const QColor &) override { return colour; }
    void openUrl(const QUrl &url) override { opened << url; }
};

const QString kDescriptionPath = QStringLiteral("/liveupdate/VeloraRBS/Updates.txt");

} // namespace

class HoofdschermTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<LoopbackHttpServer> m_server;
    Settings m_settings;
    Log m_activityLog{QStringLiteral("RBSLog")};
    Log m_returnLog{QStringLiteral("RBSCLog")};
    FailureHandler m_failures{m_activityLog};
    std::unique_ptr<FakeServicePanel> m_service;
    RecordingDialogs m_dialogs;
    std::unique_ptr<Hoofdscherm> m_window;

    template <typename T = QWidget>
    T *control(const QString &name)
    {
        return m_window->findChild<T *>(name);
    }

    void offer(const QByteArray &keys) { m_server->answer(kDescriptionPath, {"200 OK", {}, "[VeloraRBS]\r\n" + keys}); }
    void pressUpdate()
    {
        QSignalSpy done(m_window->updateFlow(), &UpdateFlow::checkFinished);
        control<QPushButton>(QStringLiteral("BtnUpdate"))->click();
        QVERIFY(done.wait(8000));
    }

private Q_SLOTS:
    void init()
    {
        standin::state() = {};
        m_settings.resetToDefaults();
        m_activityLog.clear();
        m_dialogs = {};
        m_folder = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->listen());
        m_server->answerByTarget();
        m_service = std::make_unique<FakeServicePanel>(m_folder->path());
        UpdateCheckerConfig update;
        update.programFolder = m_folder->path();
        update.programFilePath = m_folder->filePath(QStringLiteral("VeloraRBS"));
        update.descriptionUrl = m_server->url(kDescriptionPath);
        update.idleTimeoutMs = 5000;
        m_window = std::make_unique<Hoofdscherm>(*m_service, m_settings, m_activityLog, m_returnLog, m_failures,
                                                 m_dialogs, update);
    }
    void cleanup()
    {
        m_window.reset();
        m_service.reset();
        m_server.reset();
    }

    void captionSizeAndPages()
    {
        const QString caption = QStringLiteral("Velora RBS koppeling - v") + QString::fromLatin1(kFileVersion);
        QCOMPARE(m_window->windowTitle(), caption);
        QCOMPARE(m_window->trayIcon()->toolTip(), caption);
        QCOMPARE(m_window->trayIcon()->objectName(), QStringLiteral("RzTrayIcon1"));
        QCOMPARE(m_window->size(), QSize(828, 568));
        QCOMPARE(m_window->minimumSize(), m_window->maximumSize());

        QStringList pages;
        for (int i = 0; i < m_window->pages()->count(); ++i)
            pages << m_window->pages()->tabText(i);
        QCOMPARE(pages, QStringList({"Instellingen", "Update", "Logboek", "Retourberichten", "Verbindingen", "Filters",
                                     "Status"}));
        QStringList subPages;
        for (int i = 0; i < m_window->returnPages()->count(); ++i)
            subPages << m_window->returnPages()->tabText(i);
        QCOMPARE(subPages, QStringList({"Instellingen", "Logboek", "RBS", "VALYS", "Basis gegevens"}));
    }

    void everySettingHasItsControlShowingItsDefault()
    {
        for (const SettingDefinition &definition : settingDefinitions()) {
            const QString name = QString::fromLatin1(definition.control);
            QWidget *widget = control(name);
            QVERIFY2(widget, qPrintable(name));
            if (auto *edit = qobject_cast<QLineEdit *>(widget))
                QCOMPARE(edit->text(), QString::fromUtf8(definition.defaultValue));
            else if (auto *box = qobject_cast<QCheckBox *>(widget))
                QCOMPARE(box->isChecked(), QByteArray(definition.defaultValue) == "TRUE");
            else if (auto *slider = qobject_cast<QSlider *>(widget))
                QCOMPARE(slider->value(), QByteArray(definition.defaultValue).toInt());
            else if (auto *label = qobject_cast<QLabel *>(widget))
                QCOMPARE(label->text(), QString::fromUtf8(definition.defaultValue));
            else
                QFAIL(qPrintable(name + QStringLiteral(" is no settings control")));
        }
        QCOMPARE(control<QLineEdit>(QStringLiteral("xPaswoordSQL"))->echoMode(), QLineEdit::Password);
        auto *slider = control<QSlider>(QStringLiteral("TrackBar1"));
        QCOMPARE(slider->minimum(), 5);
        QCOMPARE(slider->maximum(), 60);
        QCOMPARE(slider->tickInterval(), 5);
        // The colour fields are kept out of sight; the buttons set them.
        QVERIFY(control(QStringLiteral("RitkleurRBS"))->isHidden());
    }

    void captionsAndHints_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("hint");
        QTest::newRow("test") << "Button3"
                              << "TEST"
                              << "Test database verbinding";
        QTest::newRow("update") << "BtnUpdate"
                                << "CONTROLEER OP UPDATES"
                                << "Controleer de software op updates";
        QTest::newRow("hide") << "Button4"
                              << "VERBERGEN NAAR TAAKBALK"
                              << "";
        QTest::newRow("close") << "Button5"
                               << "SLUITEN"
                               << "";
        QTest::newRow("nack") << "ErrorBerichten"
                              << "NACK"
                              << "Foutberichten opnieuw aanbieden";
        QTest::newRow("no reply") << "NackBerichten"
                                  << "NO REPLY"
                                  << "No reply berichten opnieuw aanbieden";
        QTest::newRow("send") << "Button1"
                              << "VERZENDEN"
                              << "";
        QTest::newRow("colour RBS") << "Button14"
                                    << "Ritkleur"
                                    << "";
        QTest::newRow("colour VAL") << "Button2"
                                    << "Ritkleur"
                                    << "";
        QTest::newRow("colour STT") << "Button6"
                                    << "Ritkleur"
                                    << "";
        QTest::newRow("server") << "xLoginServer"
                                << ""
                                << "Locatie SQL database";
        QTest::newRow("database") << "xLoginDatabase"
                                  << ""
                                  << "Databasenaam Velora database";
        QTest::newRow("login") << "xLoginSQL"
                               << ""
                               << "Inlognaam SQL database";
        QTest::newRow("password") << "xPaswoordSQL"
                                  << ""
                                  << "Paswoord SQL database";
        QTest::newRow("active") << "RBSActive"
                                << "Server activeren"
                                << "";
        QTest::newRow("v2") << "GoogleV2"
                            << "Gebruik maken van Velora afstandsberekening v2"
                            << "";
        QTest::newRow("planning") << "AutoPlannen"
                                  << "Automatische planning toestaan"
                                  << "";
        QTest::newRow("returns") << "RBSRetour"
                                 << "Retourmeldingen inschakelen"
                                 << "";
        QTest::newRow("conversion") << "Conversie"
                                    << "Filter conversie activeren op basis van opmerking ritopdracht (alle kanalen)"
                                    << "";
    }
    void captionsAndHints()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QString, hint);
        QWidget *widget = control(name);
        QVERIFY2(widget, qPrintable(name));
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            QCOMPARE(button->text(), text);
        QCOMPARE(widget->toolTip(), hint);
    }

    void bindingWorksBothWays()
    {
        auto *port = control<QLineEdit>(QStringLiteral("RBSPoort"));
        port->clear();
        QTest::keyClicks(port, QStringLiteral("21x"));
        QCOMPARE(m_settings.text(Setting::RBSPoort), QStringLiteral("21x"));
        QCOMPARE(m_settings.integer(Setting::RBSPoort), 21);
        m_settings.setText(Setting::S7, QStringLiteral("rolstoel"));
        QCOMPARE(control<QLineEdit>(QStringLiteral("S7"))->text(), QStringLiteral("rolstoel"));

        auto *assign = control<QCheckBox>(QStringLiteral("AutoToewijzen"));
        assign->click();
        QVERIFY(!m_settings.checked(Setting::AutoToewijzen));
        m_settings.setChecked(Setting::Postcodes, true);
        QVERIFY(control<QCheckBox>(QStringLiteral("Postcodes"))->isChecked());

        auto *slider = control<QSlider>(QStringLiteral("TrackBar1"));
        slider->setValue(30);
        QCOMPARE(m_settings.position(Setting::TrackBar1), 30);
        QCOMPARE(control<QLabel>(QStringLiteral("IntLab"))->text(), QStringLiteral("30 seconden"));
        m_settings.setPosition(Setting::TrackBar1, 45);
        QCOMPARE(slider->value(), 45);
        QCOMPARE(control<QLabel>(QStringLiteral("IntLab"))->text(), QStringLiteral("45 seconden"));
    }

    void serviceStateIsShown()
    {
        QVERIFY(control(QStringLiteral("ErrorBerichten"))->isHidden());
        QVERIFY(control(QStringLiteral("NackBerichten"))->isHidden());
        standin::state().noReply = {true, QStringLiteral("NO REPLY (3)")};
        Q_EMIT m_service->resubmitButtonsChanged();
        QVERIFY(!control(QStringLiteral("NackBerichten"))->isHidden());
        QCOMPARE(control<QPushButton>(QStringLiteral("NackBerichten"))->text(), QStringLiteral("NO REPLY (3)"));
        QVERIFY(control(QStringLiteral("ErrorBerichten"))->isHidden());
        control<QPushButton>(QStringLiteral("NackBerichten"))->click();
        QCOMPARE(standin::state().noReplyResubmits, 1);

        QVERIFY(!control<StatusLamp>(QStringLiteral("JvLED1"))->isOn());
        standin::state().listening = true;
        standin::state().connections = {QStringLiteral("10.0.0.7")};
        Q_EMIT m_service->serverListeningChanged(true);
        Q_EMIT m_service->connectionsChanged();
        QVERIFY(control<StatusLamp>(QStringLiteral("JvLED1"))->isOn());
        QCOMPARE(control<QListWidget>(QStringLiteral("RBSConnections"))->item(0)->text(), QStringLiteral("10.0.0.7"));

        standin::state().rbsQueue = {QStringLiteral("<RBS>41<EINDE>")};
        standin::state().valysQueue = {QStringLiteral("<RBS>42<EINDE>"), QStringLiteral("<RBS>43<EINDE>")};
        Q_EMIT m_service->queueChanged(ReturnChannelId::Rbs);
        Q_EMIT m_service->queueChanged(ReturnChannelId::Valys);
        QCOMPARE(control<QListWidget>(QStringLiteral("RBSQOut"))->count(), 1);
        QCOMPARE(control<QListWidget>(QStringLiteral("VALYSQOut"))->count(), 2);
        control<QToolButton>(QStringLiteral("SpeedButton2"))->click();
        QCOMPARE(control<QListWidget>(QStringLiteral("VALYSQOut"))->count(), 0);
        QCOMPARE(control<QListWidget>(QStringLiteral("RBSQOut"))->count(), 1);

        m_activityLog.addLine(QStringLiteral("regel"));
        QVERIFY(control<QPlainTextEdit>(QStringLiteral("RBSLog"))->toPlainText().endsWith(QStringLiteral("regel")));
        m_activityLog.replaceWith(QStringLiteral("fout"));
        QCOMPARE(control<QPlainTextEdit>(QStringLiteral("RBSLog"))->toPlainText(), QStringLiteral("fout"));
    }

    void colourPickerWritesHexDigits()
    {
        QCOMPARE(ColourToHex(QColor(0, 128, 255)), QStringLiteral("0080FF"));
        QCOMPARE(ColourToHex(QColor(Qt::red)), QStringLiteral("FF0000"));
        QCOMPARE(ColourToHex(QColor::fromHsv(0, 0, 255)), QStringLiteral("FFFFFF"));

        m_dialogs.colour = QColor(0, 128, 255);
        control<QPushButton>(QStringLiteral("Button2"))->click();
        QCOMPARE(m_settings.text(Setting::RitkleurVAL), QStringLiteral("0080FF"));
        QVERIFY(m_settings.text(Setting::RitkleurRBS).isEmpty());
        m_dialogs.colour.reset(); // cancelled
        control<QPushButton>(QStringLiteral("Button2"))->click();
        QCOMPARE(m_settings.text(Setting::RitkleurVAL), QStringLiteral("0080FF"));
    }

    void databaseTestReportsSuccessOnly()
    {
        control<QPushButton>(QStringLiteral("Button3"))->click();
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].title, QStringLiteral("Database koppeling"));
        QCOMPARE(m_dialogs.boxes[0].text, QStringLiteral("Velora SQL werd database met succes geopend"));
        standin::state().databaseTestSucceeds = false;
        control<QPushButton>(QStringLiteral("Button3"))->click();
        QCOMPARE(m_dialogs.boxes.size(), 1);
    }

    void trayMenuAndHiding()
    {
        QStringList items;
        for (QAction *action : m_window->trayIcon()->contextMenu()->actions())
            items << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(items, QStringList({"Update", "Details", "-", "Sluiten"}));

        m_window->show();
        QVERIFY(QFileInfo(m_folder->filePath(QStringLiteral("RBS"))).isDir());
        control<QPushButton>(QStringLiteral("Button4"))->click();
        QCOMPARE(standin::state().gathers, 1);
        if (m_window->trayAvailable()) {
            QVERIFY(m_window->isHidden());
        } else {
            // No notification area: the window is minimised, never lost, and
            // the log says why, once.
            QVERIFY(m_window->isMinimized());
            QCOMPARE(m_activityLog.lines().filter(QStringLiteral("Geen systeemvak")).size(), 1);
        }
        m_window->trayIcon()->contextMenu()->actions().at(1)->trigger(); // Details
        QVERIFY(m_window->isVisible());
        QVERIFY(!m_window->isMinimized());
    }

    void closeRunsTheCloseStepAndAFailureKeepsTheWindow()
    {
        m_window->show();
        QSignalSpy closed(m_window.get(), &Hoofdscherm::serviceClosed);
        standin::state().closeFails = true;
        control<QPushButton>(QStringLiteral("Button5"))->click();
        QCOMPARE(standin::state().closes, 1);
        QVERIFY(m_window->isVisible());
        QCOMPARE(closed.size(), 0);
        QCOMPARE(m_activityLog.text(), QStringLiteral("Kan logbestand niet opslaan"));

        standin::state().closeFails = false;
        m_window->trayIcon()->contextMenu()->actions().at(3)->trigger(); // Sluiten
        QCOMPARE(standin::state().closes, 2);
        QVERIFY(!m_window->isVisible());
        QCOMPARE(closed.size(), 1);
        // Once closed, a second close (the application quitting) does not
        // run the close step again.
        m_window->close();
        QCOMPARE(standin::state().closes, 2);
    }

    void updateCheckBoxes()
    {
        offer("Version=" + QByteArray(kFileVersion) + "\r\n");
        pressUpdate();
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].kind, QStringLiteral("information"));
        QCOMPARE(m_dialogs.boxes[0].text, QStringLiteral("Er is geen nieuwe versie beschikbaar."));
        QVERIFY(QFileInfo(m_folder->filePath(QStringLiteral("Backups"))).isDir());

        m_dialogs.boxes.clear();
        offer("Version=9.9\r\nSQLVersion=7\r\nDownloadFileURL=http://127.0.0.1:1/p.zip\r\n");
        pressUpdate();
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].kind, QStringLiteral("warning"));
        QCOMPARE(m_dialogs.boxes[0].title, QStringLiteral("SQL scripts controle is mislukt"));
        QCOMPARE(m_dialogs.boxes[0].text, sqlScriptsWarningText(QStringLiteral("7")));
        QVERIFY(!m_window->updateFlow()->noticeWindow());

        // Description unreachable: the default page is offered, Yes opens it.
        m_dialogs.boxes.clear();
        m_server->answer(kDescriptionPath, {"404 Not Found", {}, ""});
        pressUpdate();
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QCOMPARE(m_dialogs.boxes[0].kind, QStringLiteral("question"));
        QCOMPARE(m_dialogs.boxes[0].text,
                 QStringLiteral("Er is geen nieuwe versie beschikbaar.\rWenst u de website te openen?"));
        QCOMPARE(m_dialogs.opened, QList<QUrl>({QUrl(QString::fromLatin1(kDefaultUpdatePage))}));
    }

    void updateDownloadCancelAndSuccess()
    {
        const QByteArray package(50000, 'p');
        m_server->answer(QStringLiteral("/VeloraRBS_setup.zip"), {"200 OK", {}, package, true, -1, 20000});
        offer("Version=9.9\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/VeloraRBS_setup.zip")).toEncoded() +
              "\r\n");
        pressUpdate();
        UpdateNoticeWindow *notice = m_window->updateFlow()->noticeWindow();
        QVERIFY(notice && notice->isVisible());
        QCOMPARE(notice->windowTitle(), QStringLiteral("Er is een nieuwe versie van de software beschikbaar"));
        QVERIFY(notice->downloadButton()->isEnabled());
        notice->downloadButton()->click();

        UpdateDownloadWindow *download = m_window->updateFlow()->downloadWindow();
        QVERIFY(download);
        QVERIFY(waitUntil([&] { return download->isVisible() && download->progressBar()->value() == 20000; }));
        QCOMPARE(download->windowTitle(), QStringLiteral("Download nieuwe versie"));
        QCOMPARE(download->fileLabel()->text(), QStringLiteral("VeloraRBS_setup.zip"));
        QCOMPARE(download->statusLabel()->text(), QStringLiteral("Download bestand"));
        QCOMPARE(download->transferLabel()->text(), QStringLiteral("20000 of 50000 (40%)"));
        const QString partial = m_folder->filePath(QStringLiteral("TempDownloads/VeloraRBS_setup.zip"));
        QVERIFY(QFile::exists(partial));

        m_dialogs.answer = true;
        QSignalSpy finished(m_window->updateFlow(), &UpdateFlow::finished);
        download->abortButton()->click();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(m_dialogs.boxes.size(), 2);
        QCOMPARE(m_dialogs.boxes[0].text, QStringLiteral("Deze software update afbreken?"));
        QCOMPARE(m_dialogs.boxes[1].kind, QStringLiteral("error"));
        QCOMPARE(m_dialogs.boxes[1].text, QStringLiteral("De software update werd afgebroken."));
        QVERIFY(!QFile::exists(partial));

        // The whole package: the hand-over is announced; without an updater
        // program in the folder the service keeps running and says why.
        m_dialogs.boxes.clear();
        m_server->answer(QStringLiteral("/VeloraRBS_setup.zip"), {"200 OK", {}, package});
        QSignalSpy ended(m_window.get(), &Hoofdscherm::endedForUpdate);
        pressUpdate();
        m_window->updateFlow()->noticeWindow()->downloadButton()->click();
        QVERIFY(waitUntil([&] { return !m_dialogs.boxes.isEmpty(); }));
        QCOMPARE(m_dialogs.boxes[0].text, QStringLiteral("Velora® LiveUpdate gaat nu starten"));
        QCOMPARE(QFileInfo(partial).size(), package.size());
        QCOMPARE(standin::state().gathers, 1);
        QCOMPARE(ended.size(), 0);
        QCOMPARE(m_activityLog.lines().filter(QStringLiteral("Updateprogramma kon niet worden gestart")).size(), 1);
    }

    void downloadThatEndsWhileAbortIsAskedKeepsTheQuestion()
    {
        const QByteArray package(50000, 'p');
        m_server->answer(QStringLiteral("/VeloraRBS_setup.zip"), {"200 OK", {}, package, true, -1, 20000});
        offer("Version=9.9\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/VeloraRBS_setup.zip")).toEncoded() +
              "\r\n");
        pressUpdate();
        m_window->updateFlow()->noticeWindow()->downloadButton()->click();
        UpdateDownloadWindow *download = m_window->updateFlow()->downloadWindow();
        QVERIFY(download);
        QVERIFY(waitUntil([&] { return download->isVisible() && download->progressBar()->value() == 20000; }));

        // The last bytes arrive while the operator reads "afbreken?": the
        // download succeeds and its window closes before the answer.
        bool ended = false;
        m_dialogs.whileAsking = [&] {
            m_server->releaseStalled();
            ended = waitUntil([&] { return !m_window->updateFlow()->busy(); });
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        };
        m_dialogs.answer = true;
        download->abortButton()->click();
        QVERIFY(ended);
        QVERIFY(!m_dialogs.questionOwnerLost);
        QCOMPARE(m_dialogs.boxes.size(), 2);
        QCOMPARE(m_dialogs.boxes[0].text, QStringLiteral("Deze software update afbreken?"));
        QCOMPARE(m_dialogs.boxes[1].text, QStringLiteral("Velora® LiveUpdate gaat nu starten"));
        // Yes came too late to abort anything: the whole package stays.
        const QString target = m_folder->filePath(QStringLiteral("TempDownloads/VeloraRBS_setup.zip"));
        QCOMPARE(QFileInfo(target).size(), package.size());
    }
};

QTEST_MAIN(HoofdschermTest)
#include "tst_hoofdscherm.moc"
