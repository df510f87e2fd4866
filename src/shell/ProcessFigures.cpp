#include "shell/ProcessFigures.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <unistd.h>

#include <ctime>

namespace velora {

namespace {

QByteArray readProcFile(const char *path)
{
    // The files of /proc report a size of 0: read until the end instead.
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.readAll();
}

void figure(QByteArray &out, const char *name, const char *type, const char *help, double value)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name + ' ' +
           QByteArray::number(value, 'g', 15) + '\n';
}

// The boot time in seconds since the epoch, which start times in
// /proc/self/stat count from: the wall clock less the time since boot, so
// that a service that sees only its own part of /proc still gives it.
double bootTime()
{
    timespec now{};
    timespec sinceBoot{};
    clock_gettime(CLOCK_REALTIME, &now);
    clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    return double(now.tv_sec - sinceBoot.tv_sec) + double(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
}

} // namespace

void appendProcessFigures(QByteArray &out)
{
    const QByteArray stat = readProcFile("/proc/self/stat");
    // The command name in parentheses may hold blanks: the fields are
    // counted from after its closing parenthesis, which ends field 2.
    const qsizetype nameEnd = stat.lastIndexOf(')');
    const QList<QByteArray> fields = nameEnd < 0 ? QList<QByteArray>() : stat.mid(nameEnd + 2).trimmed().split(' ');
    const double ticks = double(sysconf(_SC_CLK_TCK));
    // Field n of the file (counted from 1, as proc(5) does).
    const auto field = [&](int n) { return fields.at(n - 3).toDouble(); };
    if (fields.size() >= 22 && ticks > 0) {
        figure(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
               (field(14) + field(15)) / ticks);
        figure(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", field(23));
        figure(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               field(24) * double(sysconf(_SC_PAGESIZE)));
        figure(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
               bootTime() + field(22) / ticks);
    }
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    if (descriptors.exists()) {
        // Less the one that lists them.
        const qsizetype open = descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
        figure(out, "process_open_fds", "gauge", "Number of open file descriptors.",
               double(qMax<qsizetype>(0, open - 1)));
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        figure(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.", double(limit.rlim_cur));
}

} // namespace velora
