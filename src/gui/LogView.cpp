#include "gui/LogView.h"

#include "shell/Log.h"

namespace velora {

LogView::LogView(Log &log, QWidget *parent) : QPlainTextEdit(parent), m_log(log)
{
    setObjectName(log.name());
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    reload();
    connect(&log, &Log::lineAdded, this, [this](const QString &line) { appendPlainText(line); });
    connect(&log, &Log::reset, this, &LogView::reload);
}

void LogView::reload()
{
    setPlainText(m_log.lines().join(u'\n'));
    moveCursor(QTextCursor::End);
}

} // namespace velora
