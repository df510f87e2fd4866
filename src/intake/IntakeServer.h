#pragma once

#include "intake/IntakeConnection.h"
#include "intake/PacketHandler.h"
#include "shell/ServiceRole.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QObject>
#include <QStringList>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace velora {

class Database;
class FailureHandler;
class Log;
class ServiceMetrics;
class Settings;
class WorkQueue;
struct Datasets;

// RBSToegestaan: addresses and networks (CIDR, "10.1.0.0/16"; a bare address
// is that one address) separated by commas or blanks. An empty list allows
// every peer; an entry that cannot be read allows none by itself. An
// IPv4-mapped IPv6 peer is matched as IPv4.
bool peerAllowed(const QHostAddress &peer, const QString &allowList);
// RBSAdres: the address the intake listens on; empty (or "*") for all.
// Throws Failure for a text that is no address.
QHostAddress listenAddress(const QString &text);

// What the intake works with, as the service composes it.
struct IntakeContext {
    Settings &settings;
    Log &activityLog;
    Log &returnLog;
    FailureHandler &failures;
    Database &database;
    Datasets &datasets;
    WorkQueue &queue;
    // The server listens only on an open database: a General tick that finds
    // it closed calls this, and listens from a later tick. Throws Failure
    // when the database cannot be opened; the next tick tries again. Unset,
    // the server waits until someone else opens it.
    std::function<void()> openDatabase = {};
    // Called as a connection ends, before its end is logged; may be unset.
    std::function<void()> connectionEnding = {};
};

// RBSServerSocket: the intake server with its connection list RBSConnections.
// It listens, accepts, and hands the packets of its connections
// (IntakeConnection, which cuts them out of the bytes) on to the handler:
// every packet is handled to its end, database work and reply included,
// before the next read of any connection: reads, releases and disconnects are
// jobs of the work queue, so they wait while a packet's post waits for the
// distance service. Accepting connections is no job: it goes on meanwhile.
class IntakeServer : public QObject {
    Q_OBJECT
public:
    explicit IntakeServer(IntakeContext context, QObject *parent = nullptr);
    ~IntakeServer() override;

    // Server activation at every tick of the timer General: database first
    // (IntakeContext::openDatabase), then listening on RBSPoort; stops
    // listening when "Server activeren" is unchecked, and moves to the new
    // port when RBSPoort changes (the open connections stay). Failures go to
    // the failure handler; the next tick retries.
    void GeneralTimer();

    // The intake's part of the close step: no more connections or packets are
    // read, the replies already written go out (waiting at most replyWaitMs),
    // then the connections close. A connection whose packet is still being
    // handled (waiting for the distance service) stays open for its reply,
    // which goes out when the server is destroyed.
    void stop(int replyWaitMs);
    // The close was abandoned: the next General tick listens again.
    void resume() { m_stopped = false; }
    // The settings file was read again: the next tick moves a listening
    // server to the port it names now. Only then, not whenever the port
    // setting changes: in the window the field changes with every key typed,
    // and the server must not follow "2", "21", "210" on the way to "2101".
    void moveToConfiguredPort() { m_portMoveAsked = true; }
    bool isStopped() const { return m_stopped; }
    // Asked at every General tick: the server does not listen while it says
    // stand-by, and stops listening (its peers dropped, so that they connect
    // to the machine that serves) when it comes to say so. Unset: never.
    void setRole(const ServiceRole *role) { m_role = role; }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QString listenError() const { return m_server.errorString(); }   // of the last listen that failed
    bool lamp() const { return m_lamp; }                             // JvLED1
    const QStringList &connections() const { return m_connections; } // RBSConnections
    int openConnectionCount() const { return int(m_open.size()); }
    // The most peers held at once. A peer beyond it takes the place of the
    // one that has been silent longest. Derived from the open file limit
    // (raised to the hard limit when the server is made) unless set.
    void setMaxConnections(int limit) { m_maxConnections = limit; }
    int maxConnections() const { return m_maxConnections; }

    PacketHandler &handler() { return m_handler; }

    // Counts refused peers there (and, through the handler, the packets).
    void setMetrics(ServiceMetrics *metrics);
    // Why the server does not listen, as the status shows it; empty while it does.
    QString listenProblem() const;

Q_SIGNALS:
    void lampChanged(bool on);
    void connectionsChanged();

private:
    // Deleted later: a connection may end inside one of its own slots.
    struct DeleteLater {
        void operator()(IntakeConnection *connection) const { connection->deleteLater(); }
    };

    QCoro::Task<> generalTick();
    // True when the server is to stop listening (and drop its peers).
    bool activate();
    void listen(qint32 port);
    QCoro::Task<> stopListening();
    void logListening();
    void setLamp(bool on);
    void RBSServerSocketClientConnect();
    void follow(IntakeConnection &connection);
    // The jobs; each finds its connection by id, which may be gone by then.
    void postJob(const char *what, quint64 id, QCoro::Task<> (IntakeServer::*job)(quint64));
    QCoro::Task<> RBSServerSocketClientRead(quint64 id);
    QCoro::Task<> releaseHeld(quint64 id);
    QCoro::Task<> finishPeer(quint64 id);
    void RBSServerSocketClientDisconnect(IntakeConnection &connection);
    QCoro::Task<> readAvailable(quint64 id);
    void removePeer(quint64 id);
    bool makeRoomFor(const QString &newcomer);
    void deliverWritten(QDeadlineTimer deadline);
    std::vector<quint64> connectionIds() const;
    QCoro::Task<> handlePieces(quint64 id, std::vector<QByteArray> pieces);
    IntakeConnection *find(quint64 id);

    Settings &m_settings;
    Log &m_activityLog;
    FailureHandler &m_failures;
    Database &m_database;
    WorkQueue &m_queue;
    std::function<void()> m_openDatabase;
    std::function<void()> m_connectionEnding;
    PacketHandler m_handler;
    QTcpServer m_server;
    QStringList m_connections;
    std::map<quint64, std::unique_ptr<IntakeConnection, DeleteLater>> m_open;
    quint64 m_nextId = 1;
    quint64 m_lastHeard = 0; // orders the connections by when each was last heard from
    int m_maxConnections;
    bool m_lamp = false;
    bool m_stopped = false;
    bool m_portMoveAsked = false;
    ServiceMetrics *m_metrics = nullptr;
    QString m_lastListenFailure;
    const ServiceRole *m_role = nullptr;
};

} // namespace velora
