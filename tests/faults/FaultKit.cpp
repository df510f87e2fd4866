#include "faults/FaultKit.h"

#include "support/PostgresCluster.h"
#include "support/TestSupport.h"
#include "wire/WireCodec.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>

namespace velora::faults {

SmallDisk::SmallDisk(const QString &folder, const char *size) : m_folder(folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mount("tmpfs", path.constData(), "tmpfs", 0, size) == 0)
        m_mounted = true;
    else
        m_error = QString::fromLocal8Bit(std::strerror(errno));
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
}

qint64 SmallDisk::fill() const
{
    QFile filler(QDir(m_folder).filePath(QStringLiteral("filler")));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return -1;
    const QByteArray block(4096, 'f');
    qint64 total = 0;
    for (;;) {
        const qint64 written = filler.write(block);
        if (written <= 0)
            break;
        total += written;
    }
    return total;
}

void SmallDisk::release() const
{
    QFile::remove(QDir(m_folder).filePath(QStringLiteral("filler")));
}

bool writeSettings(const QString &folder, quint16 port, const QMap<QString, QString> &extra)
{
    QDir().mkpath(folder);
    QFile file(QDir(folder).filePath(QStringLiteral("VeloraRBS.xml")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<Configuration>\n<Hoofdscherm>\n"
                     "<FormVersion>0</FormVersion>\n<RBSActive_Checked>TRUE</RBSActive_Checked>\n";
    QMap<QString, QString> elements = extra;
    if (!elements.contains(QStringLiteral("RBSPoort_Text")))
        elements.insert(QStringLiteral("RBSPoort_Text"), QString::number(port));
    for (auto it = elements.cbegin(); it != elements.cend(); ++it)
        xml += "<" + it.key().toLatin1() + ">" + it.value().toHtmlEscaped().toLatin1() + "</" + it.key().toLatin1() +
               ">\n";
    xml += "</Hoofdscherm>\n</Configuration>\n";
    return file.write(xml) == xml.size() && file.flush();
}

QMap<QString, QString> silentDistanceSettings(quint16 distancePort, int timeoutSeconds)
{
    return {{QStringLiteral("GoogleV2_Checked"), QStringLiteral("TRUE")},
            {QStringLiteral("AfstandServer_Text"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("AfstandPoort_Text"), QString::number(distancePort)},
            {QStringLiteral("AfstandTimeOut_Text"), QString::number(timeoutSeconds)}};
}

ServiceProcess::ServiceProcess(QString folder, Mode mode) : m_folder(std::move(folder)), m_mode(mode) {}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ServiceProcess::start(const QStringList &extraArguments)
{
    m_process.setProgram(QStringLiteral(VELORA_EXECUTABLE));
    QStringList arguments{QStringLiteral("--dir"), m_folder};
    if (m_mode == Mode::Headless)
        arguments.prepend(QStringLiteral("--headless"));
    m_process.setArguments(arguments + extraArguments);
    m_process.start();
    return m_process.waitForStarted(10000);
}

const QByteArray &ServiceProcess::output()
{
    m_out += m_process.readAllStandardOutput();
    return m_out;
}

const QByteArray &ServiceProcess::errors()
{
    m_err += m_process.readAllStandardError();
    return m_err;
}

bool ServiceProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    return test::waitUntil([&] { return output().contains(text); }, timeoutMs);
}

bool ServiceProcess::waitForListening(quint16 port, int timeoutMs)
{
    return test::waitUntil(
        [&] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            const bool up = probe.waitForConnected(200);
            probe.abort();
            return up;
        },
        timeoutMs);
}

void ServiceProcess::signal(int number)
{
    if (m_process.processId() > 0)
        ::kill(pid_t(m_process.processId()), number);
}

bool ServiceProcess::waitForExit(int timeoutMs)
{
    const bool ended = test::waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    output();
    errors();
    return ended;
}

StartedService::StartedService(ServiceOptions options)
    : m_dir(std::make_unique<QTemporaryDir>()), m_folder(m_dir->path()), m_options(std::move(options))
{
    m_port = m_options.port ? m_options.port : test::freeLoopbackPort();
    m_process = std::make_unique<ServiceProcess>(m_folder, m_options.mode);
}

StartedService::StartedService(QString folder, ServiceOptions options)
    : m_folder(std::move(folder)), m_options(std::move(options))
{
    m_port = m_options.port ? m_options.port : test::freeLoopbackPort();
    m_process = std::make_unique<ServiceProcess>(m_folder, m_options.mode);
}

StartedService::~StartedService()
{
    if (!QTest::currentTestFailed() || !m_started)
        return;
    // What the pipe holds reaches the process object through the event loop.
    QTest::qWait(1000);
    qInfo("service (state %d, exit %d) output:\n%s\n%s", int(m_process->process().state()), m_process->exitCode(),
          m_process->output().right(20000).constData(), m_process->errors().right(2000).constData());
}

QString StartedService::filePath(const QString &name) const
{
    return QDir(m_folder).filePath(name);
}

bool StartedService::failed(const char *step)
{
    m_process->output();
    m_process->errors();
    qWarning("service in %s: %s; output:\n%s\n%s", qPrintable(m_folder), step,
             m_process->output().right(4000).constData(), m_process->errors().right(2000).constData());
    return false;
}

bool StartedService::writeSettings()
{
    QMap<QString, QString> settings = m_options.settings;
    if (const test::PostgresCluster *server = m_options.server) {
        settings.insert(QStringLiteral("xLoginServer_Text"), QStringLiteral("dsn:") + server->options().dataSource);
        settings.insert(QStringLiteral("xLoginSQL_Text"), server->options().user);
        settings.insert(QStringLiteral("xPaswoordSQL_Text"), server->options().password);
    }
    m_settingsWritten = faults::writeSettings(m_folder, m_port, settings);
    return m_settingsWritten;
}

bool StartedService::start(Until until)
{
    if (!m_settingsWritten && !writeSettings())
        return failed("the settings file cannot be written");
    if (m_started) {
        if (m_process->process().state() != QProcess::NotRunning)
            return failed("the last process still runs");
        m_process = std::make_unique<ServiceProcess>(m_folder, m_options.mode);
    }
    m_started = true;
    QProcess &process = m_process->process();
    QProcessEnvironment environment =
        m_options.environment.isEmpty() ? QProcessEnvironment::systemEnvironment() : m_options.environment;
    if (m_options.server)
        environment = m_options.server->environment(environment);
    process.setProcessEnvironment(environment);
    if (m_options.childSetup)
        process.setChildProcessModifier(m_options.childSetup);
    if (!m_process->start(m_options.arguments))
        return failed("the process did not start");
    switch (until) {
    case Until::Listening:
        if (!ServiceProcess::waitForListening(m_port))
            return failed(qPrintable(QStringLiteral("nothing listens on port %1").arg(m_port)));
        break;
    case Until::StandBy:
        if (!m_process->waitForOutput("Stand-by"))
            return failed("it did not stand by");
        break;
    case Until::Started: break;
    }
    return true;
}

QByteArray newRidePacket(qint32 ride)
{
    QStringList items(96);
    const QString now = QDateTime::currentDateTime().addDays(1).toString(QStringLiteral("yyyyMMddhhmm"));
    items[0] = QStringLiteral("NR");
    items[1] = QStringLiteral("RBS");
    items[3] = QString::number(ride);
    for (int index : {4, 5, 23, 24, 49})
        items[index] = now;
    items[10] = QStringLiteral("Reiziger %1").arg(ride);
    items[11] = QStringLiteral("Stationsplein");
    items[13] = QStringLiteral("Utrecht");
    items[17] = QStringLiteral("Slotlaan");
    items[19] = QStringLiteral("Zeist");
    return envelopeBytes(QStringLiteral("<RBS>") + EncodeHexText(WriteCommaList(items)) + QStringLiteral("\r\n"));
}

// "AC" or "NC" of the first complete reply in bytes; Nothing while none is complete.
Told toldIn(const QByteArray &bytes)
{
    const qsizetype end = bytes.indexOf("<EINDE>");
    if (end < 0)
        return Told::Nothing;
    const qsizetype start = bytes.lastIndexOf("<RBS>", end);
    if (start < 0)
        return Told::Nothing;
    const QString payload = DecodeHexText(receivedText(bytes.mid(start + 5, end - start - 5)));
    if (payload.startsWith(QLatin1String("AC")))
        return Told::Accepted;
    if (payload.startsWith(QLatin1String("NC")))
        return Told::Refused;
    return Told::Nothing;
}

QByteArray exchangeOnce(quint16 port, const QByteArray &packet, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(packet);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (!received.contains("<EINDE>") && !deadline.hasExpired() &&
           socket.waitForReadyRead(int(deadline.remainingTime())))
        received += socket.readAll();
    return received;
}

LoadClients::LoadClients(quint16 port, int connections, qint32 firstRide)
    : m_port(port), m_firstRide(firstRide), m_outcomes(size_t(connections))
{
    for (int i = 0; i < connections; ++i)
        m_threads.emplace_back([this, i] { run(i); });
}

LoadClients::~LoadClients()
{
    stop();
}

void LoadClients::stop()
{
    m_stop = true;
    for (std::thread &thread : m_threads)
        if (thread.joinable())
            thread.join();
}

std::vector<RideOutcome> LoadClients::outcomes() const
{
    std::vector<RideOutcome> all;
    for (const auto &own : m_outcomes)
        all.insert(all.end(), own.begin(), own.end());
    return all;
}

void LoadClients::run(int index)
{
    const int connections = int(m_outcomes.size());
    std::vector<RideOutcome> &own = m_outcomes[size_t(index)];
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    if (!socket.waitForConnected(5000))
        return;
    for (qint32 n = 0; !m_stop; ++n) {
        RideOutcome outcome;
        outcome.ride = m_firstRide + n * connections + index;
        socket.write(newRidePacket(outcome.ride));
        ++m_sent;
        QByteArray received;
        // Waits for the reply even after stop(): the ride was sent, and what
        // it is told is part of the record. A service that stops answers or
        // closes within the wait.
        QDeadlineTimer deadline(10000);
        while (outcome.told == Told::Nothing && !deadline.hasExpired()) {
            if (!socket.waitForReadyRead(100)) {
                if (socket.state() != QAbstractSocket::ConnectedState)
                    break;
                continue;
            }
            received += socket.readAll();
            outcome.told = toldIn(received);
        }
        own.push_back(outcome);
        if (outcome.told == Told::Accepted)
            ++m_accepted;
        if (outcome.told == Told::Nothing)
            return; // the connection broke or the service stopped answering
    }
}

QString LedgerReport::text() const
{
    return QStringLiteral("stored %1, integrity %2; %3 problems: %4")
        .arg(stored)
        .arg(integrity)
        .arg(problems.size())
        .arg(problems.mid(0, 10).join(QStringLiteral("; ")));
}

LedgerReport checkLedger(const QString &databasePath, const std::vector<RideOutcome> &outcomes)
{
    LedgerReport report;
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        if (!db.open()) {
            report.problems << QStringLiteral("cannot open %1: %2").arg(databasePath, db.lastError().text());
            QSqlDatabase::removeDatabase(name);
            return report;
        }
        QSqlQuery query(db);
        if (query.exec(QStringLiteral("pragma integrity_check")) && query.next())
            report.integrity = query.value(0).toString();
        else
            report.integrity = query.lastError().text();

        const QString integrity = report.integrity;
        report = checkLedger(db, outcomes);
        if (report.integrity == QLatin1String("ok"))
            report.integrity = integrity;
    }
    QSqlDatabase::removeDatabase(name);
    return report;
}

