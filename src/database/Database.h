#pragma once

#include "database/DatabaseBackend.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace velora {

class OdbcBackend;
class Settings;
class SqliteBackend;

ConnectionTarget connectionTargetFor(const Settings &settings, const QString &programFolder);

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
    // The connection of the backend the settings named at the last open:
    // statements, transactions and the dialect.
    DatabaseBackend &connection() { return *m_active; }

    // The dialect layer: statements keep the texts the design gives them; this
    // turns what the database does not understand ("select top 1 ...") into
    // its form.
    QString translate(const QString &statement) const { return m_active->translate(statement); }

    // One unit of work per received packet: the rows it writes are committed
    // together or not at all. beginUnit() only arms the unit; the transaction
    // itself starts at the first write of a dataset that joins units, so that
    // nothing holds the write lock while a travel time is still being asked.
    void beginUnit();
    void joinUnit();           // called by writers that belong to the unit
    void endUnit(bool commit); // commit or roll back; no-op without a transaction
    bool inTransaction() const { return m_inTransaction; }

    // Units of a group share one transaction, committed once for all of
    // them by commitGroup(): one disk flush instead of one per packet. Each
    // grouped unit runs in a savepoint; endUnit() releases it (kept) or
    // rolls back to it (undone alone) and leaves the transaction open.
    void beginGroupedUnit();
    // Whether the open connection's database can hold a group's units in
    // savepoints; where it cannot, each unit is begun with beginUnit().
    bool groupsUnits() const { return isOpen() && m_active->groupsUnits(); }
    // The armed unit has written (it is in its savepoint): the group cannot
    // be committed without it.
    bool unitInProgress() const { return m_unitJoined; }
    // A grouped unit's rollback failed (the connection lost, or the database
    // undid the whole transaction itself): what the group holds is in doubt
    // and it must end now, with commitGroup() failing.
    bool groupBroken() const { return m_groupBroken; }
    // Commits what the group's units kept. Throws Failure (everything rolled
    // back) when the commit or the group failed; nothing to do without a
    // transaction.
    void commitGroup();

    // On a server a savepoint per packet is a round trip per packet. There,
    // the units of a group run without savepoints as long as every unit the
    // transaction kept can be handled again from its packet: one that fails
    // then undoes the whole transaction (endUnit(false) returns normally),
    // and takeUndoneTransaction() names it, so that the caller handles the
    // packets whose units it held again, in their order, before it answers
    // the one that failed. Until a group's transaction commits after that,
    // units take savepoints again, so that a packet that keeps failing does
    // not have the others handled over and over.
    //
    // The armed unit cannot be handled again (its reply went out before its
    // work, or it waited for an answer from outside): the units after it in
    // its transaction each take a savepoint.
    void unitCannotBeRedone() { m_unitRedoable = false; }
    // A row that nothing in the service reads back (a transaction row): in a
    // server group whose units can all be handled again, it is kept and
    // written with the rows of the group's other units in one round trip,
    // before the commit. False when it is not kept: the caller writes it now.
    // `statement` is translated and `values` bound already.
    bool keepRowForCommit(const QString &statement, const QVariantList &values);
    bool keepsRowsForCommit() const { return !m_rowsForCommit.empty(); }
    // Writes the kept rows now, while a failure can still be undone: one that
    // fails undoes the transaction as a failing unit does (the packets are
    // handled again, each writing its rows at once, so that the one at fault
    // is refused alone; takeUndoneTransaction() names it). Where that cannot
    // be, the group is broken (groupBroken()). Never throws.
    void writeRowsKeptForCommit();

    // The transaction the units since the last begin write into; a kept
    // unit is undone with it when a later one fails.
    quint64 transactionSerial() const { return m_transactionSerial; }
    // The transaction a failed unit undid whole, once; 0 when none.
    quint64 takeUndoneTransaction() { return std::exchange(m_undoneTransaction, 0); }

    // The service lock (see DatabaseBackend::tryTakeServiceLock): open()
    // asks for it with every new connection, takeServiceLock() again on an
    // open one that does not hold it. Lost with the connection. Units of work
    // are only begun while it is held, so a stand-by machine stores nothing.
    bool holdsServiceLock() const { return isOpen() && m_serviceLock; }
    // True when held now; false when another session holds it. Throws Failure
    // when asking failed (a connection found dead is closed then).
    bool takeServiceLock();
    // Server databases: a short statement that finds out whether the
    // connection still works; one that does not is closed (and the service
    // lock is gone with it) and Failure thrown. Outside a unit only; nothing
    // is done for a SQLite file.
    void checkConnection();

    // Button "TEST": open, report success through the callback, close. Throws
    // the database layer's message when opening fails.
    void testConnection(const std::function<void()> &reportSuccess);

    // When the packet being stored is due its reply: the time its booking
    // system has waited counts from when it was read, not from its turn.
    // A unit with less time left than the session's own lock bound waits for
    // locks only that long (a little at least, so that a packet that waited
    // behind others is still stored where nothing is locked).
    // Clock::time_point::max(): no packet, the session's bound applies.
    using Clock = DatabaseBackend::Clock;
    void setReplyDue(Clock::time_point due) { m_replyDue = due; }
    Clock::time_point replyDue() const { return m_replyDue; }

    // Takes effect at the next connect (tests shorten them).
    void setTimeouts(const DatabaseTimeouts &timeouts) { m_timeouts = timeouts; }
    const DatabaseTimeouts &timeouts() const { return m_timeouts; }

