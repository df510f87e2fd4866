#pragma once

#include "shell/Log.h"

#include <QIODevice>
#include <QObject>

namespace velora {

// Headless mode's view of the two logs: every line added to the activity log is
// written as "[RBSLog] " + line, every line of the return log as
// "[RBSCLog] " + line. The lines of one turn of the event loop (a packet's
// dozen lines, or a group of packets') are written and flushed together at
// the start of the next turn, before a reply written meanwhile reaches its
// peer, so an operator (or journald) sees them while it happens at one write
// instead of one per line. The log's name is the prefix. Once a
// write fails (the reader is gone) the console writes nothing more and says so
// once on standard error.
class HeadlessConsole : public QObject {
    Q_OBJECT
public:
    HeadlessConsole(Log &activityLog, Log &returnLog, QIODevice &out, QObject *parent = nullptr);
    ~HeadlessConsole() override;

    // The output is the journal's stream: a line that is not Info starts
    // with its priority prefix ("<3>" for a failure, "<4>" for a settings
    // problem), so that "journalctl -p err" finds the failures. A terminal
    // or a file gets the lines as they are.
    void setJournalPriorities(bool on) { m_journalPriorities = on; }
    // The journal also takes entries of its own: a line with a priority or
    // a part goes there directly, with the fields COMPONENT and PEER, its
    // text the same as on the stream. Info lines stay on the stream, which
    // takes a turn's lines at one write.
    void setJournalEntries(bool on) { m_journalEntries = on; }

private:
    void follow(Log &log);
    void write(const QString &prefix, const QString &line, const LineOrigin &origin);
    void flushPending();

    QIODevice &m_out;
    QByteArray m_pending;
    bool m_flushScheduled = false;
    bool m_closed = false;
    bool m_journalPriorities = false;
    bool m_journalEntries = false;
};

} // namespace velora
