#include "database/DatasetGate.h"

#include <QDebug>
#include <QTimer>

#include <exception>

namespace velora {

void DatasetGate::run(const QString &key, std::function<void()> work)
{
    // Work that arrives while earlier work still waits goes behind it, so the
    // order of events is kept.
    if (!isBusy() && m_waiting.empty()) {
        work();
        return;
    }
    if (!key.isEmpty()) {
        for (const auto &entry : m_waiting)
            if (entry.first == key)
                return; // already waiting: it reads whatever has arrived by then
    }
    m_waiting.emplace_back(key, std::move(work));
}

DatasetGate::Hold::Hold(DatasetGate &gate) : m_gate(gate)
{
    ++m_gate.m_depth;
}

DatasetGate::Hold::~Hold()
{
    m_gate.release();
}

void DatasetGate::release()
{
    if (--m_depth > 0)
        return;
    Q_EMIT becameIdle();
    if (m_waiting.empty())
        return;
    // The holder is still inside its post; the waiting work runs from the event
    // loop once that handler has returned, never from inside it.
    QTimer::singleShot(0, this, [this] {
        while (!isBusy() && !m_waiting.empty()) {
            auto work = std::move(m_waiting.front().second);
            m_waiting.erase(m_waiting.begin());
            try {
                work();
            } catch (const std::exception &e) {
                // Entry points guard their own work; this only keeps the loop alive.
                qWarning("DatasetGate: unguarded failure: %s", e.what());
            } catch (...) {
                qWarning("DatasetGate: unguarded failure");
            }
        }
    });
}

} // namespace velora
