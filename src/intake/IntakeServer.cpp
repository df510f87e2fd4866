#include "intake/IntakeServer.h"

#include "database/Database.h"
#include "intake/OpenFileLimit.h"
#include "intake/PeerLink.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"
#include "wire/Framing.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace velora {

namespace {

constexpr qsizetype kActivityLogBound = 500;
// Booking systems open many connections at once after an outage of the link.
constexpr int kListenBacklog = 1024;

// Replies a peer has not taken yet. A booking system that sends on without
// ever reading would otherwise have its replies pile up in memory without end;
// past this its packets wait unread (and its sends stall) until it reads.
constexpr qint64 kUnreadReplyBound = 256 * 1024;

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

QString peerAddressText(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(v4).toString() : address.toString();
}

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

struct IntakeServer::Peer final : PeerLink {
    IntakeServer *server = nullptr;
    quint64 id = 0;
    QTcpSocket *socket = nullptr;
    QString peerAddress;
    QByteArray held; // the beginning of a packet still arriving
    QTimer holdTimer;
    QElapsedTimer lastBytes;
    quint64 heardAt = 0;        // when it last sent, in the server's order of events
    int handling = 0;           // packets of this peer being handled right now
    bool finishPending = false; // it disconnected meanwhile
    bool readsHeld = false;     // reading stopped until its replies are taken

    QString address() const override { return peerAddress; }
    bool isConnected() const override { return socket->state() == QAbstractSocket::ConnectedState; }
    void send(const QByteArray &bytes, bool atOnce) override
    {
        if (!isConnected())
            throw Failure(QStringLiteral("Verbinding verbroken: ") + peerAddress);
        if (socket->write(bytes) != bytes.size())
            throw Failure(socket->errorString());
        if (atOnce)
            flush();
    }
    void flush() override
    {
        if (isConnected())
            socket->flush();
    }
    void hold() override { ++handling; }
    void release() override
    {
        // It left while its replies waited for their commit: it is finished
        // now, as a job like any other.
        if (--handling == 0 && finishPending)
            server->postJob("gone", id, &IntakeServer::finishPeer);
    }
};

IntakeServer::IntakeServer(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures,
                           Database &database, Datasets &datasets, WorkQueue &queue, QString logFolder, QObject *parent)
    : QObject(parent), m_settings(settings), m_activityLog(activityLog), m_failures(failures), m_database(database),
      m_queue(queue), m_logFolder(std::move(logFolder)),
      m_handler(settings, activityLog, returnLog, failures, database, datasets), m_maxConnections(connectionBound())
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
    for (auto &[id, peer] : m_peers)
        peer->socket->disconnect(this);
    // A reply written by the packet that was in hand at the close step (or
    // by any packet, when the program ends without that step) still goes
    // out: a peer told nothing sends its ride again, and it would be stored
    // twice.
    deliverWritten(QDeadlineTimer(kReplyWaitMs));
    for (auto &[id, peer] : m_peers) {
        peer->socket->abort();
        delete peer->socket;
    }
    m_peers.clear();
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
            try {
                m_database.open();
            } catch (...) {
                if (m_metrics)
                    m_metrics->databaseFailure();
                throw;
            }
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
    for (const quint64 id : peerIds()) {
        if (Peer *peer = findPeer(id))
            peer->holdTimer.stop();
    }
    deliverWritten(QDeadlineTimer(replyWaitMs));
    bool listChanged = false;
    for (const quint64 id : peerIds()) {
        Peer *peer = findPeer(id);
        if (!peer || peer->handling > 0)
            continue;
        peer->socket->disconnect(this);
        peer->socket->abort();
        listChanged |= m_connections.removeOne(peer->peerAddress);
        peer->socket->deleteLater();
        m_peers.erase(id);
    }
    if (listChanged)
        Q_EMIT connectionsChanged();
}

void IntakeServer::deliverWritten(QDeadlineTimer deadline)
{
    const std::vector<quint64> ids = peerIds();
    // Everything the kernel takes at once first, so that one slow peer does
    // not keep the others' replies back.
    for (const quint64 id : ids) {
        if (Peer *peer = findPeer(id); peer && peer->isConnected())
            peer->socket->flush();
    }
    for (const quint64 id : ids) {
        for (;;) {
            // Waiting may report the peer gone, and its entry with it.
            Peer *peer = findPeer(id);
            if (!peer || !peer->isConnected() || peer->socket->bytesToWrite() <= 0 || deadline.hasExpired())
                break;
            if (!peer->socket->waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime()))))
                break;
        }
    }
}

