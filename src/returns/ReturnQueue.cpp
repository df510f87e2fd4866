#include "returns/ReturnQueue.h"

#include "returns/ReturnQueueStore.h"

namespace velora {

qsizetype ReturnQueue::keepIn(ReturnQueueStore &store, const QString &name)
{
    if (!store.isOpen())
        return 0;
    const QStringList waiting = m_entries;
    m_entries.clear();
    m_ids.clear();
    for (ReturnQueueStore::Entry &stored : store.entries(name)) {
        m_entries.append(std::move(stored.text));
        m_ids.append(stored.id);
    }
    const qsizetype restored = m_entries.size();
    m_store = &store;
    m_name = name;
    // Entries appended before the store was there join it behind the stored ones.
    for (const QString &entry : waiting) {
        m_entries.append(entry);
        m_ids.append(m_store->append(m_name, entry));
    }
    if (restored > 0)
        Q_EMIT changed();
    return restored;
}

void ReturnQueue::append(const QString &entry)
{
    m_entries.append(entry);
    m_ids.append(m_store ? m_store->append(m_name, entry) : 0);
    Q_EMIT changed();
}

void ReturnQueue::clear()
{
    if (m_entries.isEmpty())
        return;
    m_entries.clear();
    m_ids.clear();
    if (m_store)
        m_store->clear(m_name);
    Q_EMIT changed();
}

void ReturnQueue::removeHead()
{
    if (m_entries.isEmpty())
        return;
    m_entries.removeFirst();
    const qint64 id = m_ids.takeFirst();
    if (m_store)
        m_store->remove(id);
    Q_EMIT changed();
}

} // namespace velora

#include "moc_ReturnQueue.cpp"
