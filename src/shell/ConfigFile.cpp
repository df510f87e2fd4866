#include "shell/ConfigFile.h"

#include "shell/DurableFile.h"
#include "shell/FilePermissions.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>

namespace velora {

namespace {

const QString kRoot = QStringLiteral("Configuration");
const QString kForm = QStringLiteral("Hoofdscherm");
const QString kFormVersion = QStringLiteral("FormVersion");

// A value as a warning quotes it: long texts are cut, so that one bad element
// cannot flood the log.
QString quoted(const QString &text)
{
    constexpr qsizetype kShown = 60;
    return u'"' + (text.size() > kShown ? text.left(kShown) + QStringLiteral("...") : text) + u'"';
}

// The warning for a text setting read as a number, or empty when the text is
// a whole number within its range. An empty text of a number without range is
// the "not set" of its setting (the company number, for example).
QString numberWarning(const NumberRule &rule, const QString &name, const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() && !rule.isPort())
        return {};
    const IntegerReading reading = readInteger(trimmed);
    const bool changed = !reading.complete;
    const bool outside = reading.value < rule.lowest || reading.value > rule.highest;
    if (!changed && !outside)
        return {};
    QString line = name + QStringLiteral(": ") + quoted(text);
    if (changed)
        line += QStringLiteral(" is read as %1").arg(reading.value);
    if (outside)
        line += (changed ? QStringLiteral(", outside") : QStringLiteral(" is outside")) +
                (rule.highest == 65535 ? QStringLiteral(" the port range %1..%2") : QStringLiteral(" the range %1..%2"))
                    .arg(rule.lowest)
                    .arg(rule.highest);
    return line + u'.';
}

// The addresses as their readers take them: the intake's and the status
// endpoint's listen address refuse a text that is no address (nothing
// listens then), and an entry of RBSToegestaan that cannot be read lets
// nobody in by itself.
QStringList addressWarnings(const Settings &settings)
{
    QStringList warnings;
    const QString intake = settings.text(Setting::RBSAdres).trimmed();
    if (!intake.isEmpty() && intake != u"*" && QHostAddress(intake).isNull())
        warnings << QStringLiteral("RBSAdres_Text: %1 is no address; the intake server does not listen.")
                        .arg(quoted(intake));
    const QString status = settings.text(Setting::StatusAdres).trimmed();
    if (!status.isEmpty() && QHostAddress(status).isNull())
        warnings << QStringLiteral("StatusAdres_Text: %1 is no address; the status endpoint does not listen.")
                        .arg(quoted(status));
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    for (const QString &entry : settings.text(Setting::RBSToegestaan).split(separators, Qt::SkipEmptyParts)) {
        const bool readable =
            entry.contains(u'/') ? !QHostAddress::parseSubnet(entry).first.isNull() : !QHostAddress(entry).isNull();
        if (!readable)
            warnings << QStringLiteral("RBSToegestaan_Text: %1 is no address or network; it lets nobody in.")
                            .arg(quoted(entry));
    }
    return warnings;
}

// Applies the values under Hoofdscherm to the settings and returns what was
// wrong with them. `kept` receives the elements whose value was skipped.
QStringList applyForm(const XmlNode &document, Settings &settings, QHash<QString, QString> &kept)
{
    kept.clear();
    const XmlNode *root = nullptr;
    for (const XmlNode &child : document.children) {
        if (child.type == XmlNode::Type::Element) {
            root = &child;
            break;
        }
    }
    QStringList warnings;
    // The service takes the first element for the root, whatever its name,
    // and writes its settings back into it: a file meant for another program
    // would be read, and then written over, as if it were this one's.
    if (root && root->name != kRoot)
        warnings << QStringLiteral("the root element is %1, not %2; it is read and written as if it were %2.")
                        .arg(root->name, kRoot);
    const XmlNode *form = root ? root->childElement(kForm) : nullptr;
    if (!form) {
        if (root)
            warnings
                << QStringLiteral("no element %1 under %2: every setting keeps its default.").arg(kForm, root->name);
        return warnings;
    }

    QSet<QString> known{kFormVersion};
    for (const SettingDefinition &definition : settingDefinitions()) {
        if (definition.stored)
            known.insert(elementName(definition));
    }
    QSet<QString> seen;
    for (const XmlNode &child : form->children) {
        if (child.type != XmlNode::Type::Element)
            continue;
        if (!known.contains(child.name))
            warnings << QStringLiteral("unknown element %1 under %2; it is kept in the file but not read.")
                            .arg(child.name, kForm);
        else if (seen.contains(child.name))
            warnings << QStringLiteral("%1 appears more than once; only the first is read.").arg(child.name);
        seen.insert(child.name);
    }

    bool ok = false;
    const XmlNode *version = form->childElement(kFormVersion);
    const int formVersion = version ? readDecimal(version->elementText(), &ok) : 0;
    if (version && !ok)
        warnings << QStringLiteral("%1: %2 cannot be read as an integer; the settings are read as for 0.")
                        .arg(kFormVersion, quoted(version->elementText()));
    if (ok && formVersion < 0) {
        warnings << QStringLiteral("%1 is %2 (below 0): no setting of the file is applied.")
                        .arg(kFormVersion)
                        .arg(formVersion);
        return warnings;
    }

    for (const SettingDefinition &definition : settingDefinitions()) {
        if (!definition.stored)
            continue;
        const QString name = elementName(definition);
        const XmlNode *element = form->childElement(name);
        if (!element)
            continue;
        const QString text = element->elementText();
        switch (definition.kind) {
        case SettingKind::Text: {
            settings.setText(definition.id, text);
            if (const NumberRule *rule = numberRuleOf(definition.id)) {
                if (const QString warning = numberWarning(*rule, name, text); !warning.isEmpty())
                    warnings << warning;
            }
            break;
        }
        case SettingKind::YesNo: {
            const bool value = readYesNo(text, &ok);
            if (ok) {
                settings.setChecked(definition.id, value);
            } else {
                kept.insert(name, settings.text(definition.id));
                warnings << QStringLiteral("%1: %2 cannot be read as yes/no (TRUE, YES, Y, FALSE, NO, N or a "
                                           "number); the setting keeps %3.")
                                .arg(name, quoted(text), settings.text(definition.id));
            }
            break;
        }
        case SettingKind::Integer: {
            const int value = readDecimal(text, &ok);
            if (ok) {
                settings.setPosition(definition.id, value);
                if (settings.position(definition.id) != value)
                    warnings << QStringLiteral("%1: %2 is outside the range of the setting; %3 is used.")
                                    .arg(name, quoted(text), settings.text(definition.id));
            } else {
                kept.insert(name, settings.text(definition.id));
                warnings << QStringLiteral("%1: %2 cannot be read as an integer; the setting keeps %3.")
                                .arg(name, quoted(text), settings.text(definition.id));
            }
            break;
        }
        }
    }
    warnings << addressWarnings(settings);
    return warnings;
}

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

void ConfigFile::report(const QString &line, bool failure)
{
    // A value the service reads otherwise than meant is the operator's to
    // fix, not a failure of the service; a file that cannot be written is.
    if (m_log)
        m_log->addLine(dateTimeStamp() + u' ' + line,
                       {failure ? LinePriority::Error : LinePriority::Warning, QStringLiteral("settings"), {}});
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
        m_loadProblem = QStringLiteral("Settings file %1 cannot be read (%2); the default settings are used and the "
                                       "file will not be written.")
                            .arg(shownPath, file.errorString());
        report(m_loadProblem);
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
        m_loadProblem = QStringLiteral("Settings file %1 is not readable XML (%2); the default settings are used. "
                                       "The file was kept as %3.")
                            .arg(shownPath, error, QDir::toNativeSeparators(target));
    } else {
        m_protected = true;
        m_loadProblem = QStringLiteral("Settings file %1 is not readable XML (%2); the default settings are used "
                                       "and the file will not be written.")
                            .arg(shownPath, error);
    }
    report(m_loadProblem);
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
    m_warnings = applyForm(m_document, settings, m_keptAsWritten);
    const QString shownPath = QDir::toNativeSeparators(m_path);
    for (const QString &warning : std::as_const(m_warnings))
        report(QStringLiteral("Settings file %1: %2").arg(shownPath, warning));
}

