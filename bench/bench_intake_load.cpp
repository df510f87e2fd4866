// Load client for the intake: N booking-system connections send "NR" packets
// as fast as the replies come back, against the intake server on the embedded
// database (WAL, synchronous=FULL), run in this process on its own thread with
// its own event loop, exactly as the service runs it. The distance service is
// off. In the same run and on the same disk a reference commits the same rows
// (the ride row and its transaction row) as plain SQLite transactions.
//
// With --dsn NAME the intake stores into the ODBC data source NAME instead (a
// live server: scripts/pg.sh -- build/bench/bench_intake_load --dsn ... starts
// one); the SQLite reference is left out then.
//
// Usage: bench_intake_load [--packets N] [--memory-packets N] [--dir DIR]
//                          [--connections 1,8,64] [--rate R] [--dsn NAME [--user U] [--password P]]

#include "database/Database.h"
#include "intake/IntakeServer.h"
#include "net/DistanceClient.h"
#include "rides/Datasets.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/WorkQueue.h"
#include "wire/WireCodec.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace velora;

namespace {

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// The packet of a new ride with the given number. The hex text is built once
// around a marker and the number's hex put in its place for each packet: the
// clients share a core with the service, and building all 96 items anew took
// about 15 µs a packet on the path every N = 1 reply waits for.
QByteArray newRidePacket(qint32 ride)
{
    static const auto [head, tail] = [] {
        QStringList items;
        for (int i = 0; i < 96; ++i)
            items << QString();
        items[0] = "NR";
        items[1] = "RBS";
        items[2] = "0";
        items[3] = "#";
        for (int i : {4, 23, 24, 49})
            items[i] = "201403051407";
        items[5] = "201403051432";
        items[10] = "Jansen";
        items[11] = "Dorpsstraat";
        items[12] = "1234AB";
        items[13] = "Utrecht";
        items[14] = "12";
        items[17] = "Laan";
        items[18] = "3511CD";
        items[19] = "Zeist";
        items[20] = "7";
        items[25] = "5501";
        items[27] = "1250";
        items[32] = "T";
        items[38] = "Bel aan";
        items[42] = "K";
        items[60] = "123456";
        const QByteArray hex = EncodeHexText(WriteCommaList(items)).toLatin1();
        const qsizetype marker = hex.indexOf(EncodeHexText(QStringLiteral(",#,")).toLatin1()) + 2;
        return std::pair{"<RBS>" + hex.left(marker), hex.mid(marker + 2) + "\r\n"};
    }();
    return head + EncodeHexText(QString::number(ride)).toLatin1() + tail;
}

// The intake as the service runs it, on a thread of its own.
class ServiceThread : public QThread {
public:
    // `server`: the connection settings (server, user, password); empty for
    // the embedded database.
    ServiceThread(QString folder, QStringList server) : m_folder(std::move(folder)), m_server(std::move(server)) {}
    std::atomic<quint16> port{0};
    std::atomic<int> returnLogLines{0};
    // The service thread's CPU clock, so that each load can say what a packet
    // cost the service (the clients' work runs on the main thread).
    std::atomic<clockid_t> cpuClock{CLOCK_THREAD_CPUTIME_ID};

