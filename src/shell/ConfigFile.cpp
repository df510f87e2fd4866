#include "shell/ConfigFile.h"

#include "shell/DurableFile.h"
#include "shell/FilePermissions.h"
#include "shell/Log.h"
#include "shell/Settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace velora {

namespace {

const QString kRoot = QStringLiteral("Configuration");
const QString kForm = QStringLiteral("Hoofdscherm");
const QString kFormVersion = QStringLiteral("FormVersion");

} // namespace

bool readYesNo(const QString &text, bool *ok)
{
    const QString value = text.trimmed().toUpper();
    *ok = true;
    if (value == u"TRUE" || value == u"YES" || value == u"Y")
        return true;
    if (value == u"FALSE" || value == u"NO" || value == u"N")
        return false;
    return readDecimal(value, ok) != 0;
}

int readDecimal(const QString &text, bool *ok)
{
    return text.trimmed().toInt(ok, 10);
}

ConfigFile::ConfigFile(QString path) : m_path(std::move(path)) {}

ConfigFile::ConfigFile(QString path, Log &activityLog) : m_path(std::move(path)), m_log(&activityLog) {}

void ConfigFile::report(const QString &line)
{
    if (m_log)
        m_log->addLine(dateTimeStamp() + u' ' + line);
}

void ConfigFile::readOnce()
{
    if (m_read)
        return;
    m_read = true;
    m_document = XmlNode();
    m_document.type = XmlNode::Type::Document;

    QFile file(m_path);
    if (!file.exists())
        return;
    const QString shownPath = QDir::toNativeSeparators(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Not broken, only unreachable right now: keep it exactly as it is.
        m_protected = true;
        report(QStringLiteral("Settings file %1 cannot be read (%2); the default settings are used and the file "
                              "will not be written.")
                   .arg(shownPath, file.errorString()));
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();

    QString error;
    XmlNode parsed;
    if (parseXml(bytes, parsed, &error)) {
        m_document = std::move(parsed);
        return;
    }

    // Writing the defaults over a file that does not parse would silently
    // destroy whatever the user had in it: keep it under a telling name.
    const QFileInfo info(m_path);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString target = info.dir().filePath(info.fileName() + QStringLiteral(".unreadable-") + stamp);
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = info.dir().filePath(info.fileName() + QStringLiteral(".unreadable-%1-%2").arg(stamp).arg(n));
    if (QFile::rename(m_path, target)) {
        m_movedAsideTo = target;
        report(QStringLiteral("Settings file %1 is not readable XML (%2); the default settings are used. The file "
                              "was kept as %3.")
                   .arg(shownPath, error, QDir::toNativeSeparators(target)));
    } else {
        m_protected = true;
        report(QStringLiteral("Settings file %1 is not readable XML (%2); the default settings are used and the "
                              "file will not be written.")
                   .arg(shownPath, error));
    }
}

XmlNode &ConfigFile::hoofdscherm()
{
    XmlNode *root = m_document.rootElement();
    if (!root) {
        m_document.children.push_back(XmlNode::element(kRoot));
        root = &m_document.children.back();
    }
    XmlNode *form = root->childElement(kForm);
    if (!form) {
        root->children.push_back(XmlNode::element(kForm));
        form = &root->children.back();
    }
    return *form;
}

void ConfigFile::LoadSettings(Settings &settings)
{
    readOnce();
    XmlNode *root = m_document.rootElement();
    const XmlNode *form = root ? root->childElement(kForm) : nullptr;
    if (!form)
        return;
    bool ok = false;
    const XmlNode *version = form->childElement(kFormVersion);
    const int formVersion = version ? readDecimal(version->elementText(), &ok) : 0;
    if (ok && formVersion < 0)
        return;

    for (const SettingDefinition &definition : settingDefinitions()) {
        if (!definition.stored)
            continue;
        const XmlNode *element = form->childElement(elementName(definition));
        if (!element)
            continue;
        const QString text = element->elementText();
        switch (definition.kind) {
        case SettingKind::Text: settings.setText(definition.id, text); break;
        case SettingKind::YesNo: {
            const bool value = readYesNo(text, &ok);
            if (ok)
                settings.setChecked(definition.id, value);
            break;
        }
        case SettingKind::Integer: {
            const int value = readDecimal(text, &ok);
            if (ok)
                settings.setPosition(definition.id, value);
            break;
        }
        }
    }
}

void ConfigFile::SaveSettings(const Settings &settings)
{
    readOnce();
    XmlNode &form = hoofdscherm();
    if (XmlNode *version = form.childElement(kFormVersion)) {
        version->setElementText(QStringLiteral("0"));
    } else {
        XmlNode created = XmlNode::element(kFormVersion);
        created.setElementText(QStringLiteral("0"));
        form.children.insert(form.children.begin(), std::move(created));
    }
    for (const SettingDefinition &definition : settingDefinitions()) {
        if (!definition.stored)
            continue;
        const QString name = elementName(definition);
        XmlNode *element = form.childElement(name);
        if (!element) {
            form.children.push_back(XmlNode::element(name));
            element = &form.children.back();
        }
        element->setElementText(settings.text(definition.id));
    }
}

ConfigFile::FlushResult ConfigFile::FlushSettings()
{
    readOnce();
    if (m_protected)
        return FlushResult::Protected;
    if (isMarkedReadOnly(m_path))
        return FlushResult::ReadOnly;
    const QFileInfo info(m_path);
    const QString shownPath = QDir::toNativeSeparators(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        report(QStringLiteral("Settings file %1 cannot be written: its folder cannot be created.").arg(shownPath));
        return FlushResult::Failed;
    }
    // A full disk or a crash half-way must leave the previous settings intact:
    // an empty file would start the next run on the defaults.
    if (const QString reason = writeFileDurably(m_path, writeXml(m_document)); !reason.isEmpty()) {
        report(QStringLiteral("Settings file %1 cannot be written (%2); the file keeps its previous content.")
                   .arg(shownPath, reason));
        return FlushResult::Failed;
    }
    return FlushResult::Written;
}

} // namespace velora
