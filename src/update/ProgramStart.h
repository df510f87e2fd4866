#pragma once

#include <QString>

namespace velora {

// Starting another program is the one place where the platforms differ (the
// program's file name and how a process is detached), so it lives here alone.

// Full path of the updater program in the given program folder.
QString updaterProgramPath(const QString &programFolder);

// Starts the program detached from this process with exactly one argument.
// Returns false when it could not be started.
bool startProgramDetached(const QString &program, const QString &argument);

} // namespace velora
