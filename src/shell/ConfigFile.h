#pragma once

#include "shell/XmlTree.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace velora {

class Log;
class Settings;

// The settings file VeloraRBS.xml: read once into memory when the settings are
// first loaded, gathered into that document by SaveSettings and written by
// FlushSettings at program end. Elements the service does not know stay in the
// file as they were.
class ConfigFile {
public:
    explicit ConfigFile(QString path);
    // With a log, problems with the file (unreadable XML, a file that could not
    // be opened) are reported there as lines.
    ConfigFile(QString path, Log &activityLog);

    const QString &path() const { return m_path; }

    // LoadSettings: applies every stored value of the file to the settings, in
    // table order. A value that cannot be read in its kind is skipped. A file
    // with FormVersion below 0 is not applied at all. Every value that is
    // skipped, changed in the reading or out of its range, and every unknown
    // element under Hoofdscherm, becomes one line of warnings() and, with a
    // log, a line there.
    void LoadSettings(Settings &settings);
    // SaveSettings: the current value of every stored setting into the
    // in-memory document, FormVersion 0 first. An element whose value could
    // not be read keeps its text as long as its setting was not changed since.
    void SaveSettings(const Settings &settings);

    enum class FlushResult {
        Written,
        ReadOnly,  // the file is marked read-only: left alone on purpose
        Protected, // the file on disk could not be read at start: kept as it is
        Failed     // folder or file could not be written; the old file is intact
    };
    // FlushSettings: the in-memory document to the file, atomically and
    // durably. A failure is reported in the log and leaves the old file.
    FlushResult FlushSettings();

    // Where an unreadable settings file was moved at start (empty when none).
    const QString &movedAsideTo() const { return m_movedAsideTo; }
    // Why the file could not be used at all, so that the service runs on the
    // defaults (empty when the file was read, or does not exist yet).
    const QString &loadProblem() const { return m_loadProblem; }
    // The problems found in the values by the last LoadSettings.
    const QStringList &warnings() const { return m_warnings; }

    // The file checked without applying, moving or writing anything.
    struct Check {
        bool readable = false;
        QString problem;      // why it cannot be read at all, when !readable
        QStringList warnings; // as warnings() after LoadSettings
    };
    static Check check(const QString &path);

private:
    void readOnce();
    void report(const QString &line, bool failure = false);
    XmlNode &hoofdscherm();

    QString m_path;
    Log *m_log = nullptr;
    XmlNode m_document;
    bool m_read = false;
    // The file exists but could not be read, and it could not be moved aside
    // either: writing would destroy the user's settings.
    bool m_protected = false;
    QString m_movedAsideTo;
    QString m_loadProblem;
    QStringList m_warnings;
    // Elements whose value could not be read, with the value their setting
    // kept: written back as they were while the setting still holds it.
    QHash<QString, QString> m_keptAsWritten;
};

// The value forms of the file; *ok says whether the text could be read at all.
bool readYesNo(const QString &text, bool *ok);
int readDecimal(const QString &text, bool *ok);

} // namespace velora
