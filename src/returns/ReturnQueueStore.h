#pragma once

#include <QString>

#include <functional>
#include <vector>

struct sqlite3;

namespace velora {

// The entries of the return queues on disk (VeloraRBS-queues.db in the
// program folder), so that status messages composed but not yet sent survive
// a stop, a crash or a power cut. One small SQLite file of its own, apart from
// the dispatch database: that one may be a server elsewhere, and the queues
// belong to this service's folder. Every change is its own transaction,
// synced before it returns (WAL, synchronous=FULL): an entry that was appended
// is on disk.
class ReturnQueueStore {
public:
    struct Entry {
        qint64 id = 0;
        QString text;
    };

    explicit ReturnQueueStore(QString path);
    ~ReturnQueueStore();
    ReturnQueueStore(const ReturnQueueStore &) = delete;
    ReturnQueueStore &operator=(const ReturnQueueStore &) = delete;

    // Problems are told as lines for the activity log.
    void setReporter(std::function<void(const QString &)> report) { m_report = std::move(report); }

    // Opens the file, creating it when missing. A file that is no readable
    // queue file (damaged, or some other file under this name) is moved aside
    // under a telling name and a fresh one is made. False when the store
    // cannot be used at all; the queues then live in memory only.
    bool open();
    bool isOpen() const { return m_db != nullptr; }
    const QString &path() const { return m_path; }
    // Where an unreadable queue file was moved by open() (empty when none).
    const QString &movedAsideTo() const { return m_movedAsideTo; }

    // The entries of one queue in their order.
    std::vector<Entry> entries(const QString &queue);
    // The id of the stored entry, 0 when it could not be stored.
    qint64 append(const QString &queue, const QString &text);
    void remove(qint64 id);
    void clear(const QString &queue);

private:
    QString probeReadOnly(bool *unreadable);
    QString tryOpen(bool *unreadable);
    QString moveAside();
    void close();
    bool exec(const char *sql, QString *error);
    void reportFailure(const QString &action, const QString &error);

    QString m_path;
    sqlite3 *m_db = nullptr;
    QString m_movedAsideTo;
    std::function<void(const QString &)> m_report;
    // A disk that stays full would fail every change: the failure is told
    // once, and again only after a change has succeeded in between.
    bool m_failureReported = false;
};

} // namespace velora
