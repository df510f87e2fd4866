#include "DatabaseTestKit.h"

#include "database/LiteralParameters.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

using namespace velora;
using velora::test::DatabaseKit;

namespace {

using Values = QVariantList;

QVariant text(const char *value)
{
    return QString::fromUtf8(value);
}

QVariant integer(qint64 value)
{
    return value;
}

// Values with their type: a number bound as text compares differently.
QStringList described(const QVariantList &values)
{
    QStringList out;
    for (const QVariant &value : values)
        out << QStringLiteral("%1:%2").arg(QString::fromLatin1(value.metaType().name()), value.toString());
    return out;
}

const QString kReturnOwners =
    QStringLiteral(" and ((pla_eigenaar='002') OR (pla_eigenaar='003') OR (pla_eigenaar='013'))");
const QString kReturnOwnersBound = QStringLiteral(" and ((pla_eigenaar=?) OR (pla_eigenaar=?) OR (pla_eigenaar=?))");
const Values kOwnerValues = {text("002"), text("003"), text("013")};

const QString kHouseNumberLookup =
    QStringLiteral("select top 1 * from Straten where str_reeksindicatie=0 and str_wijkcode =  1234 and "
                   "str_lettercombinatie = ? AND 17 BETWEEN str_huisnr_van AND str_huisnr_tm");
const QString kTransactionInsert =
    QStringLiteral("INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                   "tra_code, tra_opmerking) VALUES  (0,0,1234,0,0,91,?)");

// Everything a statement leaves behind: its rows and the tables it may write.
struct Outcome {
    QList<QStringList> rows;
    QList<QStringList> tables;
    QStringList plan;
};

QList<QStringList> rowsOf(QSqlQuery &query)
{
    QList<QStringList> rows;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i);
        rows << described(row);
    }
    return rows;
}

class StatementRunner {
public:
    explicit StatementRunner(const QString &path) : m_name(QStringLiteral("literal-check"))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~StatementRunner()
    {
        QSqlDatabase::database(m_name).close();
        QSqlDatabase::removeDatabase(m_name);
    }

    // Runs the statement in a transaction that is rolled back, so that both
    // forms of a statement start from the same rows.
    Outcome run(const QString &statement, const QVariantList &bindings)
    {
        QSqlDatabase db = QSqlDatabase::database(m_name);
        Outcome outcome;
        db.transaction();
        {
            QSqlQuery plan(db);
            plan.prepare(QStringLiteral("EXPLAIN QUERY PLAN ") + statement);
            for (qsizetype i = 0; i < bindings.size(); ++i)
                plan.bindValue(int(i), bindings[i]);
            if (plan.exec())
                while (plan.next())
                    outcome.plan << plan.value(3).toString();
            QSqlQuery query(db);
            if (!query.prepare(statement))
                qWarning() << statement << query.lastError().text();
            for (qsizetype i = 0; i < bindings.size(); ++i)
                query.bindValue(int(i), bindings[i]);
            if (!query.exec())
                qWarning() << statement << query.lastError().text();
            outcome.rows = rowsOf(query);
            for (const char *table : {"planning", "TRANSACTIES", "Straten"}) {
                QSqlQuery all(db);
                all.exec(QStringLiteral("select * from %1 order by rowid").arg(QLatin1String(table)));
                outcome.tables << QStringList{QLatin1String(table)};
                outcome.tables << rowsOf(all);
            }
        }
        db.rollback();
        return outcome;
    }

    void exec(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        if (!query.exec(statement))
            qWarning() << statement << query.lastError().text();
    }

private:
    QString m_name;
};

} // namespace

class LiteralParametersTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void literalsBecomeParameters_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<Values>("bindings");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<Values>("expectedBindings");

        QTest::newRow("marker lookup") << QStringLiteral("select * from planning where pla_temp='P20141231235959123'")
                                       << Values{} << QStringLiteral("select * from planning where pla_temp=?")
                                       << Values{text("P20141231235959123")};
        QTest::newRow("doubled quote, placeholder and comment marks inside a string")
            << QStringLiteral("select * from planning where pla_temp = 'O''Brien ? :x -- /*'") << Values{}
            << QStringLiteral("select * from planning where pla_temp = ?") << Values{text("O'Brien ? :x -- /*")};
        QTest::newRow("empty string") << QStringLiteral("select * from planning where pla_temp=''") << Values{}
                                      << QStringLiteral("select * from planning where pla_temp=?") << Values{text("")};
        QTest::newRow("negative number") << QStringLiteral("select * from planning where pla_extern= -42") << Values{}
                                         << QStringLiteral("select * from planning where pla_extern= ?")
                                         << Values{integer(-42)};
        QTest::newRow("number in the ride lookup")
            << QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= 4711") << Values{}
            << QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= ?") << Values{integer(4711)};
        QTest::newRow("names with digits and a join stay")
            << QStringLiteral("SELECT * FROM PLANNING LEFT JOIN WAGENS ON WAG_ID=PLA_WAGEN WHERE PLA_ID=12") << Values{}
            << QStringLiteral("SELECT * FROM PLANNING LEFT JOIN WAGENS ON WAG_ID=PLA_WAGEN WHERE PLA_ID=?")
            << Values{integer(12)};
        QTest::newRow("every comparison operator")
            << QStringLiteral("select 1 from planning where pla_extern <> 3 and pla_id >= -2 and pla_id != 4 and "
                              "pla_id<5 and pla_id>6 and pla_id<=7 and pla_id==8")
            << Values{}
            << QStringLiteral("select 1 from planning where pla_extern <> ? and pla_id >= ? and pla_id != ? and "
                              "pla_id<? and pla_id>? and pla_id<=? and pla_id==?")
            << Values{integer(3), integer(-2), integer(4), integer(5), integer(6), integer(7), integer(8)};
        QTest::newRow("literal left of the column")
            << QStringLiteral("select * from planning where 'x' = pla_temp or (5 < pla_extern)") << Values{}
            << QStringLiteral("select * from planning where ? = pla_temp or (? < pla_extern)")
            << Values{text("x"), integer(5)};
        QTest::newRow("transaction insert")
            << kTransactionInsert << Values{text("remark")}
            << QStringLiteral(
                   "INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, "
                   "tra_code, tra_opmerking) VALUES  (?,?,?,?,?,?,?)")
            << Values{integer(0), integer(0), integer(1234), integer(0), integer(0), integer(91), text("remark")};
        QTest::newRow("values with placeholders between literals")
            << QStringLiteral("insert into planning (pla_id, pla_temp, pla_extern, pla_eigenaar) values (?, 'a''b', "
                              "-3, ?)")
            << Values{integer(70), text("013")}
            << QStringLiteral("insert into planning (pla_id, pla_temp, pla_extern, pla_eigenaar) values (?, ?, ?, ?)")
            << Values{integer(70), text("a'b"), integer(-3), text("013")};
        QTest::newRow("rows of a multi-row values")
            << QStringLiteral("insert into planning (pla_extern) values (1), (2)") << Values{}
            << QStringLiteral("insert into planning (pla_extern) values (?), (?)") << Values{integer(1), integer(2)};
        QTest::newRow("values items that are expressions stay")
            << QStringLiteral("insert into planning (pla_extern, pla_id) values (1+2, coalesce(?, 0))")
            << Values{integer(5)}
            << QStringLiteral("insert into planning (pla_extern, pla_id) values (1+2, coalesce(?, 0))")
            << Values{integer(5)};
        QTest::newRow("between bounds")
            << QStringLiteral("select * from Straten where str_huisnr_van BETWEEN 10 AND 20 and str_wijkcode='1234'")
            << Values{}
            << QStringLiteral("select * from Straten where str_huisnr_van BETWEEN ? AND ? and str_wijkcode=?")
            << Values{integer(10), integer(20), text("1234")};
        QTest::newRow("house number lookup")
            << kHouseNumberLookup << Values{text("AB")}
            << QStringLiteral("select top 1 * from Straten where str_reeksindicatie=? and str_wijkcode =  ? and "
                              "str_lettercombinatie = ? AND ? BETWEEN str_huisnr_van AND str_huisnr_tm")
            << Values{integer(0), integer(1234), text("AB"), integer(17)};
        QTest::newRow("count offered")
            << QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=3") + kReturnOwners
            << Values{}
            << QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=?") +
                   kReturnOwnersBound
            << Values{integer(3)} + kOwnerValues;
        QTest::newRow("count failed")
            << QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=999") + kReturnOwners
            << Values{}
            << QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=?") +
                   kReturnOwnersBound
            << Values{integer(999)} + kOwnerValues;
        QTest::newRow("pending")
            << QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=1") + kReturnOwners
            << Values{}
            << QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=?") +
                   kReturnOwnersBound
            << Values{integer(1)} + kOwnerValues;
        QTest::newRow("resubmit offered")
            << QStringLiteral("update planning set pla_retour_rbs=1 where pla_retour_rbs=3") + kReturnOwners << Values{}
            << QStringLiteral("update planning set pla_retour_rbs=? where pla_retour_rbs=?") + kReturnOwnersBound
            << Values{integer(1), integer(3)} + kOwnerValues;
        QTest::newRow("resubmit failed")
            << QStringLiteral("update planning set pla_retour_rbs=1 where pla_retour_rbs=999") + kReturnOwners
            << Values{}
            << QStringLiteral("update planning set pla_retour_rbs=? where pla_retour_rbs=?") + kReturnOwnersBound
            << Values{integer(1), integer(999)} + kOwnerValues;

        // Left as written.
        const auto same = [](const char *name, const QString &statement, const Values &bindings = {}) {
            QTest::newRow(name) << statement << bindings << statement << bindings;
        };
        same("constant false predicate", QStringLiteral("select * from planning where 1=0"));
        same("limit and offset counts", QStringLiteral("select * from planning order by pla_id limit 5 offset 2"));
        same("top count", QStringLiteral("select top 1 * from planning order by pla_id"));
        same("in list", QStringLiteral("select * from planning where pla_extern in (1, 2)"));
        same("other numbers",
             QStringLiteral("select * from planning where pla_bedrag = 1.5 or pla_extern = 0x1F or pla_extern = 1e3 "
                            "or pla_extern = .5 or pla_temp = x'41'"));
        same("beyond 64 bits", QStringLiteral("select * from planning where pla_extern = 99999999999999999999"));
        same("arithmetic",
             QStringLiteral("select * from planning where pla_extern = 5 + pla_id or pla_id = pla_extern -1"));
        same("collate", QStringLiteral("select * from planning where pla_temp = 'a' collate nocase"));
        same("like pattern", QStringLiteral("select * from planning where pla_temp like 'P%'"));
        same("case branches", QStringLiteral("select case when pla_id = 1 then 'a' else 'b' end from planning"));
        same("quoted names", QStringLiteral("select \"pla_temp='x'\", [1=0] from planning"));
        same("named parameter", QStringLiteral("select * from planning where pla_extern = :ride and pla_temp = 'x'"));
        same("numbered parameter", QStringLiteral("select * from planning where pla_extern = ?1 and pla_temp = 'x'"),
             {integer(1)});
        same("placeholders without their values", QStringLiteral("select * from planning where pla_extern = ? and "
                                                                 "pla_temp = 'x'"));
        same("unclosed quote", QStringLiteral("select * from planning where pla_temp = 'x"));

        QTest::newRow("constant predicate beside a column comparison")
            << QStringLiteral("select * from planning where 1 = 1 and pla_id = 5") << Values{}
            << QStringLiteral("select * from planning where 1 = 1 and pla_id = ?") << Values{integer(5)};
        QTest::newRow("comments keep their numbers")
            << QStringLiteral("select * from planning -- pla_extern = 5\nwhere pla_temp = 'a' /* and pla_id = 7 */")
            << Values{}
            << QStringLiteral("select * from planning -- pla_extern = 5\nwhere pla_temp = ? /* and pla_id = 7 */")
            << Values{text("a")};
        QTest::newRow("assignments")
            << QStringLiteral("update planning set pla_retour_rbs=3, pla_temp='' where pla_extern=4711") << Values{}
            << QStringLiteral("update planning set pla_retour_rbs=?, pla_temp=? where pla_extern=?")
            << Values{integer(3), text(""), integer(4711)};
    }

    void literalsBecomeParameters()
    {
        QFETCH(QString, statement);
        QFETCH(Values, bindings);
        QFETCH(QString, expected);
        QFETCH(Values, expectedBindings);
        const StatementWithValues result = parameteriseLiterals(statement, bindings);
        QCOMPARE(result.text, expected);
        QCOMPARE(described(result.bindings), described(expectedBindings));
    }

    // Both forms on a real file: the same rows, the same writes, the same plan
    // (an index the literal could use is used with the parameter as well).
    void sameOutcomeAsTheLiteralStatement_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<Values>("bindings");
        QTest::addColumn<int>("rows");

        QTest::newRow("marker") << QStringLiteral("select * from planning where pla_temp='P2'") << Values{} << 1;
        QTest::newRow("marker with a quote")
            << QStringLiteral("select * from planning where pla_temp='O''Brien'") << Values{} << 1;
        QTest::newRow("ride number") << QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= 4711") << Values{}
                                     << 1;
        QTest::newRow("negative ride number")
            << QStringLiteral("SELECT * FROM planning WHERE pla_EXTERN= -7") << Values{} << 1;
        QTest::newRow("number held as text compared with text")
            << QStringLiteral("SELECT * FROM planning WHERE pla_extern = '4711'") << Values{} << 1;
        QTest::newRow("area code held as text compared with a number")
            << QStringLiteral("select * from Straten where str_wijkcode = 1234") << Values{} << 3;
        QTest::newRow("house number lookup, odd side")
            << QStringLiteral("select * from Straten where str_reeksindicatie=0 and str_wijkcode =  1234 and "
                              "str_lettercombinatie = ? AND 17 BETWEEN str_huisnr_van AND str_huisnr_tm limit 1")
            << Values{text("AB")} << 1;
        QTest::newRow("house number lookup, translated")
            << QStringLiteral("select * from Straten where str_reeksindicatie=1 and str_wijkcode =  1234 and "
                              "str_lettercombinatie = ? AND 18 BETWEEN str_huisnr_van AND str_huisnr_tm limit 1")
            << Values{text("AB")} << 1;
        QTest::newRow("join on the vehicle")
            << QStringLiteral("SELECT * FROM PLANNING LEFT JOIN WAGENS ON WAG_ID=PLA_WAGEN WHERE PLA_ID=2") << Values{}
            << 1;
        QTest::newRow("count offered") << QStringLiteral(
                                              "select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=3") +
                                              kReturnOwners
                                       << Values{} << 2;
        QTest::newRow("count failed") << QStringLiteral(
                                             "select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=999") +
                                             kReturnOwners
                                      << Values{} << 1;
        QTest::newRow("pending") << QStringLiteral(
                                        "select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=1") +
                                        kReturnOwners
                                 << Values{} << 1;
        QTest::newRow("resubmit offered")
            << QStringLiteral("update planning set pla_retour_rbs=1 where pla_retour_rbs=3") + kReturnOwners << Values{}
            << 0;
        QTest::newRow("resubmit failed") << QStringLiteral(
                                                "update planning set pla_retour_rbs=1 where pla_retour_rbs=999") +
                                                kReturnOwners
                                         << Values{} << 0;
        QTest::newRow("return state of a ride")
            << QStringLiteral("update planning set pla_retour_rbs=999 where pla_extern=4711") << Values{} << 0;
        QTest::newRow("transaction row") << kTransactionInsert << Values{text("it's")} << 0;
    }

    void sameOutcomeAsTheLiteralStatement()
    {
        QFETCH(QString, statement);
        QFETCH(Values, bindings);
        QFETCH(int, rows);

        DatabaseKit kit;
        kit.database->open(); // the file with its tables and indexes
        kit.database->close();
        StatementRunner runner(kit.databasePath());
        runner.exec(QStringLiteral(
            "insert into planning (pla_id, pla_temp, pla_extern, pla_eigenaar, pla_retour_rbs, pla_wagen) values "
            "(1, 'P1', 4710, '002', 3, 0), (2, 'P2', 4711, '003', 3, 5), (3, 'O''Brien', -7, '013', 999, 0), "
            "(4, 'P4', 4712, '004', 3, 0), (5, 'P5', 4713, '002', 1, 0), (6, 'P6', 4714, '005', 999, 0)"));
        runner.exec(QStringLiteral("insert into WAGENS (wag_id) values (5)"));
        runner.exec(QStringLiteral(
            "insert into Straten (str_wijkcode, str_lettercombinatie, str_reeksindicatie, str_huisnr_van, "
            "str_huisnr_tm, str_straatnaam) values ('1234', 'AB', '0', 1, 99, 'Oneven'), "
            "('1234', 'AB', '1', 2, 100, 'Even'), ('1234', 'CD', '0', 1, 9, 'Ander'), ('4321', 'AB', '0', 1, 99, "
            "'X')"));

        const StatementWithValues parameterised = parameteriseLiterals(statement, bindings);
        QVERIFY(parameterised.text != statement);
        const Outcome literal = runner.run(statement, bindings);
        const Outcome bound = runner.run(parameterised.text, parameterised.bindings);
        QCOMPARE(literal.rows.size(), rows);
        QCOMPARE(bound.rows, literal.rows);
        QCOMPARE(bound.tables, literal.tables);
        if (!statement.startsWith(QLatin1String("insert"), Qt::CaseInsensitive)) // an insert has no plan to show
            QVERIFY(!literal.plan.isEmpty());
        QCOMPARE(bound.plan, literal.plan);
    }

    // The cheap empty result for a new row stays a constant the planner sees.
    void constantPredicateIsNotParameterised()
    {
        const QString statement = QStringLiteral("select * from planning where 1=0");
        QCOMPARE(parameteriseLiterals(statement, {}).text, statement);
    }

    // Through the connection: statements that differ in a marker share one
    // kept statement, and each execution sees its own values.
    void keptStatementServesEveryMarker()
    {
        DatabaseKit kit;
        Database &db = *kit.database;
        db.open();
        Command &command = kit.datasets->ADOCommand;
        command.execute(QStringLiteral("insert into planning (pla_temp, pla_extern) values ('M1', 11), ('M2', 12)"));

        const StatementWithValues first =
            db.dialectForm(QStringLiteral("select * from planning where pla_temp='M1'"), {});
        const StatementWithValues second =
            db.dialectForm(QStringLiteral("select * from planning where pla_temp='M2'"), {});
        QCOMPARE(first.text, second.text);
        QCOMPARE(db.dialectForm(kHouseNumberLookup, {text("AB")}).text,
                 QStringLiteral("select * from Straten where str_reeksindicatie=? and str_wijkcode =  ? and "
                                "str_lettercombinatie = ? AND ? BETWEEN str_huisnr_van AND str_huisnr_tm limit 1"));

        Dataset &lookup = kit.datasets->ADOTRETOUR;
        for (const auto &[marker, ride] : {std::pair{"M1", 11}, std::pair{"M2", 12}, std::pair{"M1", 11}}) {
            lookup.setStatement(
                QStringLiteral("select * from planning where pla_temp='%1'").arg(QLatin1String(marker)));
            lookup.open();
            QCOMPARE(lookup.rowCount(), 1);
            QCOMPARE(lookup.integer(QStringLiteral("pla_extern")), ride);
            QCOMPARE(db.preparedStatement(first.text), db.preparedStatement(second.text));
        }
        lookup.close();

        // A literal value written through the kept insert lands as its own type.
        for (const int code : {91, 92}) {
            command.execute(QStringLiteral("INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, "
                                           "tra_chauffeur, tra_code, tra_opmerking) VALUES  (0,0,1234,0,0,%1,?)")
                                .arg(code),
                            {text("x")});
        }
        QSqlQuery check(db.connection());
        QVERIFY(check.exec(QStringLiteral("select typeof(tra_rit), tra_code, typeof(tra_opmerking) from TRANSACTIES "
                                          "order by rowid")));
        QList<QStringList> rows;
        while (check.next())
            rows << QStringList{check.value(0).toString(), check.value(1).toString(), check.value(2).toString()};
        QCOMPARE(rows, (QList<QStringList>{{"integer", "91", "text"}, {"integer", "92", "text"}}));
    }
};

QTEST_GUILESS_MAIN(LiteralParametersTest)
#include "tst_LiteralParameters.moc"