    double cpuSeconds() const
    {
        timespec now{};
        clock_gettime(cpuClock.load(), &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    }

protected:
    void run() override
    {
        clockid_t clock{};
        if (pthread_getcpuclockid(pthread_self(), &clock) == 0)
            cpuClock = clock;
        Settings settings;
        settings.setChecked(Setting::RBSActive, true);
        // Port 0 is refused as a setting (no booking system could know the
        // port the system picks), so a free one is found first.
        {
            QTcpServer probe;
            probe.listen(QHostAddress::Any, 0);
            settings.setText(Setting::RBSPoort, QString::number(probe.serverPort()));
        }
        settings.setChecked(Setting::GoogleV2, false);
        if (m_server.size() == 3) {
            settings.setText(Setting::xLoginServer, m_server[0]);
            settings.setText(Setting::xLoginSQL, m_server[1]);
            settings.setText(Setting::xPaswoordSQL, m_server[2]);
        }
        Log activityLog(QStringLiteral("RBSLog"));
        Log returnLog(QStringLiteral("RBSCLog"));
        // The return log is emptied when answers arrive on a return
        // connection; with no return link here it is emptied at the same bound.
        QObject::connect(&returnLog, &Log::lineAdded, &returnLog, [&] {
            if (returnLog.lineCount() > 500)
                returnLog.clear();
        });
        FailureHandler failures(activityLog);
        Database database(settings, m_folder);
        DistanceClient distance(settings, activityLog);
        Datasets datasets(database, settings, activityLog, distance, failures);
        WorkQueue work;
        IntakeContext context{settings, activityLog, returnLog, failures, database, datasets, work};
        context.openDatabase = [&] { database.open(); };
        // A full activity log is saved as a connection ends, as the service does.
        context.connectionEnding = [&] {
            if (activityLog.lineCount() > 500) {
                saveActivityLog(activityLog, QDir(m_folder).filePath(QStringLiteral("RBS")));
                activityLog.clear();
            }
        };
        IntakeServer server(std::move(context));
        server.GeneralTimer();
        server.GeneralTimer();
        port = server.isListening() ? server.port() : quint16(1);
        if (!server.isListening()) {
            for (const QString &line : activityLog.lines())
                std::fprintf(stderr, "%s\n", qPrintable(line));
            return;
        }
        exec();
        returnLogLines = int(returnLog.lineCount());
        database.close();
    }

private:
    QString m_folder;
    QStringList m_server;
};

struct LoadResult {
    double packetsPerSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    int refused = 0;
};

// N connections send "NR" packets. With rate 0 each connection sends its next
// packet as soon as its reply came back, and a packet's latency counts from
// its send. With a rate (packets/s over all connections, taken in turns)
// packets go out on a timer whatever the replies do, several in flight on one
// connection, and a packet's latency counts from the moment it was due, so
// that a service falling behind shows in the percentiles instead of slowing
// the load down.
LoadResult runLoad(quint16 port, int connections, int packets, qint32 &nextRide, double rate = 0)
{
    struct Client {
        std::unique_ptr<QTcpSocket> socket;
        QByteArray received;
        std::deque<qint64> startNs; // of the packets not answered yet, in the order sent
    };
    std::vector<Client> clients(connections);
    std::vector<double> latencies;
    latencies.reserve(packets);
    int sent = 0;
    int answered = 0;
    int refused = 0;
    QEventLoop loop;
    QElapsedTimer wall;

    auto send = [&](Client &client, qint64 startNs) {
        client.startNs.push_back(startNs);
        client.socket->write(newRidePacket(nextRide++));
        ++sent;
    };
    for (Client &client : clients) {
        client.socket = std::make_unique<QTcpSocket>();
        client.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        client.socket->connectToHost(QHostAddress::LocalHost, port);
        if (!client.socket->waitForConnected(5000)) {
            std::fprintf(stderr, "connect failed\n");
            return {};
        }
        QObject::connect(client.socket.get(), &QTcpSocket::readyRead, &loop, [&, c = &client] {
            c->received += c->socket->readAll();
            qsizetype end;
            while ((end = c->received.indexOf("<EINDE>")) >= 0 && !c->startNs.empty()) {
                latencies.push_back((wall.nsecsElapsed() - c->startNs.front()) / 1e6);
                c->startNs.pop_front();
                if (!c->received.startsWith("<RBS>4143"))
                    ++refused;
                c->received.remove(0, end + 7);
                if (++answered == packets)
                    loop.quit();
                else if (rate <= 0 && sent < packets)
                    send(*c, wall.nsecsElapsed());
            }
        });
    }
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    const double intervalNs = rate > 0 ? 1e9 / rate : 0;
    QObject::connect(&pace, &QTimer::timeout, &loop, [&] {
        // Every packet due by now goes out, each stamped with its due time.
        while (sent < packets && sent * intervalNs <= wall.nsecsElapsed())
            send(clients[size_t(sent % connections)], qint64(sent * intervalNs));
        if (sent >= packets)
            pace.stop();
    });
    wall.start();
    if (rate > 0) {
        pace.start(1);
    } else {
        for (Client &client : clients)
            if (sent < packets)
                send(client, wall.nsecsElapsed());
    }
    if (packets > 0)
        loop.exec();
    const double seconds = wall.nsecsElapsed() / 1e9;

    LoadResult result;
    result.refused = refused;
    if (latencies.empty())
        return result;
    std::sort(latencies.begin(), latencies.end());
    result.packetsPerSecond = packets / seconds;
    result.p50Ms = latencies[latencies.size() / 2];
    result.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    return result;
}

// Plain SQLite transactions of the same rows the intake stores per packet.
double referenceRate(const QString &folder, const QString &serviceDb, int transactions)
{
    // The schema as the service creates it, on its own file.
    {
        Settings settings;
        Database schema(settings, folder);
        schema.open();
        schema.close();
    }
    QSqlRecord ride;
    {
        QSqlDatabase source = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("source"));
        source.setDatabaseName(serviceDb);
        source.open();
        QSqlQuery q(source);
        q.exec(QStringLiteral("select * from planning order by pla_id desc limit 1"));
        q.next();
        ride = q.record();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("source"));