std::vector<quint64> IntakeServer::peerIds() const
{
    std::vector<quint64> ids;
    ids.reserve(m_peers.size());
    for (const auto &entry : m_peers)
        ids.push_back(entry.first);
    return ids;
}

QCoro::Task<> IntakeServer::stopListening()
{
    m_server.close();
    for (quint64 id : peerIds()) {
        Peer *peer = findPeer(id);
        if (!peer)
            continue;
        peer->socket->abort();
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

IntakeServer::Peer *IntakeServer::findPeer(quint64 id)
{
    const auto it = m_peers.find(id);
    return it == m_peers.end() ? nullptr : it->second.get();
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
        auto peer = std::make_unique<Peer>();
        const quint64 id = m_nextId++;
        peer->server = this;
        peer->id = id;
        peer->socket = socket;
        peer->peerAddress = peerAddressText(socket->peerAddress());
        peer->heardAt = ++m_lastHeard;
        if (int(m_peers.size()) >= m_maxConnections && !makeRoomFor(peer->peerAddress))
            noRoom = true;
        peer->holdTimer.setSingleShot(true);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // What is not read yet stays with the peer rather than in memory here.
        socket->setReadBufferSize(kPacketBufferBound);

        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (Peer *heard = findPeer(id))
                heard->heardAt = ++m_lastHeard;
            postJob("read", id, &IntakeServer::RBSServerSocketClientRead);
        });
        // Reading may have stopped for the replies still to go. Only then is
        // a read posted, and queued: a reply's flush reports written bytes
        // while its packet is handled. (Every reply reports its bytes; a
        // queued call for each cost an event per packet.)
        connect(socket, &QTcpSocket::bytesWritten, this, [this, id] {
            Peer *peer = findPeer(id);
            if (!peer || !peer->readsHeld || peer->socket->bytesToWrite() >= kUnreadReplyBound)
                return;
            peer->readsHeld = false;
            // The peer was not silent while this side did not read: a packet
            // held back waits its full time again from here.
            peer->lastBytes.restart();
            QMetaObject::invokeMethod(
                this, [this, id] { postJob("read", id, &IntakeServer::RBSServerSocketClientRead); },
                Qt::QueuedConnection);
        });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, id] { postJob("gone", id, &IntakeServer::finishPeer); });
        const QString shown = peer->peerAddress;
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket, shown](QAbstractSocket::SocketError error) {
            // A peer closing its side is how every conversation ends, not a failure.
            if (error != QAbstractSocket::RemoteHostClosedError)
                m_failures.handle(QStringLiteral("RBSServerSocket"), QStringLiteral("RBSServerSocket ") + shown +
                                                                         QStringLiteral(": ") + socket->errorString());
        });
        connect(&peer->holdTimer, &QTimer::timeout, this,
                [this, id] { postJob("hold", id, &IntakeServer::releaseHeld); });
        const QString address = peer->peerAddress;
        m_peers.emplace(id, std::move(peer));

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

bool IntakeServer::makeRoomFor(const QString &newcomer)
{
    // Connections that never send would otherwise hold every place and lock
    // out the booking systems for good. The one silent longest goes; a peer
    // whose packet is being handled keeps its place for the reply.
    Peer *silent = nullptr;
    for (const auto &[id, peer] : m_peers) {
        if (peer->handling == 0 && (!silent || peer->heardAt < silent->heardAt))
            silent = peer.get();
    }
    if (!silent)
        return false;
    m_activityLog.addLine(QStringLiteral("Stille verbinding gesloten om ") + timeOfDayStamp() + QStringLiteral(" -> ") +
                          silent->peerAddress + QStringLiteral(", plaats nodig voor ") + newcomer);
    removePeer(silent->id);
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
        Peer *current = findPeer(id);
        if (!current || current->socket->bytesAvailable() <= 0)
            break;
        if (current->isConnected() && current->socket->bytesToWrite() >= kUnreadReplyBound) {
            current->readsHeld = true;
            break;
        }
        // Never more than the bound in hand: a flood is cut into bounded texts.
        const QByteArray chunk = current->socket->read(kPacketBufferBound - current->held.size());
        if (chunk.isEmpty())
            break;
        gotBytes = true;
        if (appendWhileIncomplete(current->held, chunk, kPacketBufferBound))
            continue;
        // A read may end inside the "<RBS>" of the next packet: that
        // beginning waits for the rest of its packet instead of going out
        // with the one before, which would leave the next packet without its
        // marker and lose it.
        FramingResult framed = cutFrames(current->held, chunk, kIntakeHoldRule);
        current->held = std::move(framed.held);
        co_await handlePieces(id, std::move(framed.pieces));
    }
    Peer *current = findPeer(id);
    if (!current)
        co_return;
    if (current->held.isEmpty()) {
        current->holdTimer.stop();
    } else if (gotBytes) {
        current->lastBytes.restart();
        current->holdTimer.start(kPacketHoldMs);
    }
}

