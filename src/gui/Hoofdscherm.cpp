#include "gui/Hoofdscherm.h"

#include "Version.h"
#include "gui/Dialogs.h"
#include "gui/LogView.h"
#include "gui/SettingBinding.h"
#include "gui/StatusLamp.h"
#include "gui/StatusPageText.h"
#include "gui/UpdateFlow.h"
#include "service/ServicePanel.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace velora {

QString ColourToHex(const QColor &colour)
{
    // A named or system colour is taken at its current red, green and blue.
    const QColor rgb = colour.toRgb();
    return QStringLiteral("%1%2%3")
        .arg(rgb.red(), 2, 16, QChar(u'0'))
        .arg(rgb.green(), 2, 16, QChar(u'0'))
        .arg(rgb.blue(), 2, 16, QChar(u'0'))
        .toUpper();
}

namespace {

QString windowCaption()
{
    return QString::fromLatin1(kApplicationTitle) + QStringLiteral(" - v") + QString::fromLatin1(kFileVersion);
}

// The application's icon, drawn rather than shipped so that the program
// stays one file.
QIcon applicationIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0, 84, 166));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(15);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("RBS"));
    painter.end();
    return QIcon(pixmap);
}

QColor colourOf(const QString &hex)
{
    const QColor colour(u'#' + hex);
    return colour.isValid() && hex.size() == 6 ? colour : QColor();
}

QLabel *caption(const QString &text, QWidget *parent)
{
    return new QLabel(text, parent);
}

} // namespace

Hoofdscherm::Hoofdscherm(ServicePanel &service, Settings &settings, Log &activityLog, Log &returnLog,
                         FailureHandler &failures, Dialogs &dialogs, UpdateCheckerConfig updateConfig, QWidget *parent)
    : QWidget(parent), m_service(service), m_settings(settings), m_activityLog(activityLog), m_returnLog(returnLog),
      m_failures(failures), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Hoofdscherm"));
    setWindowTitle(windowCaption());
    setWindowIcon(applicationIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    updateConfig.installedVersion = QString::fromLatin1(kFileVersion);
    m_updateFlow = new UpdateFlow(std::move(updateConfig), m_dialogs, this, this);
    connect(m_updateFlow, &UpdateFlow::packageReady, this, &Hoofdscherm::handOverToUpdater);

    m_pages = new QTabWidget(this);
    m_pages->setObjectName(QStringLiteral("PageControl"));
    m_pages->addTab(buildSettingsPage(), QStringLiteral("Instellingen"));
    m_pages->addTab(buildUpdatePage(), QStringLiteral("Update"));
    auto *activityView = new LogView(m_activityLog, this);
    activityView->setObjectName(QStringLiteral("RBSLog"));
    m_pages->addTab(activityView, QStringLiteral("Logboek"));
    m_pages->addTab(buildReturnPages(), QStringLiteral("Retourberichten"));
    m_pages->addTab(buildConnectionsPage(), QStringLiteral("Verbindingen"));
    m_pages->addTab(buildFiltersPage(), QStringLiteral("Filters"));
    m_pages->addTab(buildStatusPage(), QStringLiteral("Status"));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_pages, 1);
    layout->addWidget(buildButtonBar());

    buildTrayIcon();

    connect(&m_service, &ServicePanel::serverListeningChanged, this, &Hoofdscherm::showServiceState);
    connect(&m_service, &ServicePanel::connectionsChanged, this, &Hoofdscherm::showServiceState);
    connect(&m_service, &ServicePanel::queueChanged, this, &Hoofdscherm::showQueue);
    connect(&m_service, &ServicePanel::resubmitButtonsChanged, this, &Hoofdscherm::showResubmitButtons);
    showServiceState();
    showQueue(ReturnChannelId::Rbs);
    showQueue(ReturnChannelId::Valys);
    showResubmitButtons();
}

Hoofdscherm::~Hoofdscherm() = default;