LedgerReport checkLedger(QSqlDatabase &server, const std::vector<RideOutcome> &outcomes)
{
    LedgerReport report;
    QSqlQuery query(server);
    QHash<qint32, QList<qint32>> rides;
    QHash<qint32, int> transactions;
    if (!query.exec(QStringLiteral("select pla_extern, pla_id from planning"))) {
        report.integrity = QStringLiteral("planning: ") + query.lastError().text();
        return report;
    }
    while (query.next())
        rides[query.value(0).toInt()] << query.value(1).toInt();
    if (!query.exec(QStringLiteral("select tra_rit from transacties where tra_code = 91"))) {
        report.integrity = QStringLiteral("transacties: ") + query.lastError().text();
        return report;
    }
    while (query.next())
        ++transactions[query.value(0).toInt()];
    report.integrity = QStringLiteral("ok");
    report.stored = int(rides.size());
    for (const RideOutcome &outcome : outcomes) {
        const QList<qint32> ids = rides.value(outcome.ride);
        if (ids.size() > 1) {
            report.problems << QStringLiteral("ride %1 stored %2 times").arg(outcome.ride).arg(ids.size());
            continue;
        }
        if (outcome.told == Told::Refused && !ids.isEmpty())
            report.problems << QStringLiteral("ride %1 answered NC but stored").arg(outcome.ride);
        if (outcome.told == Told::Accepted && ids.isEmpty())
            report.problems << QStringLiteral("ride %1 answered AC but not stored").arg(outcome.ride);
        if (!ids.isEmpty() && transactions.value(ids.first()) != 1)
            report.problems << QStringLiteral("ride %1 (pla_id %2) has %3 transaction rows")
                                   .arg(outcome.ride)
                                   .arg(ids.first())
                                   .arg(transactions.value(ids.first()));
    }
    return report;
}

} // namespace velora::faults
