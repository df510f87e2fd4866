#include "shell/OpenFileLimit.h"

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

namespace velora {

long long openFileLimit()
{
#ifdef Q_OS_WIN
    return -1;
#else
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return static_cast<long long>(limit.rlim_cur);
#endif
}

} // namespace velora