QWidget *Hoofdscherm::buildSettingsPage()
{
    auto *page = new QWidget;
    auto edit = [this, page](Setting id, const QString &hint = {}) {
        auto *field = new QLineEdit(page);
        bind(field, m_settings, id);
        field->setToolTip(hint);
        return field;
    };

    auto *database = new QGroupBox(QStringLiteral("Velora SQL database"), page);
    auto *form = new QFormLayout;
    form->addRow(caption(QStringLiteral("SQL server"), page),
                 edit(Setting::xLoginServer, QStringLiteral("Locatie SQL database")));
    form->addRow(caption(QStringLiteral("Database"), page),
                 edit(Setting::xLoginDatabase, QStringLiteral("Databasenaam Velora database")));
    form->addRow(caption(QStringLiteral("Inlognaam"), page),
                 edit(Setting::xLoginSQL, QStringLiteral("Inlognaam SQL database")));
    QLineEdit *password = edit(Setting::xPaswoordSQL, QStringLiteral("Paswoord SQL database"));
    password->setEchoMode(QLineEdit::Password);
    password->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // "*"
    form->addRow(caption(QStringLiteral("Paswoord"), page), password);
    auto *test = new QPushButton(QStringLiteral("TEST"), page);
    test->setObjectName(QStringLiteral("Button3"));
    test->setToolTip(QStringLiteral("Test database verbinding"));
    connect(test, &QPushButton::clicked, this, [this] {
        m_failures.guard([this] {
            m_service.testDatabaseConnection([this] {
                m_dialogs.information(nullptr, QStringLiteral("Database koppeling"),
                                      QStringLiteral("Velora SQL werd database met succes geopend"));
            });
        });
    });
    auto *databaseLayout = new QHBoxLayout(database);
    databaseLayout->addLayout(form, 1);
    databaseLayout->addWidget(test, 0, Qt::AlignBottom);

    auto *intake = new QGroupBox(QStringLiteral("Ritopdrachten"), page);
    auto *intakeLayout = new QGridLayout(intake);
    intakeLayout->addWidget(caption(QStringLiteral("Socket poortnummer"), page), 0, 0);
    QLineEdit *port = edit(Setting::RBSPoort);
    port->setMaximumWidth(90);
    intakeLayout->addWidget(port, 0, 1);
    m_lamp = new StatusLamp(page);
    m_lamp->setObjectName(QStringLiteral("JvLED1"));
    intakeLayout->addWidget(m_lamp, 0, 2);
    intakeLayout->setColumnStretch(3, 1);
    auto *active = new QCheckBox(QStringLiteral("Server activeren"), page);
    bind(active, m_settings, Setting::RBSActive);
    intakeLayout->addWidget(active, 1, 0, 1, 4);

    auto *distance = new QGroupBox(QStringLiteral("Afstandsberekening"), page);
    auto *distanceLayout = new QGridLayout(distance);
    auto *googleV2 = new QCheckBox(QStringLiteral("Gebruik maken van Velora afstandsberekening v2"), page);
    bind(googleV2, m_settings, Setting::GoogleV2);
    distanceLayout->addWidget(googleV2, 0, 0, 1, 6);
    distanceLayout->addWidget(caption(QStringLiteral("Server"), page), 1, 0);
    distanceLayout->addWidget(edit(Setting::AfstandServer, QStringLiteral("Adres van de afstandsdienst")), 1, 1);
    distanceLayout->addWidget(caption(QStringLiteral("Poort"), page), 1, 2);
    QLineEdit *distancePort = edit(Setting::AfstandPoort);
    distancePort->setMaximumWidth(70);
    distanceLayout->addWidget(distancePort, 1, 3);
    distanceLayout->addWidget(caption(QStringLiteral("Time-out (sec.)"), page), 1, 4);
    QLineEdit *timeOut = edit(Setting::AfstandTimeOut);
    timeOut->setMaximumWidth(50);
    distanceLayout->addWidget(timeOut, 1, 5);
    distanceLayout->setColumnStretch(1, 1);

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(database);
    layout->addWidget(intake);
    layout->addWidget(distance);
    layout->addStretch();
    return page;
}