Q_SIGNALS:
    void openedChanged(bool open);
    // A line for the activity log about what was done to the files at the
    // database's path without anyone asking (a replaced file's journal set aside).
    void notice(const QString &text);

private:
    Settings &m_settings;
    QString m_programFolder;
    DatabaseTimeouts m_timeouts;
    Backend m_backend = Backend::EmbeddedSqlite;
    std::unique_ptr<SqliteBackend> m_sqlite;
    std::unique_ptr<OdbcBackend> m_odbc;
    DatabaseBackend *m_active; // one of the two
    QString m_sqlitePath;      // the SQLite file the connection was opened on
    bool m_unitArmed = false;
    bool m_inTransaction = false;
    bool m_unitGrouped = false;          // the armed unit runs in a savepoint of the group's transaction
    bool m_unitJoined = false;           // the armed unit has begun writing
    bool m_unitBeganTransaction = false; // a grouped unit that is alone in its transaction (no savepoint)
    bool m_groupBroken = false;
    bool m_groupTransaction = false; // the open transaction is a group's
    bool m_unitRedoable = true;      // the armed unit can be handled again from its packet
    bool m_unitHasSavepoint = false; // the armed unit is undone alone, back to its savepoint
    // Every unit the open transaction kept can be handled again: the next
    // one runs without a savepoint.
    bool m_transactionRedoable = false;
    bool m_savepointsUntilCommit = false; // a transaction was undone whole since the last group commit
    quint64 m_transactionSerial = 0;
    quint64 m_undoneTransaction = 0;
    QString m_groupFailure;
    struct KeptRow {
        QString statement;
        QVariantList values;
    };
    std::vector<KeptRow> m_rowsForCommit; // in the order they were written
    // Writes `rows`, those of one statement together. False with the
    // database's message.
    bool writeRows(std::vector<KeptRow> rows, QString &error);
    void runSavepoint(DatabaseBackend::SavepointStep step);
    // The connection went with a group's transaction open: what its units
    // kept is gone, and commitGroup() must refuse the whole group.
    void loseGroup();
    // A unit without a savepoint failed: the transaction is rolled back and
    // named by takeUndoneTransaction(). Throws Failure (the group refused
    // whole) when the rollback failed.
    void undoTransactionForRedo();
    void commitTransaction();
    bool m_serviceLock = false;
    Clock::time_point m_replyDue = Clock::time_point::max();
    // Reconnecting to a server that is down: the first attempt at once,
    // then no sooner than 50 ms after the last failed one, the wait doubling
    // up to 2 s; meanwhile open() fails at once with the last failure.
    QString m_failedTarget;
    QString m_lastOpenFailure;
    std::chrono::milliseconds m_openBackoff{0};
    Clock::time_point m_nextOpenAttempt;
    void limitUnitWaits();
};

} // namespace velora
