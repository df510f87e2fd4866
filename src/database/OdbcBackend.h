#pragma once

#include "database/DatabaseBackend.h"
#include "database/Schema.h"

#include <QSqlDatabase>

namespace velora {

// A database server through Qt's ODBC driver: SQL Server (FreeTDS, or a data
// source) or PostgreSQL (a data source). The server parameterises and keeps
// statements on its own; each runs through a QSqlQuery of its own. The
// dialect follows the server the connection reports itself as.
class OdbcBackend final : public DatabaseBackend {
public:
    explicit OdbcBackend(QString connectionName);
    ~OdbcBackend() override;

    // Makes sure the server answers before the driver logs in, whose own
    // login time-out does not cover a server that accepts and stays silent.
    void open(const ConnectionTarget &target, const DatabaseTimeouts &timeouts) override;
    void close() override;
    bool isOpen() const override;

    bool execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                 QString &error) override;
    // The key comes back from the insert itself. SQL Server: the driver's last
    // insert id asks the server in a statement of its own for @@IDENTITY, which
    // names a row a trigger inserted, or none; SCOPE_IDENTITY() in the same
    // batch is the row this insert made. PostgreSQL: "RETURNING" the table's
    // identity column.
    bool insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                QString &error) override;
    bool transaction(Step step, QString &error) override;
    // SQL Server names its savepoints with SAVE TRANSACTION and has no
    // release: a savepoint simply ends with the transaction. PostgreSQL
    // takes the standard form.
    QString savepointStatement(SavepointStep step) const override;
    // Not on PostgreSQL: its ODBC driver wraps every statement in a savepoint
    // of its own to undo a failed statement alone, and a unit's savepoints
    // cut through those ("internal SAVEPOINT failed"); a transaction aborted
    // that way is ended by its commit without storing anything.
    bool groupsUnits() const override { return m_dialect != SqlDialect::PostgreSql; }
    QString translate(const QString &statement) const override;
    // sp_getapplock on SQL Server, pg_try_advisory_lock on PostgreSQL.
    bool tryTakeServiceLock(QString &error) override;

    // The server's dialect, known once the connection is open.
    SqlDialect dialect() const { return m_dialect; }

private:
    void setUpPostgresSession(const DatabaseTimeouts &timeouts);
    // After a failed statement: a connection the server or the network has
    // ended is closed, so that isOpen() says so and the next user reconnects.
    void closeIfDead();

    QString m_connectionName;
    QSqlDatabase m_db;
    SqlDialect m_dialect = SqlDialect::SqlServer;
};

} // namespace velora
