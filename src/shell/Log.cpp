#include "shell/Log.h"

#include "shell/DurableFile.h"
#include "shell/Failure.h"
#include "shell/TextRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopedValueRollback>

#include <utility>

namespace velora {

Log::Log(QString name, QObject *parent) : QObject(parent), m_name(std::move(name)) {}

namespace {

// Nearly every line is one line: it is kept as it is, sharing its text,
// instead of being copied through splitLines (a list and a copy of each line
// for the ten lines of every packet).
bool isOneLine(const QString &text)
{
    return !text.contains(u'\n') && !text.contains(u'\r');
}

} // namespace

void Log::appendLines(const QString &text)
{
    if (isOneLine(text)) {
        m_lines.append(text);
        Q_EMIT lineAdded(text);
        return;
    }
    for (const QString &line : splitLines(text)) {
        m_lines.append(line);
        Q_EMIT lineAdded(line);
    }
}

void Log::addLine(const QString &text)
{
    if (m_holding) {
        if (isOneLine(text))
            m_held.append(text);
        else
            m_held.append(splitLines(text));
        return;
    }
    if (m_lineBound > 0 && m_lines.size() > m_lineBound)
        clear();
    appendLines(text);
}

void Log::addLine(const QString &text, const LineOrigin &origin)
{
    // Held lines are a packet's, and a packet's lines are Info: a ranked line
    // goes out at once rather than losing its rank in the hold.
    const QScopedValueRollback direct(m_holding, false);
    const QScopedValueRollback ranked(m_origin, origin);
    addLine(text);
}

void Log::clear()
{
    m_lines.clear();
    Q_EMIT reset();
}

void Log::holdLines()
{
    m_holding = true;
}

QStringList Log::takeHeldLines()
{
    m_holding = false;
    return std::exchange(m_held, {});
}

void Log::addLines(const QStringList &lines)
{
    const QScopedValueRollback direct(m_holding, false);
    for (const QString &line : lines)
        addLine(line);
}

void Log::replaceWith(const QString &text, const LineOrigin &origin)
{
    if (m_holding)
        addLines(std::exchange(m_held, {}));
    m_lines.clear();
    Q_EMIT reset();
    const QScopedValueRollback replacing(m_replacing, true);
    const QScopedValueRollback ranked(m_origin, origin);
    appendLines(text);
}

QString logExcerpt(const QString &text, qsizetype limit)
{
    if (text.size() <= limit)
        return text;
    return text.first(limit) + QStringLiteral(" ... (%1 characters)").arg(text.size());
}

QString timeOfDayStamp(const QDateTime &now)
{
    if (!now.isValid())
        return {};
    const QTime time = now.time();
    QString stamp;
    stamp.reserve(8);
    appendZeroPadded(stamp, time.hour(), 2);
    stamp += u':';
    appendZeroPadded(stamp, time.minute(), 2);
    stamp += u':';
    appendZeroPadded(stamp, time.second(), 2);
    return stamp;
}

QString dateTimeStamp(const QDateTime &now)
{
    if (!now.isValid())
        return {};
    const QDate date = now.date();
    if (date.year() < 0 || date.year() > 9999)
        return now.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss"));
    QString stamp;
    stamp.reserve(19);
    appendZeroPadded(stamp, date.day(), 2);
    stamp += u'-';
    appendZeroPadded(stamp, date.month(), 2);
    stamp += u'-';
    appendZeroPadded(stamp, date.year(), 4);
    stamp += u' ';
    stamp += timeOfDayStamp(now);
    return stamp;
}

QString activityLogFileName(const QDateTime &now)
{
    return now.toString(QStringLiteral("ddMMyyhhmmss")) + QString::number(now.date().month()) +
           QString::number(now.time().second()) + QStringLiteral(".TXT");
}

int removeExpiredLogs(const QString &folder, int keepDays, const QDateTime &now)
{
    if (keepDays <= 0)
        return 0;
    static const QRegularExpression savedLog(QStringLiteral("^[0-9]{14,16}\\.TXT$"));
    const QDateTime limit = now.addDays(-keepDays);
    int removed = 0;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        if (savedLog.match(file.fileName()).hasMatch() && file.lastModified() < limit &&
            QFile::remove(file.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

QString saveActivityLog(const Log &log, const QString &folder, const QDateTime &now, int keepDays)
{
    const QString path = QDir(folder).filePath(activityLogFileName(now));
    // The folder may have been removed while the service ran: only a folder
    // that cannot be made again (a file in its place, no rights) fails the
    // save, through the file that then cannot be created in it.
    QDir().mkpath(folder);
    QByteArray bytes;
    for (const QString &line : log.lines()) {
        bytes += toAnsi(line);
        bytes += "\r\n";
    }
    bool created = false;
    const QString reason = writeFileDurably(path, bytes, &created);
    if (reason.isEmpty()) {
        removeExpiredLogs(folder, keepDays, now);
        return path;
    }
    const QString message =
        (created ? QStringLiteral("Cannot write file \"%1\". %2") : QStringLiteral("Cannot create file \"%1\". %2"))
            .arg(QDir::toNativeSeparators(path), reason);
    // The failure handler puts the message in the activity log, which is the
    // very thing that could not be saved: standard error keeps it as well.
    qWarning("%s", qUtf8Printable(message));
    throw Failure(message);
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_Log.cpp"
