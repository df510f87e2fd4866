#include "shell/TerminationSignals.h"

#ifdef Q_OS_UNIX

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velora {

namespace {

// Write end of the self-pipe. A signal handler may do almost nothing safely:
// it writes one byte here and the event loop does the real work.
int g_signalWriteFd = -1;

void writeSignalByte(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalWriteFd, &byte, 1);
    errno = saved;
}

} // namespace

bool onTerminationSignal(QObject *context, std::function<void()> handler)
{
    if (g_signalWriteFd >= 0)
        return false; // one hook per process: the pipe is process-wide
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    for (int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    g_signalWriteFd = fds[0];
    const int readFd = fds[1];

    auto *notifier = new QSocketNotifier(readFd, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [readFd, handler = std::move(handler)] {
        char bytes[64];
        while (::read(readFd, bytes, sizeof bytes) > 0) {
        }
        handler();
    });

    struct sigaction action {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

} // namespace velora

#else

namespace velora {

bool onTerminationSignal(QObject *, std::function<void()>)
{
    return false;
}

} // namespace velora

#endif
