#include "shell/HeadlessConsole.h"

#include "shell/Log.h"

#include <QFileDevice>

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
    connect(&log, &Log::lineAdded, this, [this, prefix](const QString &line) { write(prefix, line); });
}

void HeadlessConsole::write(const QString &prefix, const QString &line)
{
    m_out.write((prefix + line + u'\n').toUtf8());
    if (auto *file = qobject_cast<QFileDevice *>(&m_out))
        file->flush();
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_HeadlessConsole.cpp"
