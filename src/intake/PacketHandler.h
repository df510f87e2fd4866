#pragma once

#include "intake/Packet.h"
#include "rides/RideOperations.h"

#include <QByteArray>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <vector>

namespace velora {

class Database;
class FailureHandler;
class Log;
class PeerLink;
class ServiceMetrics;
class Settings;
class WorkQueue;
struct Datasets;

// RBSServerSocketClientRead for one received text: log it, decode and parse
// it, act by its packet type and answer. Never fails: a failure answers "NC"
// when the text can be parsed, and otherwise reaches the failure handler. The
// handling may wait for the distance service; the caller co_awaits it, and
// the peer must outlive it.
class PacketHandler {
public:
    PacketHandler(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures, Database &database,
                  Datasets &datasets);

    QCoro::Task<> handle(QByteArray received, PeerLink &peer);

    RideOperations &operations() { return m_operations; }
    // Counts each packet by type and reply, the rides stored and the
    // database's failed opens and commits there.
    void setMetrics(ServiceMetrics *metrics) { m_metrics = metrics; }

    // Packets handled from jobs of this queue share commits: a packet's unit
    // runs in the group's transaction (in a savepoint of its own, or where a
    // savepoint costs a round trip to a server, handled again should a later
    // unit's failure undo the transaction), and its reply and log
    // lines wait until the queue ends the group (WorkQueue::leaveOpen), when
    // one commit stores every unit that succeeded. Without a queue each
    // packet commits and answers on its own.
    void setGroupQueue(WorkQueue *queue);
    ~PacketHandler();

private:
    // What a packet's handling leaves to be done when its group is stored.
    struct Answer {
        PeerLink *peer = nullptr;
        Reply reply;   // sent then (empty: none)
        Reply refusal; // sent instead when the commit fails; empty when nothing of it is in the transaction
        bool failed = false;
        bool silent = false;     // the failure handler took the packet's failure
        QString failure;         // the packet's own failure, logged after its reply line
        QStringList lines;       // its activity log lines, kept back to stay together
        QString type;            // the packet type as the metrics count it
        QString sentReply;       // "AC"/"NC" already sent during the handling (a cancellation's)
        bool storesRide = false; // a new ride whose unit succeeded: stored with the commit
        QElapsedTimer started;   // when its handling began, for the handling time
        // What handling the packet again takes, should a later packet's
        // failure undo the transaction its unit was kept in.
        QByteArray received;
        std::chrono::steady_clock::time_point replyDue;
        quint64 unitTransaction = 0; // the transaction its kept unit wrote into; 0: none
    };

    // Reads, handles and answers one packet as far as its group allows:
    // the answer to send, or to keep until the group is stored.
    QCoro::Task<Answer> answerTo(QByteArray received, PeerLink &peer, std::chrono::steady_clock::time_point replyDue);
    // A grouped packet's answer waits for the group's commit. Where its own
    // unit's failure undid the transaction, the packets kept in it are
    // handled again first, so that every connection is answered in order.
    QCoro::Task<> keepForGroup(Answer answer);
    QCoro::Task<> redoUndone(quint64 transaction);
    // The packets of the transaction the end of the group undid (a row kept
    // for the commit failed), handled again before anything else.
    QCoro::Task<> redoPending();

    // Returns the reply to send when the handling ends.
    QCoro::Task<Reply> handleSteps(const QString &received, const Packet &packet, Answer &answer);
    // The "NC" for a packet whose handling failed; throws when the text
    // carries no order to refuse.
    Reply refusedReply(const Packet &packet) const;
    // The rows one packet writes are committed together: "AC" is only sent
    // for what is stored, "NC" leaves nothing of the ride stored. Sends the
    // reply due before the work; returns the one due when the handling ends.
    QCoro::Task<Reply> inUnit(RideAction action, const Packet &packet, Answer &answer);
    // Commits the group and answers its packets in the order they came.
    void closeGroup();
    // The packet in hand waits (for the distance service, up to its whole
    // timeout): the lines kept back so far are shown now, in the order they
    // came; the replies follow the commit.
    void showHeldLines();
    void deliver(const Answer &answer, const QString *commitFailure);
    void logActivity(const QString &text);
    void openDatabase();

    Settings &m_settings;
    Log &m_activityLog;
    FailureHandler &m_failures;
    Database &m_database;
    RideOperations m_operations;
    WorkQueue *m_queue = nullptr;
    bool m_grouping = false;        // the packet in hand joins the group (its reply waits for the commit)
    bool m_closingForReply = false; // the group is ended for a reply that must follow its replies
    quint64 m_redoing = 0;          // the undone transaction whose packets a job waits to handle again
    // Gone with the handler: a job it left in the queue then does nothing.
    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    std::vector<Answer> m_group;
    ServiceMetrics *m_metrics = nullptr;
};

} // namespace velora
