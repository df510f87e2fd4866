#include "returns/ReturnChannel.h"

#include "database/Database.h"
#include "returns/ReturnAnswer.h"
#include "rides/Datasets.h"
#include "rides/RideCodes.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"
#include "wire/Framing.h"
#include "wire/WireCodec.h"

#include <QDateTime>
#include <QPointer>
#include <QScopeGuard>

namespace velora {

namespace {

// How long the start of an answer waits for the rest of its bytes.
constexpr int kReplyCompletionMs = 2000;
// Bounds of the logs that these handlers test before adding to them.
constexpr qsizetype kActivityLogBound = 250;
constexpr qsizetype kReturnLogBound = 500;
// The socket's own read buffer: a flooding peer is read in pieces of this size
// instead of growing one buffer without limit.
constexpr qint64 kSocketReadBuffer = 64 * 1024;

} // namespace

ReturnChannelSetup rbsChannelSetup()
{
    return {QStringLiteral("RBSClientSocket"), Setting::RBSCHost, Setting::RBSCPoort, QStringLiteral("rbs")};
}

ReturnChannelSetup valysChannelSetup()
{
    return {QStringLiteral("ValysClientSocket"), Setting::VALYSHOST, Setting::VALYSPOORT, QStringLiteral("valys")};
}

ReturnChannel::ReturnChannel(ReturnChannelSetup setup, const ReturnLinkContext &context, QTimer &queueTimer,
                             QObject *parent)
    : QObject(parent), m_setup(std::move(setup)), m_settings(context.settings), m_activityLog(context.activityLog),
      m_returnLog(context.returnLog), m_failures(context.failures), m_work(context.work), m_datasets(context.datasets),
      m_queueTimer(queueTimer), m_role(context.role)
{
    m_socket.setObjectName(m_setup.socketName);
    m_socket.setReadBufferSize(kSocketReadBuffer);
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_failures.guard([this] { onReadyRead(); }); });
    connect(&m_socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) { m_failures.guard([this, error] { onError(error); }); });

    // A message sent on a connection that ends before its answer came is
    // counted as unanswered; the scheduler offers it again later.
    connect(&m_socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState && m_awaitingAnswer > 0) {
            count("unanswered", quint64(m_awaitingAnswer));
            m_awaitingAnswer = 0;
        }
    });
    connect(&m_queue, &ReturnQueue::changed, this, [this] { queueChanged(); });

    m_replyFlush.setSingleShot(true);
    m_replyFlush.setInterval(kReplyCompletionMs);
    connect(&m_replyFlush, &QTimer::timeout, this, [this] { m_failures.guard([this] { handlePending(true); }); });
}

ReturnChannel::~ReturnChannel()
{
    m_socket.abort();
}

bool ReturnChannel::isConnected() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

QString ReturnChannel::configuredPeer() const
{
    return m_settings.text(m_setup.host).trimmed() + u':' + QString::number(m_settings.integer(m_setup.port));
}

QString ReturnChannel::context() const
{
    // The attempt's own host and port: the settings may have changed since.
    if (m_attemptHost.isEmpty())
        return m_setup.socketName + u' ' + configuredPeer();
    return m_setup.socketName + u' ' + m_attemptHost + u':' + QString::number(m_attemptPort);
}

qint64 ReturnChannel::oldestAgeSeconds() const
{
    if (m_arrivals.empty())
        return -1;
    return qMax<qint64>(0, (QDateTime::currentMSecsSinceEpoch() - m_arrivals.front()) / 1000);
}

void ReturnChannel::queueChanged()
{
    // Entries are appended at the end and taken from the head (or all at
    // once): the difference in size says which.
    const auto size = std::size_t(m_queue.size());
    if (size > m_arrivals.size()) {
        const std::size_t added = size - m_arrivals.size();
        m_arrivals.insert(m_arrivals.end(), added, QDateTime::currentMSecsSinceEpoch());
        count("queued", added);
    }
    while (m_arrivals.size() > size)
        m_arrivals.pop_front();
}

void ReturnChannel::count(const char *event, quint64 times)
{
    if (m_metrics)
        m_metrics->returnMessage(m_setup.label, QLatin1String(event), times);
}

bool ReturnChannel::isAttemptPending() const
{
    const auto state = m_socket.state();
    return state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState;
}

void ReturnChannel::queueTick()
{
    m_queueTimer.stop();
    const auto restart = qScopeGuard([this] { m_queueTimer.start(); });
    m_failures.guard([this] {
        // A stand-by machine keeps what it queued while it served until it
        // serves again; the other machine of the pair sends its own.
        if (m_queue.isEmpty() || standby())
            return;
        if (m_activityLog.lineCount() > kActivityLogBound)
            m_activityLog.clear();
        if (isConnected())
            return;
        if (isAttemptPending()) {
            // One attempt at a time; one that hangs is given up so that the
            // next one can start.
            if (m_attemptStarted.elapsed() < m_connectTimeoutMs)
                return;
            // The socket knows its peer's port only once connected.
            reportAttemptFailure(
                m_setup.socketName +
                QStringLiteral(": Connection to %1:%2 timed out").arg(m_socket.peerName()).arg(m_attemptPort));
        }
        startAttempt();
    });
}

