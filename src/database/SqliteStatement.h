#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace velora {

// A statement prepared on the SQLite connection and kept for many executions:
// the values bind by position and the columns are read by index. Values bind
// and read as Qt's SQLite driver binds and reads them, and failures read as
// its messages do ("<SQLite's message> Unable to fetch row"): the texts the
// activity log showed stay the same.
class SqliteStatement {
public:
    // nullptr with `error` set when the text does not prepare as one statement.
    static std::unique_ptr<SqliteStatement> prepare(sqlite3 *connection, const QString &text, QString &error);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    // Binds every placeholder and steps to the first row. False with
    // errorText() when a value does not bind or the step fails (after the
    // connection's busy time-out for a locked file).
    bool execute(const QVariantList &values);
    // The same for a statement without placeholders whose failure Qt's driver
    // words with its own text after the database's message ("database is
    // locked Unable to commit transaction").
    bool execute(const QString &whatFailed);
    // Moves to the next row: true on a row (the first next() after execute()
    // gives the first row), false at the end or when a later step fails.
    bool next();
    const QString &errorText() const { return m_error; }
    // The last execution failed because the database (or its journal) could
    // not be written: the connection stays so until it is opened anew.
    bool failedReadOnly() const;

    // The columns of the result as SQLite names them now: a statement that
    // SQLite prepared again after a schema change may have others.
    int columnCount() const;
    const char *columnName(int column) const;
    QVariant value(int column) const;
    // How often SQLite prepared the statement again by itself (after a schema
    // change): a result layout made before that may no longer fit.
    int reprepareCount() const;
    // The row id of the last insert on the connection, invalid when none.
    QVariant lastInsertId() const;

    // Ends the execution: locks held by an unfinished read go, and bound
    // texts are not kept alive until the next execution.
    void finish();

private:
    SqliteStatement(sqlite3 *connection, sqlite3_stmt *statement);
    bool bind(int index, const QVariant &value);
    bool step(const QString &whatFailed);
    void failWith(const QString &what);

    sqlite3 *m_connection;
    sqlite3_stmt *m_statement;
    bool m_rowPending = false; // execute() stepped onto a row next() has not given yet
    bool m_active = false;
    int m_failure = 0; // SQLite's result code of the last failed step
    QString m_error;
};

} // namespace velora
