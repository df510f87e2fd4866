#include "database/OdbcBackend.h"

#include "database/ServerProbe.h"
#include "shell/Failure.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <sql.h>
#include <sqlext.h>

namespace velora {

namespace {

// A driver's message on one line: PostgreSQL's driver puts the server's
// message and its own on lines of their own, and the activity log and the
// failure handler keep one message to a line.
QString oneLine(const QString &message)
{
    QStringList parts = message.split(u'\n', Qt::SkipEmptyParts);
    for (QString &part : parts)
        part = part.trimmed();
    parts.removeAll(QString());
    return parts.join(u' ');
}

// Prepares and runs `statement` on `query`; false with the driver's message.
bool run(QSqlQuery &query, const QString &statement, const QVariantList &bindings, QString &error)
{
    query.setForwardOnly(true);
    bool ok = query.prepare(statement);
    if (ok) {
        for (qsizetype i = 0; i < bindings.size(); ++i)
            query.bindValue(int(i), bindings[i]);
        ok = query.exec();
    }
    if (!ok)
        error = oneLine(query.lastError().text());
    return ok;
}

// What the server says it is (SQL_DBMS_NAME), through the driver's connection
// handle; empty when the driver does not say.
QString serverName(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    // Qt's ODBC driver hands out its SQLHDBC as a plain pointer.
    if (!handle.isValid() || handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        return QString();
    SQLHDBC connection = *static_cast<const SQLHDBC *>(handle.constData());
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN result = SQLGetInfo(connection, SQL_DBMS_NAME, name, SQLSMALLINT(sizeof name), &length);
    if (!SQL_SUCCEEDED(result))
        return QString();
    return QString::fromUtf8(reinterpret_cast<const char *>(name)).trimmed();
}

// The identity column of the table an "INSERT INTO table" writes; empty for
// a table the schema does not describe or without one.
QString identityColumnOf(const QString &statement)
{
    static const QRegularExpression into(QStringLiteral("^\\s*insert\\s+into\\s+([A-Za-z_][A-Za-z0-9_]*)"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = into.match(statement);
    const TableDefinition *table = match.hasMatch() ? findTable(match.captured(1)) : nullptr;
    if (table)
        for (const ColumnDefinition &column : table->columns)
            if (column.type == ColumnType::Identity)
                return QLatin1String(column.name);
    return QString();
}

} // namespace

OdbcBackend::OdbcBackend(QString connectionName) : m_connectionName(std::move(connectionName)) {}

OdbcBackend::~OdbcBackend()
{
    close();
}

bool OdbcBackend::isOpen() const
{
    return m_db.isValid() && m_db.isOpen();
}

void OdbcBackend::open(const ConnectionTarget &target, const DatabaseTimeouts &timeouts)
{
    close();
    if (!target.refusal.isEmpty())
        throw Failure(target.refusal);
    if (target.serverPort < 0)
        throw Failure(QStringLiteral("the text after the comma in the server name is no port number"));
    if (target.serverPort > 0)
        probeSqlServer(target.serverHost, quint16(target.serverPort), timeouts.odbcLoginSeconds);
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
    // SQL_ATTR_LOGIN_TIMEOUT bounds reaching the server; FreeTDS's own
    // "Timeout" and SQL_ATTR_CONNECTION_TIMEOUT bound every statement. A data
    // source has its driver's own settings from odbc.ini.
    QString connectText = target.odbcConnectString;
    if (target.backend == Backend::OdbcDataSource) {
        // Qt's driver puts "DSN=" before a text without "DRIVER=" or
        // "SERVER=" itself; the rest of the text goes with it as it is.
        connectText = connectText.mid(4);
    } else {
        connectText += QStringLiteral("Timeout=%1;").arg(timeouts.odbcQuerySeconds);
    }
    m_db.setDatabaseName(connectText);
    m_db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
                               .arg(timeouts.odbcLoginSeconds)
                               .arg(timeouts.odbcQuerySeconds));
    QString error;
    if (!m_db.isValid())
        error = QStringLiteral("driver not available");
    else if (!m_db.open())
        error = oneLine(m_db.lastError().text());
    if (error.isEmpty()) {
        // Statements, keys, date-times and decimals take the server's forms.
        const QString server = serverName(m_db);
        if (server.startsWith(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
            m_dialect = SqlDialect::PostgreSql;
        else if (server.contains(QLatin1String("SQL Server"), Qt::CaseInsensitive))
            m_dialect = SqlDialect::SqlServer;
        else
            error = QStringLiteral("the server is %1; the service stores into SQL Server or PostgreSQL only")
                        .arg(server.isEmpty() ? QStringLiteral("of a kind the driver does not name")
                                              : QStringLiteral("\"%1\"").arg(server));
    }
    if (!error.isEmpty()) {
        close();
        throw Failure(error);
    }
}

void OdbcBackend::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool OdbcBackend::execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                          QString &error)
{
    QSqlQuery query(m_db);
    if (!run(query, statement, bindings, error))
        return false;
    const QSqlRecord record = query.record();
    auto columns = std::make_shared<QStringList>();
    columns->reserve(record.count());
    for (int i = 0; i < record.count(); ++i)
        *columns << record.fieldName(i);
    result.columns = std::move(columns);
    // Everything is read at once: a forward-only result cannot move back.
    const int count = record.count();
    while (query.isSelect() && query.next()) {
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i)
            row << query.value(i);
        result.rows.push_back(std::move(row));
    }
    return true;
}

bool OdbcBackend::insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                         QString &error)
{
    QSqlQuery query(m_db);
    key = QVariant();
    if (wantKey && m_dialect == SqlDialect::PostgreSql) {
        // The row's own key; lastval() in the same session names the last
        // value of any sequence, a trigger's as well, so it serves only a
        // table the schema does not describe.
        const QString identity = identityColumnOf(statement);
        if (!run(query, identity.isEmpty() ? statement : statement + QStringLiteral(" RETURNING ") + identity, bindings,
                 error))
            return false;
        if (identity.isEmpty()) {
            StatementResult last;
            if (!execute(QStringLiteral("SELECT lastval()"), {}, last, error))
                return false;
            if (!last.rows.empty() && !last.rows.front().isEmpty())
                key = last.rows.front().front();
        } else if (query.next()) {
            key = query.value(0);
        }
        return true;
    }
    if (!run(query, wantKey ? statement + QStringLiteral("; SELECT CAST(SCOPE_IDENTITY() AS INT)") : statement,
             bindings, error))
        return false;
    if (!wantKey)
        return true;
    // The first result set of the batch: the insert's row count (and a
    // trigger's) come before it.
    while (!query.isSelect())
        if (!query.nextResult())
            return true;
    if (query.next())
        key = query.value(0);
    return true;
}

QString OdbcBackend::translate(const QString &statement) const
{
    return m_dialect == SqlDialect::PostgreSql ? topAsLimit(statement) : statement;
}

bool OdbcBackend::transaction(Step step, QString &error)
{
    bool ok = false;
    switch (step) {
    case Step::Begin: ok = m_db.transaction(); break;
    case Step::Commit: ok = m_db.commit(); break;
    case Step::Rollback: ok = m_db.rollback(); break;
    }
    if (!ok)
        error = oneLine(m_db.lastError().text());
    return ok;
}

} // namespace velora
