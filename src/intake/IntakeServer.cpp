#include "intake/IntakeServer.h"

#include "database/Database.h"
#include "intake/OpenFileLimit.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <limits>

namespace velora {

namespace {

// Booking systems open many connections at once after an outage of the link.
constexpr int kListenBacklog = 1024;

// How long replies still unsent get to reach their peers when the server is
// destroyed: after the close step, the reply of the packet that was in hand.
constexpr int kReplyWaitMs = 2000;

// Peers must not take every file the process may open. When they do, each
// accept fails at once and is tried again at once, a busy loop for as long as
// a connection waits, and the database, the log files and the return channels
// cannot open theirs. So some files are kept back; up to 30 connections more
// may already be accepted by the time the bound is seen. The common soft
// limit of 1024 is far below what the system allows, so it is raised first.
int connectionBound()
{
    const long long files = raiseOpenFileLimit();
    if (files < 0)
        return std::numeric_limits<int>::max();
    const long long kept = std::min<long long>(64, files / 2);
    return int(std::clamp<long long>(files - kept, 1, std::numeric_limits<int>::max()));
}

bool validPort(qint32 port)
{
    return port > 0 && port <= 65535;
}

// Port 0 would let the system pick any free port, which no booking system
// knows; a text without a number reads as 0, so it is shown as typed.
Failure invalidPort(const QString &text, qint32 port)
{
    return Failure(QStringLiteral("RBSServerSocket: Ongeldige poort: ") +
                   (port == 0 ? trimControl(text) : QString::number(port)));
}

QString jobKey(const char *what, quint64 id)
{
    QString key = QStringLiteral("intake-");
    key += QLatin1String(what);
    key += u'-';
    key += QString::number(id);
    return key;
}

} // namespace

bool peerAllowed(const QHostAddress &peer, const QString &allowList)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QStringList entries = allowList.split(separators, Qt::SkipEmptyParts);
    if (entries.isEmpty())
        return true;
    bool isIPv4 = false;
    const quint32 v4 = peer.toIPv4Address(&isIPv4);
    const QHostAddress address = isIPv4 ? QHostAddress(v4) : peer;
    for (const QString &entry : entries) {
        const auto subnet = entry.contains(u'/') ? QHostAddress::parseSubnet(entry)
                                                 : std::pair<QHostAddress, int>(QHostAddress(entry), -1);
        if (subnet.first.isNull())
            continue;
        if (subnet.second < 0 ? address.isEqual(subnet.first) : address.isInSubnet(subnet))
            return true;
    }
    return false;
}

QHostAddress listenAddress(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed == u"*")
        return QHostAddress(QHostAddress::Any);
    const QHostAddress address(trimmed);
    if (address.isNull())
        throw Failure(QStringLiteral("RBSServerSocket: Ongeldig luisteradres: ") + trimControl(trimmed));
    return address;
}

IntakeServer::IntakeServer(IntakeContext context, QObject *parent)
    : QObject(parent), m_settings(context.settings), m_activityLog(context.activityLog), m_failures(context.failures),
      m_database(context.database), m_queue(context.queue), m_openDatabase(std::move(context.openDatabase)),
      m_connectionEnding(std::move(context.connectionEnding)),
      m_handler(context.settings, context.activityLog, context.returnLog, context.failures, context.database,
                context.datasets),
      m_maxConnections(connectionBound())
{
    m_handler.setGroupQueue(&m_queue);
    m_server.setListenBacklogSize(kListenBacklog);
    connect(&m_server, &QTcpServer::newConnection, this, [this] { RBSServerSocketClientConnect(); });
}

IntakeServer::~IntakeServer()
{
    // Packets handled but not yet committed are stored and answered first.
    m_queue.closeGroup();
    m_server.close();
    // The sockets would report their disconnection into a half-destroyed server.
    for (auto &[id, connection] : m_open)
        connection->mute();
    // A reply written by the packet that was in hand at the close step (or
    // by any packet, when the program ends without that step) still goes
    // out: a peer told nothing sends its ride again, and it would be stored
    // twice.
    deliverWritten(QDeadlineTimer(kReplyWaitMs));
    // The sockets go with the listener, the connections with this object.
    for (auto &[id, connection] : m_open)
        connection->close();
    m_open.clear();
}

void IntakeServer::setMetrics(ServiceMetrics *metrics)
{
    m_metrics = metrics;
    m_handler.setMetrics(metrics);
}

