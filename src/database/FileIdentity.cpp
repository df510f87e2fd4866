#include "database/FileIdentity.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace velora {

FileIdentity fileIdentity(const QString &path)
{
    FileIdentity identity;
#ifndef Q_OS_WIN
    // Windows does not let an open file be deleted or replaced, so there the
    // question does not arise.
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        identity.device = quint64(status.st_dev);
        identity.number = quint64(status.st_ino);
        identity.valid = true;
    }
#else
    Q_UNUSED(path);
#endif
    return identity;
}

} // namespace velora
