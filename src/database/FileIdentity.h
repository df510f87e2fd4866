#pragma once

#include <QString>

namespace velora {

// Which file a path names right now: the device and file number. Two equal
// identities are the same file, even after it was renamed; a path that was
// deleted or replaced (a new file renamed over it) gives another identity.
struct FileIdentity {
    quint64 device = 0;
    quint64 number = 0;
    bool valid = false; // false when the path names no file, or the platform cannot tell

    bool operator==(const FileIdentity &other) const = default;
};

FileIdentity fileIdentity(const QString &path);

} // namespace velora
