#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace velora {

// An outbound queue of status messages (RBSQOut, VALYSQOut): complete
// envelopes, appended at the end and taken from the head. It lives in memory
// only; the window shows it one entry per line.
class ReturnQueue : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

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
};

} // namespace velora
