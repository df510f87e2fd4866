// A settings file on disk as the service meets it at start: loaded into the
// settings, gathered and written back at the end, and that file loaded again
// must give the very same settings and, saved again, the same file. A file
// that loses or changes a value on its way through the service, or grows from
// start to start, is a finding like a crash.

#include "FuzzReads.h"

#include "shell/ConfigFile.h"
#include "shell/Settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

using namespace velora;
using velora::fuzz::require;

namespace {

QTemporaryDir *folder = nullptr;

QStringList storedValues(const Settings &settings)
{
    QStringList values;
    for (const SettingDefinition &definition : settingDefinitions()) {
        if (definition.stored)
            values << settings.text(definition.id);
    }
    return values;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // A folder in memory when there is one: every input is a file write.
    const QString base =
        QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm/velora-fuzz-XXXXXX") : QString();
    folder = base.isEmpty() ? new QTemporaryDir : new QTemporaryDir(base);
    return folder->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = folder->filePath(QStringLiteral("VeloraRBS.xml"));
    {
        QFile file(path);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "the fuzz folder is writable");
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    Settings loaded;
    ConfigFile first(path);
    first.LoadSettings(loaded);
    first.SaveSettings(loaded);
    const ConfigFile::FlushResult written = first.FlushSettings();
    // An unreadable file was moved aside; it is not the run's to keep.
    if (!first.movedAsideTo().isEmpty())
        QFile::remove(first.movedAsideTo());
    require(written == ConfigFile::FlushResult::Written, "the settings are written");

    Settings again;
    ConfigFile second(path);
    second.LoadSettings(again);
    require(second.movedAsideTo().isEmpty(), "a file the service wrote is readable XML");
    require(storedValues(again) == storedValues(loaded), "a written file loads as the settings it was written from");

    // Nor may the file drift from one start to the next.
    QFile written1(path);
    require(written1.open(QIODevice::ReadOnly), "the written file is readable");
    const QByteArray once = written1.readAll();
    written1.close();
    second.SaveSettings(again);
    require(second.FlushSettings() == ConfigFile::FlushResult::Written, "the settings are written again");
    QFile written2(path);
    require(written2.open(QIODevice::ReadOnly) && written2.readAll() == once, "a second save writes the same file");
    return 0;
}