QWidget *Hoofdscherm::buildUpdatePage()
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(caption(QStringLiteral("Statusbericht versie 18 - 19.0 21 januari 2014"), page));
    layout->addWidget(caption(QStringLiteral("Ritopdracht versie 19 - 19.0 22 januari 2014"), page));
    auto *button = new QPushButton(QStringLiteral("CONTROLEER OP UPDATES"), page);
    button->setObjectName(QStringLiteral("BtnUpdate"));
    button->setToolTip(QStringLiteral("Controleer de software op updates"));
    connect(button, &QPushButton::clicked, this,
            [this] { m_failures.guard([this] { m_updateFlow->BtnUpdateClick(); }); });
    layout->addSpacing(12);
    layout->addWidget(button, 0, Qt::AlignLeft);
    layout->addStretch();
    return page;
}

QWidget *Hoofdscherm::buildReturnPages()
{
    m_returnPages = new QTabWidget;
    m_returnPages->setObjectName(QStringLiteral("RetourPageControl"));
    m_returnPages->addTab(buildReturnSettingsPage(), QStringLiteral("Instellingen"));
    auto *returnView = new LogView(m_returnLog, m_returnPages);
    returnView->setObjectName(QStringLiteral("RBSCLog"));
    m_returnPages->addTab(returnView, QStringLiteral("Logboek"));
    m_returnPages->addTab(buildQueuePage(ReturnChannelId::Rbs), QStringLiteral("RBS"));
    m_returnPages->addTab(buildQueuePage(ReturnChannelId::Valys), QStringLiteral("VALYS"));
    m_returnPages->addTab(buildBaseDataPage(), QStringLiteral("Basis gegevens"));
    return m_returnPages;
}

QWidget *Hoofdscherm::buildReturnSettingsPage()
{
    auto *page = new QWidget;
    auto edit = [this, page](Setting id) {
        auto *field = new QLineEdit(page);
        bind(field, m_settings, id);
        return field;
    };
    auto hostGroup = [&](const QString &title, Setting host, Setting port) {
        auto *group = new QGroupBox(title, page);
        auto *form = new QFormLayout(group);
        form->addRow(QStringLiteral("IP adres / host"), edit(host));
        QLineEdit *portField = edit(port);
        portField->setMaximumWidth(90);
        form->addRow(QStringLiteral("Poortnummer"), portField);
        return group;
    };

    auto *hosts = new QHBoxLayout;
    hosts->addWidget(hostGroup(QStringLiteral("RBS / STT retourberichten"), Setting::RBSCHost, Setting::RBSCPoort));
    hosts->addWidget(hostGroup(QStringLiteral("VALYS retourberichten"), Setting::VALYSHOST, Setting::VALYSPOORT));

    auto *limits = new QHBoxLayout;
    limits->addWidget(caption(QStringLiteral("Maximum onverzonden"), page));
    QLineEdit *maximum = edit(Setting::RBSGetalMax);
    maximum->setMaximumWidth(60);
    limits->addWidget(maximum);
    limits->addStretch();

    auto *test = new QGroupBox(QStringLiteral("Testen van een retourmelding"), page);
    auto *testLayout = new QHBoxLayout(test);
    testLayout->addWidget(caption(QStringLiteral("Ritnummer"), page));
    QLineEdit *rideNumber = edit(Setting::Testnummer);
    rideNumber->setMaximumWidth(120);
    testLayout->addWidget(rideNumber);
    auto *send = new QPushButton(QStringLiteral("VERZENDEN"), page);
    send->setObjectName(QStringLiteral("Button1"));
    connect(send, &QPushButton::clicked, this, [this] { m_failures.guard([this] { m_service.sendTestStatus(); }); });
    testLayout->addWidget(send);
    testLayout->addStretch();

    auto *interval = new QGroupBox(page);
    auto *intervalLayout = new QGridLayout(interval);
    intervalLayout->addWidget(caption(QStringLiteral("Interval terugkoppeling: "), page), 0, 0);
    auto *intervalLabel = new QLabel(page);
    bind(intervalLabel, m_settings, Setting::IntLab);
    intervalLayout->addWidget(intervalLabel, 0, 1);
    intervalLayout->setColumnStretch(2, 1);
    auto *slider = new QSlider(Qt::Horizontal, page);
    slider->setRange(Settings::kIntervalMin, Settings::kIntervalMax);
    slider->setTickInterval(5);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setSingleStep(1);
    slider->setPageStep(5);
    bind(slider, m_settings, Setting::TrackBar1);
    intervalLayout->addWidget(slider, 1, 0, 1, 3);

    auto *layout = new QVBoxLayout(page);
    layout->addLayout(hosts);
    layout->addLayout(limits);
    layout->addWidget(test);
    layout->addWidget(interval);
    layout->addStretch();
    return page;
}

