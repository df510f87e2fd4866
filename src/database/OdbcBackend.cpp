#include "database/OdbcBackend.h"

#include "database/ServerProbe.h"
#include "shell/Failure.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSysInfo>

#include <sql.h>
#include <sqlext.h>

namespace velora {

namespace {

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

// How the server lists a session of this process (pg_stat_activity): which
// of its two sessions, which process on which machine. A host name holds
// nothing but letters, digits, dots and dashes; anything else is left out
// rather than quoted.
QString sessionName(const QString &role)
{
    static const QRegularExpression unusual(QStringLiteral("[^A-Za-z0-9.-]"));
    const QString host = QSysInfo::machineHostName().remove(unusual);
    return QStringLiteral("VeloraRBS %1, pid %2 on %3").arg(role).arg(QCoreApplication::applicationPid()).arg(host);
}

// After this machine gave the lock up because the server left its storing
// session hanging, it does not ask again for this long: a stand-by, which
// asks every second, takes over; without one, this machine serves again.
constexpr auto kLockYield = std::chrono::seconds(3);

} // namespace

OdbcBackend::OdbcBackend(QString connectionName)
    : m_connectionName(std::move(connectionName)), m_work(m_connectionName, m_watchdog),
      m_lock(m_connectionName + QStringLiteral("-lock"), m_watchdog)
{
}

OdbcBackend::~OdbcBackend()
{
    close();
}

bool OdbcBackend::isOpen() const
{
    return m_work.isOpen();
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
    m_timeouts = timeouts;
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
        // psqlODBC by default wraps every statement in a savepoint of its own
        // (two more round trips each) to undo a failed statement alone. The
        // service undoes a failed packet itself (its unit, or the unit's
        // savepoint in a group), and the driver's savepoints would cut
        // through the unit's. "-0": the driver leaves errors to the service.
        // Statements are prepared on the server, once per session. A driver
        // for another server ignores both.
        connectText += QStringLiteral("Protocol=7.4-0;UseServerSidePrepare=1;");
    } else {
        connectText += QStringLiteral("Timeout=%1;").arg(timeouts.odbcQuerySeconds);
    }
    m_connectText = connectText;
    m_connectOptions = QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
                           .arg(timeouts.odbcLoginSeconds)
                           .arg(timeouts.odbcQuerySeconds);
    m_work.open(m_connectText, m_connectOptions);
    // Statements, keys, date-times and decimals take the server's forms.
    const QString server = serverName(m_work.database());
    if (server.startsWith(QLatin1String("PostgreSQL"), Qt::CaseInsensitive)) {
        m_dialect = SqlDialect::PostgreSql;
    } else if (server.contains(QLatin1String("SQL Server"), Qt::CaseInsensitive)) {
        m_dialect = SqlDialect::SqlServer;
    } else {
        close();
        throw Failure(QStringLiteral("the server is %1; the service stores into SQL Server or PostgreSQL only")
                          .arg(server.isEmpty() ? QStringLiteral("of a kind the driver does not name")
                                                : QStringLiteral("\"%1\"").arg(server)));
    }
    setUpSession(m_work, sessionName(QStringLiteral("store")));
}

void OdbcBackend::openSession(OdbcSession &session, const QString &applicationName)
{
    session.open(m_connectText, m_connectOptions);
    setUpSession(session, applicationName);
}

