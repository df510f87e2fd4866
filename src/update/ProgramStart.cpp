#include "update/ProgramStart.h"

#include <QDir>
#include <QProcess>

namespace velora {

QString updaterProgramPath(const QString &programFolder)
{
#ifdef Q_OS_WIN
    const QString name = QStringLiteral("VeloraUpdater.exe");
#else
    const QString name = QStringLiteral("VeloraUpdater");
#endif
    return QDir(programFolder).filePath(name);
}

bool startProgramDetached(const QString &program, const QString &argument)
{
    // Detached: the updater has to outlive this program, which ends right after.
    return QProcess::startDetached(program, {argument});
}

} // namespace velora
