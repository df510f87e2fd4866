#include "service/SystemdNotify.h"

#include <QtGlobal>

#include <systemd/sd-daemon.h>
// The entries' source location would name this file for every line.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace velora::systemd {

bool notifying()
{
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
}

void notify(const QByteArray &state)
{
    if (notifying())
        sd_notify(0, state.constData());
}

void notifyReloading()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 usec = quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
    notify("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

std::chrono::milliseconds watchdogPeriod()
{
    uint64_t usec = 0;
    // Checks WATCHDOG_PID too: a child started with this environment is not
    // the process the manager watches.
    if (notifying() && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        return std::chrono::milliseconds(qMax<uint64_t>(1, usec / 2000));
    return std::chrono::milliseconds(0);
}

namespace {

bool descriptorIsJournal(int fd, struct stat *status)
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (stream.isEmpty())
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream.constData(), "%llu:%llu", &device, &inode) != 2)
        return false;
    // The variable is inherited by whatever the service starts, and the
    // stream may have been redirected since: only the very stream counts.
    if (fstat(fd, status) != 0)
        return false;
    return static_cast<unsigned long long>(status->st_dev) == device &&
           static_cast<unsigned long long>(status->st_ino) == inode;
}

} // namespace

bool standardOutputIsJournal()
{
    struct stat status {};
    return descriptorIsJournal(STDOUT_FILENO, &status);
}

bool standardErrorIsJournal()
{
    struct stat status {};
    return descriptorIsJournal(STDERR_FILENO, &status);
}

bool journalTakesEntries()
{
    struct stat status {};
    return descriptorIsJournal(STDOUT_FILENO, &status) && S_ISSOCK(status.st_mode);
}

bool sendToJournal(const QByteArray &message, int priority, const QList<QByteArray> &fields)
{
    QList<QByteArray> entry{"MESSAGE=" + message, "PRIORITY=" + QByteArray::number(priority),
                            QByteArrayLiteral("SYSLOG_IDENTIFIER=VeloraRBS")};
    entry += fields;
    std::vector<iovec> parts;
    parts.reserve(size_t(entry.size()));
    for (QByteArray &field : entry)
        parts.push_back({field.data(), size_t(field.size())});
    return sd_journal_sendv(parts.data(), int(parts.size())) == 0;
}

} // namespace velora::systemd
