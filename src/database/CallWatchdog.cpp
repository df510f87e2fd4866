#include "database/CallWatchdog.h"

#include <utility>

namespace velora {

CallWatchdog::~CallWatchdog()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void CallWatchdog::arm(const StreamSocket &socket, Clock::time_point deadline)
{
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { watch(); });
        m_armed = true;
        m_cut = false;
        m_socket = socket;
        m_deadline = deadline;
        // A watch that wakes before this deadline looks again then: a call
        // every few hundred microseconds does not wake the thread each time.
        wake = m_sleepingUntil > deadline;
    }
    if (wake)
        m_changed.notify_one();
}

bool CallWatchdog::disarm()
{
    // Under the lock: once this returns, the socket is not touched any more,
    // so its owner may close it.
    std::lock_guard lock(m_mutex);
    m_armed = false;
    return std::exchange(m_cut, false);
}

void CallWatchdog::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (!m_armed || m_deadline == Clock::time_point::max()) {
            m_sleepingUntil = Clock::time_point::max();
            m_changed.wait(lock);
            continue;
        }
        if (Clock::now() >= m_deadline) {
            m_cut = cutStreamSocket(m_socket);
            // One cut per call: the call returns now and disarms.
            m_armed = false;
            continue;
        }
        m_sleepingUntil = m_deadline;
        m_changed.wait_until(lock, m_deadline);
    }
}

} // namespace velora
