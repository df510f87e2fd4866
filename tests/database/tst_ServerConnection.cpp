#include "DatabaseTestKit.h"
#include "database/OdbcBackend.h"
#include "shell/Failure.h"
#include "support/PostgresCluster.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <atomic>
#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace velora;
using velora::test::DatabaseKit;
using velora::test::PostgresCluster;

namespace {

QString openFailure(Database &database)
{
    try {
        database.open();
    } catch (const Failure &failure) {
        return failure.message();
    }
    return QString();
}

void pointAtDataSource(DatabaseKit &kit, const QString &name, const QString &password)
{
    const PostgresCluster &cluster = PostgresCluster::shared();
    kit.settings.setText(Setting::xLoginServer, QStringLiteral("dsn:") + name);
    kit.settings.setText(Setting::xLoginSQL, cluster.options().user);
    kit.settings.setText(Setting::xPaswoordSQL, password);
}

// A "server" that takes every connection and closes it at once, on a thread
// of its own (the connect blocks the test's thread), counting them.
class ClosingServer {
public:
    ClosingServer()
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_socket, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(m_socket, 64) == 0 &&
            ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            while (!m_stop) {
                pollfd waiting{m_socket, POLLIN, 0};
                if (::poll(&waiting, 1, 50) <= 0)
                    continue;
                const int connection = ::accept(m_socket, nullptr, nullptr);
                if (connection >= 0) {
                    ++m_accepted;
                    ::close(connection);
                }
            }
        });
    }
    ~ClosingServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_socket);
    }
    quint16 port() const { return m_port; }
    int accepted() const { return m_accepted; }

private:
    int m_socket = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

} // namespace

