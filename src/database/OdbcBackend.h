#pragma once

#include "database/CallWatchdog.h"
#include "database/DatabaseBackend.h"
#include "database/OdbcSession.h"
#include "database/Schema.h"

#include <QHash>

namespace velora {

// A database server through Qt's ODBC driver: SQL Server (FreeTDS, or a data
// source) or PostgreSQL (a data source). The dialect follows the server the
// connection reports itself as. Two sessions: one stores, the other only
// holds the service lock, so that a storing session the server leaves
// hanging can be dropped and the lock given up with it although the server
// cannot end that session itself.
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
    bool executeRows(const QString &statement, const std::vector<QVariantList> &rows, QString &error) override;
    bool insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                QString &error) override;
    bool transaction(Step step, QString &error) override;
    // SQL Server names its savepoints with SAVE TRANSACTION and has no
    // release: a savepoint simply ends with the transaction. PostgreSQL
    // takes the standard form.
    QString savepointStatement(SavepointStep step) const override;
    bool savepointsCostRoundTrips() const override { return true; }
    QString translate(const QString &statement) const override;

    bool limitWaits(std::chrono::milliseconds remaining, QString &error) override;
    bool locksContended() const override { return m_locksContended; }

    // sp_getapplock on SQL Server, pg_try_advisory_lock on PostgreSQL, in
    // the lock's own session. Not asked for again for a while after this
    // machine gave the lock up because the server left it hanging.
    bool tryTakeServiceLock(QString &error) override;
    bool checkServiceLock(QString &error) override;

    // The server's dialect, known once the connection is open.
    SqlDialect dialect() const { return m_dialect; }

private:
    // Both sessions take the same connect text; the driver's own error
    // undoing and time-outs are set in it.
    void openSession(OdbcSession &session, const QString &applicationName);
    void setUpSession(OdbcSession &session, const QString &applicationName);
    // The deadline of the next call: the bound of one call from now.
    void armCall(OdbcSession &session);
    // A storing session cut at its deadline: the lock session goes as well,
    // and the lock is not asked for again until the stand-by had its chance.
    void afterCall(OdbcSession &session, bool ok, const QString &error);
    void dropLock();

    QString m_connectionName;
    CallWatchdog m_watchdog;
    OdbcSession m_work;
    OdbcSession m_lock;
    QString m_connectText;
    QString m_connectOptions;
    DatabaseTimeouts m_timeouts;
    SqlDialect m_dialect = SqlDialect::SqlServer;
    Clock::time_point m_lockYieldedUntil;
    QHash<QString, QString> m_identityColumns; // by insert statement: the column RETURNING names
    bool m_locksContended = false;
};

} // namespace velora
