#pragma once

#include "database/DatabaseBackend.h"
#include "database/FileIdentity.h"

#include <QHash>

#include <functional>
#include <list>
#include <memory>

struct sqlite3;

namespace velora {

class SqliteStatement;

// The embedded database and SQLite files: a connection of the service's own,
// in WAL mode with synchronous=FULL, created with the dispatch tables on first
// use. Every packet runs the same few statements, and preparing one with the
// hundred columns of planning costs more than running it: statements are kept
// per text until the connection closes.
class SqliteBackend final : public DatabaseBackend {
public:
    // `notice`: a line for the activity log about what was done to the files
    // at the database's path without anyone asking.
    explicit SqliteBackend(std::function<void(const QString &)> notice);
    ~SqliteBackend() override;

    void open(const ConnectionTarget &target, const DatabaseTimeouts &timeouts) override;
    // Closing a connection whose file was replaced keeps the replaced file's
    // journal out of the way of the file now at the path.
    void close() override;
    bool isOpen() const override { return m_connection != nullptr; }

    bool execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                 QString &error) override;
    bool insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                QString &error) override;
    bool transaction(Step step, QString &error) override;

    // "select top N ..." becomes "select ... limit N".
    QString translate(const QString &statement) const override;
    QVariant boundValue(const QVariant &value) const override;

    bool fileReplaced() const override;
    bool wantsReopen() const override;

private:
    struct Kept;
    // The statement prepared on the connection, the most recently used first;
    // nullptr with `error` when it does not prepare.
    Kept *kept(const QString &statement, QString &error);
    // The kept statement run with `bindings`, its result ready to be read;
    // nullptr with `error` when it does not prepare or run.
    Kept *executed(const QString &statement, const QVariantList &bindings, QString &error);
    // After a failed execution: the next one prepares the statement afresh.
    void discard(const QString &statement, const SqliteStatement &failed);
    ColumnNames columnsOf(Kept &kept);
    void createMissingTables();
    void releaseStatements();
    // Moves the journal the replaced file left at the path out of the way of
    // the file there now; false when it is still there.
    bool setStaleJournalAside();

    std::function<void(const QString &)> m_notice;
    sqlite3 *m_connection = nullptr;
    std::list<std::pair<QString, std::unique_ptr<Kept>>> m_kept; // most recent first
    QHash<QString, std::list<std::pair<QString, std::unique_ptr<Kept>>>::iterator> m_keptIndex;
    // BEGIN, COMMIT and ROLLBACK.
    std::unique_ptr<SqliteStatement> m_transactionStatements[3];

    QString m_path;          // the file the connection was opened on
    FileIdentity m_identity; // and which file that was
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
    // A write was refused as read-only: the connection is opened anew.
    bool m_reopenWanted = false;
};

} // namespace velora
