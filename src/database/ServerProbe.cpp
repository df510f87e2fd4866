#include "database/ServerProbe.h"

#include "shell/Failure.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

namespace velora {

namespace {

void appendBigEndian16(QByteArray &bytes, int value)
{
    bytes.append(char((value >> 8) & 0xff));
    bytes.append(char(value & 0xff));
}

// The smallest PRELOGIN a server answers: the client version and "encryption
// not supported". What the server answers does not matter here, only that it
// does; the driver negotiates for real on its own connection afterwards.
QByteArray preloginPacket()
{
    constexpr char kVersionToken = 0x00;
    constexpr char kEncryptionToken = 0x01;
    constexpr char kTerminator = char(0xff);
    constexpr char kEncryptNotSupported = 0x02;
    constexpr int kHeaderSize = 8;
    constexpr int kTokenSize = 5; // type, offset (2), length (2)
    constexpr int kVersionSize = 6;
    constexpr int kEncryptionSize = 1;

    // Offsets count from the start of the payload, after the packet header.
    const int versionOffset = 2 * kTokenSize + 1;
    const int encryptionOffset = versionOffset + kVersionSize;
    QByteArray payload;
    payload.append(kVersionToken);
    appendBigEndian16(payload, versionOffset);
    appendBigEndian16(payload, kVersionSize);
    payload.append(kEncryptionToken);
    appendBigEndian16(payload, encryptionOffset);
    appendBigEndian16(payload, kEncryptionSize);
    payload.append(kTerminator);
    payload.append(QByteArray(kVersionSize, '\0')); // the client version is informational only
    payload.append(kEncryptNotSupported);

    QByteArray packet;
    packet.append(char(0x12)); // PRELOGIN
    packet.append(char(0x01)); // end of message
    appendBigEndian16(packet, kHeaderSize + int(payload.size()));
    appendBigEndian16(packet, 0); // server process id: none yet
    packet.append(char(0x01));    // packet number
    packet.append(char(0x00));    // window, unused
    return packet + payload;
}

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, std::numeric_limits<int>::max()));
}

// QTcpSocket resolves a name inside waitForConnected() without any bound, and
// a resolver that gets no answer can take far longer than the login bound. The
// lookup therefore runs on a thread of its own that is left behind when the
// deadline passes; it only holds its own copy of the name and the result.
QList<QHostAddress> lookUp(const QString &host, const QDeadlineTimer &deadline, const QString &where, int seconds)
{
    QHostAddress literal;
    if (literal.setAddress(host))
        return {literal};

    struct Lookup {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        QHostInfo info;
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host] {
        QHostInfo info = QHostInfo::fromName(host);
        const std::lock_guard lock(lookup->mutex);
        lookup->info = std::move(info);
        lookup->done = true;
        lookup->finished.notify_all();
    }).detach();

    std::unique_lock lock(lookup->mutex);
    if (!lookup->finished.wait_until(lock, deadline.deadline<std::chrono::steady_clock>(),
                                     [&] { return lookup->done; }))
        throw Failure(QStringLiteral("%1: host lookup did not finish within %2 s").arg(where).arg(seconds));
    if (lookup->info.error() != QHostInfo::NoError || lookup->info.addresses().isEmpty())
        throw Failure(QStringLiteral("%1: %2").arg(where, lookup->info.errorString()));
    return lookup->info.addresses();
}

} // namespace

void probeSqlServer(const QString &host, quint16 port, int timeoutSeconds)
{
    // Zero means "no bound" to ODBC, which is exactly the wait this is here to end.
    const int seconds = std::max(1, timeoutSeconds);
    const QDeadlineTimer deadline{std::chrono::seconds(seconds)};
    const QString where = QStringLiteral("SQL Server %1, port %2").arg(host).arg(port);

    const QList<QHostAddress> addresses = lookUp(host, deadline, where, seconds);

    QTcpSocket socket;
    QString connectError;
    for (const QHostAddress &address : addresses) {
        socket.connectToHost(address, port);
        if (socket.waitForConnected(remainingMs(deadline)))
            break;
        connectError = socket.errorString();
        socket.abort();
        if (deadline.hasExpired())
            break;
    }
    if (socket.state() != QAbstractSocket::ConnectedState) {
        if (deadline.hasExpired())
            throw Failure(QStringLiteral("%1: no connection within %2 s").arg(where).arg(seconds));
        throw Failure(QStringLiteral("%1: %2").arg(where, connectError));
    }

    socket.write(preloginPacket());
    // waitForReadyRead() also sends what is still buffered.
    if (socket.waitForReadyRead(remainingMs(deadline))) {
        socket.abort();
        return;
    }
    const QAbstractSocket::SocketError error = socket.error();
    const QString errorText = socket.errorString();
    socket.abort();
    if (error == QAbstractSocket::SocketTimeoutError || deadline.hasExpired())
        throw Failure(QStringLiteral("%1: the connection was accepted, but the server did not answer within %2 s")
                          .arg(where)
                          .arg(seconds));
    if (error == QAbstractSocket::RemoteHostClosedError)
        throw Failure(QStringLiteral("%1: the server closed the connection without answering").arg(where));
    throw Failure(QStringLiteral("%1: %2").arg(where, errorText));
}

} // namespace velora
