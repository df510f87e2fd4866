#include "update/UpdateInstall.h"

#include "update/ProgramStart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace velora {

void prepareUpdateFolders(const QString &programFolder, const QString &programFilePath)
{
    QDir folder(programFolder);
    folder.mkpath(QStringLiteral("Backups"));
    folder.mkpath(QStringLiteral("TempDownloads"));
    if (programFilePath.isEmpty())
        return;
    const QString backup = folder.filePath(QStringLiteral("Backups/") + QFileInfo(programFilePath).fileName());
    QFile::remove(backup);
    QFile::copy(programFilePath, backup);
}

bool startUpdater(const QString &programFolder, const QString &packagePath)
{
    return startProgramDetached(updaterProgramPath(programFolder),
                                u'\'' + QDir::toNativeSeparators(packagePath) + u'\'');
}

} // namespace velora