    QStringList columns;
    QVariantList values;
    for (int i = 0; i < ride.count(); ++i) {
        if (ride.isNull(i) || ride.fieldName(i) == QLatin1String("pla_id"))
            continue;
        columns << ride.fieldName(i);
        values << ride.value(i);
    }
    double rate = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reference"));
        db.setDatabaseName(QDir(folder).filePath(QStringLiteral("VeloraRBS.db")));
        db.open();
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA synchronous=FULL"));
        QSqlQuery insertRide(db);
        insertRide.prepare(QStringLiteral("insert into planning (%1) values (%2)")
                               .arg(columns.join(','), QStringList(columns.size(), QStringLiteral("?")).join(',')));
        QSqlQuery insertTransaction(db);
        insertTransaction.prepare(
            QStringLiteral("INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                           "tra_code, tra_opmerking) VALUES (0,0,?,0,0,91,'Contant')"));
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < transactions; ++i) {
            db.transaction();
            for (int v = 0; v < values.size(); ++v)
                insertRide.bindValue(v, values[v]);
            if (!insertRide.exec())
                std::fprintf(stderr, "reference: %s\n", qPrintable(insertRide.lastError().text()));
            insertTransaction.bindValue(0, insertRide.lastInsertId());
            insertTransaction.exec();
            db.commit();
        }
        rate = transactions / (timer.nsecsElapsed() / 1e9);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reference"));
    return rate;
}

} // namespace