void ReturnChannel::startAttempt()
{
    // Answers held back from the previous connection are handled before it
    // goes: they were received, only their end was missing.
    if (!m_pending.isEmpty())
        handlePending(true);

    // The one socket is reset and reused: a thousand failed attempts leave no
    // descriptor or object behind. This also ends a connection that is still
    // closing because its peer never took the last bytes.
    m_socket.abort();

    const QString host = m_settings.text(m_setup.host).trimmed();
    const qint32 port = m_settings.integer(m_setup.port);
    if (host.isEmpty() || port < 1 || port > 65535) {
        m_returnLog.addLine(QStringLiteral("* SOCKET ERROR * ") + m_queue.head());
        return;
    }
    m_attemptReported = false;
    m_attemptStarted.start();
    m_attemptPort = static_cast<quint16>(port);
    m_attemptHost = host;
    m_socket.connectToHost(host, m_attemptPort);
}

void ReturnChannel::sendTick()
{
    m_failures.guard([this] {
        if (isConnected() && !m_queue.isEmpty() && !standby()) {
            const QString entry = m_queue.head();
            const QByteArray bytes = toAnsi(entry);
            if (m_socket.write(bytes) != bytes.size())
                throw Failure(context() + QStringLiteral(": ") + m_socket.errorString()); // the entry stays at the head
            m_activityLog.addLine(QStringLiteral("*") + entry);
            ++m_awaitingAnswer;
            count("sent");
            m_queue.removeHead();
        } else if (isConnected()) {
            m_socket.close();
        }
    });
}

void ReturnChannel::clearQueue()
{
    m_queue.clear();
}

void ReturnChannel::onReadyRead()
{
    const QByteArray bytes = m_socket.readAll();
    // An answer still arriving in small reads is only extended: cutting it
    // anew would copy and scan everything held at every read.
    if (appendWhileIncomplete(m_pending, bytes, kReplyBufferLimit)) {
        m_replyFlush.start(); // the wait counts from the last bytes received
        return;
    }
    m_pending.append(bytes);
    handlePending(m_pending.size() >= kReplyBufferLimit);
}

void ReturnChannel::handlePending(bool takeAll)
{
    FramingResult framed = cutFrames(m_pending, {}, {kReplyBufferLimit, takeAll, true});
    m_pending = std::move(framed.held);
    if (m_pending.isEmpty())
        m_replyFlush.stop();
    else
        m_replyFlush.start(); // the wait counts from the last bytes received
    // A failure in one answer (too few items) does not stop the ones after it.
    for (const QByteArray &answer : framed.pieces)
        m_failures.guard([this, &answer] { handleAnswer(answer); });
}

void ReturnChannel::handleAnswer(const QByteArray &bytes)
{
    const QString text = receivedText(bytes);
    if (m_returnLog.lineCount() > kReturnLogBound)
        m_returnLog.clear();
    m_returnLog.addLine(QStringLiteral("C:-> ") + logExcerpt(text, kLoggedReplyLimit));

    const ReturnAnswer answer = readReturnAnswer(text);
    if (answer.kind == ReturnAnswer::Kind::Other)
        return;

    // Counted before the close, which would count it unanswered.
    if (m_awaitingAnswer > 0)
        --m_awaitingAnswer;
    count(answer.kind == ReturnAnswer::Kind::Accept ? "acknowledged" : "refused");
    m_socket.close();
    m_returnLog.addLine(QStringLiteral("C:-> RETOURMELDING - ") + logExcerpt(answer.reply, kLoggedReplyLimit));
    if (answer.missingRideNumber)
        throw Failure(QStringLiteral("List index out of bounds (3)"));
    if (!answer.rideNumber)
        return; // no ride number: rides without one are no booking-system rides
    updateReturnState(answer.kind == ReturnAnswer::Kind::Accept ? ReturnAcknowledged : ReturnRejected,
                      *answer.rideNumber);
}

void ReturnChannel::updateReturnState(qint32 state, qint32 rideNumber)
{
    // The update waits while a packet's post waits for the distance service;
    // every answer gets its own place in the queue.
    const QString key = m_setup.socketName + QStringLiteral("Read#") + QString::number(++m_answerSerial);
    QPointer<ReturnChannel> self(this);
    m_work.post(key, [self, state, rideNumber] {
        if (!self)
            return;
        self->m_failures.guard([&] {
            self->m_datasets.ADOCommand.execute(
                QStringLiteral("update planning set pla_retour_rbs=? where pla_extern=?"), {state, rideNumber});
            self->m_returnLog.addLine(
                QStringLiteral("C:-> RETOURMELDING - STATUS %1 voor %2").arg(state).arg(rideNumber));
        });
        Q_EMIT self->answerHandled();
    });
}

void ReturnChannel::onError(QAbstractSocket::SocketError error)
{
    // A peer that ends the connection (after its answer, or without one) ends
    // it; that is no failure of the link.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    reportAttemptFailure(context() + QStringLiteral(": ") + m_socket.errorString());
}

void ReturnChannel::reportAttemptFailure(const QString &message)
{
    if (m_attemptReported)
        return;
    m_attemptReported = true;
    m_failures.handle(m_setup.socketName, message);
}

} // namespace velora

#include "moc_ReturnChannel.cpp"
