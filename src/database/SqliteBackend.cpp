#include "database/SqliteBackend.h"

#include "database/Schema.h"
#include "database/SqliteStatement.h"
#include "shell/DateTimes.h"
#include "shell/Failure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <sqlite3.h>

#include <cstring>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace velora {

namespace {

// Statements whose text is new for every packet would pass through and drop
// out again; the few that repeat stay near the front.
constexpr qsizetype kKeptStatements = 32;

// Runs a statement without values or rows once; its error text, empty when it ran.
QString runOnce(sqlite3 *connection, const QString &text)
{
    QString error;
    const std::unique_ptr<SqliteStatement> statement = SqliteStatement::prepare(connection, text, error);
    if (!statement)
        return error;
    if (!statement->execute(QVariantList()))
        return statement->errorText();
    statement->finish();
    return QString();
}

// The files SQLite keeps beside a database in WAL mode: the journal of
// committed pages not yet written into the file, and its index.
QString walPathOf(const QString &database)
{
    return database + QStringLiteral("-wal");
}

QString shmPathOf(const QString &database)
{
    return database + QStringLiteral("-shm");
}

// Whether this process may write the file now. access() also answers for an
// immutable file and a read-only mount, which permission bits do not show.
bool writableNow(const QString &path)
{
#ifndef Q_OS_WIN
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
#else
    return QFileInfo(path).isWritable();
#endif
}

// SQLite creates the journal files with the permission bits of the database
// file, and a connection that could only read cannot remove them when it
// closes. A file that was read-only when the service opened it thus leaves
// read-only journal files behind, which refuse every write (after a restart
// too) once the file is writable again. Journal files of this user that it
// may not write while it may write the database get the database's bits.
// Another user's are left alone: writes then fail with SQLite's message.
void restoreJournalPermissions(const QString &database)
{
#ifndef Q_OS_WIN
    struct stat file {};
    if (::stat(QFile::encodeName(database).constData(), &file) != 0 || !writableNow(database))
        return;
    for (const QString &journal : {walPathOf(database), shmPathOf(database)}) {
        const QByteArray name = QFile::encodeName(journal);
        struct stat status {};
        if (::stat(name.constData(), &status) == 0 && status.st_uid == ::geteuid() && !writableNow(journal))
            ::chmod(name.constData(), file.st_mode & 0777);
    }
#else
    Q_UNUSED(database);
#endif
}

// A name beside `path` that is not taken: the path with the time and, when
// needed, a count appended.
QString asideName(const QString &path)
{
    const QString stamp = path + u'.' + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString name = stamp;
    for (int count = 2; QFileInfo::exists(name); ++count)
        name = stamp + u'-' + QString::number(count);
    return name;
}

} // namespace

// A kept statement with the names of its result columns once they were read,
// and the names SQLite gave them then (to see that a re-prepared statement
// still has them).
struct SqliteBackend::Kept {
    std::unique_ptr<SqliteStatement> statement;
    ColumnNames columns;
    std::vector<QByteArray> names;
    // SQLite's count of its own re-preparations when the names were read:
    // while it stands, the columns are those.
    int reprepares = -1;
};

SqliteBackend::SqliteBackend(std::function<void(const QString &)> notice) : m_notice(std::move(notice)) {}

SqliteBackend::~SqliteBackend()
{
    close();
}

