#include "database/OdbcSession.h"

#include "shell/Failure.h"

#include <QSqlDriver>
#include <QSqlError>

#include <algorithm>

#include <sql.h>
#include <sqlext.h>

namespace velora {

namespace {

// Kept statements per session: the link runs a dozen different ones; a
// statement text that keeps changing does not grow the server's memory.
constexpr size_t kKeptStatements = 32;

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

// A statement that can give no row ("select * from planning where 1=0"):
// the datasets open one to learn a table's columns before they append. The
// code writes that form only, so a suffix says it; a pattern would be matched
// against every statement of every packet.
bool givesNoRows(const QString &statement)
{
    return statement.endsWith(QLatin1String(" where 1=0"), Qt::CaseInsensitive);
}

// The socket a connect made: the one stream socket that was not there
// before. None when there is not exactly one (another thread opened one
// meanwhile), and the session's calls then go unwatched.
StreamSocket newSocket(const std::vector<StreamSocket> &before)
{
    StreamSocket found;
    int count = 0;
    for (const StreamSocket &socket : openStreamSockets()) {
        if (std::find(before.begin(), before.end(), socket) == before.end()) {
            found = socket;
            ++count;
        }
    }
    return count == 1 ? found : StreamSocket{};
}

// The driver's connection handle: Qt's ODBC driver hands out its SQLHDBC as
// a plain pointer.
SQLHANDLE connectionHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        return nullptr;
    return *static_cast<const SQLHANDLE *>(handle.constData());
}

} // namespace

OdbcSession::OdbcSession(QString connectionName, CallWatchdog &watchdog)
    : m_connectionName(std::move(connectionName)), m_watchdog(watchdog)
{
}

OdbcSession::~OdbcSession()
{
    close();
}

bool OdbcSession::isOpen() const
{
    return m_db.isValid() && m_db.isOpen();
}

void OdbcSession::open(const QString &connectText, const QString &connectOptions)
{
    close();
    const std::vector<StreamSocket> before = openStreamSockets();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
    m_db.setDatabaseName(connectText);
    m_db.setConnectOptions(connectOptions);
    QString error;
    if (!m_db.isValid())
        error = QStringLiteral("driver not available");
    else if (!m_db.open())
        error = oneLine(m_db.lastError().text());
    if (!error.isEmpty()) {
        close();
        throw Failure(error);
    }
    m_socket = newSocket(before);
    m_connection = connectionHandle(m_db);
    m_timestampDigits = OdbcStatement::timestampDigits(m_connection);
}

void OdbcSession::close()
{
    m_inTransaction = false;
    m_kept.clear();
    m_discarded.clear();
    m_noRowColumns.clear();
    m_socket = StreamSocket{};
    m_connection = nullptr;
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

OdbcStatement *OdbcSession::prepared(const QString &statement, QString &error, bool &reused, bool forRows)
{
    reused = false;
    for (auto it = m_kept.begin(); it != m_kept.end(); ++it) {
        if (it->forRows == forRows && it->statement == statement) {
            m_kept.splice(m_kept.begin(), m_kept, it);
            reused = true;
            return m_kept.front().query.get();
        }
    }
    std::unique_ptr<OdbcStatement> query;
    bool cut = false;
    {
        CallWatchdog::Call call(m_watchdog, m_socket, m_deadline);
        query = OdbcStatement::prepare(m_connection, statement, m_timestampDigits, error);
        cut = call.finish();
    }
    if (!query) {
        error = oneLine(error);
        afterFailure(cut, error);
        return nullptr;
    }
    if (m_kept.size() >= kKeptStatements)
        m_kept.pop_back();
    m_kept.push_front({statement, forRows, std::move(query)});
    return m_kept.front().query.get();
}

bool OdbcSession::run(const QString &statement, const QVariantList &bindings, QString &error, StatementResult *result,
                      OdbcStatement::Rows which)
{
    m_lastCallCut = false;
    bool wasKept = false;
    if (runOnce(statement, bindings, error, result, which, wasKept))
        return true;
    // A kept statement fails where its table was made anew meanwhile
    // (PostgreSQL: "cached plan must not change result type"). Outside a
    // transaction a failed statement changed nothing, and it is prepared
    // again and run once more; inside one, the unit fails and the next
    // prepares it anew.
    if (!wasKept || m_inTransaction || m_lastCallCut || !isOpen())
        return false;
    error.clear();
    if (result)
        *result = StatementResult{};
    return runOnce(statement, bindings, error, result, which, wasKept);
}

bool OdbcSession::runOnce(const QString &statement, const QVariantList &bindings, QString &error,
                          StatementResult *result, OdbcStatement::Rows which, bool &reused)
{
    OdbcStatement *query = prepared(statement, error, reused);
    if (!query)
        return false;
    bool cut = false;
    bool ok = false;
    {
        // Reading the rows talks to the server too (a cursor's next block).
        CallWatchdog::Call call(m_watchdog, m_socket, m_deadline);
        ok = query->execute(bindings, error);
        if (ok && result)
            ok = query->read(which, *result, error);
        cut = call.finish();
    }
    if (ok && cut) {
        ok = false;
        error = QStringLiteral("reading the result failed");
    }
    if (!ok) {
        if (!cut)
            error = oneLine(error);
        // Its cursor may still be open on the server; it is made anew.
        discard(query);
        afterFailure(cut, error);
        return false;
    }
    // The result's rows are all read: the statement's cursor ends here, not
    // at its next execution.
    query->finish();
    return true;
}

bool OdbcSession::execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                          QString &error, OdbcStatement::Rows which)
{
    const bool noRows = givesNoRows(statement);
    if (noRows) {
        const auto known = m_noRowColumns.constFind(statement);
        if (known != m_noRowColumns.cend()) {
            result.columns = known.value();
            return true;
        }
    }
    const bool ok = run(statement, bindings, error, &result, which);
    if (ok && noRows && result.rows.empty())
        m_noRowColumns.insert(statement, result.columns);
    return ok;
}

