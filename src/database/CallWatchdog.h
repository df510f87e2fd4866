#pragma once

#include "database/StreamSockets.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace velora {

// A deadline for the blocking calls into a database driver. The event
// thread makes them, and a server that keeps the connection open without
// answering (its process stopped, a network that drops every packet while
// the kernel still acknowledges) would hold that thread, and every booking
// system behind it, for as long as it pleases: neither the server's
// statement time-out nor TCP keepalive ends such a wait. A thread of its own
// watches the call and, at its deadline, cuts the connection's socket, so
// that the driver's wait ends at once with a lost connection.
class CallWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    CallWatchdog() = default;
    ~CallWatchdog();
    CallWatchdog(const CallWatchdog &) = delete;
    CallWatchdog &operator=(const CallWatchdog &) = delete;

    // Watches one call on the connection of `socket` until disarm().
    void arm(const StreamSocket &socket, Clock::time_point deadline);
    // The call returned: true when its deadline passed first and the socket
    // was cut (the call's failure is then the watchdog's doing).
    bool disarm();

    // Watches the calls of its scope.
    class Call {
    public:
        Call(CallWatchdog &watchdog, const StreamSocket &socket, Clock::time_point deadline) : m_watchdog(watchdog)
        {
            m_watchdog.arm(socket, deadline);
        }
        ~Call() { finish(); }
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;
        // True when the socket was cut; ends the watch.
        bool finish()
        {
            if (!m_finished) {
                m_finished = true;
                m_cut = m_watchdog.disarm();
            }
            return m_cut;
        }

    private:
        CallWatchdog &m_watchdog;
        bool m_finished = false;
        bool m_cut = false;
    };

private:
    void watch();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread; // started with the first call watched
    bool m_stopping = false;
    bool m_armed = false;
    bool m_cut = false;
    StreamSocket m_socket;
    Clock::time_point m_deadline;
    Clock::time_point m_sleepingUntil = Clock::time_point::max();
};

} // namespace velora
