#pragma once

#include "update/UpdateDescription.h"

#include <QString>

namespace velora {

// The strongest of the description's hashes (SHA-1, MD5, CRC-32) that the
// file does not match, e.g. "SHA1Hash"; empty when it matches or the
// description names none. A file that cannot be read matches nothing.
QString packageHashMismatch(const QString &path, const UpdateDescription &description);

} // namespace velora