bool OdbcSession::executeRows(const QString &statement, const std::vector<QVariantList> &rows, QString &error)
{
    m_lastCallCut = false;
    if (rows.size() > 1) {
        bool reused = false;
        OdbcStatement *query = prepared(statement, error, reused, true);
        if (!query)
            return false;
        bool ok = false;
        bool cut = false;
        {
            CallWatchdog::Call call(m_watchdog, m_socket, m_deadline);
            ok = query->executeRows(rows, error);
            cut = call.finish();
        }
        if (ok && !cut) {
            query->finish();
            return true;
        }
        if (cut || !error.isEmpty()) {
            if (!cut)
                error = oneLine(error);
            discard(query);
            afterFailure(cut, error);
            return false;
        }
        // Values that do not bind as arrays: row by row.
    }
    for (const QVariantList &values : rows)
        if (!run(statement, values, error, nullptr, OdbcStatement::Rows::First))
            return false;
    return true;
}

bool OdbcSession::transaction(DatabaseBackend::Step step, QString &error)
{
    m_lastCallCut = false;
    bool ok = false;
    bool cut = false;
    {
        CallWatchdog::Call call(m_watchdog, m_socket, m_deadline);
        switch (step) {
        case DatabaseBackend::Step::Begin: ok = m_db.transaction(); break;
        case DatabaseBackend::Step::Commit: ok = m_db.commit(); break;
        case DatabaseBackend::Step::Rollback: ok = m_db.rollback(); break;
        }
        cut = call.finish();
    }
    m_inTransaction = step == DatabaseBackend::Step::Begin ? ok : m_inTransaction && !ok;
    if (!m_inTransaction)
        m_discarded.clear();
    if (!ok) {
        if (!cut)
            error = oneLine(m_db.lastError().text());
        afterFailure(cut, error);
    }
    return ok;
}

bool OdbcSession::setOption(const QString &statement, QString &error)
{
    m_lastCallCut = false;
    bool ok = false;
    bool cut = false;
    {
        CallWatchdog::Call call(m_watchdog, m_socket, m_deadline);
        ok = OdbcStatement::executeDirect(m_connection, statement, error);
        cut = call.finish();
    }
    if (!ok) {
        if (!cut)
            error = oneLine(error);
        afterFailure(cut, error);
    }
    return ok;
}

void OdbcSession::discard(OdbcStatement *query)
{
    const auto it =
        std::find_if(m_kept.begin(), m_kept.end(), [&](const Kept &kept) { return kept.query.get() == query; });
    if (it == m_kept.end())
        return;
    // psqlODBC names a statement's plan on the server after its handle's
    // address and drops the plan when the handle is freed, which fails
    // while the transaction is aborted: the plan stays, and the next
    // statement allocated at that address fails ("prepared statement ...
    // already exists"). Inside a transaction the handle is freed after it.
    if (m_inTransaction)
        m_discarded.push_back(std::move(it->query));
    m_kept.erase(it);
}

void OdbcSession::afterFailure(bool cut, QString &error)
{
    if (cut) {
        m_lastCallCut = true;
        error = QStringLiteral("the server gave no answer in time; the connection to it is dropped");
        close();
        return;
    }
    if (isDead())
        close();
}

bool OdbcSession::isDead()
{
    // Qt keeps a connection "open" after the server has gone or ended the
    // session; every later statement would fail on it.
    if (!isOpen())
        return false;
    SQLHANDLE connection = m_connection;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!connection || !SQL_SUCCEEDED(SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
        return false;
    return dead == SQL_CD_TRUE;
}

} // namespace velora
