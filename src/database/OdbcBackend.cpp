#include "database/OdbcBackend.h"

#include "database/ServerProbe.h"
#include "shell/Failure.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace velora {

namespace {

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
        error = query.lastError().text();
    return ok;
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
    if (target.serverPort < 0)
        throw Failure(QStringLiteral("the text after the comma in the server name is no port number"));
    if (target.serverPort > 0)
        probeSqlServer(target.serverHost, quint16(target.serverPort), timeouts.odbcLoginSeconds);
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
    // SQL_ATTR_LOGIN_TIMEOUT bounds reaching the server; FreeTDS's own
    // "Timeout" and SQL_ATTR_CONNECTION_TIMEOUT bound every statement.
    m_db.setDatabaseName(target.odbcConnectString + QStringLiteral("Timeout=%1;").arg(timeouts.odbcQuerySeconds));
    m_db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
                               .arg(timeouts.odbcLoginSeconds)
                               .arg(timeouts.odbcQuerySeconds));
    QString error;
    if (!m_db.isValid())
        error = QStringLiteral("driver not available");
    else if (!m_db.open())
        error = m_db.lastError().text();
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
    if (!run(query, wantKey ? statement + QStringLiteral("; SELECT CAST(SCOPE_IDENTITY() AS INT)") : statement,
             bindings, error))
        return false;
    key = QVariant();
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

bool OdbcBackend::transaction(Step step, QString &error)
{
    bool ok = false;
    switch (step) {
    case Step::Begin: ok = m_db.transaction(); break;
    case Step::Commit: ok = m_db.commit(); break;
    case Step::Rollback: ok = m_db.rollback(); break;
    }
    if (!ok)
        error = m_db.lastError().text();
    return ok;
}

QString OdbcBackend::savepointStatement(SavepointStep step) const
{
    switch (step) {
    case SavepointStep::Set: return QStringLiteral("SAVE TRANSACTION velora_unit");
    case SavepointStep::Release: return {};
    case SavepointStep::RollbackTo: return QStringLiteral("ROLLBACK TRANSACTION velora_unit");
    }
    return {};
}

} // namespace velora
