#include "intake/OpenFileLimit.h"

#include <QtGlobal>

#include <algorithm>

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

long long raiseOpenFileLimit()
{
#ifndef Q_OS_WIN
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_cur < limit.rlim_max)) {
        // An unlimited hard limit is not accepted as the soft one by every
        // kernel (Linux caps it at nr_open, macOS at OPEN_MAX); failing here
        // only leaves the limit as it was.
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_max == RLIM_INFINITY) {
            raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 65536);
            ::setrlimit(RLIMIT_NOFILE, &raised);
        }
    }
#endif
    return openFileLimit();
}

} // namespace velora
