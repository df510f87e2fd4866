#include "returns/ReturnQueueStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

namespace velora {

namespace {

// One prepared statement, finalized on every path.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) : m_db(db)
    {
        m_prepared = sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) == SQLITE_OK;
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool prepared() const { return m_prepared; }
    void bind(int index, const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        sqlite3_bind_text(m_statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, qint64 value) { sqlite3_bind_int64(m_statement, index, value); }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(m_statement); }
    qint64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    QString text(int column) const
    {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        return QString::fromUtf8(bytes, sqlite3_column_bytes(m_statement, column));
    }
    QString error() const { return QString::fromUtf8(sqlite3_errmsg(m_db)); }

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_statement = nullptr;
    bool m_prepared = false;
};

// The codes that say the file holds something other than a sound database;
// anything else (no permission, no space, an I/O error) is no reason to move
// the user's file away.
bool meansUnreadable(int code)
{
    const int primary = code & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

const QString kCreate = QStringLiteral("create table if not exists return_queue ("
                                       "id integer primary key, queue text not null, entry text not null)");

} // namespace

ReturnQueueStore::ReturnQueueStore(QString path) : m_path(std::move(path)) {}

ReturnQueueStore::~ReturnQueueStore()
{
    close();
}

void ReturnQueueStore::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool ReturnQueueStore::exec(const char *sql, QString *error)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    *error = message ? QString::fromUtf8(message) : QString::fromUtf8(sqlite3_errmsg(m_db));
    sqlite3_free(message);
    return false;
}

QString ReturnQueueStore::probeReadOnly(bool *unreadable)
{
    // Read-only, so that closing it leaves the file and its journal exactly as
    // they were: a writing connection would remove a journal it cannot use.
    sqlite3 *probe = nullptr;
    const QByteArray path = QFile::encodeName(m_path);
    int rc = sqlite3_open_v2(path.constData(), &probe, SQLITE_OPEN_READONLY, nullptr);
    QString error;
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(probe, 1);
        Statement check(probe, "pragma quick_check");
        if (!check.prepared() || (rc = check.step()) != SQLITE_ROW) {
            error = check.error();
            rc = sqlite3_extended_errcode(probe);
        } else if (const QString verdict = check.text(0); verdict != u"ok") {
            error = verdict;
            rc = SQLITE_CORRUPT;
        }
    } else {
        error = probe ? QString::fromUtf8(sqlite3_errmsg(probe)) : QString::fromUtf8(sqlite3_errstr(rc));
    }
    sqlite3_close_v2(probe);
    *unreadable = !error.isEmpty() && meansUnreadable(rc);
    return error;
}

QString ReturnQueueStore::tryOpen(bool *unreadable)
{
    *unreadable = false;
    if (QFileInfo::exists(m_path)) {
        if (QString error = probeReadOnly(unreadable); !error.isEmpty())
            return error;
    }
    const QByteArray path = QFile::encodeName(m_path);
    int rc = sqlite3_open_v2(path.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        const QString error = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(rc));
        *unreadable = meansUnreadable(rc);
        close();
        return error;
    }
    sqlite3_extended_result_codes(m_db, 1);
    QString error;
    // WAL with a synced commit: an append has reached the disk when it
    // returns, and a kill -9 or a power cut keeps it.
    if (exec("pragma journal_mode=WAL", &error) && exec("pragma synchronous=FULL", &error) &&
        exec(kCreate.toUtf8().constData(), &error)) {
        // A file of another program under this name: the table is not ours.
        Statement probe(m_db, "select id, queue, entry from return_queue limit 0");
        if (!probe.prepared()) {
            error = probe.error();
            *unreadable = true;
        }
    }
    if (error.isEmpty())
        return {};
    *unreadable = *unreadable || meansUnreadable(sqlite3_extended_errcode(m_db));
    close();
    return error;
}