void SqliteBackend::open(const ConnectionTarget &target, const DatabaseTimeouts &timeouts)
{
    close();
    const QString path = target.sqlitePath;
    // The journal a replaced file left at this path would be played into the
    // file there now; that file is opened only without it.
    if (!m_stalePath.isEmpty() && m_stalePath == path && !setStaleJournalAside())
        throw Failure(QStringLiteral("the journal of the file this one replaced (%1) cannot be moved aside")
                          .arg(walPathOf(path)));
    restoreJournalPermissions(path);

    // Read-write and created when missing; a file that may only be read opens
    // to be read, and its writes fail with SQLite's message.
    sqlite3 *connection = nullptr;
    const int opened = sqlite3_open_v2(
        path.toUtf8().constData(), &connection,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_PRIVATECACHE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (opened != SQLITE_OK) {
        const QString message =
            QString::fromUtf8(sqlite3_errmsg(connection)) + QStringLiteral(" Error opening database");
        sqlite3_close(connection);
        throw Failure(message);
    }
    m_connection = connection;
    // A lock another program holds is waited out for this long, by every step.
    sqlite3_busy_timeout(connection, timeouts.sqliteBusyMs);
    sqlite3_extended_result_codes(connection, 1);
    try {
        // WAL lets readers of other programs go on while the service writes;
        // FULL makes a committed ride survive a power cut, not only a crash.
        // A read-only file keeps its journal mode: writes then fail with the
        // database's own message.
        runOnce(connection, QStringLiteral("PRAGMA journal_mode=WAL"));
        runOnce(connection, QStringLiteral("PRAGMA synchronous=FULL"));
        createMissingTables();
    } catch (...) {
        releaseStatements();
        sqlite3_close(m_connection);
        m_connection = nullptr;
        throw;
    }
    m_path = path;
    m_identity = fileIdentity(path);
    // The look at the tables read through the journal, so a file in WAL mode
    // has both journal files now, and keeps them while the connection is open.
    m_walIdentity = fileIdentity(walPathOf(path));
    m_shmIdentity = fileIdentity(shmPathOf(path));
    m_reopenWanted = false;
}

void SqliteBackend::createMissingTables()
{
    QString error;
    const std::unique_ptr<SqliteStatement> look = SqliteStatement::prepare(
        m_connection, QStringLiteral("SELECT type, name FROM sqlite_master WHERE type IN ('table','index')"), error);
    if (!look)
        throw Failure(error);
    if (!look->execute(QVariantList()))
        throw Failure(look->errorText());
    QSet<QString> existing;
    QSet<QString> existingIndexes;
    while (look->next())
        (look->value(0).toString() == QLatin1String("index") ? existingIndexes : existing)
            .insert(look->value(1).toString().toLower());
    look->finish();

    QStringList missing;
    for (const TableDefinition &table : dispatchTables())
        if (!existing.contains(QString::fromLatin1(table.name).toLower()))
            missing << createTableStatement(table, SqlDialect::Sqlite);
    QStringList missingIndexes;
    for (const IndexDefinition &index : dispatchIndexes())
        if (!existingIndexes.contains(QString::fromLatin1(index.name).toLower()))
            missingIndexes << createIndexStatement(index, SqlDialect::Sqlite);
    if (missing.isEmpty() && missingIndexes.isEmpty())
        return;
    if (!missing.isEmpty()) {
        // A new file gets its indexes with its tables.
        missing << missingIndexes;
        if (!transaction(Step::Begin, error))
            throw Failure(error);
        for (const QString &statement : missing) {
            error = runOnce(m_connection, statement);
            if (!error.isEmpty()) {
                QString ignored;
                transaction(Step::Rollback, ignored);
                throw Failure(error);
            }
        }
        if (!transaction(Step::Commit, error))
            throw Failure(error);
        return;
    }
    // Indexes for a file that has its tables already. Only speed depends
    // on them: a file the service may read but not write (or one without
    // a table the index is for) still opens, and its lookups scan as before.
    if (!transaction(Step::Begin, error))
        return;
    for (const QString &statement : missingIndexes)
        if (!runOnce(m_connection, statement).isEmpty()) {
            transaction(Step::Rollback, error);
            return;
        }
    if (!transaction(Step::Commit, error))
        transaction(Step::Rollback, error);
}

void SqliteBackend::close()
{
    if (!m_connection)
        return;
    // The statements belong to the connection: they go before it does.
    releaseStatements();
    const bool replaced = fileReplaced();
    bool journalWritten = false;
    if (replaced) {
        // SQLite sees that its path names another file now and, closing, then
        // neither writes its journal into its own file nor removes it: the
        // journal stays at the path, where the next connection would play the
        // replaced file's pages over the file there now. Its pages go into
        // the file they belong to first, through the handle still open on it
        // (the operator may have kept that file under another name). Passive:
        // a reader elsewhere that still needs older pages is not waited for;
        // the journal is kept aside then.
        int framesInJournal = -1;
        int framesWritten = -1;
        journalWritten = sqlite3_wal_checkpoint_v2(m_connection, "main", SQLITE_CHECKPOINT_PASSIVE, &framesInJournal,
                                                   &framesWritten) == SQLITE_OK &&
                         framesWritten == framesInJournal;
    }
    sqlite3_close(m_connection);
    m_connection = nullptr;
    if (replaced) {
        m_stalePath = m_path;
        m_staleWal = m_walIdentity;
        m_staleShm = m_shmIdentity;
        m_staleWalWritten = journalWritten;
        m_notice((QFileInfo::exists(m_path)
                      ? QStringLiteral("Database %1: another file is at this path now; it is opened as it is")
                      : QStringLiteral("Database %1: the file is no longer at this path"))
                     .arg(QDir::toNativeSeparators(m_path)));
        setStaleJournalAside();
    }
    m_walIdentity = FileIdentity();
    m_shmIdentity = FileIdentity();
}

bool SqliteBackend::fileReplaced() const
{
    return m_connection && m_identity.valid && fileIdentity(m_path) != m_identity;
}

bool SqliteBackend::wantsReopen() const
{
    if (!m_connection)
        return false;
    // SQLite goes on writing into a deleted or replaced file through its open
    // handle: every ride would be acknowledged and then lost with that file.
    // A connection keeps the access it was opened with: one opened on a
    // read-only file reads only, and one refused by a read-only journal stays
    // refused, however writable the file is made again.
    return fileReplaced() || m_reopenWanted || (sqlite3_db_readonly(m_connection, "main") == 1 && writableNow(m_path));
}

bool SqliteBackend::setStaleJournalAside()
{
    const QString wal = walPathOf(m_stalePath);
    const QString shm = shmPathOf(m_stalePath);
    bool clear = true;
    // Only the very files the replaced file's connection used: a journal the
    // operator brought along with the new file belongs to it.
    if (m_staleWal.valid && fileIdentity(wal) == m_staleWal) {
        if (m_staleWalWritten || QFileInfo(wal).size() == 0) {
            clear = QFile::remove(wal);
        } else {
            // Pages of the replaced file that did not reach it: kept, for
            // whoever wants that file back, under a name no connection opens.
            const QString aside = asideName(wal);
            clear = QFile::rename(wal, aside);
            if (clear)
                m_notice(QStringLiteral("Database %1: the journal of the file it replaced was moved aside to %2")
                             .arg(QDir::toNativeSeparators(m_stalePath), QDir::toNativeSeparators(aside)));
        }
    }
    // The index of that journal only: it describes no file that is left.
    if (m_staleShm.valid && fileIdentity(shm) == m_staleShm)
        clear = QFile::remove(shm) && clear;
    if (clear) {
        m_stalePath.clear();
        m_staleWal = FileIdentity();
        m_staleShm = FileIdentity();
    }
    return clear;
}

QString topAsLimit(const QString &statement)
{
    // Every execution passes here; only a "select" can have the form below,
    // and most statements show at their first letter that they are none. A
    // letter beyond ASCII goes to the expression, which may fold its case.
    for (const QChar c : statement) {
        if (c.isSpace())
            continue;
        if (c.unicode() < 0x80 && c != u's' && c != u'S')
            return statement;
        break;
    }
    static const QRegularExpression top(QStringLiteral("^(\\s*select\\s+)top\\s+(\\d+)\\s+(.*?)\\s*;?\\s*$"),
                                        QRegularExpression::CaseInsensitiveOption |
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = top.match(statement);
    if (!match.hasMatch())
        return statement;
    return match.captured(1) + match.captured(3) + QStringLiteral(" limit ") + match.captured(2);
}

QString SqliteBackend::translate(const QString &statement) const
{
    return topAsLimit(statement);
}

QVariant SqliteBackend::boundValue(const QVariant &value) const
{
    if (value.typeId() == QMetaType::QDateTime && !value.isNull())
        return dateTimeToStoredText(value.toDateTime());
    return value;
}

SqliteBackend::Kept *SqliteBackend::kept(const QString &statement, QString &error)
{
    const auto found = m_keptIndex.constFind(statement);
    if (found != m_keptIndex.cend()) {
        m_kept.splice(m_kept.begin(), m_kept, found.value());
        return m_kept.front().second.get();
    }
    std::unique_ptr<SqliteStatement> prepared = SqliteStatement::prepare(m_connection, statement, error);
    if (!prepared)
        return nullptr;
    if (m_kept.size() >= kKeptStatements) {
        m_keptIndex.remove(m_kept.back().first);
        m_kept.pop_back();
    }
    auto entry = std::make_unique<Kept>();
    entry->statement = std::move(prepared);
    m_kept.emplace_front(statement, std::move(entry));
    m_keptIndex.insert(statement, m_kept.begin());
    return m_kept.front().second.get();
}

void SqliteBackend::discard(const QString &statement, const SqliteStatement &failed)
{
    if (failed.failedReadOnly())
        m_reopenWanted = true;
    const auto found = m_keptIndex.constFind(statement);
    if (found == m_keptIndex.cend())
        return;
    m_kept.erase(found.value());
    m_keptIndex.erase(found);
}

void SqliteBackend::releaseStatements()
{
    m_keptIndex.clear();
    m_kept.clear();
    for (std::unique_ptr<SqliteStatement> &statement : m_transactionStatements)
        statement.reset();
}

ColumnNames SqliteBackend::columnsOf(Kept &kept)
{
    // Another program may change a table while the statement is kept; SQLite
    // then prepares it again, and "select *" gives other columns.
    const SqliteStatement &statement = *kept.statement;
    const int reprepares = statement.reprepareCount();
    if (kept.columns && reprepares == kept.reprepares)
        return kept.columns;
    kept.reprepares = reprepares;
    const int count = statement.columnCount();
    std::vector<QByteArray> &names = kept.names;
    bool same = kept.columns && names.size() == size_t(count);
    for (int i = 0; same && i < count; ++i)
        same = std::strcmp(names[i].constData(), statement.columnName(i)) == 0;
    if (same)
        return kept.columns;
    names.clear();
    auto columns = std::make_shared<QStringList>();
    columns->reserve(count);
    for (int i = 0; i < count; ++i) {
        names.emplace_back(statement.columnName(i));
        // Qt's driver named a column without the quotes of a quoted name.
        *columns << QString::fromUtf8(names.back()).remove(u'"');
    }
    kept.columns = std::move(columns);
    return kept.columns;
}

SqliteBackend::Kept *SqliteBackend::executed(const QString &statement, const QVariantList &bindings, QString &error)
{
    Kept *entry = kept(statement, error);
    if (!entry)
        return nullptr;
    if (!entry->statement->execute(bindings)) {
        error = entry->statement->errorText();
        discard(statement, *entry->statement);
        return nullptr;
    }
    return entry;
}

bool SqliteBackend::execute(const QString &statement, const QVariantList &bindings, StatementResult &result,
                            QString &error)
{
    Kept *entry = executed(statement, bindings, error);
    if (!entry)
        return false;
    SqliteStatement &run = *entry->statement;
    result.columns = columnsOf(*entry);
    const int count = int(result.columns->size());
    while (run.next()) {
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i)
            row << run.value(i);
        result.rows.push_back(std::move(row));
    }
    // Locks held by a read end here, and bound texts are not kept alive.
    run.finish();
    return true;
}

bool SqliteBackend::insert(const QString &statement, const QVariantList &bindings, bool wantKey, QVariant &key,
                           QString &error)
{
    Kept *entry = executed(statement, bindings, error);
    if (!entry)
        return false;
    SqliteStatement &run = *entry->statement;
    key = wantKey ? run.lastInsertId() : QVariant();
    run.finish();
    return true;
}

bool SqliteBackend::transaction(Step step, QString &error)
{
    const int which = int(step);
    std::unique_ptr<SqliteStatement> &kept = m_transactionStatements[which];
    if (!kept) {
        static const QString texts[] = {QStringLiteral("BEGIN"), QStringLiteral("COMMIT"), QStringLiteral("ROLLBACK")};
        kept = SqliteStatement::prepare(m_connection, texts[which], error);
        if (!kept)
            return false;
    }
    // The words Qt's driver gave a failure: the database's message followed
    // by what it was doing.
    static const QString failures[] = {QStringLiteral("Unable to begin transaction"),
                                       QStringLiteral("Unable to commit transaction"),
                                       QStringLiteral("Unable to rollback transaction")};
    const bool ok = kept->execute(failures[which]);
    if (!ok) {
        error = kept->errorText();
        m_reopenWanted = m_reopenWanted || kept->failedReadOnly();
    }
    kept->finish();
    return ok;
}

} // namespace velora
