#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>

namespace velora {

// The service's side of systemd's notification protocol (sd_notify): ready,
// reloading, stopping, a one-line status and the watchdog's keep-alive. Run by
// hand, or under a service manager that did not ask for it, there is no
// NOTIFY_SOCKET and every call here does nothing.
namespace systemd {

// A service manager listens for notifications.
bool notifying();
// Sends newline-separated assignments ("READY=1\nSTATUS=..."); a no-op
// without a listener. Failures are not reported: the manager's own time-outs
// are what notices a service that went quiet.
void notify(const QByteArray &state);
// RELOADING=1 with the monotonic time the reload began, as the protocol asks.
void notifyReloading();
// Half the interval the manager expects keep-alives in (WATCHDOG_USEC for
// this process); zero when it expects none.
std::chrono::milliseconds watchdogPeriod();
// Standard output is the journal's stream (JOURNAL_STREAM names its device
// and inode), so a line may start with a priority prefix such as "<3>".
bool standardOutputIsJournal();
// The same for standard error (a unit may send only one of them there).
bool standardErrorIsJournal();
// Standard output is the journal's stream socket, so the journal itself is
// there to take entries with fields of their own (sendToJournal). A file
// that JOURNAL_STREAM happens to name is not.
bool journalTakesEntries();
// One entry straight to the journal: the message, its syslog priority and
// fields "NAME=value" (names in capitals). False when the journal did not
// take it; the caller then writes the line to the stream instead.
bool sendToJournal(const QByteArray &message, int priority, const QList<QByteArray> &fields);

} // namespace systemd
} // namespace velora
