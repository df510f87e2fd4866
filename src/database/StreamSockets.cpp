#include "database/StreamSockets.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <cstdlib>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#endif

namespace velora {

#ifdef Q_OS_LINUX

namespace {

bool isStreamSocket(int descriptor, unsigned long long &identity)
{
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISSOCK(status.st_mode))
        return false;
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    identity = static_cast<unsigned long long>(status.st_ino);
    return true;
}

} // namespace

std::vector<StreamSocket> openStreamSockets()
{
    std::vector<StreamSocket> sockets;
    DIR *folder = ::opendir("/proc/self/fd");
    if (!folder)
        return sockets;
    const int own = ::dirfd(folder);
    while (const dirent *entry = ::readdir(folder)) {
        char *end = nullptr;
        const long descriptor = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || descriptor == own)
            continue;
        StreamSocket socket{int(descriptor), 0};
        if (isStreamSocket(socket.descriptor, socket.identity))
            sockets.push_back(socket);
    }
    ::closedir(folder);
    return sockets;
}

bool cutStreamSocket(const StreamSocket &socket)
{
    unsigned long long identity = 0;
    if (socket.descriptor < 0 || !isStreamSocket(socket.descriptor, identity) || identity != socket.identity)
        return false;
    return ::shutdown(socket.descriptor, SHUT_RDWR) == 0;
}

#else

// Elsewhere a connection's socket is not found this way; the driver's own
// time-outs are all that bounds a call there.
std::vector<StreamSocket> openStreamSockets()
{
    return {};
}

bool cutStreamSocket(const StreamSocket &)
{
    return false;
}

#endif

} // namespace velora
