#pragma once

#include "database/CallWatchdog.h"
#include "database/DatabaseBackend.h"
#include "database/OdbcStatement.h"

#include <QHash>
#include <QSqlDatabase>

#include <list>
#include <memory>
#include <vector>

namespace velora {

// One session with a database server over ODBC: Qt's driver connects and
// ends transactions; the statements run on the connection's own handle
// (OdbcStatement). They are prepared once and run again with new values, so
// that a packet costs the server an execution, not a parse and a plan. Every call
// into the driver has a deadline; a call that the server leaves unanswered
// past it has its socket cut (CallWatchdog), and the session counts as lost.
class OdbcSession {
public:
    using Clock = CallWatchdog::Clock;

    OdbcSession(QString connectionName, CallWatchdog &watchdog);
    ~OdbcSession();
    OdbcSession(const OdbcSession &) = delete;
    OdbcSession &operator=(const OdbcSession &) = delete;

    // Throws Failure with the driver's message.
    void open(const QString &connectText, const QString &connectOptions);
    void close();
    bool isOpen() const;
    QSqlDatabase &database() { return m_db; }

    // The deadline of the calls from now on (the packet's, or a statement's
    // own bound outside packets).
    void setDeadline(Clock::time_point deadline) { m_deadline = deadline; }
    // Whether the last failed call was cut at its deadline.
    bool lastCallCut() const { return m_lastCallCut; }

    // Runs a statement and reads the rows of the result set `which` names
    // into `result` (none when `result` is null). False with the driver's
    // message; a session found lost is closed.
    bool execute(const QString &statement, const QVariantList &bindings, StatementResult &result, QString &error,
                 OdbcStatement::Rows which = OdbcStatement::Rows::First);
    bool run(const QString &statement, const QVariantList &bindings, QString &error, StatementResult *result,
             OdbcStatement::Rows which);
    // Runs a statement that gives no rows once per row of values: bound as
    // arrays, in one call (psqlODBC sends the rows in one round trip), where
    // the values allow it, and otherwise row by row. False with the driver's
    // message; a session found lost is closed.
    bool executeRows(const QString &statement, const std::vector<QVariantList> &rows, QString &error);
    bool transaction(DatabaseBackend::Step step, QString &error);
    // A setting of the session, sent as it stands rather than prepared: SQL
    // Server undoes a SET made inside a prepared statement when it ends.
    bool setOption(const QString &statement, QString &error);

private:
    // `reused`: the statement was a kept one (prepared before this call).
    bool runOnce(const QString &statement, const QVariantList &bindings, QString &error, StatementResult *result,
                 OdbcStatement::Rows which, bool &reused);
    // `forRows`: the statement runs with arrays of values (executeRows), and
    // is kept apart from the same text run with single values.
    OdbcStatement *prepared(const QString &statement, QString &error, bool &reused, bool forRows = false);
    // After a failed call: a session the server, the network or the
    // deadline has ended is closed, so that isOpen() says so and the next
    // user connects anew.
    void afterFailure(bool cut, QString &error);
    bool isDead();

    QString m_connectionName;
    CallWatchdog &m_watchdog;
    QSqlDatabase m_db;
    void *m_connection = nullptr; // the driver's connection handle while open
    int m_timestampDigits = 0;
    StreamSocket m_socket; // the session's connection; descriptor -1 when not known
    Clock::time_point m_deadline = Clock::time_point::max();
    bool m_lastCallCut = false;
    bool m_inTransaction = false;
    struct Kept {
        QString statement;
        bool forRows = false;
        std::unique_ptr<OdbcStatement> query;
    };
    std::list<Kept> m_kept; // most recently used first
    // Failed statements, freed once the transaction they failed in has ended.
    std::vector<std::unique_ptr<OdbcStatement>> m_discarded;
    void discard(OdbcStatement *query);
    // Statements that give no rows only tell the columns of a table: read
    // once per session.
    QHash<QString, ColumnNames> m_noRowColumns;
};

} // namespace velora
