#include "service/HeadlessConsole.h"

#include "service/SystemdNotify.h"
#include "shell/Log.h"

#include <QFileDevice>
#include <QMetaObject>
#include <QTextStream>

namespace velora {

HeadlessConsole::HeadlessConsole(Log &activityLog, Log &returnLog, QIODevice &out, QObject *parent)
    : QObject(parent), m_out(out)
{
    follow(activityLog);
    follow(returnLog);
}

void HeadlessConsole::follow(Log &log)
{
    const QString prefix = u'[' + log.name() + QStringLiteral("] ");
    // replaceWith() announces its new lines through lineAdded as well, so the
    // failure handler's message reaches the output like any other line.
    connect(&log, &Log::lineAdded, this,
            [this, &log, prefix](const QString &line) { write(prefix, line, log.currentOrigin()); });
}

HeadlessConsole::~HeadlessConsole()
{
    flushPending();
}

void HeadlessConsole::write(const QString &prefix, const QString &line, const LineOrigin &origin)
{
    if (m_closed)
        return;
    const bool ranked = origin.priority != LinePriority::Info;
    if (m_journalEntries && (ranked || !origin.component.isEmpty() || !origin.peer.isEmpty())) {
        // After the lines before it, which are still pending.
        flushPending();
        QList<QByteArray> fields;
        if (!origin.component.isEmpty())
            fields << "COMPONENT=" + origin.component.toUtf8();
        if (!origin.peer.isEmpty())
            fields << "PEER=" + origin.peer.toUtf8();
        if (systemd::sendToJournal((prefix + line).toUtf8(), int(origin.priority), fields))
            return;
    }
    if (m_journalPriorities && ranked)
        m_pending += '<' + QByteArray::number(int(origin.priority)) + '>';
    m_pending += prefix.toUtf8();
    m_pending += line.toUtf8();
    m_pending += '\n';
    // Far more than a turn's lines normally come to: written now rather than
    // held without bound.
    constexpr qsizetype kPendingBound = 256 * 1024;
    if (m_pending.size() >= kPendingBound) {
        flushPending();
        return;
    }
    if (!m_flushScheduled) {
        m_flushScheduled = true;
        QMetaObject::invokeMethod(this, &HeadlessConsole::flushPending, Qt::QueuedConnection);
    }
}

void HeadlessConsole::flushPending()
{
    m_flushScheduled = false;
    if (m_closed || m_pending.isEmpty())
        return;
    bool written = m_out.write(m_pending) == m_pending.size();
    m_pending.resize(0); // the buffer is kept for the next turn
    if (auto *file = qobject_cast<QFileDevice *>(&m_out))
        written = file->flush() && written;
    if (written)
        return;
    // The reader of standard output is gone (or its disk is full): it will not
    // come back, and what is not written stays in the device's buffer. Trying
    // on with every line would only grow that buffer, so the console stops;
    // the service and its logs go on, and the activity log is still saved at
    // close.
    m_closed = true;
    QTextStream(stderr) << "VeloraRBS: standard output cannot be written (" << m_out.errorString()
                        << "); log lines are no longer written there.\n";
    m_out.close();
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_HeadlessConsole.cpp"
