#pragma once

#include <QString>

namespace velora {

// The button's preparation: the folders Backups and TempDownloads, and a
// copy of the program file in Backups (a failed copy is no reason to stop).
void prepareUpdateFolders(const QString &programFolder, const QString &programFilePath);

// Starts the updater of the program folder with the package path between
// single quotes; false when it could not be started.
bool startUpdater(const QString &programFolder, const QString &packagePath);

} // namespace velora