QString ReturnQueueStore::moveAside()
{
    const QFileInfo info(m_path);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString target = info.dir().filePath(info.fileName() + QStringLiteral(".unreadable-") + stamp);
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = info.dir().filePath(info.fileName() + QStringLiteral(".unreadable-%1-%2").arg(stamp).arg(n));
    if (!QFile::rename(m_path, target))
        return {};
    // The journal files belong to the damaged file; a fresh file must not
    // pick them up.
    for (const char *suffix : {"-wal", "-shm"}) {
        if (QFileInfo::exists(m_path + QLatin1String(suffix)))
            QFile::rename(m_path + QLatin1String(suffix), target + QLatin1String(suffix));
    }
    return target;
}

bool ReturnQueueStore::open()
{
    close();
    const QString shownPath = QDir::toNativeSeparators(m_path);
    const auto report = [this](const QString &line) {
        if (m_report)
            m_report(line);
    };
    bool unreadable = false;
    QString error = tryOpen(&unreadable);
    if (error.isEmpty())
        return true;
    if (!unreadable) {
        report(QStringLiteral("Queue file %1 cannot be opened (%2); the return queues are kept in memory only in "
                              "this run.")
                   .arg(shownPath, error));
        return false;
    }
    m_movedAsideTo = moveAside();
    if (m_movedAsideTo.isEmpty()) {
        report(QStringLiteral("Queue file %1 is not readable (%2) and cannot be moved aside; it is left as it is and "
                              "the return queues are kept in memory only in this run.")
                   .arg(shownPath, error));
        return false;
    }
    report(QStringLiteral("Queue file %1 is not readable (%2); the return queues start empty. The file was kept as "
                          "%3.")
               .arg(shownPath, error, QDir::toNativeSeparators(m_movedAsideTo)));
    error = tryOpen(&unreadable);
    if (error.isEmpty())
        return true;
    report(QStringLiteral("Queue file %1 cannot be created (%2); the return queues are kept in memory only in this "
                          "run.")
               .arg(shownPath, error));
    return false;
}

void ReturnQueueStore::reportFailure(const QString &action, const QString &error)
{
    if (m_failureReported || !m_report)
        return;
    m_failureReported = true;
    m_report(QStringLiteral("Queue file %1: %2 failed (%3); a restart may lose or repeat that status message.")
                 .arg(QDir::toNativeSeparators(m_path), action, error));
}

std::vector<ReturnQueueStore::Entry> ReturnQueueStore::entries(const QString &queue)
{
    std::vector<Entry> result;
    if (!m_db)
        return result;
    Statement select(m_db, "select id, entry from return_queue where queue=? order by id");
    select.bind(1, queue);
    int rc = SQLITE_ERROR;
    while (select.prepared() && (rc = select.step()) == SQLITE_ROW)
        result.push_back({select.integer(0), select.text(1)});
    if (rc != SQLITE_DONE)
        reportFailure(QStringLiteral("reading the queue %1").arg(queue), select.error());
    return result;
}

qint64 ReturnQueueStore::append(const QString &queue, const QString &text)
{
    if (!m_db)
        return 0;
    Statement insert(m_db, "insert into return_queue (queue, entry) values (?, ?)");
    insert.bind(1, queue);
    insert.bind(2, text);
    if (!insert.prepared() || insert.step() != SQLITE_DONE) {
        reportFailure(QStringLiteral("storing a status message of %1").arg(queue), insert.error());
        return 0;
    }
    m_failureReported = false;
    return sqlite3_last_insert_rowid(m_db);
}

void ReturnQueueStore::remove(qint64 id)
{
    if (!m_db || id <= 0)
        return;
    Statement erase(m_db, "delete from return_queue where id=?");
    erase.bind(1, id);
    if (!erase.prepared() || erase.step() != SQLITE_DONE)
        reportFailure(QStringLiteral("removing a sent status message"), erase.error());
    else
        m_failureReported = false;
}

void ReturnQueueStore::clear(const QString &queue)
{
    if (!m_db)
        return;
    Statement erase(m_db, "delete from return_queue where queue=?");
    erase.bind(1, queue);
    if (!erase.prepared() || erase.step() != SQLITE_DONE)
        reportFailure(QStringLiteral("clearing the queue %1").arg(queue), erase.error());
    else
        m_failureReported = false;
}

} // namespace velora
