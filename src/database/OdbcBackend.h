#pragma once

#include "database/DatabaseBackend.h"

#include <QSqlDatabase>

namespace velora {

// SQL Server through Qt's ODBC driver (FreeTDS). The server parameterises and
// keeps statements on its own; each runs through a QSqlQuery of its own.
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
    // The key comes back from the insert's own batch: the driver's last insert
    // id asks the server in a statement of its own for @@IDENTITY, which names
    // a row a trigger inserted, or none. SCOPE_IDENTITY() in the same batch is
    // the row this insert made.
    bool insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                QString &error) override;
    bool transaction(Step step, QString &error) override;
    // SQL Server names its savepoints with SAVE TRANSACTION and has no
    // release: a savepoint simply ends with the transaction.
    QString savepointStatement(SavepointStep step) const override;

private:
    QString m_connectionName;
    QSqlDatabase m_db;
};

} // namespace velora
