#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace velora {

class ReturnQueueStore;

// An outbound queue of status messages (RBSQOut, VALYSQOut): complete
// envelopes, appended at the end and taken from the head. Kept in a store, it
// also holds them on disk, from the append until they are sent or cleared, so
// that a restart sends what a stop left waiting. The window shows it one
// entry per line.
class ReturnQueue : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // From now on every change is also made in `store`, under `name`. The
    // entries stored there come first in the queue; returns how many.
    qsizetype keepIn(ReturnQueueStore &store, const QString &name);

    void append(const QString &entry);
    // Every entry at once (the queue page's clear button).
    void clear();
    // Removes the head; the send tick calls it only after the write succeeded.
    void removeHead();

    bool isEmpty() const { return m_entries.isEmpty(); }
    qsizetype size() const { return m_entries.size(); }
    const QString &head() const { return m_entries.first(); }
    const QStringList &entries() const { return m_entries; }

Q_SIGNALS:
    void changed();

private:
    QStringList m_entries;
    // The store's id of each entry, 0 for one that could not be stored.
    QList<qint64> m_ids;
    ReturnQueueStore *m_store = nullptr;
    QString m_name;
};

} // namespace velora