void OdbcBackend::setUpSession(OdbcSession &session, const QString &applicationName)
{
    QStringList settings;
    const int statementMs = m_timeouts.serverStatementSeconds * 1000;
    if (m_dialect == SqlDialect::PostgreSql) {
        // The server's side of the connection: a session whose link machine
        // is gone without a word ends within seconds, and with it the service
        // lock, so that the standby takes over. The client's side is in the
        // connect text (pqopt). A statement that waits for a lock, or runs
        // away, fails within the bound instead of holding every booking
        // system. The name shows the operator which session is which.
        settings = {
            QStringLiteral("SET statement_timeout = %1").arg(statementMs + 1000),
            QStringLiteral("SET lock_timeout = %1").arg(statementMs),
            QStringLiteral("SET tcp_keepalives_idle = %1").arg(m_timeouts.keepaliveIdleSeconds),
            QStringLiteral("SET tcp_keepalives_interval = %1").arg(m_timeouts.keepaliveIntervalSeconds),
            QStringLiteral("SET tcp_keepalives_count = %1").arg(m_timeouts.keepaliveCount),
            QStringLiteral("SET tcp_user_timeout = %1").arg(unacknowledgedMs(m_timeouts)),
            QStringLiteral("SET application_name = '%1'").arg(applicationName),
        };
    } else {
        // A lock another session keeps fails the statement, not the session,
        // before the call's own deadline would drop the connection.
        settings = {QStringLiteral("SET LOCK_TIMEOUT %1").arg(statementMs)};
    }
    for (const QString &setting : settings) {
        QString error;
        armCall(session);
        if (!session.setOption(setting, error)) {
            session.close();
            if (&session == &m_work)
                close();
            throw Failure(error);
        }
    }
}

void OdbcBackend::armCall(OdbcSession &session)
{
    session.setDeadline(Clock::now() + std::chrono::seconds(m_timeouts.serverCallSeconds));
}

void OdbcBackend::afterCall(OdbcSession &session, bool ok, const QString &error)
{
    // PostgreSQL: "canceling statement due to lock timeout"; SQL Server
    // (1222): "Lock request time out period exceeded".
    if (!ok && &session == &m_work &&
        (error.contains(QLatin1String("lock timeout"), Qt::CaseInsensitive) ||
         error.contains(QLatin1String("lock request time out"), Qt::CaseInsensitive)))
        m_locksContended = true;
    if (!session.lastCallCut())
        return;
    // The server holds the lock for a session it does not serve any more
    // only while that session is the lock's own; the storing session's
    // trouble gives the lock up, so that the stand-by serves meanwhile.
    if (&session == &m_work)
        m_lockYieldedUntil = Clock::now() + kLockYield;
    dropLock();
}

void OdbcBackend::dropLock()
{
    m_lock.close();
}

bool OdbcBackend::tryTakeServiceLock(QString &error)
{
    error.clear();
    if (Clock::now() < m_lockYieldedUntil)
        return false;
    if (!m_lock.isOpen()) {
        try {
            openSession(m_lock, sessionName(QStringLiteral("lock")));
        } catch (const Failure &failure) {
            error = failure.message();
            return false;
        }
    }
    StatementResult result;
    armCall(m_lock);
    const bool ran =
        m_dialect == SqlDialect::PostgreSql
            ? m_lock.execute(QStringLiteral("select pg_try_advisory_lock(%1)").arg(kServiceLockKey), {}, result, error)
            : m_lock.execute(kSqlServerServiceLock, {}, result, error);
    afterCall(m_lock, ran, error);
    if (!ran) {
        dropLock();
        return false;
    }
    if (result.rows.empty() || result.rows.front().isEmpty()) {
        error = QStringLiteral("the service lock gave no answer");
        dropLock();
        return false;
    }
    const QVariant answer = result.rows.front().front();
    // pg_try_advisory_lock answers a boolean; sp_getapplock 0 or 1 when granted.
    const bool granted = m_dialect == SqlDialect::PostgreSql ? answer.toBool() : answer.toInt() >= 0;
    // A session that did not get the lock is not kept: it would be one more
    // session on the server for every stand-by.
    if (!granted)
        dropLock();
    return granted;
}

bool OdbcBackend::checkServiceLock(QString &error)
{
    if (!m_lock.isOpen()) {
        error = QStringLiteral("the session that held the service lock is gone");
        return false;
    }
    StatementResult ignored;
    armCall(m_lock);
    const bool ok = m_lock.execute(QStringLiteral("select 1"), {}, ignored, error);
    afterCall(m_lock, ok, error);
    if (!ok)
        dropLock();
    return ok;
}

void OdbcBackend::close()
{
    dropLock();
    m_work.close();
    m_locksContended = false;
}

