#include "returns/ReturnQueue.h"

namespace velora {

void ReturnQueue::append(const QString &entry)
{
    m_entries.append(entry);
    Q_EMIT changed();
}

void ReturnQueue::clear()
{
    if (m_entries.isEmpty())
        return;
    m_entries.clear();
    Q_EMIT changed();
}

void ReturnQueue::removeHead()
{
    if (m_entries.isEmpty())
        return;
    m_entries.removeFirst();
    Q_EMIT changed();
}

} // namespace velora

#include "moc_ReturnQueue.cpp"
