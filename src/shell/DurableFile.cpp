#include "shell/DurableFile.h"

#include <QFileDevice>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace velora {

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// File systems and devices that cannot sync say so with these; there is
// nothing more to force then, and the write itself went well.
bool syncUnsupported(int code)
{
    return code == EINVAL || code == ENOTSUP || code == EROFS;
}

} // namespace

QString writeFileDurably(const QString &path, const QByteArray &bytes, bool *created)
{
    if (created)
        *created = false;
    QSaveFile file(path);
    // Writing straight into the old file, when no new file can be made beside
    // it, would destroy it at the first failed write.
    file.setDirectWriteFallback(false);
    // Unbuffered: each write reaches the system at once and its result is the
    // real one. QSaveFile's commit() does not look at the flush of its own
    // buffer: with the disk full it renamed an empty file over the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (created)
        *created = true;
    // A write that stops short (the disk filled up half-way) is tried again
    // for the rest: that second attempt fails with the reason.
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return reason;
        }
        done += written;
    }
    if (const QString reason = syncFile(file); !reason.isEmpty()) {
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    if (const QString reason = syncFolder(QFileInfo(path).absolutePath()); !reason.isEmpty())
        return QStringLiteral("The file was replaced, but its folder could not be synced: ") + reason;
    return {};
}

QString syncFile(QFileDevice &file)
{
    if (!file.flush())
        return file.errorString();
#ifdef Q_OS_WIN
    if (::_commit(file.handle()) != 0 && !syncUnsupported(errno))
        return systemError(errno);
#else
    if (::fsync(file.handle()) != 0 && !syncUnsupported(errno))
        return systemError(errno);
#endif
    return {};
}

QString syncFolder(const QString &folder)
{
#ifdef Q_OS_WIN
    // A rename on NTFS is journalled with the folder; a folder cannot be
    // opened for syncing without special rights.
    Q_UNUSED(folder);
    return {};
#else
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return systemError(errno);
    const int result = ::fsync(fd);
    const int code = errno;
    ::close(fd);
    if (result != 0 && !syncUnsupported(code))
        return systemError(code);
    return {};
#endif
}

} // namespace velora
