#include "shell/FilePermissions.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace velora {

bool isMarkedReadOnly(const QString &path)
{
#ifdef Q_OS_WIN
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
#else
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
#endif
}

} // namespace velora
