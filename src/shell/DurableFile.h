#pragma once

#include <QByteArray>
#include <QString>

class QFileDevice;

namespace velora {

// Replaces the file at path by bytes so that afterwards it holds either its old
// content or the whole new content, also after a full disk, a crash or a power
// cut: the bytes go to a new file beside it, every write is checked, the new
// file is synced to the disk and renamed over the old one, and the folder is
// synced so that the rename lasts too. Returns an empty text when the file was
// written, else why not; the old file is then untouched and no part of the new
// one stays behind. *created (when given) says whether the new file could be
// made at all, for messages that tell the two failures apart.
QString writeFileDurably(const QString &path, const QByteArray &bytes, bool *created = nullptr);

// Forces what was written to an open file onto the disk: its buffer is
// flushed, then the system is asked to sync it. Empty when done, else why not.
QString syncFile(QFileDevice &file);

// Forces the entries of a folder (a file made or renamed in it) onto the disk.
// Empty when done, else why not.
QString syncFolder(const QString &folder);

} // namespace velora