// The service on a live server named by an ODBC data source ("dsn:NAME").
class ServerConnectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(PostgresCluster::shared().resetTables()); }

    // The login reaches the server with the braced password, and the dialect
    // follows what the server reports itself as.
    void dataSourceLogsInAndTakesTheServersDialect()
    {
        DatabaseKit kit;
        const PostgresCluster &cluster = PostgresCluster::shared();
        pointAtDataSource(kit, cluster.options().dataSource, cluster.options().password);
        QVERIFY(cluster.options().password.contains(u';')); // must go braced
        kit.database->open();
        QCOMPARE(int(kit.database->backend()), int(Backend::OdbcDataSource));
        QCOMPARE(kit.database->translate(QStringLiteral("select top 1 * from planning order by pla_id")),
                 QStringLiteral("select * from planning order by pla_id limit 1"));
    }

    // Wrong password, unknown data source, a name that would end the
    // connection text: each fails with the reason and never the password.
    void unusableDataSourceSaysWhy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("reason");
        const QString name = PostgresCluster::shared().options().dataSource;
        QTest::newRow("wrong password") << name << QStringLiteral("Geheim42;x") << QStringLiteral("password");
        QTest::newRow("unknown data source")
            << QStringLiteral("nergens") << QStringLiteral("Geheim42") << QStringLiteral("Data source name not found");
        QTest::newRow("name ends the text")
            << name + QStringLiteral(";PWD=x") << QStringLiteral("Geheim42") << QStringLiteral("holds none of");
        QTest::newRow("no name") << QString() << QStringLiteral("Geheim42") << QStringLiteral("no data source name");
    }
    void unusableDataSourceSaysWhy()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, reason);
        DatabaseKit kit;
        pointAtDataSource(kit, name, password);
        const QString message = openFailure(*kit.database);
        QVERIFY2(message.contains(reason), qPrintable(message));
        QVERIFY2(!message.contains(QLatin1String("Geheim42")), qPrintable(message));
        QVERIFY(!message.contains(u'\n'));
        QVERIFY(!kit.database->isOpen());
    }

    // The key of an appended row is the row's own, also when a trigger of
    // the dispatch suite inserts into another table with an identity: the
    // last value of the session's sequences would name that row.
    // A server that cannot be reached is not asked again for every packet:
    // the attempts are spaced out (50 ms, doubling), and the packets between
    // them fail at once with the last attempt's failure.
    void reconnectsAreSpacedOutWhileTheServerIsDown()
    {
        ClosingServer gone;
        QVERIFY(gone.port() > 0);
        const PostgresCluster &cluster = PostgresCluster::shared();
        QFile odbcIni(cluster.odbcFolder() + QStringLiteral("/odbc.ini"));
        QVERIFY(odbcIni.open(QIODevice::Append));
        odbcIni.write(QStringLiteral("\n[velora_gone]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%1\n"
                                     "Database=dispatch\n")
                          .arg(gone.port())
                          .toUtf8());
        odbcIni.close();
        DatabaseKit kit;
        pointAtDataSource(kit, QStringLiteral("velora_gone"), cluster.options().password);
        QElapsedTimer clock;
        clock.start();
        int packets = 0;
        QString first;
        while (clock.elapsed() < 1000) {
            const QString failure = openFailure(*kit.database);
            QVERIFY(!failure.isEmpty());
            if (first.isEmpty())
                first = failure;
            ++packets;
            QTest::qWait(2);
        }
        QVERIFY(first.contains(QLatin1String("velora_gone")));
        // Attempts at 0, 50, 150, 350 and 750 ms.
        qInfo("%d packets in 1 s, %d connects", packets, gone.accepted());
        QVERIFY(packets > 100);
        QVERIFY2(gone.accepted() >= 3 && gone.accepted() <= 6, qPrintable(QString::number(gone.accepted())));
        // A changed setting is tried at once.
        pointAtDataSource(kit, cluster.options().dataSource, cluster.options().password);
        kit.database->open();
        QVERIFY(kit.database->isOpen());
    }

    // Values go to the server and come back through the session's own
    // binding and reading: a text longer than one read, outside Latin-1 and
    // beyond the 16-bit plane; an empty text apart from a NULL one; a
    // moment's milliseconds; numbers of each kind.
    void boundValuesComeBackAsTheyWent()
    {
        DatabaseKit kit;
        const PostgresCluster &cluster = PostgresCluster::shared();
        pointAtDataSource(kit, cluster.options().dataSource, cluster.options().password);
        kit.database->open();
        QString longText;
        for (int i = 0; i < 300; ++i)
            longText += QStringLiteral("Bel aan, rollator mee – \U0001F695 %1\r\n").arg(i);
        const QDateTime moment(QDate(2026, 12, 10), QTime(14, 7, 31, 250));
        const QVariant noText(QMetaType::fromType<QString>());
        const QVariant noMoment(QMetaType::fromType<QDateTime>());
        // The same statement three times, its values changing length,
        // emptiness and nullness: each execution must read its own values,
        // not what an earlier one left bound.
        const std::vector<QVariantList> executions{
            {longText, QString(QLatin1String("")), noText, int(-2147483647), 12.5, moment, noMoment, qint64(1) << 40},
            {QStringLiteral("kort"), longText, QStringLiteral("x"), QVariant(QMetaType::fromType<int>()), 0.0, noMoment,
             moment, qint64(-1)},
            {longText + longText, noText, QString(QLatin1String("")), int(7), -1.25, moment.addSecs(60), moment,
             qint64(0)}};
        QString error;
        DatabaseBackend &backend = kit.database->connection();
        for (const QVariantList &values : executions) {
            StatementResult result;
            QVERIFY2(backend.execute(QStringLiteral("select ?, ?, ?, ?, ?, ?, ?, ?"), values, result, error),
                     qPrintable(error));
            QCOMPARE(result.rows.size(), size_t(1));
            const QVariantList &row = result.rows.front();
            QCOMPARE(row.size(), values.size());
            for (qsizetype i = 0; i < values.size(); ++i) {
                const QVariant &sent = values[i];
                QCOMPARE(row[i].isNull(), sent.isNull());
                if (sent.isNull())
                    continue;
                switch (sent.typeId()) {
                case QMetaType::QString: QCOMPARE(row[i].toString(), sent.toString()); break;
                case QMetaType::Int: QCOMPARE(row[i].toInt(), sent.toInt()); break;
                case QMetaType::Double: QCOMPARE(row[i].toDouble(), sent.toDouble()); break;
                case QMetaType::QDateTime: QCOMPARE(row[i].toDateTime(), sent.toDateTime()); break;
                default: QCOMPARE(row[i].toLongLong(), sent.toLongLong()); break;
                }
            }
        }
        // A failure reads as the server's message and what failed.
        StatementResult result;
        QVERIFY(!backend.execute(QStringLiteral("select 1/0"), {}, result, error));
        QVERIFY2(error.contains(QLatin1String("division by zero")) &&
                     error.endsWith(QLatin1String("Unable to execute statement")),
                 qPrintable(error));
    }

    // Rows written in one call as arrays of values: every row arrives with
    // its own values (lengths, empty texts and nulls differing from row to
    // row; quotes and backslashes as they are, though psqlODBC sends an
    // array's values inside the statement text), a failing row fails the
    // call, and values that bind no array run row by row.
    void rowsWrittenTogetherArriveAsTheyWent()
    {
        PostgresCluster &cluster = PostgresCluster::shared();
        QVERIFY(cluster.resetTables());
        DatabaseKit kit;
        pointAtDataSource(kit, cluster.options().dataSource, cluster.options().password);
        kit.database->open();
        DatabaseBackend &backend = kit.database->connection();
        const QString insert = QStringLiteral("INSERT INTO TRANSACTIES (tra_gebruiker, tra_rit, tra_opmerking) "
                                              "VALUES (?, ?, ?)");
        const QVariant noText(QMetaType::fromType<QString>());
        const QVariant noNumber(QMetaType::fromType<int>());
        QString longText;
        for (int i = 0; i < 40; ++i)
            longText += QStringLiteral("Contant – \U0001F695 O'Neil \\ %1; \\'); --").arg(i);
        const std::vector<QVariantList> rows{{1, 1, QStringLiteral("Contant")},
                                             {noNumber, 2, longText},
                                             {3, 3, QString(QLatin1String(""))},
                                             {4, 4, noText},
                                             {5, 5, QStringLiteral("'")}};
        QString error;
        QVERIFY(kit.database->connection().transaction(DatabaseBackend::Step::Begin, error));
        QVERIFY2(backend.executeRows(insert, rows, error), qPrintable(error));
        // A double binds no array: the rows go one by one, all of them.
        QVERIFY2(backend.executeRows(insert, {{6, 6, 1.5}, {7, 7, 2.5}}, error), qPrintable(error));
        QVERIFY(backend.transaction(DatabaseBackend::Step::Commit, error));
        StatementResult stored;
        QVERIFY2(backend.execute(QStringLiteral("SELECT tra_gebruiker, tra_rit, tra_opmerking FROM TRANSACTIES "
                                                "ORDER BY tra_rit"),
                                 {}, stored, error),
                 qPrintable(error));
        QCOMPARE(stored.rows.size(), size_t(7));
        for (size_t r = 0; r < rows.size(); ++r) {
            const QVariantList &row = stored.rows[r];
            QCOMPARE(row[0].isNull(), rows[r][0].isNull());
            QCOMPARE(row[1].toInt(), rows[r][1].toInt());
            QCOMPARE(row[2].isNull(), rows[r][2].isNull());
            QCOMPARE(row[2].toString(), rows[r][2].toString());
        }
        QCOMPARE(stored.rows[6][2].toString(), QStringLiteral("2.5"));

        // The third of four rows is refused: the call fails with the
        // server's message.
        QString output;
        QVERIFY2(cluster.psql(QStringLiteral("CREATE FUNCTION refuse_row() RETURNS trigger LANGUAGE plpgsql AS $$ "
                                             "BEGIN IF NEW.tra_rit = 13 THEN RAISE EXCEPTION 'row refused'; END IF; "
                                             "RETURN NEW; END $$; CREATE TRIGGER refuse_row BEFORE INSERT ON "
                                             "TRANSACTIES FOR EACH ROW EXECUTE FUNCTION refuse_row()"),
                              &output),
                 qPrintable(output));
        QVERIFY(backend.transaction(DatabaseBackend::Step::Begin, error));
        QVERIFY(
            !backend.executeRows(insert, {{1, 11, noText}, {1, 12, noText}, {1, 13, noText}, {1, 14, noText}}, error));
        QVERIFY2(error.contains(QLatin1String("row refused")), qPrintable(error));
        QVERIFY(backend.transaction(DatabaseBackend::Step::Rollback, error));
    }

    void appendedRowGetsItsOwnKeyDespiteATrigger()
    {
        PostgresCluster &cluster = PostgresCluster::shared();
        QVERIFY(cluster.resetTables());
        QString output;
        QVERIFY2(cluster.psql(
                     QStringLiteral("INSERT INTO wagens (wag_kenteken) SELECT 'W' || g FROM generate_series(1, 40) g;"
                                    "CREATE FUNCTION note_traveller() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                                    "INSERT INTO wagens (wag_kenteken) VALUES ('T'); RETURN NEW; END $$;"
                                    "CREATE TRIGGER note_traveller AFTER INSERT ON reizigers FOR EACH ROW "
                                    "EXECUTE FUNCTION note_traveller();"),
                     &output),
                 qPrintable(output));
        DatabaseKit kit;
        pointAtDataSource(kit, cluster.options().dataSource, cluster.options().password);
        Dataset &deb = kit.datasets->ADODEB;
        deb.setStatement(QStringLiteral("select * from reizigers where 1=0"));
        deb.open();
        for (int extern_ : {7, 8}) {
            deb.append();
            deb.setValue(QStringLiteral("rei_extern"), extern_);
            deb.post();
            QCOMPARE(deb.integer(QStringLiteral("rei_id")), extern_ - 6);
        }
        QVERIFY(cluster.resetTables());
    }
};

QTEST_GUILESS_MAIN(ServerConnectionTest)
#include "tst_ServerConnection.moc"