int main(int argc, char *argv[])
{
    // The event loop the service runs headless with (src/app/main.cpp).
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("packets"), QStringLiteral("Packets per connection count."), QStringLiteral("n"),
                      QStringLiteral("3000")});
    parser.addOption({QStringLiteral("memory-packets"), QStringLiteral("Packets of the memory run (0: none)."),
                      QStringLiteral("n"), QStringLiteral("100000")});
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Folder on the disk to measure (default: temp)."),
                      QStringLiteral("dir")});
    // The service indexes the embedded database itself now; the switch stays
    // accepted so that older command lines still run.
    parser.addOption({QStringLiteral("with-indexes"), QStringLiteral("No effect (the service creates the indexes).")});
    parser.addOption({QStringLiteral("connections"), QStringLiteral("Connection counts to measure."),
                      QStringLiteral("list"), QStringLiteral("1,8,64")});
    parser.addOption({QStringLiteral("dsn"), QStringLiteral("ODBC data source to store into (a live server)."),
                      QStringLiteral("name")});
    parser.addOption({QStringLiteral("user"), QStringLiteral("Login of the data source (default: $VELORA_PG_USER)."),
                      QStringLiteral("user"), qEnvironmentVariable("VELORA_PG_USER")});
    parser.addOption({QStringLiteral("password"),
                      QStringLiteral("Password of the data source (default: $VELORA_PG_PASSWORD)."),
                      QStringLiteral("password"), qEnvironmentVariable("VELORA_PG_PASSWORD")});
    parser.addOption({QStringLiteral("rate"),
                      QStringLiteral("Offer packets at this fixed rate (packets/s) instead of as fast as answered."),
                      QStringLiteral("r")});
    parser.addHelpOption();
    parser.process(app);
    const int packets = parser.value(QStringLiteral("packets")).toInt();
    const int memoryPackets = parser.value(QStringLiteral("memory-packets")).toInt();

    // The folder names the disk to measure; it is made when missing.
    if (parser.isSet(QStringLiteral("dir")))
        QDir().mkpath(parser.value(QStringLiteral("dir")));
    QTemporaryDir root(parser.isSet(QStringLiteral("dir"))
                           ? QDir(parser.value(QStringLiteral("dir"))).filePath(QStringLiteral("bench-XXXXXX"))
                           : QDir::tempPath() + QStringLiteral("/bench-XXXXXX"));
    if (!root.isValid()) {
        std::fprintf(stderr, "cannot create a folder for the run: %s\n", qPrintable(root.errorString()));
        return 2;
    }
    const QString serviceFolder = root.filePath(QStringLiteral("service"));
    const QString referenceFolder = root.filePath(QStringLiteral("reference"));
    QDir().mkpath(serviceFolder + QStringLiteral("/RBS"));
    QDir().mkpath(referenceFolder);
    std::printf("folder: %s\n", qPrintable(root.path()));

    const bool onServer = parser.isSet(QStringLiteral("dsn"));
    QStringList server;
    if (onServer)
        server << QStringLiteral("dsn:") + parser.value(QStringLiteral("dsn")) << parser.value(QStringLiteral("user"))
               << parser.value(QStringLiteral("password"));
    QList<int> connectionCounts;
    for (const QString &count : parser.value(QStringLiteral("connections")).split(u',', Qt::SkipEmptyParts))
        connectionCounts << count.toInt();

    ServiceThread service(serviceFolder, server);
    service.start();
    while (service.port == 0)
        QThread::msleep(10);
    if (service.port == 1) {
        std::fprintf(stderr, "the intake did not start\n");
        service.wait();
        return 1;
    }
    std::printf("database: %s\n", onServer ? qPrintable(server.first()) : "embedded SQLite file");

    qint32 nextRide = 1;
    runLoad(service.port, 8, 200, nextRide); // warm-up: the rides table exists and holds rows
    // The disk's commit rate drifts (other programs use it too): the
    // reference runs right before and right after each load, on the same disk.
    const QString serviceDb = QDir(serviceFolder).filePath(QStringLiteral("VeloraRBS.db"));
    int round = 0;
    if (parser.isSet(QStringLiteral("rate"))) {
        bool rateOk = false;
        const double rate = parser.value(QStringLiteral("rate")).toDouble(&rateOk);
        if (!rateOk || rate <= 0) {
            std::fprintf(stderr, "--rate wants packets per second above 0, not \"%s\"\n",
                         qPrintable(parser.value(QStringLiteral("rate"))));
            service.quit();
            service.wait();
            return 2;
        }
        for (int connections : connectionCounts) {
            const double cpuBefore = service.cpuSeconds();
            const LoadResult r = runLoad(service.port, connections, packets, nextRide, rate);
            std::printf("NR  N=%-3d offered %8.1f packets/s   done %8.1f packets/s   p50 %6.2f ms   p99 %6.2f ms"
                        "   refused %d   service CPU %5.1f us/packet\n",
                        connections, rate, r.packetsPerSecond, r.p50Ms, r.p99Ms, r.refused,
                        (service.cpuSeconds() - cpuBefore) * 1e6 / packets);
            std::fflush(stdout);
        }
        service.quit();
        service.wait();
        return 0;
    }
    for (int connections : connectionCounts) {
        if (onServer) {
            const double cpuBefore = service.cpuSeconds();
            const LoadResult r = runLoad(service.port, connections, packets, nextRide);
            std::printf("NR  N=%-3d %8.1f packets/s   p50 %6.2f ms   p99 %6.2f ms   refused %d   service CPU %5.1f "
                        "us/packet\n",
                        connections, r.packetsPerSecond, r.p50Ms, r.p99Ms, r.refused,
                        (service.cpuSeconds() - cpuBefore) * 1e6 / packets);
            std::fflush(stdout);
            continue;
        }
        const QString before = QDir(referenceFolder).filePath(QString::number(round++));
        const QString after = QDir(referenceFolder).filePath(QString::number(round++));
        QDir().mkpath(before);
        QDir().mkpath(after);
        const double referenceBefore = referenceRate(before, serviceDb, packets / 2);
        const double cpuBefore = service.cpuSeconds();
        const LoadResult r = runLoad(service.port, connections, packets, nextRide);
        const double cpuUs = (service.cpuSeconds() - cpuBefore) * 1e6 / packets;
        const double reference = (referenceBefore + referenceRate(after, serviceDb, packets / 2)) / 2;
        std::printf("NR  N=%-3d %8.1f packets/s   p50 %6.2f ms   p99 %6.2f ms   refused %d   reference %8.1f "
                    "transactions/s   ratio %.2f   service CPU %5.1f us/packet\n",
                    connections, r.packetsPerSecond, r.p50Ms, r.p99Ms, r.refused, reference,
                    r.packetsPerSecond / reference, cpuUs);
        std::fflush(stdout);
    }

    if (memoryPackets > 0) {
        const int step = std::max(1, memoryPackets / 10);
        std::printf("memory run: %d packets, N=8\n", memoryPackets);
        for (int done = 0; done < memoryPackets; done += step) {
            const double cpuBefore = service.cpuSeconds();
            const LoadResult r = runLoad(service.port, 8, step, nextRide);
            std::printf("  after %7d packets: RSS %7.1f MiB   %8.1f packets/s   p99 %6.2f ms   service CPU %5.1f "
                        "us/packet\n",
                        done + step, residentMiB(), r.packetsPerSecond, r.p99Ms,
                        (service.cpuSeconds() - cpuBefore) * 1e6 / step);
            std::fflush(stdout);
        }
    }
    service.quit();
    service.wait();
    return 0;
}