QString IntakeServer::listenProblem() const
{
    if (m_server.isListening()) {
        // A port change at reload that failed leaves the old port serving,
        // while the file names the new one: the next start will not listen
        // where this one does, and the status must not call that sound.
        const qint32 configured = m_settings.integer(Setting::RBSPoort);
        if (m_lastListenFailure.isEmpty() || configured == m_server.serverPort())
            return {};
        return m_lastListenFailure + QStringLiteral("; luistert nog op poort %1").arg(m_server.serverPort());
    }
    if (m_stopped)
        return QStringLiteral("de service sluit");
    if (!m_settings.checked(Setting::RBSActive))
        return QStringLiteral("\"Server activeren\" staat uit");
    if (!m_database.isOpen())
        return QStringLiteral("database niet open");
    return m_lastListenFailure.isEmpty() ? QStringLiteral("nog niet gestart") : m_lastListenFailure;
}

void IntakeServer::GeneralTimer()
{
    // Opening the database touches what a waiting post is using: the tick
    // waits behind it like every other user of the datasets.
    QPointer<IntakeServer> self(this);
    m_queue.postJob(QStringLiteral("intake-General"), [self]() -> QCoro::Task<> {
        if (self)
            co_await self->generalTick();
    });
}

QCoro::Task<> IntakeServer::generalTick()
{
    bool dropWanted = false;
    try {
        dropWanted = activate();
    } catch (const std::exception &e) {
        m_lastListenFailure = failureMessage(e);
        m_failures.handle(QStringLiteral("RBSServerSocket"), m_lastListenFailure);
    }
    if (dropWanted) {
        co_await stopListening();
        m_activityLog.addLine(dateTimeStamp() + QStringLiteral(" RBS C/S uitgeschakeld"));
    }
    setLamp(m_server.isListening());
}

bool IntakeServer::activate()
{
    if (m_stopped)
        return false;
    const bool standby = m_role && m_role->standby();
    const bool wanted = m_settings.checked(Setting::RBSActive);
    const qint32 port = m_settings.integer(Setting::RBSPoort);
    if (wanted && !m_server.isListening()) {
        if (!m_database.isOpen()) {
            if (m_openDatabase)
                m_openDatabase();
            return false; // the server starts at a later tick
        }
        if (standby)
            return false;
        if (!validPort(port))
            throw invalidPort(m_settings.text(Setting::RBSPoort), port);
        listen(port);
    } else if (standby && m_server.isListening()) {
        return true;
    } else if (wanted && m_portMoveAsked) {
        // The settings were read again while the server listens: the listener
        // moves to the port they name, the open connections stay. A port that
        // cannot be used is reported and the old one serves on, rather than a
        // slip in the file taking the link down.
        m_portMoveAsked = false;
        if (port == m_server.serverPort())
            return false;
        if (!validPort(port))
            throw invalidPort(m_settings.text(Setting::RBSPoort), port);
        const quint16 previous = m_server.serverPort();
        m_server.close();
        m_activityLog.addLine(dateTimeStamp() + QStringLiteral(" RBS C/S uitgeschakeld"));
        if (!m_server.listen(listenAddress(m_settings.text(Setting::RBSAdres)), quint16(port))) {
            const QString error = m_server.errorString();
            listen(previous);
            throw Failure(QStringLiteral("RBSServerSocket poort %1: ").arg(port) + error);
        }
        m_lastListenFailure.clear();
        logListening();
    } else if (!wanted && m_server.isListening()) {
        return true;
    }
    return false;
}

void IntakeServer::listen(qint32 port)
{
    const QHostAddress address = listenAddress(m_settings.text(Setting::RBSAdres));
    if (!m_server.listen(address, quint16(port)))
        throw Failure(QStringLiteral("RBSServerSocket poort %1: ").arg(port) + m_server.errorString());
    m_lastListenFailure.clear();
    logListening();
}

void IntakeServer::logListening()
{
    // The start line is the system's own text, which readers match as it
    // stands; the port that serves follows on a line of its own.
    const QString stamp = dateTimeStamp();
    m_activityLog.addLine(stamp + QStringLiteral(" RBS C/S ingeschakeld"));
    m_activityLog.addLine(stamp + QStringLiteral(" RBS C/S poort ") + QString::number(m_server.serverPort()));
}

void IntakeServer::stop(int replyWaitMs)
{
    // Nothing more is read: a packet not read now is not stored, and its
    // booking system, told nothing, sends it again to the next run.
    m_stopped = true;
    m_server.close();
    // Packets handled but not yet committed are stored and answered: their
    // replies are among those delivered now.
    m_queue.closeGroup();
    for (const quint64 id : connectionIds()) {
        if (IntakeConnection *connection = find(id))
            connection->stopWaiting();
    }
    deliverWritten(QDeadlineTimer(replyWaitMs));
    bool listChanged = false;
    for (const quint64 id : connectionIds()) {
        IntakeConnection *connection = find(id);
        if (!connection || connection->inHand())
            continue;
        connection->close();
        listChanged |= m_connections.removeOne(connection->address());
        m_open.erase(id);
    }
    if (listChanged)
        Q_EMIT connectionsChanged();
}

