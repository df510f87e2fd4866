#include "app/TerminationSignals.h"

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
// it writes the signal's number here and the event loop does the real work.
int g_signalWriteFd = -1;

std::function<void()> g_onTermination;
std::function<void()> g_onReload;

void writeSignalByte(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalWriteFd, &byte, 1);
    errno = saved;
}

// Several signals may wait in the pipe when the loop comes to read it; each
// kind is handled once, a reload before a termination, so that a reload that
// came first is not lost to the close that follows.
void dispatch(int readFd)
{
    bool terminate = false;
    bool reload = false;
    char bytes[64];
    ssize_t count = 0;
    while ((count = ::read(readFd, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            reload |= bytes[i] == SIGHUP;
            terminate |= bytes[i] == SIGINT || bytes[i] == SIGTERM;
        }
    }
    if (reload && g_onReload)
        g_onReload();
    if (terminate && g_onTermination)
        g_onTermination();
}

bool ensurePipe(QObject *context)
{
    if (g_signalWriteFd >= 0)
        return true;
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
    QObject::connect(notifier, &QSocketNotifier::activated, context, [readFd] { dispatch(readFd); });
    // The handlers refer to objects that end with the context's owner.
    QObject::connect(notifier, &QObject::destroyed, [] {
        g_onTermination = nullptr;
        g_onReload = nullptr;
    });
    return true;
}

bool hook(QObject *context, std::function<void()> &slot, std::function<void()> handler,
          std::initializer_list<int> numbers)
{
    if (slot)
        return false; // one hook per signal and process: the pipe is process-wide
    if (!ensurePipe(context))
        return false;
    slot = std::move(handler);
    struct sigaction action {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool hooked = true;
    for (int number : numbers)
        hooked = ::sigaction(number, &action, nullptr) == 0 && hooked;
    return hooked;
}

} // namespace

bool onTerminationSignal(QObject *context, std::function<void()> handler)
{
    return hook(context, g_onTermination, std::move(handler), {SIGINT, SIGTERM});
}

bool onReloadSignal(QObject *context, std::function<void()> handler)
{
    return hook(context, g_onReload, std::move(handler), {SIGHUP});
}

bool ignoreBrokenPipe()
{
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGPIPE, &action, nullptr) == 0;
}

} // namespace velora

#else

namespace velora {

bool onTerminationSignal(QObject *, std::function<void()>)
{
    return false;
}

bool onReloadSignal(QObject *, std::function<void()>)
{
    return false;
}

bool ignoreBrokenPipe()
{
    return true; // no such signal: a failed write is an error already
}

} // namespace velora

#endif
