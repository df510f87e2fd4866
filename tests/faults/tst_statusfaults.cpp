// The service as an operator's monitoring sees it: the status endpoint and
// --status after a known exchange, a peer outside the allow list, and the
// activity log kept when a return host stays down.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "Version.h"
#include "net/HttpClient.h"
#include "shell/GuardedApplication.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace velora;
using namespace velora::faults;

namespace {

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

HttpAnswer httpGet(quint16 port, const QString &path)
{
    HttpRequest request;
    request.url = QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    request.connectTimeoutMs = 5000;
    request.idleTimeoutMs = 5000;
    HttpClient client;
    QEventLoop loop;
    QObject::connect(&client, &HttpClient::finished, &loop, &QEventLoop::quit);
    client.start(request);
    loop.exec();
    return {client.hasHead() ? client.statusCode() : 0, client.body()};
}

// The value of one series in a /metrics text; -1 when it is not there.
qint64 metric(const QByteArray &text, const QByteArray &series)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toLongLong();
    }
    return -1;
}

qint64 sumOf(const QByteArray &text, const QByteArray &family)
{
    qint64 sum = 0;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(family + '{') || line.startsWith(family + ' '))
            sum += line.mid(line.lastIndexOf(' ') + 1).toLongLong();
    }
    return sum;
}

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runStatus(const QString &folder)
{
    QProcess process;
    process.start(QStringLiteral(VELORA_EXECUTABLE), {QStringLiteral("--status"), QStringLiteral("--dir"), folder});
    process.waitForFinished(15000);
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

QStringList savedLogs(const QString &folder)
{
    static const QRegularExpression name(QStringLiteral("^[0-9]{14,16}\\.TXT$"));
    return QDir(QDir(folder).filePath(QStringLiteral("RBS"))).entryList(QDir::Files).filter(name);
}

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort(); // closed when the server goes
}

} // namespace

class TestStatusFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One new ride answered "AC" and one text that is no packet: /health says
    // healthy, /metrics counts exactly those, and --status prints the same
    // and exits 0. With the endpoint off, --status says so and exits 1.
    void endpointCountsAKnownExchange()
    {
        const quint16 statusPort = test::freeLoopbackPort();
        StartedService started({.settings = {{QStringLiteral("StatusPoort_Text"), QString::number(statusPort)}}});
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();
        QVERIFY(ServiceProcess::waitForListening(statusPort));

        QVERIFY(exchangeOnce(port, newRidePacket(4711)).contains("<EINDE>"));
        QVERIFY(exchangeOnce(port, "<RBS>ZZ-no-hex<EINDE>", 1500).isEmpty());
        QVERIFY(service.waitForOutput("RBSServerSocket 127.0.0.1: List index out of bounds (0)"));

        const HttpAnswer health = httpGet(statusPort, QStringLiteral("/health"));
        QCOMPARE(health.status, 200);
        QVERIFY2(health.body.contains("\"listening\": true"), health.body.constData());
        QVERIFY2(health.body.contains("\"open\": true"), health.body.constData());

        const HttpAnswer metrics = httpGet(statusPort, QStringLiteral("/metrics"));
        QCOMPARE(metrics.status, 200);
        const QByteArray &text = metrics.body;
        QCOMPARE(metric(text, R"(velora_packets_received_total{type="NR",reply="AC"})"), 1);
        QCOMPARE(metric(text, R"(velora_packets_received_total{type="unreadable",reply="none"})"), 1);
        QCOMPARE(metric(text, "velora_packet_handling_seconds_count"), 2);
        QCOMPARE(metric(text, R"(velora_packet_handling_seconds_bucket{le="+Inf"})"), 2);
        QVERIFY(metric(text, "process_resident_memory_bytes") > 0);
        QVERIFY(metric(text, "process_open_fds") > 0);
        QCOMPARE(sumOf(text, "velora_packets_received_total"), 2);
        QCOMPARE(metric(text, "velora_rides_stored_total"), 1);
        QCOMPARE(metric(text, "velora_database_failures_total"), 0);
        QCOMPARE(metric(text, "velora_intake_listening"), 1);
        QCOMPARE(metric(text, "velora_database_open"), 1);
        QCOMPARE(metric(text, R"(velora_return_queue_depth{channel="rbs"})"), 0);
        QVERIFY(text.contains("velora_build_info{version=\"" + QByteArray(kFileVersion) + "\"} 1"));

        const Run status = runStatus(started.folder());
        QCOMPARE(status.exitCode, 0);
        QVERIFY2(status.out.contains("listening on port " + QByteArray::number(port)), status.out.constData());
        QVERIFY2(status.out.contains(R"(velora_packets_received_total{type="NR",reply="AC"} 1)"),
                 status.out.constData());

        QTemporaryDir off;
        QVERIFY(writeSettings(off.path(), test::freeLoopbackPort()));
        const Run offStatus = runStatus(off.path());
        QCOMPARE(offStatus.exitCode, 1);
        QVERIFY2(offStatus.err.contains("status endpoint is off"), offStatus.err.constData());
    }

    // Allowed is 127.0.0.1 only: a peer from 127.0.0.2 is closed before its
    // packet is read, logged with its address and counted; the allowed peer
    // is served as before.
    void peerOutsideTheAllowListIsRefused()
    {
        const quint16 statusPort = test::freeLoopbackPort();
        StartedService started({.settings = {{QStringLiteral("StatusPoort_Text"), QString::number(statusPort)},
                                             {QStringLiteral("RBSToegestaan_Text"), QStringLiteral("127.0.0.1/32")}}});
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();

        QTcpSocket outsider;
        QVERIFY(outsider.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
        outsider.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(outsider.waitForConnected(5000));
        outsider.write(newRidePacket(5001));
        // The write may fail: the service may have closed the connection already.
        outsider.waitForBytesWritten(5000);
        QVERIFY(outsider.state() == QAbstractSocket::UnconnectedState || outsider.waitForDisconnected(5000));
        QVERIFY(outsider.readAll().isEmpty());
        QVERIFY(service.waitForOutput("Verbinding geweigerd om "));
        QVERIFY2(service.output().contains("-> 127.0.0.2"), service.output().constData());

        QVERIFY(exchangeOnce(port, newRidePacket(5002)).contains("<EINDE>"));
        QVERIFY(ServiceProcess::waitForListening(statusPort));
        const QByteArray text = httpGet(statusPort, QStringLiteral("/metrics")).body;
        QCOMPARE(metric(text, "velora_peers_refused_total"), 1);
        QCOMPARE(sumOf(text, "velora_packets_received_total"), 1);
        QCOMPARE(metric(text, "velora_rides_stored_total"), 1);
    }

    // The return host refuses every connection. The first failure saves the
    // activity log that led up to it and is shown; the retries are counted
    // but neither shown again within the minute nor saved. The message names
    // the channel, host and port around the system's own text.
    void returnHostDownSavesTheLogOnce()
    {
        const quint16 statusPort = test::freeLoopbackPort();
        const quint16 returnPort = closedPort();
        StartedService started({.settings = {{QStringLiteral("StatusPoort_Text"), QString::number(statusPort)},
                                             {QStringLiteral("RBSRetour_Checked"), QStringLiteral("TRUE")},
                                             {QStringLiteral("TrackBar1_Position"), QStringLiteral("5")},
                                             {QStringLiteral("RBSCHost_Text"), QStringLiteral("127.0.0.1")},
                                             {QStringLiteral("RBSCPoort_Text"), QString::number(returnPort)}}});
        QVERIFY(started.start());
        ServiceProcess &service = started.process();
        const quint16 port = started.port();
        QVERIFY(exchangeOnce(port, newRidePacket(6001)).contains("<EINDE>"));
        {
            // The ride waits for its status message, as a finished ride does.
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("ledger"));
            db.setDatabaseName(started.databasePath());
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
            QVERIFY(db.open());
            QSqlQuery update(db);
            QVERIFY(update.exec(QStringLiteral("update planning set pla_retour_rbs=1 where pla_extern=6001")));
            QCOMPARE(update.numRowsAffected(), 1);
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("ledger"));

        const QByteArray refused =
            "RBSClientSocket 127.0.0.1:" + QByteArray::number(returnPort) + ": Connection refused";
        QVERIFY(test::waitUntil(
            [&] { return metric(httpGet(statusPort, QStringLiteral("/metrics")).body, "velora_failures_total") >= 3; },
            45000));
        QCOMPARE(service.output().count(refused), 1);
        const QStringList saved = savedLogs(started.folder());
        QCOMPARE(saved.size(), 1);
        QFile file(QDir(started.filePath(QStringLiteral("RBS"))).filePath(saved.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("NR pakketnummer"));

        const QByteArray text = httpGet(statusPort, QStringLiteral("/metrics")).body;
        QCOMPARE(metric(text, R"(velora_return_messages_total{channel="rbs",event="queued"})"), 1);
        QCOMPARE(metric(text, R"(velora_return_queue_depth{channel="rbs"})"), 1);
        QVERIFY(metric(text, "velora_failures_total") >= 3);
        const HttpAnswer health = httpGet(statusPort, QStringLiteral("/health"));
        QVERIFY2(health.body.contains("\"component\": \"RBSClientSocket\""), health.body.constData());
    }

    // Lasting intake failures as an operator meets them. The port is taken
    // by another program: the failure is logged once, not at every tick;
    // /health answers 503 naming the intake and why, and --status says the
    // same. Once the port is free the intake listens and all is well. Then
    // a reload names a port that is taken: the old port serves on, but the
    // status no longer calls that sound, since the next start will not
    // listen where this one does.
    void lastingIntakeFailuresAreToldOnceAndNamed()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        const quint16 port = squatter.serverPort();
        const quint16 statusPort = test::freeLoopbackPort();
        const QMap<QString, QString> status{{QStringLiteral("StatusPoort_Text"), QString::number(statusPort)}};
        StartedService started({.settings = status, .port = port});
        QVERIFY(started.start(StartedService::Until::Started));
        ServiceProcess &service = started.process();
        const QByteArray inUse = "RBSServerSocket poort " + QByteArray::number(port) + ": ";
        QVERIFY(service.waitForOutput(inUse));
        QVERIFY(ServiceProcess::waitForListening(statusPort));
        QVERIFY(test::waitUntil(
            [&] { return metric(httpGet(statusPort, QStringLiteral("/metrics")).body, "velora_failures_total") >= 4; },
            15000));
        QCOMPARE(service.output().count(inUse), 1);
        HttpAnswer health = httpGet(statusPort, QStringLiteral("/health"));
        QCOMPARE(health.status, 503);
        QJsonObject body = QJsonDocument::fromJson(health.body).object();
        QCOMPARE(body.value("failing").toArray(), QJsonArray{"intake"});
        QVERIFY2(body.value("intake").toObject().value("problem").toString().startsWith(QString::fromLatin1(inUse)),
                 health.body.constData());
        const Run told = runStatus(started.folder());
        QCOMPARE(told.exitCode, 1);
        QVERIFY2(told.err.contains("intake (" + inUse), told.err.constData());

        squatter.close();
        QVERIFY(ServiceProcess::waitForListening(port));
        QVERIFY(test::waitUntil([&] { return httpGet(statusPort, QStringLiteral("/health")).status == 200; }, 5000));

        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any, 0));
        QMap<QString, QString> moved = status;
        moved.insert(QStringLiteral("RBSPoort_Text"), QString::number(taken.serverPort()));
        QVERIFY(writeSettings(started.folder(), port, moved));
        service.signal(SIGHUP);
        QVERIFY(service.waitForOutput("RBSServerSocket poort " + QByteArray::number(taken.serverPort()) + ": "));
        QVERIFY(exchangeOnce(port, newRidePacket(7001)).contains("<EINDE>")); // the old port serves on
        health = httpGet(statusPort, QStringLiteral("/health"));
        QCOMPARE(health.status, 503);
        body = QJsonDocument::fromJson(health.body).object();
        QCOMPARE(body.value("failing").toArray(), QJsonArray{"intake"});
        QVERIFY2(body.value("intake").toObject().value("problem").toString().endsWith(
                     QStringLiteral("luistert nog op poort %1").arg(port)),
                 health.body.constData());
        service.signal(SIGTERM);
        QVERIFY(service.waitForExit());
        QCOMPARE(service.exitCode(), 0);
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestStatusFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_statusfaults.moc"
