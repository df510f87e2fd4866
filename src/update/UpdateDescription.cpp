#include "update/UpdateDescription.h"

#include "shell/TextRules.h"

#include <QFileInfo>
#include <QStringDecoder>

namespace velora {

QString descriptionSection(const QString &programFileName)
{
    const QString name = QFileInfo(programFileName).fileName();
    const qsizetype dot = name.indexOf(u'.');
    return dot < 0 ? name : name.left(dot);
}

QString decodeUpdateText(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return fromAnsi(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

UpdateDescription readUpdateDescription(const QByteArray &iniText, const QString &section)
{
    UpdateDescription description;
    const QString text = decodeUpdateText(iniText);
    bool inSection = false;
    for (QString line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        auto is = [&key](const char *name) { return key.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
        if (is("DownloadFileURL"))
            description.downloadFileUrl = value;
        else if (is("ReadmeFileURL"))
            description.readmeFileUrl = value;
        else if (is("UpdatePageURL"))
            description.updatePageUrl = value;
        else if (is("Version"))
            description.version = value;
        else if (is("SQLVersion"))
            description.sqlVersion = value;
        else if (is("CRC32Hash"))
            description.crc32Hash = value;
        else if (is("MD5Hash"))
            description.md5Hash = value;
        else if (is("SHA1Hash"))
            description.sha1Hash = value;
    }
    return description;
}

} // namespace velora
