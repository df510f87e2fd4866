#pragma once

#include "database/LiteralParameters.h"
#include "database/SqliteStatement.h"
#include "shell/FileIdentity.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <QHash>
#include <QSqlQuery>

#include <functional>
#include <list>
#include <memory>
#include <vector>

namespace velora {

class Settings;
struct ResultLayout;

// A statement prepared on the connection, kept for its next execution with
// the columns of its result once a reader has worked them out, and the names
// SQLite gave them then (to see that a re-prepared statement still has them).
struct PreparedStatement {
    std::unique_ptr<SqliteStatement> statement;
    std::shared_ptr<const ResultLayout> layout;
    std::vector<QByteArray> layoutNames;
    // SQLite's count of its own re-preparations when the layout was checked:
    // while it stands, the columns are those the layout was made from.
    int layoutReprepares = -1;
};

enum class Backend {
    EmbeddedSqlite,
    SqliteFile,
    SqlServerOdbc
};

// Which database the four connection settings point at, worked out right before
// every connect: an empty server means the embedded file VeloraRBS.db in the
// program folder, "sqlite:PATH" a SQLite file at PATH (relative to the program
// folder), anything else SQL Server through ODBC with the FreeTDS driver.
struct ConnectionTarget {
    Backend backend = Backend::EmbeddedSqlite;
    QString sqlitePath;        // SQLite backends
    QString odbcConnectString; // SQL Server; holds the password, never logged
    QString displayText;       // what messages may show: never the password
    // SQL Server only: where the server listens, for the check that it answers
    // before the driver logs in. The host is without instance name; the port is
    // 1433 unless "host,port" names one, 0 when "host\instance" leaves it to the
    // SQL Browser service, and -1 when the text after the comma is no port.
    QString serverHost;
    int serverPort = 0;
};

ConnectionTarget connectionTargetFor(const Settings &settings, const QString &programFolder);

// Bounds on waiting for the database, so that nothing hangs the one event thread.
struct DatabaseTimeouts {
    int sqliteBusyMs = 5000;   // another program's short write does not fail a packet
    int odbcLoginSeconds = 10; // SQL_ATTR_LOGIN_TIMEOUT: connect and login
    int odbcQuerySeconds = 30; // FreeTDS "Timeout" and SQL_ATTR_CONNECTION_TIMEOUT
};

// The one connection ADO that all datasets and the command share.
class Database : public QObject {
    Q_OBJECT
public:
    Database(Settings &settings, QString programFolder, QObject *parent = nullptr);
    ~Database() override;

    bool isOpen() const;
    // Connects with the target the settings give now; a SQLite file is created
    // with the five tables on first use. Throws Failure with the database
    // layer's message (without the password) when it cannot.
    void open();
    void close();
    // Closes the connection when its SQLite file is no longer the file at its
    // path (deleted, or another file moved over it), so that the next user
    // opens the file that is there now, as it is: the journal of the file it
    // replaced is not played into it. Also closes a connection that can no
    // longer write because the file or its journal was read-only, so that a
    // file made writable again is written again. Outside a transaction only.
    void closeIfFileReplaced();

    Backend backend() const { return m_backend; }
    QSqlDatabase connection() const;

    // The dialect layer: statements keep the texts the design gives them; this
    // turns what SQLite does not understand ("select top 1 ...") into its form.
    QString translate(const QString &statement) const;
    // The statement as it is prepared, with the values for its placeholders:
    // translated, and on SQLite with its literal values taken out as bound
    // parameters (parameteriseLiterals), so that a statement whose text
    // differs per packet only in a number or a marker is prepared once and
    // kept. SQL Server parameterises on its own and gets the text as it is.
    StatementWithValues dialectForm(const QString &statement, const QVariantList &bindings) const;

    // One unit of work per received packet: the rows it writes are committed
    // together or not at all. beginUnit() only arms the unit; the transaction
    // itself starts at the first write of a dataset that joins units, so that
    // nothing holds the write lock while a travel time is still being asked.
    void beginUnit();
    void joinUnit();           // called by writers that belong to the unit
    void endUnit(bool commit); // commit or roll back; no-op without a transaction
    bool inTransaction() const { return m_inTransaction; }

    // The statement (already translated) prepared on the open connection:
    // every packet runs the same few statements, and preparing one with the
    // hundred columns of planning costs more than running it. Kept for the
    // embedded and SQLite backends only, the most recently used first, until
    // the connection closes. nullptr when it is not kept or does not prepare
    // (the caller prepares it through QSqlQuery then, and reports the error).
    // The caller binds every value anew and finishes the statement when it has
    // read it.
    PreparedStatement *preparedStatement(const QString &statement);
    // After a failed execution: the next one prepares the statement afresh.
    void discardPreparedStatement(const QString &statement);

    // Button "TEST": open, report success through the callback, close. Throws
    // the database layer's message when opening fails.
    void testConnection(const std::function<void()> &reportSuccess);

    // Takes effect at the next connect (tests shorten them).
    void setTimeouts(const DatabaseTimeouts &timeouts) { m_timeouts = timeouts; }
    const DatabaseTimeouts &timeouts() const { return m_timeouts; }

Q_SIGNALS:
    void openedChanged(bool open);
    // A line for the activity log about what was done to the files at the
    // database's path without anyone asking (a replaced file's journal set aside).
    void notice(const QString &text);

private:
    enum class TransactionStep {
        Begin,
        Commit,
        Rollback
    };
    // BEGIN, COMMIT or ROLLBACK; false with the error text Qt's driver would give.
    bool transactionStep(TransactionStep step, QString &error);
    void releaseStatements();
    // The SQLite file at m_sqlitePath is no longer the one the connection has open.
    bool fileReplaced() const;
    // Moves the journal the replaced file left at the path out of the way of
    // the file there now; false when it is still there.
    bool setStaleJournalAside();

    Settings &m_settings;
    QString m_programFolder;
    QString m_connectionName;
    QSqlDatabase m_db;
    DatabaseTimeouts m_timeouts;
    Backend m_backend = Backend::EmbeddedSqlite;
    bool m_unitArmed = false;
    bool m_inTransaction = false;
    std::list<std::pair<QString, PreparedStatement>> m_prepared; // most recent first
    QHash<QString, std::list<std::pair<QString, PreparedStatement>>::iterator> m_preparedIndex;
    // BEGIN, COMMIT and ROLLBACK kept on SQLite: Qt's driver prepares each anew.
    std::unique_ptr<SqliteStatement> m_transactionStatements[3];
    QString m_sqlitePath;          // the SQLite file the connection was opened on
    FileIdentity m_sqliteIdentity; // and which file that was
    // The journal files ("-wal", "-shm") the connection uses: when its file is
    // replaced they stay at the path, and they belong to the file that went.
    FileIdentity m_walIdentity;
    FileIdentity m_shmIdentity;
    // Those of a replaced file that could not be moved aside yet: the file at
    // the path is not opened while they are there.
    QString m_stalePath;
    FileIdentity m_staleWal;
    FileIdentity m_staleShm;
    bool m_staleWalWritten = false; // every page of that journal reached its file
    // A write was refused as read-only: the next user opens the connection anew.
    bool m_reopenWanted = false;
};

} // namespace velora
