#include "service/HeadlessConsole.h"

#include "shell/Log.h"

#include <QFileDevice>
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
    connect(&log, &Log::lineAdded, this, [this, &log, prefix](const QString &line) {
        write(m_journalPriorities && log.isReplacing() ? QStringLiteral("<3>") + prefix : prefix, line);
    });
}

void HeadlessConsole::write(const QString &prefix, const QString &line)
{
    if (m_closed)
        return;
    const QByteArray bytes = (prefix + line + u'\n').toUtf8();
    bool written = m_out.write(bytes) == bytes.size();
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
