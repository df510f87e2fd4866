#pragma once

#include "shell/XmlTree.h"

#include <QString>

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
    // with FormVersion below 0 is not applied at all.
    void LoadSettings(Settings &settings);
    // SaveSettings: the current value of every stored setting into the
    // in-memory document, FormVersion 0 first.
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

private:
    void readOnce();
    void report(const QString &line);
    XmlNode &hoofdscherm();

    QString m_path;
    Log *m_log = nullptr;
    XmlNode m_document;
    bool m_read = false;
    // The file exists but could not be read, and it could not be moved aside
    // either: writing would destroy the user's settings.
    bool m_protected = false;
    QString m_movedAsideTo;
};

// The value forms of the file; *ok says whether the text could be read at all.
bool readYesNo(const QString &text, bool *ok);
int readDecimal(const QString &text, bool *ok);

} // namespace velora