void IntakeServer::deliverWritten(QDeadlineTimer deadline)
{
    const std::vector<quint64> ids = connectionIds();
    // Everything the kernel takes at once first, so that one slow peer does
    // not keep the others' replies back.
    for (const quint64 id : ids) {
        if (IntakeConnection *connection = find(id))
            connection->flush();
    }
    for (const quint64 id : ids) {
        for (;;) {
            // Waiting may report the peer gone, and its entry with it.
            IntakeConnection *connection = find(id);
            if (!connection || !connection->repliesUnsent() || deadline.hasExpired())
                break;
            if (!connection->waitForReplies(int(std::max<qint64>(1, deadline.remainingTime()))))
                break;
        }
    }
}

std::vector<quint64> IntakeServer::connectionIds() const
{
    std::vector<quint64> ids;
    ids.reserve(m_open.size());
    for (const auto &entry : m_open)
        ids.push_back(entry.first);
    return ids;
}

QCoro::Task<> IntakeServer::stopListening()
{
    m_server.close();
    for (quint64 id : connectionIds()) {
        IntakeConnection *connection = find(id);
        if (!connection)
            continue;
        connection->abort();
        // Each peer is finished here, within the tick, so that its
        // disconnection is logged before the server's; the job its
        // disconnection posted then finds it gone.
        co_await finishPeer(id);
    }
}

void IntakeServer::setLamp(bool on)
{
    if (m_lamp == on)
        return;
    m_lamp = on;
    Q_EMIT lampChanged(on);
}

IntakeConnection *IntakeServer::find(quint64 id)
{
    const auto it = m_open.find(id);
    return it == m_open.end() ? nullptr : it->second.get();
}

void IntakeServer::RBSServerSocketClientConnect()
{
    bool noRoom = false;
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // A peer outside the allow list is closed before anything it sent is
        // read; it never enters the connection list.
        if (!peerAllowed(socket->peerAddress(), m_settings.text(Setting::RBSToegestaan))) {
            m_activityLog.addLine(QStringLiteral("Verbinding geweigerd om ") + timeOfDayStamp() +
                                  QStringLiteral(" -> ") + peerAddressText(socket->peerAddress()) +
                                  QStringLiteral(" (niet in RBSToegestaan)"));
            if (m_metrics)
                m_metrics->peerRefused();
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const quint64 id = m_nextId++;
        std::unique_ptr<IntakeConnection, DeleteLater> connection(new IntakeConnection(id, socket, this));
        connection->heard(++m_lastHeard);
        const QString address = connection->address();
        if (int(m_open.size()) >= m_maxConnections && !makeRoomFor(address))
            noRoom = true;
        follow(*connection);
        m_open.emplace(id, std::move(connection));

        m_failures.guard([&] {
            if (!m_connections.contains(address)) {
                m_connections.append(address);
                Q_EMIT connectionsChanged();
            }
        });
    }
    // Only when no place could be made (every peer has a packet in hand) do
    // further peers wait in the listen queue until one leaves. Taking a
    // pending connection turns accepting back on, so the pause comes after
    // the last one.
    if (noRoom)
        m_server.pauseAccepting();
}

void IntakeServer::follow(IntakeConnection &connection)
{
    const quint64 id = connection.id();
    connect(&connection, &IntakeConnection::bytesArrived, this, [this, id] {
        if (IntakeConnection *heard = find(id))
            heard->heard(++m_lastHeard);
        postJob("read", id, &IntakeServer::RBSServerSocketClientRead);
    });
    connect(&connection, &IntakeConnection::readingResumed, this,
            [this, id] { postJob("read", id, &IntakeServer::RBSServerSocketClientRead); });
    connect(&connection, &IntakeConnection::left, this, [this, id] { postJob("gone", id, &IntakeServer::finishPeer); });
    connect(&connection, &IntakeConnection::repliesDone, this,
            [this, id] { postJob("gone", id, &IntakeServer::finishPeer); });
    connect(&connection, &IntakeConnection::holdExpired, this,
            [this, id] { postJob("hold", id, &IntakeServer::releaseHeld); });
    connect(&connection, &IntakeConnection::socketFailed, this,
            [this](const QString &message) { m_failures.handle(QStringLiteral("RBSServerSocket"), message); });
}

