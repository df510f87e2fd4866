#include "intake/IntakeConnection.h"

#include "shell/Failure.h"
#include "wire/Framing.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace velora {

namespace {

// Replies a peer has not taken yet. A booking system that sends on without
// ever reading would otherwise have its replies pile up in memory without end;
// past this its packets wait unread (and its sends stall) until it reads.
constexpr qint64 kUnreadReplyBound = 256 * 1024;

} // namespace

QString peerAddressText(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(v4).toString() : address.toString();
}

IntakeConnection::IntakeConnection(quint64 id, QTcpSocket *socket, QObject *parent)
    : QObject(parent), m_id(id), m_socket(socket), m_address(peerAddressText(socket->peerAddress()))
{
    m_holdTimer.setSingleShot(true);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // What is not read yet stays with the peer rather than in memory here.
    socket->setReadBufferSize(kPacketBufferBound);

    connect(socket, &QTcpSocket::readyRead, this, &IntakeConnection::bytesArrived);
    // Reading may have stopped for the replies still to go. Only then is
    // a read asked for, and queued: a reply's flush reports written bytes
    // while its packet is handled. (Every reply reports its bytes; a
    // queued call for each cost an event per packet.)
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (!m_readsHeld || m_socket->bytesToWrite() >= kUnreadReplyBound)
            return;
        m_readsHeld = false;
        // The peer was not silent while this side did not read: a packet
        // held back waits its full time again from here.
        m_lastBytes.restart();
        QMetaObject::invokeMethod(this, &IntakeConnection::readingResumed, Qt::QueuedConnection);
    });
    connect(socket, &QTcpSocket::disconnected, this, &IntakeConnection::left);
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A peer closing its side is how every conversation ends, not a failure.
        if (error != QAbstractSocket::RemoteHostClosedError)
            Q_EMIT socketFailed(QStringLiteral("RBSServerSocket ") + m_address + QStringLiteral(": ") +
                                m_socket->errorString());
    });
    connect(&m_holdTimer, &QTimer::timeout, this, &IntakeConnection::holdExpired);
}

IntakeConnection::~IntakeConnection() = default;

bool IntakeConnection::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void IntakeConnection::send(const QByteArray &bytes, bool atOnce)
{
    if (!isConnected())
        throw Failure(QStringLiteral("Verbinding verbroken: ") + m_address);
    if (m_socket->write(bytes) != bytes.size())
        throw Failure(m_socket->errorString());
    if (atOnce)
        flush();
}

void IntakeConnection::flush()
{
    if (isConnected())
        m_socket->flush();
}

void IntakeConnection::release()
{
    // It left while its replies waited for their commit: it is finished
    // now, as a job like any other.
    if (--m_handling == 0 && m_finishPending)
        Q_EMIT repliesDone();
}

IntakeConnection::Read IntakeConnection::readSome()
{
    Read read;
    if (m_socket->bytesAvailable() <= 0)
        return read;
    if (isConnected() && m_socket->bytesToWrite() >= kUnreadReplyBound) {
        m_readsHeld = true;
        return read;
    }
    const QByteArray chunk = m_socket->read(kPacketBufferBound - m_held.size());
    if (chunk.isEmpty())
        return read;
    read.gotBytes = true;
    if (appendWhileIncomplete(m_held, chunk, kPacketBufferBound))
        return read;
    // A read may end inside the "<RBS>" of the next packet: that beginning
    // waits for the rest of its packet instead of going out with the one
    // before, which would leave the next packet without its marker and lose
    // it.
    FramingResult framed = cutFrames(m_held, chunk, kIntakeHoldRule);
    m_held = std::move(framed.held);
    read.pieces = std::move(framed.pieces);
    return read;
}

void IntakeConnection::readingEnded(bool gotBytes)
{
    if (m_held.isEmpty()) {
        m_holdTimer.stop();
    } else if (gotBytes) {
        m_lastBytes.restart();
        m_holdTimer.start(kPacketHoldMs);
    }
}

std::optional<std::vector<QByteArray>> IntakeConnection::releaseAfterWait()
{
    const qint64 waited = m_lastBytes.elapsed();
    // Bytes left unread for the replies still to go are no silence: the
    // rest of the packet may be among them, in this side's buffer or still
    // in the system's, which is not read while reading is held back.
    if (m_readsHeld || m_socket->bytesAvailable() > 0) {
        m_holdTimer.start(kPacketHoldMs);
        return std::nullopt;
    }
    if (waited < kPacketHoldMs) {
        m_holdTimer.start(int(kPacketHoldMs - waited));
        return std::nullopt;
    }
    std::vector<QByteArray> pieces = takeHeld();
    m_holdTimer.stop();
    return pieces;
}

std::vector<QByteArray> IntakeConnection::takeHeld()
{
    FramingResult framed = cutFrames(m_held, {}, {.release = true});
    m_held.clear();
    return std::move(framed.pieces);
}

bool IntakeConnection::repliesUnsent() const
{
    return isConnected() && m_socket->bytesToWrite() > 0;
}

bool IntakeConnection::waitForReplies(int ms)
{
    // Waiting may report the peer gone, and this connection ended with it:
    // nothing of it is touched after the wait.
    return m_socket->waitForBytesWritten(ms);
}

void IntakeConnection::abort()
{
    m_socket->abort();
}

void IntakeConnection::mute()
{
    m_socket->disconnect(this);
}

void IntakeConnection::close()
{
    m_holdTimer.stop();
    mute();
    m_socket->abort();
    m_socket->deleteLater();
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_IntakeConnection.cpp"
