#include "DatabaseTestKit.h"

#include "shell/Failure.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace velora;
using velora::test::DatabaseKit;

namespace {

// A SQL Server stand-in on a thread of its own: Database::open() blocks the
// test's thread while it waits, so the peer cannot use that thread's events.
// Only the first connection (the probe's) gets the behaviour; any later one
// (the driver's own login) is closed at once, so the driver fails quickly.
class ScriptedServer {
public:
    enum class Behaviour {
        NeverAnswers,
        ClosesWithoutAnswer,
        AnswersThenCloses
    };

    explicit ScriptedServer(Behaviour behaviour) : m_behaviour(behaviour)
    {
        std::promise<quint16> ready;
        std::future<quint16> port = ready.get_future();
        m_thread = std::thread([this, &ready] { run(ready); });
        m_port = port.get();
    }
    ~ScriptedServer()
    {
        m_stop = true;
        m_thread.join();
    }

    quint16 port() const { return m_port; }
    int connections() const { return m_connections; }
    QByteArray firstRequest() const
    {
        const std::lock_guard lock(m_mutex);
        return m_firstRequest;
    }

private:
    // One TDS packet: the header's length says when it is complete; a wrong
    // length leaves what arrived within two seconds.
    static QByteArray readPacket(QTcpSocket &socket)
    {
        QByteArray bytes;
        QDeadlineTimer deadline(2000);
        while (!deadline.hasExpired()) {
            if (bytes.size() >= 4) {
                const int length = (quint8(bytes[2]) << 8) | quint8(bytes[3]);
                if (bytes.size() >= length)
                    break;
            }
            if (!socket.waitForReadyRead(int(deadline.remainingTime())))
                break;
            bytes += socket.readAll();
        }
        return bytes;
    }

    void run(std::promise<quint16> &ready)
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost)) {
            ready.set_value(0);
            return;
        }
        ready.set_value(server.serverPort());
        std::vector<std::unique_ptr<QTcpSocket>> held;
        while (!m_stop) {
            if (!server.waitForNewConnection(20))
                continue;
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            if (++m_connections > 1) {
                socket->abort();
                continue;
            }
            const QByteArray request = readPacket(*socket);
            {
                const std::lock_guard lock(m_mutex);
                m_firstRequest = request;
            }
            switch (m_behaviour) {
            case Behaviour::NeverAnswers: held.push_back(std::move(socket)); break;
            case Behaviour::ClosesWithoutAnswer: socket->disconnectFromHost(); break;
            case Behaviour::AnswersThenCloses:
                // A PRELOGIN response with no options: header and terminator.
                socket->write(QByteArray::fromHex("040100090000010"
                                                  "0ff"));
                socket->waitForBytesWritten(1000);
                socket->disconnectFromHost();
                break;
            }
            if (socket && socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(1000);
        }
    }

    Behaviour m_behaviour;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    QByteArray m_firstRequest;
};

void pointAtSqlServer(DatabaseKit &kit, quint16 port, int loginSeconds)
{
    DatabaseTimeouts timeouts;
    timeouts.odbcLoginSeconds = loginSeconds;
    kit.database->setTimeouts(timeouts);
    kit.settings.setText(Setting::xLoginServer, QStringLiteral("127.0.0.1,%1").arg(port));
    kit.settings.setText(Setting::xLoginDatabase, QStringLiteral("Velora"));
    kit.settings.setText(Setting::xLoginSQL, QStringLiteral("sa"));
    kit.settings.setText(Setting::xPaswoordSQL, QStringLiteral("Geheim42"));
}

// The failure message of open(), empty when it did not fail.
QString openFailure(Database &database)
{
    try {
        database.open();
    } catch (const Failure &failure) {
        return failure.message();
    }
    return QString();
}

} // namespace

class ConnectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void targetFromTheFourSettings_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("backend");
        QTest::addColumn<QString>("expected"); // path relative to the program folder, or the ODBC text
        QTest::addColumn<QString>("host");     // SQL Server: what the probe connects to
        QTest::addColumn<int>("port");
        QTest::newRow("empty") << QString() << int(Backend::EmbeddedSqlite) << QStringLiteral("VeloraRBS.db")
                               << QString() << 0;
        QTest::newRow("blank") << QStringLiteral("  ") << int(Backend::EmbeddedSqlite) << QStringLiteral("VeloraRBS.db")
                               << QString() << 0;
        QTest::newRow("sqlite relative") << QStringLiteral("sqlite:data/rides.db") << int(Backend::SqliteFile)
                                         << QStringLiteral("data/rides.db") << QString() << 0;
        QTest::newRow("instance: port from the browser")
            << QStringLiteral("dispatch\\VELORA") << int(Backend::SqlServerOdbc)
            << QStringLiteral("DRIVER={FreeTDS};Server=dispatch\\VELORA;Database=Velora;UID=link;PWD={s3cr;t}}pw};")
            << QStringLiteral("dispatch") << 0;
        QTest::newRow("instance with port")
            << QStringLiteral("dispatch\\VELORA,1500") << int(Backend::SqlServerOdbc)
            << QStringLiteral(
                   "DRIVER={FreeTDS};Server=dispatch\\VELORA;Port=1500;Database=Velora;UID=link;PWD={s3cr;t}}pw};")
            << QStringLiteral("dispatch") << 1500;
        QTest::newRow("default port") << QStringLiteral("tcp:db.local") << int(Backend::SqlServerOdbc)
                                      << QStringLiteral("DRIVER={FreeTDS};Server=db.local;Database=Velora;"
                                                        "UID=link;PWD={s3cr;t}}pw};")
                                      << QStringLiteral("db.local") << 1433;
        QTest::newRow("sql server with port") << QStringLiteral("10.0.0.5, 14330") << int(Backend::SqlServerOdbc)
                                              << QStringLiteral("DRIVER={FreeTDS};Server=10.0.0.5;Port=14330;"
                                                                "Database=Velora;UID=link;PWD={s3cr;t}}pw};")
                                              << QStringLiteral("10.0.0.5") << 14330;
        QTest::newRow("port is no number") << QStringLiteral("10.0.0.5,sql") << int(Backend::SqlServerOdbc)
                                           << QStringLiteral("DRIVER={FreeTDS};Server=10.0.0.5;Port=sql;"
                                                             "Database=Velora;UID=link;PWD={s3cr;t}}pw};")
                                           << QStringLiteral("10.0.0.5") << -1;
        QTest::newRow("port out of range") << QStringLiteral("10.0.0.5,65536") << int(Backend::SqlServerOdbc)
                                           << QStringLiteral("DRIVER={FreeTDS};Server=10.0.0.5;Port=65536;"
                                                             "Database=Velora;UID=link;PWD={s3cr;t}}pw};")
                                           << QStringLiteral("10.0.0.5") << -1;
        // A data source: the operator's odbc.ini names server and driver; the
        // login bound is the driver's own.
        QTest::newRow("data source") << QStringLiteral(" DSN: dispatch ") << int(Backend::OdbcDataSource)
                                     << QStringLiteral("DSN=dispatch;UID=link;PWD={s3cr;t}}pw};") << QString() << 0;
    }

    void targetFromTheFourSettings()
    {
        QFETCH(QString, server);
        QFETCH(int, backend);
        QFETCH(QString, expected);
        QFETCH(QString, host);
        QFETCH(int, port);
        Settings settings;
        settings.setText(Setting::xLoginServer, server);
        settings.setText(Setting::xLoginDatabase, QStringLiteral("Velora"));
        settings.setText(Setting::xLoginSQL, QStringLiteral("link"));
        settings.setText(Setting::xPaswoordSQL, QStringLiteral("s3cr;t}pw"));
        const ConnectionTarget target = connectionTargetFor(settings, QStringLiteral("/opt/velora"));
        QCOMPARE(int(target.backend), backend);
        if (isOdbc(target.backend)) {
            QVERIFY(target.refusal.isEmpty());
            QCOMPARE(target.odbcConnectString, expected);
            QVERIFY(!target.displayText.contains(QLatin1String("s3cr")));
            QVERIFY(target.displayText.contains(QLatin1String("PWD=***")));
            QCOMPARE(target.serverHost, host);
            QCOMPARE(target.serverPort, port);
        } else {
            QCOMPARE(target.sqlitePath, QDir(QStringLiteral("/opt/velora")).filePath(expected));
        }
    }

    // A server that cannot be used must fail open() within the login bound and
    // say why, naming host and port and never the password; a silent one must
    // not hang the event thread beyond the bound.
    void unusableServerFailsWithinTheBound_data()
    {
        QTest::addColumn<int>("behaviour"); // -1: nothing listens
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("minimumMs");
        QTest::addColumn<int>("maximumMs");
        QTest::newRow("accepts, never answers") << int(ScriptedServer::Behaviour::NeverAnswers)
                                                << QStringLiteral("did not answer within 1 s") << 950 << 2000;
        QTest::newRow("accepts, closes") << int(ScriptedServer::Behaviour::ClosesWithoutAnswer)
                                         << QStringLiteral("closed the connection without answering") << 0 << 950;
        QTest::newRow("nothing listens") << -1 << QStringLiteral("refused") << 0 << 950;
    }

    void unusableServerFailsWithinTheBound()
    {
        QFETCH(int, behaviour);
        QFETCH(QString, reason);
        QFETCH(int, minimumMs);
        QFETCH(int, maximumMs);
        std::unique_ptr<ScriptedServer> server;
        quint16 port = 0;
        if (behaviour >= 0) {
            server = std::make_unique<ScriptedServer>(ScriptedServer::Behaviour(behaviour));
            port = server->port();
        } else {
            QTcpServer listener;
            QVERIFY(listener.listen(QHostAddress::LocalHost));
            port = listener.serverPort();
        }
        QVERIFY(port != 0);
        DatabaseKit kit;
        pointAtSqlServer(kit, port, 1);
        QSignalSpy opened(kit.database.get(), &Database::openedChanged);

        QElapsedTimer timer;
        timer.start();
        const QString message = openFailure(*kit.database);
        const qint64 elapsed = timer.elapsed();

        QVERIFY2(!message.isEmpty(), "the connect did not fail");
        qInfo() << "failed after" << elapsed << "ms:" << message;
        QVERIFY2(message.contains(QStringLiteral("SQL Server 127.0.0.1, port %1").arg(port)), qPrintable(message));
        QVERIFY2(message.contains(reason, Qt::CaseInsensitive), qPrintable(message));
        QVERIFY(!message.contains(QLatin1String("Geheim42")));
        QVERIFY2(elapsed >= minimumMs && elapsed < maximumMs, qPrintable(QString::number(elapsed)));
        QVERIFY(!kit.database->isOpen());
        QCOMPARE(opened.count(), 0);
        if (server)
            QCOMPARE(server->connections(), 1); // the driver was never asked
    }

    // Any answer to the probe hands over to the driver, whose own failure
    // (here: the stand-in drops its login) is what comes back.
    void answeringServerIsLeftToTheDriver()
    {
        ScriptedServer server(ScriptedServer::Behaviour::AnswersThenCloses);
        QVERIFY(server.port() != 0);
        DatabaseKit kit;
        pointAtSqlServer(kit, server.port(), 2);

        QElapsedTimer timer;
        timer.start();
        const QString message = openFailure(*kit.database);
        const qint64 elapsed = timer.elapsed();

        QVERIFY2(!message.isEmpty(), "the connect did not fail");
        qInfo() << "driver failed after" << elapsed << "ms:" << message;
        QVERIFY2(server.connections() >= 2, "the driver did not connect after the probe");
        QVERIFY2(!message.contains(QLatin1String("SQL Server 127.0.0.1, port")), qPrintable(message));
        QVERIFY(message.contains(QLatin1String("127.0.0.1")));
        QVERIFY(!message.contains(QLatin1String("Geheim42")));
        QVERIFY(!kit.database->isOpen());
        QVERIFY2(elapsed < 8000, qPrintable(QString::number(elapsed)));
    }

    // Without a usable port there is nothing to bound the driver's wait by;
    // the setting is wrong, and that is what comes back, at once.
    void portThatIsNoNumberFailsAtOnce()
    {
        DatabaseKit kit;
        pointAtSqlServer(kit, 0, 1);
        kit.settings.setText(Setting::xLoginServer, QStringLiteral("127.0.0.1,sql"));
        const QString message = openFailure(*kit.database);
        QVERIFY2(message.contains(QLatin1String("no port number")), qPrintable(message));
        QVERIFY(!message.contains(QLatin1String("Geheim42")));
        QVERIFY(!kit.database->isOpen());
    }

    // What the server reads must be a whole PRELOGIN packet: a wrong length or
    // a little-endian offset leaves a real server waiting for more bytes.
    void probeSendsAWellFormedPrelogin()
    {
        ScriptedServer server(ScriptedServer::Behaviour::AnswersThenCloses);
        DatabaseKit kit;
        pointAtSqlServer(kit, server.port(), 2);
        openFailure(*kit.database);

        const QByteArray packet = server.firstRequest();
        QVERIFY2(packet.size() > 8, packet.toHex(' ').constData());
        QCOMPARE(quint8(packet[0]), quint8(0x12));
        QCOMPARE(quint8(packet[1]), quint8(0x01));
        const int length = (quint8(packet[2]) << 8) | quint8(packet[3]);
        QCOMPARE(length, int(packet.size()));

        const QByteArray payload = packet.mid(8);
        std::map<int, QByteArray> options;
        int at = 0;
        while (true) {
            QVERIFY2(at < payload.size(), "no terminator");
            const int token = quint8(payload[at]);
            if (token == 0xff)
                break;
            QVERIFY2(at + 5 <= payload.size(), "token cut short");
            const int offset = (quint8(payload[at + 1]) << 8) | quint8(payload[at + 2]);
            const int size = (quint8(payload[at + 3]) << 8) | quint8(payload[at + 4]);
            QVERIFY2(offset + size <= payload.size(), qPrintable(QStringLiteral("token %1 outside").arg(token)));
            options[token] = payload.mid(offset, size);
            at += 5;
        }
        QCOMPARE(options.size(), std::size_t(2));
        QCOMPARE(options.at(0x00).size(), 6);                  // VERSION
        QCOMPARE(options.at(0x01), QByteArray(1, char(0x02))); // ENCRYPTION: not supported
    }

    void transactionRowOfTheWorkedExample_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<int>("expectedUser");
        QTest::newRow("initial") << QStringLiteral("0") << 0;
        QTest::newRow("letters only") << QStringLiteral("abc") << 0;
        QTest::newRow("number and blank") << QStringLiteral("12 ") << 12;
    }

    void transactionRowOfTheWorkedExample()
    {
        QFETCH(QString, user);
        QFETCH(int, expectedUser);
        DatabaseKit kit;
        kit.settings.setText(Setting::Gebruiker, user);
        kit.datasets->transactions.LogTransactie(0, 1234, 0, 0, 91, QStringLiteral("Op rekening"));
        kit.datasets->transactions.LogTransactie(0, 1234, 17, 5, 94, QString());
        kit.datasets->transactions.LogTransactie(0, 0, 0, 0, 93, QStringLiteral("O'Neill"));
        QCOMPARE(kit.activityLog.lineCount(), 0);

        Dataset query(*kit.database, QStringLiteral("check"), QString(), QString(), false);
        query.setStatement(QStringLiteral("select tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                                          "tra_code, tra_opmerking from TRANSACTIES order by rowid"));
        query.open();
        QStringList rows;
        for (int row = 0; row < query.rowCount(); ++row) {
            query.setCurrentRow(row);
            QStringList values;
            for (const char *column : {"tra_gebruiker", "tra_ritstaat", "tra_rit", "tra_wagen", "tra_chauffeur",
                                       "tra_code", "tra_opmerking"})
                values << query.text(QLatin1String(column));
            rows << values.join(u',');
        }
        const QString u = QString::number(expectedUser);
        QCOMPARE(rows,
                 (QStringList{u + QStringLiteral(",0,1234,0,0,91,Op rekening"), u + QStringLiteral(",0,1234,17,5,94,"),
                              u + QStringLiteral(",0,0,0,0,93,O'Neill")}));
    }

    void transactionFailureGoesToTheFailureHandler()
    {
        DatabaseKit kit;
        kit.database->open();
        Command(*kit.database, false).execute(QStringLiteral("DROP TABLE TRANSACTIES"));
        kit.activityLog.addLine(QStringLiteral("earlier line"));
        QSignalSpy failed(&kit.failures, &FailureHandler::failed);
        kit.datasets->transactions.LogTransactie(0, 1234, 17, 5, 94, QString()); // returns normally
        QCOMPARE(failed.count(), 1);
        QCOMPARE(kit.activityLog.lineCount(), 1);
        QVERIFY2(kit.activityLog.lines().first().contains(QLatin1String("TRANSACTIES")),
                 qPrintable(kit.activityLog.text()));
    }
};

QTEST_GUILESS_MAIN(ConnectionTest)
#include "tst_Connection.moc"