QWidget *Hoofdscherm::buildQueuePage(ReturnChannelId channel)
{
    const bool rbs = channel == ReturnChannelId::Rbs;
    auto *page = new QWidget;
    auto *clear = new QToolButton(page);
    clear->setObjectName(rbs ? QStringLiteral("SpeedButton1") : QStringLiteral("SpeedButton2"));
    clear->setText(QStringLiteral("Wachtrij leegmaken"));
    clear->setToolButtonStyle(Qt::ToolButtonTextOnly);
    clear->setToolTip(QStringLiteral("Alle wachtende retourberichten verwijderen"));
    // The Valys queue can be emptied like the RBS queue: an operator who sees
    // messages piling up for an unreachable host has no other way to drop them.
    connect(clear, &QToolButton::clicked, this,
            [this, channel] { m_failures.guard([this, channel] { m_service.clearQueue(channel); }); });
    auto *list = new QListWidget(page);
    list->setObjectName(rbs ? QStringLiteral("RBSQOut") : QStringLiteral("VALYSQOut"));
    (rbs ? m_rbsQueue : m_valysQueue) = list;

    auto *toolbar = new QHBoxLayout;
    toolbar->addWidget(clear);
    toolbar->addStretch();
    auto *layout = new QVBoxLayout(page);
    layout->addLayout(toolbar);
    layout->addWidget(list, 1);
    return page;
}

QPushButton *Hoofdscherm::colourButton(const char *name, Setting field)
{
    auto *button = new QPushButton(QStringLiteral("Ritkleur"));
    button->setObjectName(QLatin1String(name));
    // The colour field itself is not shown; the button carries a swatch.
    auto *hidden = new QLineEdit(button);
    hidden->hide();
    bind(hidden, m_settings, field);
    auto showSwatch = [this, button, field] {
        const QColor colour = colourOf(m_settings.text(field));
        if (!colour.isValid()) {
            button->setIcon(QIcon());
            return;
        }
        QPixmap swatch(14, 14);
        swatch.fill(colour);
        button->setIcon(QIcon(swatch));
    };
    showSwatch();
    connect(&m_settings, &Settings::changed, button, [showSwatch, field](Setting id) {
        if (id == field)
            showSwatch();
    });
    connect(button, &QPushButton::clicked, this, [this, field] {
        QColor initial = colourOf(m_settings.text(field));
        if (!initial.isValid())
            initial = Qt::white;
        if (const std::optional<QColor> chosen = m_dialogs.chooseColour(this, initial))
            m_settings.setText(field, ColourToHex(*chosen));
    });
    return button;
}

