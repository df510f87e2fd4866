#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <chrono>
#include <memory>
#include <vector>

namespace velora {

enum class Backend {
    EmbeddedSqlite,
    SqliteFile,
    SqlServerOdbc,
    OdbcDataSource
};

// Which database the four connection settings point at, worked out right before
// every connect: an empty server means the embedded file VeloraRBS.db in the
// program folder, "sqlite:PATH" a SQLite file at PATH (relative to the program
// folder), "dsn:NAME" the ODBC data source NAME the operator configured in
// odbc.ini (SQL Server or PostgreSQL), anything else SQL Server through ODBC
// with the FreeTDS driver.
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
    // Why the setting names no usable database (a data source name that would
    // end the connection text early); empty when it does.
    QString refusal;
};

// Everything the ODBC connection is sent to; the dialect follows the server
// the connection reports.
bool isOdbc(Backend backend);

// "select top N rest" as "select rest limit N", for the databases that know
// no "top"; any other statement as it is.
QString topAsLimit(const QString &statement);

// Bounds on waiting for the database, so that nothing hangs the one event thread.
struct DatabaseTimeouts {
    int sqliteBusyMs = 5000;   // another program's short write does not fail a packet
    int odbcLoginSeconds = 10; // SQL_ATTR_LOGIN_TIMEOUT: connect and login
    int odbcQuerySeconds = 30; // FreeTDS "Timeout" and SQL_ATTR_CONNECTION_TIMEOUT
    // PostgreSQL's statement_timeout and lock_timeout for the session: a row
    // another session keeps locked fails the packet ("NC") instead of holding
    // the one event thread and every booking system behind it.
    int serverStatementSeconds = 5;
    // The statement time-out is a second longer than the lock time-out, so
    // that a wait for a lock fails as such and is told from a slow statement.
    // The longest one call into a server's driver may take: a call still
    // unanswered then is cut off on this side (CallWatchdog), which neither
    // the server's time-outs nor keepalive do for a server process that has
    // stopped. Above the statement time-out, so that the server's own answer
    // comes first where it can give one.
    int serverCallSeconds = 7;
    // The TCP keepalive of a server connection, on both ends: a peer that is
    // gone without a word (power, network) is noticed within about
    // idle + interval * count seconds, and the server then ends its session
    // and gives up the service lock it held. tcp_user_timeout bounds the same
    // for data that is never acknowledged.
    int keepaliveIdleSeconds = 3;
    int keepaliveIntervalSeconds = 2;
    int keepaliveCount = 2;
};

// The names of a result's columns as the database gives them. A backend that
// keeps its statements hands out the same object while a statement's columns
// stay the same, so a reader may keep what it worked out from them.
using ColumnNames = std::shared_ptr<const QStringList>;

// What one execution read: every row of its (first) result set.
struct StatementResult {
    ColumnNames columns;
    std::vector<QVariantList> rows;
};

// One database connection of one kind, with its dialect. Statements come in
// the texts the components give them, with a bound value for every "?".
// Failures come back as the database layer's own message.
class DatabaseBackend {
public:
    enum class Step {
        Begin,
        Commit,
        Rollback
    };

    using Clock = std::chrono::steady_clock;

    virtual ~DatabaseBackend() = default;

    // Throws Failure with the driver's message (the caller adds which
    // database, and takes any password out).
    virtual void open(const ConnectionTarget &target, const DatabaseTimeouts &timeouts) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Runs `statement` (translate() applied already) with `bindings` and reads
    // all rows of its result into `result`. False with the message in `error`.
    virtual bool execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                         QString &error) = 0;
    // Runs an INSERT; with `wantKey`, `key` is the identity it gave its row
    // (invalid when none). False with the message in `error`.
    virtual bool insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                        QString &error) = 0;
    virtual bool transaction(Step step, QString &error) = 0;
    // Runs one statement that gives no rows once for each row of values. A
    // server sends them in one round trip where its driver can; by default
    // they run one after another. False with the message in `error`.
    virtual bool executeRows(const QString &statement, const std::vector<QVariantList> &rows, QString &error)
    {
        StatementResult ignored;
        for (const QVariantList &values : rows)
            if (!execute(statement, values, ignored, error))
                return false;
        return true;
    }

    // Bounds what the statements of the open transaction wait for locks to
    // `remaining` where the database can (the packet's time left is shorter
    // than the session's own bound). False with the message in `error`.
    virtual bool limitWaits(std::chrono::milliseconds, QString &) { return true; }
    // A statement ran out of its lock bound, and no transaction has been
    // committed since: another application keeps what the packets need.
    virtual bool locksContended() const { return false; }

    // Several packets' units share one transaction, each inside a savepoint
    // of its own, so that one that fails is undone alone. The statement for
    // each step in the database's dialect (the standard form by default);
    // an empty text where the database needs none.
    enum class SavepointStep {
        Set,
        Release,
        RollbackTo
    };
    // False where units cannot share a transaction safely: each then
    // commits on its own.
    virtual bool groupsUnits() const { return true; }
    // A savepoint is a round trip to a server, paid by every packet of a
    // group: the group's units then run without one where they can be
    // handled again instead (Database::takeUndoneTransaction). A local file
    // sets its savepoints at no such cost.
    virtual bool savepointsCostRoundTrips() const { return false; }
    virtual QString savepointStatement(SavepointStep step) const
    {
        switch (step) {
        case SavepointStep::Set: return QStringLiteral("SAVEPOINT velora_unit");
        case SavepointStep::Release: return QStringLiteral("RELEASE SAVEPOINT velora_unit");
        case SavepointStep::RollbackTo: return QStringLiteral("ROLLBACK TO SAVEPOINT velora_unit");
        }
        return {};
    }

    // The dialect: statements keep the texts the design gives them; this
    // turns what the database does not understand into its own form.
    virtual QString translate(const QString &statement) const { return statement; }
    // A value in the form it is bound and stored in (the embedded database
    // keeps date-times as text).
    virtual QVariant boundValue(const QVariant &value) const { return value; }

    // Takes the database-wide lock that lets one instance serve where two
    // link machines use one server database: held by this connection's session
    // until it ends, so the server gives it up when the process dies or its
    // connection is gone. True when this connection holds it now; false with
    // `error` empty when another session holds it, with the message when the
    // attempt failed. A SQLite file is covered by the program folder's lock.
    virtual bool tryTakeServiceLock(QString &error) { return true; }
    // Whether the lock is still held (its session still answers). False with
    // the reason in `error`: the lock is gone then.
    virtual bool checkServiceLock(QString &error) { return true; }

    // SQLite files only. The file at the path is not the one the connection
    // has open any more (deleted, or another moved over it).
    virtual bool fileReplaced() const { return false; }
    // The connection should be opened anew before its next use: its file was
    // replaced, or it can only read while the file may be written now.
    virtual bool wantsReopen() const { return false; }
};

} // namespace velora
