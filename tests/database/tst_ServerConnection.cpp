#include "DatabaseTestKit.h"
#include "database/OdbcBackend.h"
#include "shell/Failure.h"
#include "support/PostgresCluster.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

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