QWidget *Hoofdscherm::buildBaseDataPage()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout;
    const QStringList columns = {QStringLiteral("RBS"), QStringLiteral("VALYS"), QStringLiteral("STT")};
    for (int column = 0; column < 3; ++column) {
        auto *heading = new QLabel(QStringLiteral("<b>%1</b>").arg(columns[column]), page);
        grid->addWidget(heading, 0, column + 1);
    }
    struct Row {
        const char *label;
        Setting rbs, val, stt;
    };
    const Row rows[] = {
        {"Bedrijf", Setting::RBS_BDR, Setting::RBS_BDR_VAL, Setting::RBS_BDR_STT},
        {"Debiteur", Setting::RBS_DEB, Setting::RBS_DEB_VAL, Setting::RBS_DEB_STT},
        {"Soort vervoer", Setting::RBS_SV, Setting::VAL_SV, Setting::STT_SV},
        {"Soort wagen", Setting::RBS_SW, Setting::VAL_SW, Setting::STT_SW},
        {"Referentie tarief", Setting::RBS_TAR, Setting::VAL_TAR, Setting::STT_TAR},
        {"Filter", Setting::RBSFilter, Setting::VALFilter, Setting::STTFilter},
    };
    int line = 1;
    for (const Row &row : rows) {
        grid->addWidget(caption(QString::fromLatin1(row.label), page), line, 0);
        int column = 1;
        for (Setting id : {row.rbs, row.val, row.stt}) {
            auto *field = new QLineEdit(page);
            field->setMaximumWidth(110);
            bind(field, m_settings, id);
            grid->addWidget(field, line, column++);
        }
        ++line;
    }
    grid->addWidget(colourButton("Button14", Setting::RitkleurRBS), line, 1);
    grid->addWidget(colourButton("Button2", Setting::RitkleurVAL), line, 2);
    grid->addWidget(colourButton("Button6", Setting::RitkleurSTT), line, 3);
    ++line;
    grid->setRowMinimumHeight(line++, 10);
    auto number = [this, page, grid, &line](const char *label, Setting id) {
        grid->addWidget(caption(QString::fromLatin1(label), page), line, 0);
        auto *field = new QLineEdit(page);
        field->setMaximumWidth(110);
        bind(field, m_settings, id);
        grid->addWidget(field, line++, 1);
    };
    number("Gebruiker", Setting::Gebruiker);
    number("Lokaal km/u", Setting::Lokaal);
    number("Interlokaal km/u", Setting::Interlokaal);

    auto *switches = new QVBoxLayout;
    const std::pair<Setting, const char *> boxes[] = {
        {Setting::rbsSoortWagen, "Soort wagen overnemen in rittenscherm centrale agenda"},
        {Setting::Betaalwijze, "Betaalwijze overnemen uit de opdracht"},
        {Setting::BedragVerplaatsen, "Eigen bijdrage bedrag 2 verplaatsen in bedrag 4"},
        {Setting::RBSRetour, "Retourmeldingen inschakelen"},
        {Setting::DebiteurAanmaken, "Debiteur aanmaken op basis van RBS debiteurnummer"},
        {Setting::AutoToewijzen, "Automatische toewijzing toestaan"},
        {Setting::AutoPlannen, "Automatische planning toestaan"},
        {Setting::Postcodes, "Postcodes omzetten naar eigen locaties uit database"},
    };
    for (const auto &[id, text] : boxes) {
        auto *box = new QCheckBox(QString::fromLatin1(text), page);
        bind(box, m_settings, id);
        switches->addWidget(box);
    }
    switches->addStretch();

    auto *left = new QVBoxLayout;
    left->addLayout(grid);
    left->addStretch();
    auto *layout = new QHBoxLayout(page);
    layout->addLayout(left);
    layout->addSpacing(16);
    layout->addLayout(switches, 1);
    return page;
}

QWidget *Hoofdscherm::buildStatusPage()
{
    auto *page = new QWidget;
    auto edit = [this, page](Setting id, const QString &hint) {
        auto *field = new QLineEdit(page);
        bind(field, m_settings, id);
        field->setToolTip(hint);
        return field;
    };
    auto *settings = new QGroupBox(QStringLiteral("Toegang en bewaking"), page);
    auto *grid = new QGridLayout(settings);
    grid->addWidget(caption(QStringLiteral("Luisteradres"), page), 0, 0);
    grid->addWidget(edit(Setting::RBSAdres, QStringLiteral("Adres waarop de server luistert; leeg: alle adressen")), 0,
                    1);
    grid->addWidget(caption(QStringLiteral("Toegestaan"), page), 0, 2);
    grid->addWidget(edit(Setting::RBSToegestaan,
                         QStringLiteral("Adressen en netwerken (CIDR, bv. 10.1.0.0/16), gescheiden door komma of "
                                        "spatie; leeg: iedereen")),
                    0, 3, 1, 3);
    grid->addWidget(caption(QStringLiteral("Statusadres"), page), 1, 0);
    grid->addWidget(edit(Setting::StatusAdres, QStringLiteral("Adres van /health en /metrics")), 1, 1);
    grid->addWidget(caption(QStringLiteral("Statuspoort"), page), 1, 2);
    QLineEdit *statusPort = edit(Setting::StatusPoort, QStringLiteral("0: uit"));
    statusPort->setMaximumWidth(70);
    grid->addWidget(statusPort, 1, 3);
    grid->addWidget(caption(QStringLiteral("Logboeken bewaren (dagen)"), page), 1, 4);
    QLineEdit *keepDays = edit(Setting::LogBewaarDagen, QStringLiteral("0: alles bewaren"));
    keepDays->setMaximumWidth(50);
    grid->addWidget(keepDays, 1, 5);
    grid->setColumnStretch(3, 1);

    m_status = new QPlainTextEdit(page);
    m_status->setObjectName(QStringLiteral("StatusText"));
    m_status->setReadOnly(true);
    m_status->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(settings);
    layout->addWidget(m_status, 1);

    // Figures that change without a signal (ages, counts, uptime) are read
    // again every second.
    auto *refresh = new QTimer(page);
    refresh->setInterval(1000);
    connect(refresh, &QTimer::timeout, this, [this] { m_failures.guard([this] { showStatus(); }); });
    refresh->start();
    showStatus();
    return page;
}

