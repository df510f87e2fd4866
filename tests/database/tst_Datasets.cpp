#include "DatabaseTestKit.h"

#include "database/Schema.h"
#include "shell/DateTimes.h"
#include "shell/Failure.h"
#include "shell/TextRules.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

using namespace velora;
using velora::test::DatabaseKit;
using velora::test::testsOnServer;

namespace {

// A second program on the same database, as the dispatch suite would be.
class OtherProgram {
public:
    explicit OtherProgram(const QString &path) : m_name(QStringLiteral("other-%1").arg(++s_count))
    {
        velora::test::suiteConnection(m_name, path);
    }
    ~OtherProgram()
    {
        QSqlDatabase::database(m_name).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlQuery exec(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        if (!query.exec(statement))
            qWarning() << statement << query.lastError().text();
        return query;
    }
    QVariant scalar(const QString &statement)
    {
        QSqlQuery query = exec(statement);
        return query.next() ? query.value(0) : QVariant();
    }

private:
    static inline int s_count = 0;
    QString m_name;

public:
    const QString &name() const { return m_name; }
};

// One column of the rows of `statement`, read on the service's own connection.
QStringList columnOnService(Database &database, const QString &statement, const QString &column)
{
    Dataset reader(database, QStringLiteral("reader"), QString(), QString(), false);
    reader.setStatement(statement);
    reader.open();
    QStringList values;
    for (int row = 0; row < reader.rowCount(); ++row) {
        reader.setCurrentRow(row);
        values << reader.text(column);
    }
    return values;
}

// Reads `statement` through the dataset and through Qt's SQLite driver on
// the same file, and compares every value of every row: its type, its
// nullness and the value itself, after the same column conversion.
void compareWithQtDriver(const QString &path, Dataset &dataset, const QString &statement)
{
    dataset.setStatement(statement);
    dataset.open();
    OtherProgram qt(path);
    QSqlQuery query = qt.exec(statement);
    const QSqlRecord record = query.record();
    QVERIFY(record.count() > 0);
    int row = 0;
    while (query.next()) {
        dataset.setCurrentRow(row++);
        for (int i = 0; i < record.count(); ++i) {
            const QString column = record.fieldName(i);
            const ColumnDefinition *definition = findAnyColumn(column);
            const QVariant expected = definition ? columnValue(*definition, query.value(i)) : query.value(i);
            const QVariant actual = dataset.value(column);
            const QByteArray where = QStringLiteral("row %1 column %2: %3 / %4")
                                         .arg(row)
                                         .arg(column, actual.toString(), expected.toString())
                                         .toUtf8();
            QVERIFY2(actual.typeId() == expected.typeId(), where.constData());
            QVERIFY2(actual.isNull() == expected.isNull(), where.constData());
            QVERIFY2(actual == expected, where.constData());
        }
    }
    QCOMPARE(dataset.rowCount(), row);
    dataset.close();
}

} // namespace

class DatasetsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_kit = std::make_unique<DatabaseKit>(); }
    void cleanup() { m_kit.reset(); }

    void embeddedDatabaseIsCreatedWithEveryColumn()
    {
        VELORA_SQLITE_ONLY();
        m_kit->database->open();
        QVERIFY(QFile::exists(m_kit->databasePath()));
        OtherProgram other(m_kit->databasePath());
        for (const TableDefinition &table : dispatchTables()) {
            QStringList columns;
            QSqlQuery info = other.exec(QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1String(table.name)));
            while (info.next())
                columns << info.value(1).toString();
            QCOMPARE(columns.size(), static_cast<qsizetype>(table.columns.size()));
            for (const ColumnDefinition &column : table.columns)
                QVERIFY2(columns.contains(QLatin1String(column.name)), column.name);
        }
        QCOMPARE(dispatchTables()[0].columns.size(), std::size_t(103));
        QCOMPARE(other.scalar(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QCOMPARE(columnOnService(*m_kit->database, QStringLiteral("PRAGMA synchronous"), QStringLiteral("synchronous")),
                 QStringList{QStringLiteral("2")}); // FULL
    }

    void identityKeysComeFromTheDatabase()
    {
        Dataset &deb = m_kit->datasets->ADODEB;
        deb.setStatement(QStringLiteral("select * from reizigers where rei_extern = 7"));
        for (int i = 0; i < 2; ++i) {
            deb.open();
            deb.append();
            deb.setValue(QStringLiteral("rei_extern"), 7);
            deb.post();
            deb.close();
        }
        m_kit->database->close();
        deb.open();
        QCOMPARE(deb.rowCount(), 2);
        QCOMPARE(deb.integer(QStringLiteral("rei_id")), 1);
        deb.setCurrentRow(1);
        QCOMPARE(deb.integer(QStringLiteral("REI_ID")), 2);
    }

    void valuesAreStoredAsTheColumnsHoldThem()
    {
        Dataset &ins = m_kit->datasets->ADOINS;
        ins.onNewRow = nullptr;
        ins.beforePost = nullptr;
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        const QString street = QString(60, u'x');
        ins.setValue(QStringLiteral("pla_extern"), 1);
        ins.setValue(QStringLiteral("pla_ophstraat"), street);
        // Reading back before the post gives the value as set.
        QCOMPARE(ins.text(QStringLiteral("pla_ophstraat")), street);
        ins.setValue(QStringLiteral("pla_km_sqr"), 1.23456);
        ins.setValue(QStringLiteral("pla_bedrag"), 1.005);
        ins.setValue(QStringLiteral("pla_ETA_latitude"), 52.1234567);
        ins.setValue(QStringLiteral("pla_beststad"), QStringLiteral("\u20ac \u0142\u00e9"));
        ins.setValue(QStringLiteral("pla_tijdstip"), wallClock(QDate(2024, 3, 31), QTime(2, 30, 15, 250)));
        ins.setValue(QStringLiteral("pla_ETA"), zeroDateTime());
        ins.setValue(QStringLiteral("pla_eigenaar"), QStringLiteral("0021"));
        ins.post();
        ins.close();

        ins.setStatement(QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= 1"));
        ins.open();
        QCOMPARE(ins.rowCount(), 1);
        QCOMPARE(ins.text(QStringLiteral("pla_ophstraat")), QString(50, u'x'));
        QCOMPARE(ins.number(QStringLiteral("pla_km_sqr")), 1.23);
        QCOMPARE(ins.number(QStringLiteral("pla_bedrag")), 1.01);
        QCOMPARE(ins.number(QStringLiteral("pla_ETA_latitude")), 52.12346);
        QCOMPARE(ins.text(QStringLiteral("pla_beststad")), QStringLiteral("\u20ac ?\u00e9"));
        QCOMPARE(ins.text(QStringLiteral("pla_eigenaar")), QStringLiteral("002"));
        // A wall-clock time inside a daylight-saving gap survives unchanged.
        QCOMPARE(ins.dateTime(QStringLiteral("pla_tijdstip")), wallClock(QDate(2024, 3, 31), QTime(2, 30, 15, 250)));
        QCOMPARE(ins.dateTime(QStringLiteral("pla_ETA")), zeroDateTime());

        // The embedded file holds date-times as text, a server as date-times.
        OtherProgram other(m_kit->databasePath());
        const auto stored = [&](const char *column) {
            const QVariant value = other.scalar(QStringLiteral("select %1 from planning").arg(QLatin1String(column)));
            return value.typeId() == QMetaType::QDateTime
                       ? dateTimeToStoredText(wallClock(value.toDateTime().date(), value.toDateTime().time()))
                       : value.toString();
        };
        QCOMPARE(stored("pla_tijdstip"), QStringLiteral("2024-03-31 02:30:15.250"));
        QCOMPARE(stored("pla_ETA"), QStringLiteral("1899-12-30 00:00:00.000"));
        QCOMPARE(other.scalar(QStringLiteral("select pla_bedrag from planning")).toDouble(), 1.01);
    }

    void appendEditPostAndClose()
    {
        Dataset &ins = m_kit->datasets->ADOINS;
        ins.beforePost = nullptr; // travel time is tested on its own
        // Closing discards an appended row that was not posted.
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        QVERIFY(ins.isFilling());
        QCOMPARE(ins.text(QStringLiteral("pla_status")), QStringLiteral("W")); // the new-row hook ran at once
        ins.setValue(QStringLiteral("pla_extern"), 500);
        ins.close();
        ins.setStatement(QStringLiteral("SELECT * FROM planning WHERE pla_EXTERN= 500"));
        ins.open();
        QCOMPARE(ins.rowCount(), 0);

        // Edit on an empty result appends, with the defaults.
        ins.edit();
        QVERIFY(ins.isFilling());
        QCOMPARE(ins.integer(QStringLiteral("pla_lopers")), 1);
        ins.setValue(QStringLiteral("pla_extern"), 500);
        ins.setValue(QStringLiteral("pla_naam_reiziger"), QStringLiteral("Jansen"));
        ins.post();
        QVERIFY(!ins.isFilling());
        QCOMPARE(ins.rowCount(), 1);
        ins.close();

        // Someone else changes another column meanwhile; the edit stores only
        // its own changed column and leaves theirs.
        ins.open();
        QCOMPARE(ins.rowCount(), 1);
        const int id = ins.integer(QStringLiteral("pla_id"));
        QVERIFY(id > 0);
        OtherProgram other(m_kit->databasePath());
        other.exec(QStringLiteral("update planning set pla_wagen = 17 where pla_id = %1").arg(id));
        ins.edit();
        QCOMPARE(ins.text(QStringLiteral("PLA_NAAM_REIZIGER")), QStringLiteral("Jansen"));
        ins.setValue(QStringLiteral("pla_naam_reiziger"), QStringLiteral("Pietersen"));
        ins.post();
        QCOMPARE(ins.text(QStringLiteral("pla_naam_reiziger")), QStringLiteral("Pietersen"));
        ins.close();
        QCOMPARE(other.scalar(QStringLiteral("select pla_wagen from planning where pla_id=%1").arg(id)).toInt(), 17);
        QCOMPARE(
            other.scalar(QStringLiteral("select pla_naam_reiziger from planning where pla_id=%1").arg(id)).toString(),
            QStringLiteral("Pietersen"));
        QCOMPARE(other.scalar(QStringLiteral("select count(*) from planning")).toInt(), 1);

        // Setting a column outside append/edit, or one the result does not have, fails.
        ins.open();
        QVERIFY_THROWS_EXCEPTION(Failure, ins.setValue(QStringLiteral("pla_wagen"), 1));
        ins.edit();
        QVERIFY_THROWS_EXCEPTION(Failure, ins.setValue(QStringLiteral("pla_bestaat_niet"), 1));
    }

    void nullColumnsReadAsEmpty()
    {
        Dataset &deb = m_kit->datasets->ADODEB;
        deb.setStatement(QStringLiteral("select * from reizigers where rei_extern = 9"));
        deb.open();
        deb.append();
        deb.setValue(QStringLiteral("rei_extern"), 9);
        deb.post();
        deb.close();
        deb.open();
        QVERIFY(!deb.isNull(QStringLiteral("rei_extern")));
        QVERIFY(deb.isNull(QStringLiteral("rei_naam")));
        QCOMPARE(deb.text(QStringLiteral("rei_naam")), QString());
        QCOMPARE(deb.integer(QStringLiteral("rei_bdr_id")), 0);

        Dataset &his = m_kit->datasets->ADOHIS;
        his.setStatement(QStringLiteral("select * from planning where 1=0"));
        his.open();
        QVERIFY_THROWS_EXCEPTION(Failure, his.value(QStringLiteral("pla_id"))); // no current row

        // The ride query joins a vehicle that does not exist: null vehicle columns.
        Dataset &ins = m_kit->datasets->ADOINS;
        ins.beforePost = nullptr;
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        ins.post();
        const int id = ins.integer(QStringLiteral("pla_id"));
        his.setStatement(QStringLiteral("SELECT * FROM PLANNING LEFT JOIN WAGENS ON WAG_ID=PLA_WAGEN WHERE PLA_ID=") +
                         QString::number(id));
        his.open();
        QCOMPARE(his.rowCount(), 1);
        QVERIFY(his.isNull(QStringLiteral("wag_kenteken")));
        QVERIFY(his.isNull(QStringLiteral("pla_tijdstip_toewijzen")));
        QCOMPARE(his.dateTime(QStringLiteral("pla_tijdstip_toewijzen")), zeroDateTime());
        QCOMPARE(his.dateTime(QStringLiteral("pla_ETA")), zeroDateTime());
    }

    void boundTextIsStoredVerbatim()
    {
        const QString hostile = QStringLiteral("O'Brien'); DROP TABLE planning; -- \"x\"");
        Dataset &deb = m_kit->datasets->ADODEB;
        deb.setStatement(QStringLiteral("select * from reizigers where rei_naam = ?"), {hostile});
        deb.open();
        QCOMPARE(deb.rowCount(), 0);
        deb.append();
        deb.setValue(QStringLiteral("rei_naam"), hostile);
        deb.post();
        deb.close();
        deb.open();
        QCOMPARE(deb.rowCount(), 1);
        QCOMPARE(deb.text(QStringLiteral("rei_naam")), hostile);
        OtherProgram other(m_kit->databasePath());
        QCOMPARE(other.scalar(QStringLiteral("select count(*) from planning")).toInt(), 0); // still there
    }

    void unitCommitsOrRollsBackTogether()
    {
        Database &db = *m_kit->database;
        Datasets &sets = *m_kit->datasets;
        bool transactionDuringHook = true;
        sets.ADOINS.beforePost = [&](Dataset &) { transactionDuringHook = db.inTransaction(); };

        for (const bool commit : {false, true}) {
            db.beginUnit();
            // The ride's hook runs before anything of the unit is written: no
            // write lock while it waits.
            sets.ADOINS.setStatement(QStringLiteral("select * from planning where 1=0"));
            sets.ADOINS.open();
            sets.ADOINS.append();
            sets.ADOINS.prepare();
            QVERIFY(!transactionDuringHook);
            QVERIFY(!db.inTransaction());

            // The traveller belongs to the unit: it goes with a rolled-back ride.
            sets.ADODEB.setStatement(QStringLiteral("select * from reizigers where rei_extern = 1"));
            sets.ADODEB.open();
            sets.ADODEB.append();
            sets.ADODEB.setValue(QStringLiteral("rei_extern"), 1);
            sets.ADODEB.post();
            QVERIFY(db.inTransaction());

            sets.ADOINS.post();
            sets.transactions.LogTransactie(0, 1, 0, 0, 91, QStringLiteral("Contant"));
            db.endUnit(commit);
            QVERIFY(!db.inTransaction());
        }
        OtherProgram other(m_kit->databasePath());
        QCOMPARE(other.scalar(QStringLiteral("select count(*) from planning")).toInt(), 1);
        QCOMPARE(other.scalar(QStringLiteral("select count(*) from TRANSACTIES")).toInt(), 1);
        QCOMPARE(other.scalar(QStringLiteral("select count(*) from reizigers")).toInt(), 1);

        // Without an armed unit every write commits at once.
        sets.ADOCommand.execute(QStringLiteral("update planning set pla_retour_rbs = 1"));
        QVERIFY(!db.inTransaction());
        QCOMPARE(other.scalar(QStringLiteral("select pla_retour_rbs from planning")).toInt(), 1);
    }

    void prepareRunsTheHookOnce()
    {
        Dataset &ins = m_kit->datasets->ADOINS;
        int runs = 0;
        ins.beforePost = [&](Dataset &) { ++runs; };
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        ins.prepare();
        ins.prepare();
        QCOMPARE(runs, 1);
        ins.post();
        QCOMPARE(runs, 1);
        ins.edit();
        ins.post();
        QCOMPARE(runs, 2); // a new mode: the hook runs again
    }

    // The lookups the service makes per packet use an index, on a new file
    // and on a file made before the indexes existed; a file the service may
    // not write still opens without them.
    void lookupsAreIndexed_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("new file") << QStringLiteral("new");
        QTest::newRow("older file") << QStringLiteral("older");
        QTest::newRow("read-only older file") << QStringLiteral("read-only");
    }
    void lookupsAreIndexed()
    {
        VELORA_SQLITE_ONLY();
        QFETCH(QString, file);
        m_kit->database->open();
        if (file != QLatin1String("new")) {
            m_kit->database->close();
            {
                OtherProgram other(m_kit->databasePath());
                for (const IndexDefinition &index : dispatchIndexes())
                    other.exec(QStringLiteral("DROP INDEX %1").arg(QLatin1String(index.name)));
                QCOMPARE(other.scalar(QStringLiteral("select count(*) from sqlite_master where type='index'")).toInt(),
                         0);
            }
            if (file == QLatin1String("read-only")) {
                QFile::setPermissions(m_kit->databasePath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
                QFile probe(m_kit->databasePath());
                if (probe.open(QIODevice::ReadWrite))
                    QSKIP("running with rights that ignore file permissions");
            }
            m_kit->database->open();
        }
        QVERIFY(m_kit->database->isOpen());

        const QStringList lookups = {
            QStringLiteral("select * from planning where pla_temp='P1'"),
            QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= 5"),
            QStringLiteral("select pla_id from planning where pla_retour_rbs=3"),
            QStringLiteral("select * from reizigers where rei_extern = 7"),
            QStringLiteral("select * from Straten where str_wijkcode = '3511' and str_lettercombinatie = 'CD'"),
        };
        for (const QString &lookup : lookups) {
            const QString detail = columnOnService(*m_kit->database, QStringLiteral("EXPLAIN QUERY PLAN ") + lookup,
                                                   QStringLiteral("detail"))
                                       .join(u' ');
            const bool indexed = detail.contains(QLatin1String("INDEX IX_"));
            QVERIFY2(indexed == (file != QLatin1String("read-only")),
                     qPrintable(lookup + QStringLiteral(": ") + detail));
        }
    }

    // Every form another program may write reads as the same wall-clock
    // value; impossible dates read as invalid, and the stored form is fixed.
    void storedDateTimeForms_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected");
        QTest::addColumn<QString>("storedAgain");
        const QDateTime ride = wallClock(QDate(2014, 3, 5), QTime(14, 7, 9, 45));
        QTest::newRow("own form") << QStringLiteral("2014-03-05 14:07:09.045") << ride
                                  << QStringLiteral("2014-03-05 14:07:09.045");
        QTest::newRow("no milliseconds") << QStringLiteral("2014-03-05 14:07:09")
                                         << wallClock(QDate(2014, 3, 5), QTime(14, 7, 9))
                                         << QStringLiteral("2014-03-05 14:07:09.000");
        QTest::newRow("T and minutes") << QStringLiteral(" 2014-03-05T14:07 ")
                                       << wallClock(QDate(2014, 3, 5), QTime(14, 7))
                                       << QStringLiteral("2014-03-05 14:07:00.000");
        QTest::newRow("date only") << QStringLiteral("1899-12-30") << zeroDateTime()
                                   << QStringLiteral("1899-12-30 00:00:00.000");
        QTest::newRow("30 February") << QStringLiteral("2014-02-30 10:00:00.000") << QDateTime()
                                     << QStringLiteral("1899-12-30 00:00:00.000");
        QTest::newRow("hour 24") << QStringLiteral("2014-03-05 24:00:00.000") << QDateTime()
                                 << QStringLiteral("1899-12-30 00:00:00.000");
        QTest::newRow("letter in the time")
            << QStringLiteral("2014-03-05 1x:00:00.000") << QDateTime() << QStringLiteral("1899-12-30 00:00:00.000");
        QTest::newRow("year 999") << QStringLiteral("0999-01-02 03:04:05.006")
                                  << wallClock(QDate(999, 1, 2), QTime(3, 4, 5, 6))
                                  << QDate(999, 1, 2).toString(QStringLiteral("yyyy-MM-dd")) +
                                         QStringLiteral(" 03:04:05.006");
    }
    void storedDateTimeForms()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        QFETCH(QString, storedAgain);
        const QDateTime read = dateTimeFromStoredText(text);
        QCOMPARE(read.isValid(), expected.isValid());
        if (expected.isValid()) {
            QCOMPARE(read, expected);
            QCOMPARE(read.timeSpec(), Qt::UTC);
        }
        QCOMPARE(dateTimeToStoredText(read), storedAgain);
    }

    // Statements are kept prepared on the connection; what they read must
    // follow the file: new bindings, a table another program rebuilt with
    // other columns, and a reopened connection.
    void keptStatementsFollowTheFile()
    {
        Database &db = *m_kit->database;
        Dataset &deb = m_kit->datasets->ADODEB;
        const QString byDebtor = QStringLiteral("select * from reizigers where rei_extern = ?");
        for (int extern_ : {7, 8}) {
            deb.setStatement(byDebtor, {extern_});
            deb.open();
            deb.append();
            deb.setValue(QStringLiteral("rei_extern"), extern_);
            deb.setValue(QStringLiteral("rei_naam"), QStringLiteral("naam %1").arg(extern_));
            deb.post();
        }
        deb.setStatement(byDebtor, {8});
        deb.open();
        QCOMPARE(deb.rowCount(), 1);
        QCOMPARE(deb.text(QStringLiteral("rei_naam")), QStringLiteral("naam 8"));
        deb.close();

        {
            OtherProgram other(m_kit->databasePath());
            other.exec(QStringLiteral("DROP TABLE reizigers"));
            other.exec(QStringLiteral("CREATE TABLE reizigers (rei_naam VARCHAR(50), rei_extra INTEGER, rei_extern "
                                      "INTEGER, rei_id INTEGER PRIMARY KEY)"));
            other.exec(QStringLiteral("INSERT INTO reizigers VALUES ('ander', 5, 8, 40)"));
        }
        deb.setStatement(byDebtor, {8});
        deb.open();
        QCOMPARE(deb.rowCount(), 1);
        QCOMPARE(deb.text(QStringLiteral("rei_naam")), QStringLiteral("ander"));
        QCOMPARE(deb.integer(QStringLiteral("REI_EXTRA")), 5);
        QCOMPARE(deb.integer(QStringLiteral("rei_id")), 40);
        deb.edit();
        deb.setValue(QStringLiteral("rei_naam"), QStringLiteral("gewijzigd"));
        deb.post();
        deb.close();

        db.close();
        db.open();
        deb.setStatement(byDebtor, {8});
        deb.open();
        QCOMPARE(deb.text(QStringLiteral("rei_naam")), QStringLiteral("gewijzigd"));
        QCOMPARE(deb.integer(QStringLiteral("rei_extra")), 5);
    }

    // Statements run on the SQLite connection directly; what they read must
    // be what Qt's driver read: every column type of planning, values
    // as the service stores them, nulls, and values another program stored in
    // other forms than the column's (numbers as text, text in a number column,
    // date-times without milliseconds or unreadable).
    void keptStatementsReadAsQtDriverReads()
    {
        VELORA_SQLITE_ONLY();
        Database &db = *m_kit->database;
        db.open();
        Dataset &ins = m_kit->datasets->ADOINS;
        ins.onNewRow = nullptr;
        ins.beforePost = nullptr;
        const TableDefinition *planning = findTable(QStringLiteral("planning"));
        QVERIFY(planning);
        ins.setStatement(QStringLiteral("select * from planning where 1=0"));
        ins.open();
        ins.append();
        int n = 0;
        for (const ColumnDefinition &column : planning->columns) {
            const QString name = QLatin1String(column.name);
            ++n;
            switch (column.type) {
            case ColumnType::Identity: break;
            case ColumnType::Integer: ins.setValue(name, n * 1000 + 7); break;
            case ColumnType::Decimal: ins.setValue(name, n + 0.125); break;
            case ColumnType::DateTime:
                ins.setValue(name, wallClock(QDate(2024, 10, 27), QTime(2, 30, n % 60, 250)));
                break;
            case ColumnType::Text:
            case ColumnType::LongText: ins.setValue(name, QStringLiteral("\u20ac%1 \u00e9").arg(n)); break;
            }
        }
        ins.post();
        ins.append(); // every column null but the key
        ins.post();
        ins.close();
        {
            OtherProgram other(m_kit->databasePath());
            other.exec(QStringLiteral("INSERT INTO planning (pla_extern, pla_km_sqr, pla_ophstraat, pla_tijdstip, "
                                      "pla_ETA, pla_bedrag) VALUES ('77', '1.5', 123, '2024-01-02 03:04:05', "
                                      "'geen datum', 'veel')"));
        }
        compareWithQtDriver(m_kit->databasePath(), ins, QStringLiteral("select * from planning order by pla_id"));
        // Columns the schema does not know come as the driver gives them.
        compareWithQtDriver(m_kit->databasePath(), ins,
                            QStringLiteral("select 1 as geheel, 9007199254740993 as groot, 1.5 as reeel, 'tekst' as "
                                           "tekst, null as leeg, x'4142' as bytes, pla_tijdstip as tijd, "
                                           "pla_km_sqr * 2 as dubbel from planning order by pla_id"));
    }

    // A failing statement reports what Qt's driver reports for it.
    void keptStatementsFailAsQtDriverFails()
    {
        VELORA_SQLITE_ONLY();
        Database &db = *m_kit->database;
        db.open();
        Command command(db, false);
        const QString insert = QStringLiteral("INSERT INTO reizigers (rei_id, rei_extern) VALUES (?, ?)");
        command.execute(insert, {5, 1});
        OtherProgram qt(m_kit->databasePath());
        QSqlQuery query(QSqlDatabase::database(qt.name()));
        QVERIFY(query.prepare(insert));
        query.bindValue(0, 5);
        query.bindValue(1, 1);
        QVERIFY(!query.exec());
        const QString expected = QStringLiteral("ADOCommand: ") + query.lastError().text().trimmed();
        for (int attempt = 0; attempt < 2; ++attempt) { // once prepared anew, once kept
            try {
                command.execute(insert, {5, 1});
                QFAIL("a duplicate key was stored");
            } catch (const Failure &failure) {
                QCOMPARE(failure.message(), expected);
            }
        }
        // The statement works again after its failure.
        command.execute(insert, {6, 1});
        QCOMPARE(qt.scalar(QStringLiteral("select count(*) from reizigers")).toInt(), 2);
    }

    // A failure of BEGIN, COMMIT or ROLLBACK reads as Qt's driver words it,
    // and a failed commit leaves no transaction open.
    void transactionFailuresReadAsQtDriverWordsThem()
    {
        VELORA_SQLITE_ONLY();
        Database &db = *m_kit->database;
        db.open();
        Command command(db, true);

        // What Qt's driver says for the same two faults.
        OtherProgram other(m_kit->databasePath());
        QSqlDatabase qt = QSqlDatabase::database(other.name());
        QVERIFY(!qt.commit());
        const QString commitWithoutTransaction = qt.lastError().text();
        other.exec(QStringLiteral("BEGIN"));
        QVERIFY(!qt.transaction());
        const QString beginInsideTransaction = qt.lastError().text();
        other.exec(QStringLiteral("ROLLBACK"));
        QVERIFY(commitWithoutTransaction.contains(QLatin1String("Unable to commit transaction")));

        // Transactions begun and ended behind the unit's back, on its connection.
        Command raw(db, false);
        raw.execute(QStringLiteral("BEGIN"));
        db.beginUnit();
        try {
            command.execute(QStringLiteral("INSERT INTO reizigers (rei_extern) VALUES (?)"), {7});
            QFAIL("a unit began inside another transaction");
        } catch (const Failure &failure) {
            QCOMPARE(failure.message(), QStringLiteral("Database: ") + beginInsideTransaction);
        }
        QVERIFY(!db.inTransaction());
        raw.execute(QStringLiteral("ROLLBACK"));
        db.endUnit(false);

        // The unit's transaction ended behind its back: the commit fails and says so.
        db.beginUnit();
        command.execute(QStringLiteral("INSERT INTO reizigers (rei_extern) VALUES (?)"), {8});
        QVERIFY(db.inTransaction());
        raw.execute(QStringLiteral("ROLLBACK"));
        try {
            db.endUnit(true);
            QFAIL("commit without a transaction succeeded");
        } catch (const Failure &failure) {
            QCOMPARE(failure.message(), QStringLiteral("Database: ") + commitWithoutTransaction);
        }
        QVERIFY(!db.inTransaction());

        // Units work on after the failures.
        for (const bool commit : {false, true}) {
            db.beginUnit();
            command.execute(QStringLiteral("INSERT INTO reizigers (rei_extern) VALUES (?)"), {commit ? 10 : 9});
            db.endUnit(commit);
        }
        QCOMPARE(other.scalar(QStringLiteral("select group_concat(rei_extern) from reizigers")).toString(),
                 QStringLiteral("10"));
    }

    // Posts of one dataset with other sets of columns, in turns: each stores
    // its own columns, appended and edited.
    void postsWithChangingColumnSets()
    {
        Dataset &deb = m_kit->datasets->ADODEB;
        deb.onNewRow = nullptr;
        deb.beforePost = nullptr;
        struct Post {
            int extern_;
            QString column;
            QString value;
        };
        const QList<Post> posts = {{1, QStringLiteral("rei_naam"), QStringLiteral("Jansen")},
                                   {2, QStringLiteral("rei_actief"), QStringLiteral("5")},
                                   {3, QStringLiteral("rei_naam"), QStringLiteral("Pietersen")},
                                   {4, QString(), QString()}};
        for (const Post &post : posts) {
            deb.setStatement(QStringLiteral("select * from reizigers where 1=0"));
            deb.open();
            deb.append();
            deb.setValue(QStringLiteral("rei_extern"), post.extern_);
            if (!post.column.isEmpty())
                deb.setValue(post.column, post.value);
            deb.post();
            deb.close();
        }
        // Edits: one column, then two in the other order, then none.
        const QList<QStringList> edits = {{QStringLiteral("rei_actief")},
                                          {QStringLiteral("rei_naam"), QStringLiteral("rei_actief")},
                                          {QStringLiteral("rei_actief"), QStringLiteral("rei_naam")},
                                          {}};
        for (int i = 0; i < edits.size(); ++i) {
            deb.setStatement(QStringLiteral("select * from reizigers where rei_extern = ?"), {i + 1});
            deb.open();
            deb.edit();
            for (const QString &column : edits[i])
                deb.setValue(column, column == QLatin1String("rei_naam") ? QVariant(QStringLiteral("naam%1").arg(i))
                                                                         : QVariant(10 + i));
            deb.post();
            QCOMPARE(deb.isFilling(), false);
            deb.close();
        }
        OtherProgram other(m_kit->databasePath());
        QSqlQuery rows = other.exec(QStringLiteral("select rei_extern, coalesce(rei_naam, '-'), coalesce(cast("
                                                   "rei_actief as varchar(11)), '-') from reizigers order by "
                                                   "rei_extern"));
        QStringList stored;
        while (rows.next())
            stored << rows.value(0).toString() + u' ' + rows.value(1).toString() + u' ' + rows.value(2).toString();
        QCOMPARE(stored, QStringList({QStringLiteral("1 Jansen 10"), QStringLiteral("2 naam1 11"),
                                      QStringLiteral("3 naam2 12"), QStringLiteral("4 - -")}));
    }

    // Texts held for a column: ASCII that fits is kept as it is, anything
    // else goes through the code page and is cut; a null text becomes empty.
    void textColumnValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("longText");
        const QString nullText;
        for (const bool longText : {false, true}) {
            const char *kind = longText ? "long text, " : "text, ";
            QTest::newRow(QByteArray(kind).append("null").constData()) << nullText << longText;
            QTest::newRow(QByteArray(kind).append("empty").constData()) << QStringLiteral("") << longText;
            QTest::newRow(QByteArray(kind).append("ascii").constData())
                << QStringLiteral("Dorpsstraat 1\t") << longText;
            QTest::newRow(QByteArray(kind).append("control").constData()) << QStringLiteral("a\x01\x7f") << longText;
            QTest::newRow(QByteArray(kind).append("at size").constData()) << QString(50, u'x') << longText;
            QTest::newRow(QByteArray(kind).append("beyond").constData()) << QString(51, u'x') << longText;
            QTest::newRow(QByteArray(kind).append("code page").constData())
                << QStringLiteral("\u20ac \u0142\u00e9\u0080") << longText;
        }
    }
    void textColumnValues()
    {
        QFETCH(QString, value);
        QFETCH(bool, longText);
        const ColumnDefinition column{"t", longText ? ColumnType::LongText : ColumnType::Text, 50};
        const QString expected = longText ? fromAnsi(toAnsi(value)) : toAnsiField(value, 50);
        const QVariant held = columnValue(column, value);
        QCOMPARE(held.typeId(), int(QMetaType::QString));
        QCOMPARE(held.toString(), expected);
        QCOMPARE(held.toString().isNull(), expected.isNull());
    }

    void lockedDatabaseRaisesItsMessage()
    {
        VELORA_SQLITE_ONLY();
        m_kit->database->open();
        OtherProgram other(m_kit->databasePath());
        other.exec(QStringLiteral("BEGIN EXCLUSIVE"));
        Dataset &deb = m_kit->datasets->ADODEB;
        deb.setStatement(QStringLiteral("select * from reizigers where 1=0"));
        deb.open();
        deb.append();
        deb.setValue(QStringLiteral("rei_extern"), 3);
        QElapsedTimer timer;
        timer.start();
        try {
            deb.post();
            QFAIL("post succeeded on a locked database");
        } catch (const Failure &failure) {
            QVERIFY2(failure.message().contains(QLatin1String("locked")), qPrintable(failure.message()));
        }
        QVERIFY(timer.elapsed() >= 250); // waited for the busy time-out first
        QVERIFY(deb.isFilling());        // the row stays unposted
        other.exec(QStringLiteral("COMMIT"));
        deb.post();
        QCOMPARE(other.scalar(QStringLiteral("select count(*) from reizigers")).toInt(), 1);
    }

    void readOnlyFileRefusesWrites()
    {
        VELORA_SQLITE_ONLY();
        m_kit->database->open();
        m_kit->database->close();
        QFile::setPermissions(m_kit->databasePath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        QFile probe(m_kit->databasePath());
        if (probe.open(QIODevice::ReadWrite))
            QSKIP("running with rights that ignore file permissions");
        Dataset &deb = m_kit->datasets->ADODEB;
        deb.setStatement(QStringLiteral("select * from reizigers where 1=0"));
        deb.open();
        deb.append();
        deb.setValue(QStringLiteral("rei_extern"), 3);
        QVERIFY_THROWS_EXCEPTION(Failure, deb.post());
    }

    void missingTableRaisesItsMessage()
    {
        m_kit->database->open();
        {
            OtherProgram other(m_kit->databasePath());
            other.exec(QStringLiteral("DROP TABLE Straten"));
        }
        Dataset &postcode = m_kit->datasets->ADOPOSTCODE;
        postcode.setStatement(QStringLiteral("select * from Straten where str_wijkcode = 3511"));
        try {
            postcode.open();
            QFAIL("opened a missing table");
        } catch (const Failure &failure) {
            const QLatin1String missing(testsOnServer() ? "relation \"straten\" does not exist" : "no such table");
            QVERIFY2(failure.message().contains(missing), qPrintable(failure.message()));
        }
        QVERIFY(!postcode.isOpen());
    }

    void dialectTranslatesTopIntoLimit()
    {
        m_kit->database->open();
        Database &db = *m_kit->database;
        QCOMPARE(db.translate(QStringLiteral("select top 1 * from planning where pla_retour_rbs=1 order by pla_id")),
                 QStringLiteral("select * from planning where pla_retour_rbs=1 order by pla_id limit 1"));
        QCOMPARE(db.translate(QStringLiteral("SELECT TOP 10 pla_id FROM planning;")),
                 QStringLiteral("SELECT pla_id FROM planning limit 10"));
        const QString plain = QStringLiteral("select * from planning where pla_temp='top 1'");
        QCOMPARE(db.translate(plain), plain);

        m_kit->datasets->ADOCommand.execute(QStringLiteral("insert into planning (pla_extern) values (1), (2)"));
        Dataset &retour = m_kit->datasets->ADOTRETOUR;
        retour.setStatement(QStringLiteral("select top 1 * from planning order by pla_extern desc"));
        retour.open();
        QCOMPARE(retour.rowCount(), 1);
        QCOMPARE(retour.integer(QStringLiteral("pla_extern")), 2);
    }

    void testButtonOpensReportsAndCloses()
    {
        Database &db = *m_kit->database;
        db.open();
        bool reported = false;
        db.testConnection([&] {
            reported = true;
            QVERIFY(db.isOpen());
        });
        QVERIFY(reported);
        QVERIFY(!db.isOpen());

        m_kit->settings.setText(Setting::xLoginServer, QStringLiteral("sqlite:missing-folder/x.db"));
        reported = false;
        QVERIFY_THROWS_EXCEPTION(Failure, db.testConnection([&] { reported = true; }));
        QVERIFY(!reported);
        QVERIFY(!db.isOpen());
        // A dataset opened later connects with the settings of that moment.
        m_kit->settings.setText(Setting::xLoginServer, QStringLiteral("sqlite:other.db"));
        m_kit->datasets->ADOPOSTCODE.setStatement(QStringLiteral("select * from Straten"));
        m_kit->datasets->ADOPOSTCODE.open();
        QVERIFY(QFile::exists(m_kit->folder.filePath(QStringLiteral("other.db"))));
    }

private:
    std::unique_ptr<DatabaseKit> m_kit;
};

QTEST_GUILESS_MAIN(DatasetsTest)
#include "tst_Datasets.moc"