bool IntakeServer::makeRoomFor(const QString &newcomer)
{
    // Connections that never send would otherwise hold every place and lock
    // out the booking systems for good. The one silent longest goes; a peer
    // whose packet is being handled keeps its place for the reply.
    IntakeConnection *silent = nullptr;
    for (const auto &[id, connection] : m_open) {
        if (!connection->inHand() && (!silent || connection->heardAt() < silent->heardAt()))
            silent = connection.get();
    }
    if (!silent)
        return false;
    m_activityLog.addLine(QStringLiteral("Stille verbinding gesloten om ") + timeOfDayStamp() + QStringLiteral(" -> ") +
                          silent->address() + QStringLiteral(", plaats nodig voor ") + newcomer);
    removePeer(silent->id());
    return true;
}

void IntakeServer::postJob(const char *what, quint64 id, QCoro::Task<> (IntakeServer::*job)(quint64))
{
    // While a job of the same kind waits for this peer, it will do this one's
    // work as well: it reads whatever has arrived by the time it runs.
    QPointer<IntakeServer> self(this);
    auto run = [self, id, job]() -> QCoro::Task<> {
        if (self)
            co_await (self.data()->*job)(id);
    };
    // Reads join the open group of packets; a disconnection ends it first,
    // so that the peer's replies are written before it is finished.
    if (job == &IntakeServer::finishPeer)
        m_queue.postJob(jobKey(what, id), std::move(run));
    else
        m_queue.postGroupJob(jobKey(what, id), std::move(run));
}

QCoro::Task<> IntakeServer::RBSServerSocketClientRead(quint64 id)
{
    co_await readAvailable(id);
}

QCoro::Task<> IntakeServer::readAvailable(quint64 id)
{
    if (m_stopped)
        co_return;
    bool gotBytes = false;
    for (;;) {
        IntakeConnection *current = find(id);
        if (!current)
            break;
        IntakeConnection::Read read = current->readSome();
        if (!read.gotBytes)
            break;
        gotBytes = true;
        if (read.pieces)
            co_await handlePieces(id, std::move(*read.pieces));
    }
    if (IntakeConnection *current = find(id))
        current->readingEnded(gotBytes);
}

QCoro::Task<> IntakeServer::releaseHeld(quint64 id)
{
    if (!find(id))
        co_return;
    // Bytes that arrived while the job waited in the queue count as more bytes.
    co_await readAvailable(id);
    IntakeConnection *connection = find(id);
    if (!connection || !connection->holdsBytes())
        co_return;
    std::optional<std::vector<QByteArray>> pieces = connection->releaseAfterWait();
    if (pieces)
        co_await handlePieces(id, std::move(*pieces));
}

QCoro::Task<> IntakeServer::handlePieces(quint64 id, std::vector<QByteArray> pieces)
{
    for (QByteArray &piece : pieces) {
        IntakeConnection *connection = find(id);
        // After the close step only the packet in hand is finished.
        if (!connection || m_stopped)
            co_return;
        // A peer whose packet is in hand keeps its place until it ends.
        connection->beginPacket();
        co_await m_handler.handle(std::move(piece), *connection);
        if (IntakeConnection *handled = find(id))
            handled->endPacket();
    }
    IntakeConnection *connection = find(id);
    if (connection && !connection->inHand() && connection->finishPending())
        co_await finishPeer(id);
}

QCoro::Task<> IntakeServer::finishPeer(quint64 id)
{
    IntakeConnection *connection = find(id);
    if (!connection)
        co_return;
    if (connection->inHand()) {
        connection->finishWhenDone();
        co_return;
    }
    // What the peer sent before it left is handled as it stands: it can no
    // longer be completed.
    co_await readAvailable(id);
    connection = find(id);
    if (!connection)
        co_return;
    if (connection->holdsBytes() && !m_stopped) {
        co_await handlePieces(id, connection->takeHeld());
        // Their replies wait in the open group, which holds the peer: they
        // are written before it is finished.
        m_queue.closeGroup();
        connection = find(id);
        if (!connection)
            co_return;
        if (connection->inHand()) {
            connection->finishWhenDone();
            co_return;
        }
    }
    removePeer(id);
}

void IntakeServer::removePeer(quint64 id)
{
    IntakeConnection *connection = find(id);
    if (!connection)
        return;
    connection->stopWaiting();
    m_failures.guard([&] { RBSServerSocketClientDisconnect(*connection); });

    connection->close();
    m_open.erase(id);
    if (int(m_open.size()) < m_maxConnections && m_server.isListening())
        m_server.resumeAccepting();
}

void IntakeServer::RBSServerSocketClientDisconnect(IntakeConnection &connection)
{
    // A failure here (the activity log cannot be saved) leaves the line and
    // the list as they are; the failure handler reports it.
    if (m_connectionEnding)
        m_connectionEnding();
    m_activityLog.addLine(QStringLiteral("Verbinding verbroken om ") + timeOfDayStamp() + QStringLiteral(" -> ") +
                          connection.address());
    if (m_connections.removeOne(connection.address()))
        Q_EMIT connectionsChanged();
}

} // namespace velora