void Hoofdscherm::showStatus()
{
    const QString text =
        statusPageText(m_service.statusSnapshot(), m_service.metrics(), m_settings.integer(Setting::StatusPoort),
                       m_settings.text(Setting::StatusAdres));
    if (m_status->toPlainText() != text)
        m_status->setPlainText(text);
}

QWidget *Hoofdscherm::buildConnectionsPage()
{
    auto *page = new QWidget;
    m_connections = new QListWidget(page);
    m_connections->setObjectName(QStringLiteral("RBSConnections"));
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(m_connections);
    return page;
}

QWidget *Hoofdscherm::buildFiltersPage()
{
    auto *page = new QWidget;
    auto *conversion = new QCheckBox(
        QStringLiteral("Filter conversie activeren op basis van opmerking ritopdracht (alle kanalen)"), page);
    bind(conversion, m_settings, Setting::Conversie);

    auto *grid = new QGridLayout;
    grid->setVerticalSpacing(3);
    const std::pair<ConversionField, const char *> fields[] = {
        {ConversionField::Keyword, "Waarde"},
        {ConversionField::RcValue, "RC"},
        {ConversionField::Filter, "Filter"},
        {ConversionField::TransportKind, "Vervoersvorm"},
        {ConversionField::Tariff, "Referentie tarief"},
    };
    int column = 1;
    for (const auto &[field, label] : fields)
        grid->addWidget(caption(QString::fromLatin1(label), page), 0, column++);
    for (int row = 1; row <= 10; ++row) {
        grid->addWidget(caption(QString::number(row), page), row, 0);
        column = 1;
        for (const auto &[field, label] : fields) {
            auto *edit = new QLineEdit(page);
            bind(edit, m_settings, conversionRow(field, row));
            if (field != ConversionField::Keyword)
                edit->setMaximumWidth(110);
            grid->addWidget(edit, row, column++);
        }
    }
    grid->setColumnStretch(1, 1);

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(conversion);
    layout->addLayout(grid);
    layout->addStretch();
    return page;
}

QWidget *Hoofdscherm::buildButtonBar()
{
    auto *bar = new QWidget(this);
    auto *hide = new QPushButton(QStringLiteral("VERBERGEN NAAR TAAKBALK"), bar);
    hide->setObjectName(QStringLiteral("Button4"));
    connect(hide, &QPushButton::clicked, this, &Hoofdscherm::HideToTaskbar);
    auto *close = new QPushButton(QStringLiteral("SLUITEN"), bar);
    close->setObjectName(QStringLiteral("Button5"));
    connect(close, &QPushButton::clicked, this, &Hoofdscherm::CloseService);
    m_failed = new QPushButton(QStringLiteral("NACK"), bar);
    m_failed->setObjectName(QStringLiteral("ErrorBerichten"));
    m_failed->setToolTip(QStringLiteral("Foutberichten opnieuw aanbieden"));
    m_failed->hide();
    connect(m_failed, &QPushButton::clicked, this,
            [this] { m_failures.guard([this] { m_service.resubmitFailed(); }); });
    m_noReply = new QPushButton(QStringLiteral("NO REPLY"), bar);
    m_noReply->setObjectName(QStringLiteral("NackBerichten"));
    m_noReply->setToolTip(QStringLiteral("No reply berichten opnieuw aanbieden"));
    m_noReply->hide();
    connect(m_noReply, &QPushButton::clicked, this,
            [this] { m_failures.guard([this] { m_service.resubmitNoReply(); }); });

    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(hide);
    layout->addWidget(close);
    layout->addWidget(m_failed);
    layout->addWidget(m_noReply);
    layout->addStretch();
    return bar;
}

