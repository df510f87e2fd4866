#pragma once

#include "shell/DateTimes.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

namespace velora {

// How much a line matters and where it came from, for readers that rank and
// sort lines (the journal): syslog's numbers, so they pass through unchanged.
enum class LinePriority {
    Error = 3,
    Warning = 4,
    Info = 6
};
struct LineOrigin {
    LinePriority priority = LinePriority::Info;
    QString component; // the part that wrote it: a socket's name, "settings"
    QString peer;      // the remote address the line is about, when known
};

// One on-screen log (the activity log RBSLog or the return log RBSCLog): an
// ordered list of lines, always added at the end. Views, standard output and the
// log files subscribe to its signals; the log itself never touches a widget.
class Log : public QObject {
    Q_OBJECT
public:
    explicit Log(QString name, QObject *parent = nullptr);

    const QString &name() const { return m_name; }

    // AddLogLine: a text holding line breaks counts as several lines. With a
    // line bound set, a log holding more lines than the bound is cleared
    // first.
    void addLine(const QString &text);
    // The same, for a line whose rank or part a reader should know.
    void addLine(const QString &text, const LineOrigin &origin);
    // A log that nobody clears by its own rhythm (the return log, when no
    // return host ever answers) would otherwise grow for as long as the
    // service runs. 0: no bound.
    void setLineBound(qsizetype bound) { m_lineBound = bound; }
    qsizetype lineBound() const { return m_lineBound; }
    void clear();
    // The failure handler's way: the whole content becomes this text.
    void replaceWith(const QString &text, const LineOrigin &origin = {LinePriority::Error, {}, {}});
    // True while replaceWith() announces its lines: a line added now is a
    // failure message, which views that rank lines (the journal) mark as one.
    bool isReplacing() const { return m_replacing; }
    // The origin of the line lineAdded() announces right now; a plain line
    // is Info from no particular part.
    const LineOrigin &currentOrigin() const { return m_origin; }

    // A packet's lines stay together in the log although its reply line is
    // only written when its group of packets is stored, after later packets
    // were handled: while held, added lines are kept back, and
    // takeHeldLines() ends the hold and hands them over for addLines().
    // A failure's replaceWith() first adds what is held, as it came first.
    void holdLines();
    QStringList takeHeldLines();
    bool isHolding() const { return m_holding; }
    // Adds lines as addLine() does, also while lines are held.
    void addLines(const QStringList &lines);

    qsizetype lineCount() const { return m_lines.size(); }
    const QStringList &lines() const { return m_lines; }
    QString text() const { return m_lines.join(QStringLiteral("\r\n")); }

Q_SIGNALS:
    void lineAdded(const QString &line);
    // The content was cleared or replaced: views reload from lines().
    void reset();

private:
    void appendLines(const QString &text);

    QString m_name;
    QStringList m_lines;
    qsizetype m_lineBound = 0;
    bool m_replacing = false;
    LineOrigin m_origin;
    bool m_holding = false;
    QStringList m_held;
};

// A received text as a log line shows it: a peer that floods a connection must
// not fill memory with one endless line (or, through line breaks in it, with
// millions of lines), so a text above the limit keeps its first characters and
// says how long it was.
QString logExcerpt(const QString &text, qsizetype limit);

// The two stamps of log lines. The clock is a parameter so that tests can fix it.
QString timeOfDayStamp(const QDateTime &now = localNow()); // hh:mm:ss
QString dateTimeStamp(const QDateTime &now = localNow());  // dd-mm-yyyy hh:mm:ss

// File name of a saved activity log: DDMMYYHHMMSS, then the month and the
// seconds once more without leading zero, then ".TXT" (8 Dec 2014 14:05:09
// gives 081214140509129.TXT).
QString activityLogFileName(const QDateTime &now);

// SaveActivityLog: writes the lines, each ended by CR LF, in the single-byte
// code page into folder/<stamped name>; an existing file of that name is
// replaced, and only by the whole new content. A missing folder is made again.
// Throws Failure when the file cannot be written (nothing is left behind then)
// and says so on standard error too.
// With keepDays above 0, saved activity logs in the folder older than that
// many days are removed after the save (see removeExpiredLogs).
QString saveActivityLog(const Log &log, const QString &folder, const QDateTime &now = QDateTime::currentDateTime(),
                        int keepDays = 0);

// Removes the saved activity logs (files named as activityLogFileName makes
// them) in the folder last written more than keepDays days before now; other
// files are left alone. keepDays 0 or less keeps all. Returns how many went.
int removeExpiredLogs(const QString &folder, int keepDays, const QDateTime &now = QDateTime::currentDateTime());

} // namespace velora
