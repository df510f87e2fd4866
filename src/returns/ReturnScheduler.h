#pragma once

#include "returns/ResubmitButton.h"

#include <QObject>
#include <QString>
#include <QTimer>

namespace velora {

class Database;
class FailureHandler;
class Log;
class Settings;
class StatusMessages;
class WorkQueue;
struct Datasets;
struct ReturnLinkContext;

// RetourZender: offers one ride that waits for its status message per working
// tick, marks it offered (ReturnOffered), and counts the offered and failed rides for the
// "NO REPLY" and "NACK" buttons, whose presses put those rides back to pending.
class ReturnScheduler : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstIntervalMs = 15000;

    ReturnScheduler(const ReturnLinkContext &context, StatusMessages &statusMessages, QTimer &timer,
                    QObject *parent = nullptr);

    // The timer's tick, and the buttons below: each is a job of the work
    // queue, so it waits while a packet's post waits for the distance service.
    void RetourZenderTimer();
    // "NO REPLY" and "NACK".
    void NackBerichtenClick();
    void ErrorBerichtenClick();
    // "VERZENDEN": ZendStatus for the pla_id in Testnummer.
    void Button1Click();

    const ResubmitButton &noReplyButton() const { return m_noReply; }
    const ResubmitButton &failedButton() const { return m_failed; }

    // The scheduler's interval in ms (the slider's seconds); tests scale it.
    void setSecondLength(int ms) { m_secondMs = ms; }

Q_SIGNALS:
    void buttonsChanged();
    // After a tick's work ran (whether it offered a ride or failed).
    void tickDone();

private:
    void tick();
    void resubmit(const QString &statement);
    int countRows(const QString &statement);

    Settings &m_settings;
    Log &m_activityLog;
    Log &m_returnLog;
    FailureHandler &m_failures;
    Database &m_database;
    Datasets &m_datasets;
    WorkQueue &m_work;
    StatusMessages &m_statusMessages;
    QTimer &m_timer;
    int m_secondMs = 1000;

    ResubmitButton m_noReply;
    ResubmitButton m_failed;
};

} // namespace velora
