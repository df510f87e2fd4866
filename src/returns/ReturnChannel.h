#pragma once

#include "returns/ReturnLinkContext.h"
#include "returns/ReturnQueue.h"
#include "shell/ServiceRole.h"
#include "shell/Settings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <deque>

namespace velora {

class FailureHandler;
class ServiceMetrics;
class Log;
class WorkQueue;
struct Datasets;

// What tells the two return channels apart: their names and host settings.
struct ReturnChannelSetup {
    QString socketName; // RBSClientSocket, ValysClientSocket
    Setting host;
    Setting port;
    QString label; // in the metrics: "rbs", "valys"
};

ReturnChannelSetup rbsChannelSetup();
ReturnChannelSetup valysChannelSetup();

// One return channel: its queue, its outbound connection to the return host,
// and the handlers of its queue timer, send timer and answers. The connection
// exists only while there is something to deliver. Answers move the return
// state of the rides they name; each update is a job of the work queue.
class ReturnChannel : public QObject {
    Q_OBJECT
public:
    // Takes the role from the context; the metrics come with setMetrics().
    ReturnChannel(ReturnChannelSetup setup, const ReturnLinkContext &context, QTimer &queueTimer,
                  QObject *parent = nullptr);
    ~ReturnChannel() override;

    ReturnQueue &queue() { return m_queue; }
    const ReturnQueue &queue() const { return m_queue; }

    // RBSQOutTimerTimer / ValysQOutTimerTimer: opens the connection while
    // entries wait. Stops the queue timer while it runs and starts it again on
    // every path.
    void queueTick();
    // SendClientTimer / SendclientValysTimer: writes the head entry on an
    // established connection, or closes a connection that has nothing to send.
    void sendTick();
    // SpeedButton1Click / SpeedButton2Click.
    void clearQueue();

    bool isConnected() const;
    bool isAttemptPending() const;

    // Counts queued, sent, acknowledged, refused and unanswered messages there.
    void setMetrics(ServiceMetrics *metrics) { m_metrics = metrics; }
    const ReturnChannelSetup &setup() const { return m_setup; }
    // Host and port as the settings name them now ("host:port").
    QString configuredPeer() const;
    // Seconds the head entry has waited; -1 when the queue is empty. Entries
    // are timed from when this channel saw them arrive.
    qint64 oldestAgeSeconds() const;

    // An attempt that has not connected when a queue tick finds it this old is
    // given up (and reported) so that a host that swallows the handshake still
    // sees a new attempt at every tick. Tests shorten it with the timers.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    // How long an incomplete answer waits for its remaining bytes.
    void setReplyCompletionTimeout(int ms) { m_replyFlush.setInterval(ms); }

Q_SIGNALS:
    // After an answer's state update ran (or failed); tests wait for it.
    void answerHandled();

private:
    void startAttempt();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void handlePending(bool takeAll);
    void handleAnswer(const QByteArray &bytes);
    void updateReturnState(qint32 state, qint32 rideNumber);
    void reportAttemptFailure(const QString &message);
    void queueChanged();
    void count(const char *event, quint64 times = 1);
    // "RBSClientSocket 10.0.0.5:2100": which channel and peer a failure concerns.
    QString context() const;
    bool standby() const { return m_role && m_role->standby(); }

    ReturnChannelSetup m_setup;
    Settings &m_settings;
    Log &m_activityLog;
    Log &m_returnLog;
    FailureHandler &m_failures;
    WorkQueue &m_work;
    Datasets &m_datasets;
    QTimer &m_queueTimer;

    ReturnQueue m_queue;
    QTcpSocket m_socket;
    QElapsedTimer m_attemptStarted;
    bool m_attemptReported = false;
    quint16 m_attemptPort = 0;
    int m_connectTimeoutMs = 4000;

    QByteArray m_pending; // bytes of an answer still incomplete
    QTimer m_replyFlush;
    quint64 m_answerSerial = 0;

    ServiceMetrics *m_metrics = nullptr;
    std::deque<qint64> m_arrivals; // when each queued entry arrived, head first
    int m_awaitingAnswer = 0;      // sent on the open connection, not answered yet
    QString m_attemptHost;
    const ServiceRole *m_role;
};

} // namespace velora
