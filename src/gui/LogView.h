#pragma once

#include <QPlainTextEdit>

namespace velora {

class Log;

// On-screen view of a log: follows its lines as they are added and reloads
// when the log is cleared or replaced. The operator may type in it (the log
// page is an ordinary text field); the log object stays what is saved.
class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogView(Log &log, QWidget *parent = nullptr);

private:
    void reload();

    Log &m_log;
};

} // namespace velora