ConfigFile::Check ConfigFile::check(const QString &path)
{
    Check result;
    const QString shownPath = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.exists()) {
        result.problem = QStringLiteral("Settings file %1 does not exist.").arg(shownPath);
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        result.problem = QStringLiteral("Settings file %1 cannot be read (%2).").arg(shownPath, file.errorString());
        return result;
    }
    XmlNode document;
    QString error;
    if (!parseXml(file.readAll(), document, &error)) {
        result.problem = QStringLiteral("Settings file %1 is not readable XML (%2).").arg(shownPath, error);
        return result;
    }
    result.readable = true;
    Settings scratch;
    QHash<QString, QString> kept;
    result.warnings = applyForm(document, scratch, kept);
    return result;
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
        // The operator's unreadable text stays until the setting is changed:
        // writing the default over it would lose what was meant.
        const auto kept = m_keptAsWritten.constFind(name);
        if (kept != m_keptAsWritten.constEnd() && *kept == settings.text(definition.id))
            continue;
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
        report(QStringLiteral("Settings file %1 cannot be written: its folder cannot be created.").arg(shownPath),
               true);
        return FlushResult::Failed;
    }
    // A full disk or a crash half-way must leave the previous settings intact:
    // an empty file would start the next run on the defaults.
    if (const QString reason = writeFileDurably(m_path, writeXml(m_document)); !reason.isEmpty()) {
        report(QStringLiteral("Settings file %1 cannot be written (%2); the file keeps its previous content.")
                   .arg(shownPath, reason),
               true);
        return FlushResult::Failed;
    }
    return FlushResult::Written;
}

} // namespace velora
