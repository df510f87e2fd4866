#pragma once

#include "intake/PeerLink.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

class QHostAddress;
class QTcpSocket;

namespace velora {

// The peer's address as the connection list shows it: dotted IPv4, also when
// the dual-stack server reports an IPv4-mapped IPv6 address.
QString peerAddressText(const QHostAddress &address);

// One booking system's connection to the intake: its socket, the beginning
// of a packet still arriving, and the replies it has not taken yet. It cuts
// what it reads into packets (wire/Framing) and tells the server when there
// is something to read; the server decides when it reads, since every read
// is a job of the work queue, and hands the packets on. Its signals may end
// the connection while one of its own slots runs, so the server deletes it
// later, never at once.
class IntakeConnection final : public QObject, public PeerLink {
    Q_OBJECT
public:
    // Takes a socket the server accepted; it stays the server's child.
    IntakeConnection(quint64 id, QTcpSocket *socket, QObject *parent = nullptr);
    ~IntakeConnection() override;

    quint64 id() const { return m_id; }

    // PeerLink: what the packet's handling sees of it.
    QString address() const override { return m_address; }
    bool isConnected() const override;
    void send(const QByteArray &bytes, bool atOnce) override;
    void flush() override;
    void hold() override { ++m_handling; }
    void release() override;

    // A packet of it is handled now (or its reply waits for its group's
    // commit): it keeps its place until that ends.
    void beginPacket() { ++m_handling; }
    void endPacket() { --m_handling; }
    bool inHand() const { return m_handling > 0; }
    // It left while a packet was in hand: it is finished once that ends.
    void finishWhenDone() { m_finishPending = true; }
    bool finishPending() const { return m_finishPending; }

    // When it last sent, in the server's order of events; the one silent
    // longest gives its place up to a newcomer.
    void heard(quint64 at) { m_heardAt = at; }
    quint64 heardAt() const { return m_heardAt; }

    // One bounded read of what has arrived. Nothing is read when nothing
    // waits, or when the peer has not taken enough of its replies: reading
    // then stops until it does (readingResumed). Never more than the bound
    // is in hand, so a flood is cut into bounded texts.
    struct Read {
        bool gotBytes = false;
        // The packets the bytes completed, in order (possibly none); unset
        // while they only lengthened the packet still arriving.
        std::optional<std::vector<QByteArray>> pieces;
    };
    Read readSome();
    // After the reads of one job: the wait for the rest of a held packet
    // starts anew when bytes came, and ends when nothing is held.
    void readingEnded(bool gotBytes);
    bool holdsBytes() const { return !m_held.isEmpty(); }
    // The hold timer ran out: the held packet as it stands, or nothing when
    // it must wait on (the timer started again).
    std::optional<std::vector<QByteArray>> releaseAfterWait();
    // What is held, as it stands: it can no longer be completed.
    std::vector<QByteArray> takeHeld();
    void stopWaiting() { m_holdTimer.stop(); }

    // Replies written that have not gone onto the wire yet.
    bool repliesUnsent() const;
    // Waits for some of them to go; false when none went in the time. The
    // connection may be gone by the time it returns.
    bool waitForReplies(int ms);

    void abort();
    // No more signals of the socket reach the connection.
    void mute();
    // Ends the connection: the socket is aborted and deleted later.
    void close();

Q_SIGNALS:
    // Bytes arrived.
    void bytesArrived();
    // Reading stopped for the replies the peer had not taken, and may go on.
    void readingResumed();
    // A held packet has waited its time.
    void holdExpired();
    void left();
    // It left while replies waited for their commit; they are written now.
    void repliesDone();
    // The socket failed otherwise than by the peer closing its side.
    void socketFailed(const QString &message);

private:
    quint64 m_id;
    QTcpSocket *m_socket;
    QString m_address;
    QByteArray m_held; // the beginning of a packet still arriving
    QTimer m_holdTimer;
    QElapsedTimer m_lastBytes;
    quint64 m_heardAt = 0;
    int m_handling = 0;           // packets of it being handled right now
    bool m_finishPending = false; // it disconnected meanwhile
    bool m_readsHeld = false;     // reading stopped until its replies are taken
};

} // namespace velora