QCoro::Task<> IntakeServer::releaseHeld(quint64 id)
{
    if (!findPeer(id))
        co_return;
    // Bytes that arrived while the job waited in the queue count as more bytes.
    co_await readAvailable(id);
    Peer *peer = findPeer(id);
    if (!peer || peer->held.isEmpty())
        co_return;
    const qint64 waited = peer->lastBytes.elapsed();
    // Bytes left unread for the replies still to go are no silence: the
    // rest of the packet may be among them, in this side's buffer or still
    // in the system's, which is not read while reading is held back.
    if (peer->readsHeld || peer->socket->bytesAvailable() > 0) {
        peer->holdTimer.start(kPacketHoldMs);
        co_return;
    }
    if (waited < kPacketHoldMs) {
        peer->holdTimer.start(int(kPacketHoldMs - waited));
        co_return;
    }
    FramingResult framed = cutFrames(peer->held, {}, {.release = true});
    peer->held.clear();
    peer->holdTimer.stop();
    co_await handlePieces(id, std::move(framed.pieces));
}

QCoro::Task<> IntakeServer::handlePieces(quint64 id, std::vector<QByteArray> pieces)
{
    for (QByteArray &piece : pieces) {
        Peer *peer = findPeer(id);
        // After the close step only the packet in hand is finished.
        if (!peer || m_stopped)
            co_return;
        // A peer whose packet is in hand keeps its place until it ends.
        ++peer->handling;
        co_await m_handler.handle(std::move(piece), *peer);
        if (Peer *handled = findPeer(id))
            --handled->handling;
    }
    Peer *peer = findPeer(id);
    if (peer && peer->handling == 0 && peer->finishPending)
        co_await finishPeer(id);
}

QCoro::Task<> IntakeServer::finishPeer(quint64 id)
{
    Peer *peer = findPeer(id);
    if (!peer)
        co_return;
    if (peer->handling > 0) {
        peer->finishPending = true;
        co_return;
    }
    // What the peer sent before it left is handled as it stands: it can no
    // longer be completed.
    co_await readAvailable(id);
    peer = findPeer(id);
    if (!peer)
        co_return;
    if (!peer->held.isEmpty() && !m_stopped) {
        FramingResult framed = cutFrames(peer->held, {}, {.release = true});
        peer->held.clear();
        co_await handlePieces(id, std::move(framed.pieces));
        // Their replies wait in the open group, which holds the peer: they
        // are written before it is finished.
        m_queue.closeGroup();
        peer = findPeer(id);
        if (!peer)
            co_return;
        if (peer->handling > 0) {
            peer->finishPending = true;
            co_return;
        }
    }
    removePeer(id);
}

void IntakeServer::removePeer(quint64 id)
{
    Peer *peer = findPeer(id);
    if (!peer)
        return;
    peer->holdTimer.stop();
    m_failures.guard([&] { RBSServerSocketClientDisconnect(*peer); });

    peer->socket->disconnect(this);
    peer->socket->abort();
    peer->socket->deleteLater();
    m_peers.erase(id);
    if (int(m_peers.size()) < m_maxConnections && m_server.isListening())
        m_server.resumeAccepting();
}

void IntakeServer::RBSServerSocketClientDisconnect(Peer &peer)
{
    if (m_activityLog.lineCount() > kActivityLogBound) {
        saveActivityLog(m_activityLog, m_logFolder, QDateTime::currentDateTime(),
                        m_settings.integer(Setting::LogBewaarDagen));
        m_activityLog.clear();
    }
    m_activityLog.addLine(QStringLiteral("Verbinding verbroken om ") + timeOfDayStamp() + QStringLiteral(" -> ") +
                          peer.peerAddress);
    if (m_connections.removeOne(peer.peerAddress))
        Q_EMIT connectionsChanged();
}

} // namespace velora