void Hoofdscherm::buildTrayIcon()
{
    m_tray = new QSystemTrayIcon(windowIcon(), this);
    m_tray->setObjectName(QStringLiteral("RzTrayIcon1"));
    m_tray->setToolTip(windowTitle());
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("TrayMenu"));
    menu->addAction(QStringLiteral("Update")); // kept in the menu; it does nothing
    menu->addAction(QStringLiteral("Details"), this, &Hoofdscherm::ShowWindow);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Sluiten"), this, &Hoofdscherm::CloseService);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
            ShowWindow();
    });

    m_trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    if (m_trayAvailable) {
        m_tray->show();
    } else {
        // Hiding would leave no way back to the window: it is minimised instead.
        m_activityLog.addLine(timeOfDayStamp() +
                              QStringLiteral("Geen systeemvak beschikbaar: VERBERGEN NAAR TAAKBALK minimaliseert het "
                                             "venster"));
    }
}

void Hoofdscherm::showServiceState()
{
    m_lamp->setOn(m_service.serverListening());
    const QStringList addresses = m_service.connections();
    m_connections->clear();
    m_connections->addItems(addresses);
}

void Hoofdscherm::showQueue(ReturnChannelId channel)
{
    QListWidget *list = channel == ReturnChannelId::Rbs ? m_rbsQueue : m_valysQueue;
    list->clear();
    list->addItems(m_service.queue(channel));
}

void Hoofdscherm::showResubmitButtons()
{
    auto apply = [](QPushButton *button, const ResubmitButton &state) {
        if (!state.caption.isEmpty())
            button->setText(state.caption);
        button->setVisible(state.visible);
    };
    apply(m_noReply, m_service.noReplyButton());
    apply(m_failed, m_service.failedButton());
}

void Hoofdscherm::HideToTaskbar()
{
    m_failures.guard([this] { m_service.gatherSettings(); });
    if (m_trayAvailable)
        hide();
    else
        showMinimized();
}

void Hoofdscherm::ShowWindow()
{
    showNormal();
    raise();
    activateWindow();
}

bool Hoofdscherm::CloseService()
{
    // The service's close step closes the database first, so the button and
    // the close box end up the same way.
    return close();
}

void Hoofdscherm::closeEvent(QCloseEvent *event)
{
    if (m_ended) {
        event->accept();
        return;
    }
    // A log that cannot be saved abandons the close: the window stays and the
    // failure shows in the activity log.
    if (!m_failures.guard([this] { m_service.close(); })) {
        event->ignore();
        return;
    }
    m_ended = true;
    event->accept();
    m_tray->hide();
    Q_EMIT serviceClosed();
}

void Hoofdscherm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The log folder is made whenever the window shows; a failure here only
    // surfaces when the log is saved at close.
    QDir().mkpath(m_service.logFolder());
    if (!m_centred) {
        m_centred = true;
        if (const QScreen *screen = this->screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}

void Hoofdscherm::handOverToUpdater(UpdateChecker *checker)
{
    // The program ends without the close step: the log is not saved, the
    // settings are gathered and written as at every end.
    m_failures.guard([this] { m_service.gatherSettings(); });
    if (m_writeSettings)
        m_failures.guard(m_writeSettings);
    if (!checker->startUpdater()) {
        // Ending now would leave the link down with nothing to replace it.
        m_activityLog.addLine(timeOfDayStamp() + QStringLiteral("Updateprogramma kon niet worden gestart: ") +
                              QDir::toNativeSeparators(checker->targetPath()));
        return;
    }
    m_ended = true;
    m_tray->hide();
    close();
    Q_EMIT endedForUpdate();
}

} // namespace velora
