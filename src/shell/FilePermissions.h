#pragma once

#include <QString>

namespace velora {

// True when the file exists and carries no write permission at all (no write
// bit for anyone; on Windows the read-only attribute). This looks at the file's
// own marking rather than asking whether the current user could write it: the
// service may run as root, which may write anything, and a settings file marked
// read-only by its operator must still stay untouched.
bool isMarkedReadOnly(const QString &path);

} // namespace velora