bool OdbcBackend::execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                          QString &error)
{
    armCall(m_work);
    const bool ok = m_work.execute(statement, bindings, result, error);
    afterCall(m_work, ok, error);
    return ok;
}

bool OdbcBackend::executeRows(const QString &statement, const std::vector<QVariantList> &rows, QString &error)
{
    armCall(m_work);
    const bool ok = m_work.executeRows(statement, rows, error);
    afterCall(m_work, ok, error);
    return ok;
}

bool OdbcBackend::insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                         QString &error)
{
    key = QVariant();
    QString text = statement;
    auto which = OdbcStatement::Rows::First;
    if (wantKey && m_dialect == SqlDialect::PostgreSql) {
        // The row's own key; lastval() in the same session names the last
        // value of any sequence, a trigger's as well, so it serves only a
        // table the schema does not describe.
        // Looked up once per statement text: matching the pattern against
        // a ride row's insert was some 18k instructions a packet.
        auto known = m_identityColumns.constFind(statement);
        if (known == m_identityColumns.cend())
            known = m_identityColumns.insert(statement, identityColumnOf(statement));
        const QString &identity = known.value();
        if (identity.isEmpty()) {
            StatementResult last;
            if (!execute(statement, bindings, last, error) ||
                !execute(QStringLiteral("SELECT lastval()"), {}, last, error))
                return false;
            if (!last.rows.empty() && !last.rows.front().isEmpty())
                key = last.rows.front().front();
            return true;
        }
        text += QStringLiteral(" RETURNING ") + identity;
    } else if (wantKey) {
        text += QStringLiteral("; SELECT CAST(SCOPE_IDENTITY() AS INT)");
        // The first result set of the batch with columns: the insert's row
        // count (and a trigger's) come before it.
        which = OdbcStatement::Rows::FirstWithColumns;
    }
    StatementResult result;
    armCall(m_work);
    const bool ok = m_work.run(text, bindings, error, wantKey ? &result : nullptr, which);
    afterCall(m_work, ok, error);
    if (ok && !result.rows.empty() && !result.rows.front().isEmpty())
        key = result.rows.front().front();
    return ok;
}

QString OdbcBackend::translate(const QString &statement) const
{
    return m_dialect == SqlDialect::PostgreSql ? topAsLimit(statement) : statement;
}

bool OdbcBackend::transaction(Step step, QString &error)
{
    armCall(m_work);
    const bool ok = m_work.transaction(step, error);
    afterCall(m_work, ok, error);
    // A commit got through: whatever kept the packets out is gone.
    if (ok && step == Step::Commit)
        m_locksContended = false;
    return ok;
}

bool OdbcBackend::limitWaits(std::chrono::milliseconds remaining, QString &error)
{
    // SQL Server has no setting for one transaction; the call's deadline
    // bounds the wait there.
    if (m_dialect != SqlDialect::PostgreSql)
        return true;
    // For the rest of this transaction only ("true": local), as a bound
    // value so that the statement is prepared once.
    StatementResult ignored;
    return execute(QStringLiteral("select set_config('lock_timeout', ?, true)"),
                   {QString::number(std::max<qint64>(1, remaining.count()))}, ignored, error);
}

QString OdbcBackend::savepointStatement(SavepointStep step) const
{
    switch (step) {
    case SavepointStep::Set:
        return m_dialect == SqlDialect::PostgreSql ? QStringLiteral("SAVEPOINT velora_unit")
                                                   : QStringLiteral("SAVE TRANSACTION velora_unit");
    // Neither needs the release: each unit sets a savepoint of the same name,
    // and the undo goes back to the latest one; all end with the
    // transaction. One round trip less per packet.
    case SavepointStep::Release: return {};
    case SavepointStep::RollbackTo:
        return m_dialect == SqlDialect::PostgreSql ? QStringLiteral("ROLLBACK TO SAVEPOINT velora_unit")
                                                   : QStringLiteral("ROLLBACK TRANSACTION velora_unit");
    }
    return {};
}

} // namespace velora
