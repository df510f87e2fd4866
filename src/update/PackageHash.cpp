#include "update/PackageHash.h"

#include <QCryptographicHash>
#include <QFile>

#include <zlib.h>

#include <optional>

namespace velora {

QString packageHashMismatch(const QString &path, const UpdateDescription &description)
{
    // Only the strongest hash counts: a weaker one that matches proves
    // nothing once a stronger one does not.
    QString name;
    QByteArray expected;
    std::optional<QCryptographicHash::Algorithm> algorithm;
    auto hex = [](const QString &text) { return text.trimmed().toLatin1().toLower(); };
    if (!description.sha1Hash.trimmed().isEmpty()) {
        name = QStringLiteral("SHA1Hash");
        expected = hex(description.sha1Hash);
        algorithm = QCryptographicHash::Sha1;
    } else if (!description.md5Hash.trimmed().isEmpty()) {
        name = QStringLiteral("MD5Hash");
        expected = hex(description.md5Hash);
        algorithm = QCryptographicHash::Md5;
    } else if (!description.crc32Hash.trimmed().isEmpty()) {
        name = QStringLiteral("CRC32Hash");
        expected = hex(description.crc32Hash);
    } else {
        return QString();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return name;
    QCryptographicHash hash(algorithm.value_or(QCryptographicHash::Sha1));
    uLong crc = crc32(0L, Z_NULL, 0);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0)
            return name;
        if (read == 0)
            break;
        if (algorithm)
            hash.addData(QByteArrayView(block.constData(), read));
        else
            crc = crc32(crc, reinterpret_cast<const Bytef *>(block.constData()), uInt(read));
    }
    if (algorithm)
        return hash.result().toHex() == expected ? QString() : name;
    // A CRC-32 is written with or without its leading zeros.
    bool ok = false;
    const uLong stated = expected.toULong(&ok, 16);
    return ok && stated == crc ? QString() : name;
}

} // namespace velora
