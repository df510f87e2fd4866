#pragma once

#include <QByteArray>
#include <QString>

namespace velora {

// The keys of the update description's section. Missing keys read as empty.
struct UpdateDescription {
    QString downloadFileUrl;
    QString readmeFileUrl;
    QString updatePageUrl;
    QString version;
    QString sqlVersion;
    // Checksums of the package, hexadecimal; the strongest present is checked.
    QString crc32Hash;
    QString md5Hash;
    QString sha1Hash;
};

// The description's section is named after the program file up to its first dot.
QString descriptionSection(const QString &programFileName);
// Reads the keys of one section of an INI text. Section and key names are
// compared without regard to letter case, as INI readers do.
UpdateDescription readUpdateDescription(const QByteArray &iniText, const QString &section);

// Release notes and descriptions are written on the maker's side, often in
// the single-byte code page; UTF-8 is taken when the bytes are valid UTF-8
// (a byte order mark dropped).
QString decodeUpdateText(const QByteArray &bytes);

} // namespace velora
