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

// How long sent bytes may stay unacknowledged before the connection counts as
// gone: as long as the keepalive takes to find an idle peer gone.
int unacknowledgedMs(const DatabaseTimeouts &timeouts)
{
    return (timeouts.keepaliveIdleSeconds + timeouts.keepaliveIntervalSeconds * timeouts.keepaliveCount) * 1000;
}

// The key of the service lock on PostgreSQL ("VRBS"). Advisory locks belong
// to one database, so dispatch databases on one server do not share it.
constexpr qint64 kServiceLockKey = 0x56524253;
// On SQL Server: an application lock owned by the session, never waited for.
const QString kSqlServerServiceLock =
    QStringLiteral("SET NOCOUNT ON; DECLARE @granted int; EXEC @granted = sp_getapplock @Resource = 'VeloraRBS "
                   "service', @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; SELECT @granted");

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
        // PostgreSQL's client side of the keepalive (the server's side is set
        // in the session): the driver hands pqopt to libpq; a driver for
        // another server ignores it. tcp_user_timeout ends a statement whose
        // bytes the server never acknowledges, the keepalive an idle
        // connection whose server is gone, so that this machine notices the
        // loss of its connection, and of the service lock, within seconds.
        connectText += QStringLiteral("pqopt={keepalives=1 keepalives_idle=%1 keepalives_interval=%2 "
                                      "keepalives_count=%3 tcp_user_timeout=%4};")
                           .arg(timeouts.keepaliveIdleSeconds)
                           .arg(timeouts.keepaliveIntervalSeconds)
                           .arg(timeouts.keepaliveCount)
                           .arg(unacknowledgedMs(timeouts));
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
    if (m_dialect == SqlDialect::PostgreSql)
        setUpPostgresSession(timeouts);
}

void OdbcBackend::setUpPostgresSession(const DatabaseTimeouts &timeouts)
{
    // The server's side of the connection: a session whose link machine is
    // gone without a word ends within seconds, and with it the service lock,
    // so that the standby takes over. The client's side is in the connect
    // text (pqopt). A statement that waits for a lock, or runs away, fails
    // within the bound instead of holding every booking system.
    const int statementMs = timeouts.serverStatementSeconds * 1000;
    const QStringList settings = {
        QStringLiteral("SET statement_timeout = %1").arg(statementMs),
        QStringLiteral("SET lock_timeout = %1").arg(statementMs),
        QStringLiteral("SET tcp_keepalives_idle = %1").arg(timeouts.keepaliveIdleSeconds),
        QStringLiteral("SET tcp_keepalives_interval = %1").arg(timeouts.keepaliveIntervalSeconds),
        QStringLiteral("SET tcp_keepalives_count = %1").arg(timeouts.keepaliveCount),
        QStringLiteral("SET tcp_user_timeout = %1").arg(unacknowledgedMs(timeouts)),
    };
    for (const QString &setting : settings) {
        QSqlQuery query(m_db);
        if (!query.exec(setting)) {
            const QString error = oneLine(query.lastError().text());
            query = QSqlQuery();
            close();
            throw Failure(error);
        }
    }
}

bool OdbcBackend::tryTakeServiceLock(QString &error)
{
    StatementResult result;
    const bool ran =
        m_dialect == SqlDialect::PostgreSql
            ? execute(QStringLiteral("select pg_try_advisory_lock(%1)").arg(kServiceLockKey), {}, result, error)
            : execute(kSqlServerServiceLock, {}, result, error);
    if (!ran)
        return false;
    error.clear();
    if (result.rows.empty() || result.rows.front().isEmpty()) {
        error = QStringLiteral("the service lock gave no answer");
        return false;
    }
    const QVariant answer = result.rows.front().front();
    // pg_try_advisory_lock answers a boolean; sp_getapplock 0 or 1 when granted.
    return m_dialect == SqlDialect::PostgreSql ? answer.toBool() : answer.toInt() >= 0;
}

void OdbcBackend::closeIfDead()
{
    // Qt keeps a connection "open" after the server has gone or ended the
    // session; every later statement would fail on it. Closed, the next user
    // opens a new one, and the reopen takes the service lock anew.
    if (!m_db.isValid() || !m_db.isOpen())
        return;
    const QVariant handle = m_db.driver()->handle();
    if (!handle.isValid() || handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        return;
    SQLHANDLE connection = *static_cast<const SQLHANDLE *>(handle.constData());
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!connection || !SQL_SUCCEEDED(SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
        return;
    if (dead == SQL_CD_TRUE)
        close();
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
    if (!run(query, statement, bindings, error)) {
        query = QSqlQuery();
        closeIfDead();
        return false;
    }
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
                 error)) {
            query = QSqlQuery();
            closeIfDead();
            return false;
        }
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
             bindings, error)) {
        query = QSqlQuery();
        closeIfDead();
        return false;
    }
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
    if (!ok) {
        error = oneLine(m_db.lastError().text());
        closeIfDead();
    }
    return ok;
}

QString OdbcBackend::savepointStatement(SavepointStep step) const
{
    if (m_dialect == SqlDialect::PostgreSql)
        return DatabaseBackend::savepointStatement(step);
    switch (step) {
    case SavepointStep::Set: return QStringLiteral("SAVE TRANSACTION velora_unit");
    case SavepointStep::Release: return {};
    case SavepointStep::RollbackTo: return QStringLiteral("ROLLBACK TRANSACTION velora_unit");
    }
    return {};
}

} // namespace velora
