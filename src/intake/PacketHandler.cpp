#include "intake/PacketHandler.h"

#include "database/Database.h"
#include "intake/Packet.h"
#include "intake/PeerLink.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"
#include "wire/WireCodec.h"

#include <QScopeGuard>

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

namespace velora {

namespace {

constexpr qsizetype kActivityLogBound = 500;
// The largest packet a booking system can mean to send is a few thousand hex
// digits; a longer text in the log is cut so that a flood cannot fill memory.
constexpr qsizetype kLoggedPacketLimit = 16384;

// "<RBS>" + hex text + "<EINDE>" in one write.
void sendReply(PeerLink &peer, const QString &hexText, bool atOnce = false)
{
    peer.send(envelopeBytes(WrapEnvelope(hexText)), atOnce);
}

std::optional<RideAction> rideAction(const QString &type)
{
    if (type == u"NR")
        return RideAction::NewRide;
    if (type == u"WR")
        return RideAction::Change;
    if (type == u"VR")
        return RideAction::Cancellation;
    return std::nullopt;
}

} // namespace

PacketHandler::PacketHandler(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures,
                             Database &database, Datasets &datasets)
    : m_settings(settings), m_activityLog(activityLog), m_failures(failures), m_database(database),
      m_operations(settings, activityLog, returnLog, failures, datasets)
{
}

void PacketHandler::logActivity(const QString &text)
{
    m_activityLog.addLine(timeOfDayStamp() + text);
}

QCoro::Task<> PacketHandler::handle(QByteArray bytes, PeerLink &peer)
{
    // The packets of a transaction undone as the group was ended come
    // first: their replies are owed before this one's.
    co_await redoPending();
    // Where the database commits each unit alone (one not open yet), a
    // reply held for a group would only wait longer: the packet is answered
    // as it ends, after the replies its connection is still owed.
    const bool grouped = m_queue != nullptr && m_database.groupsUnits();
    if (!grouped && m_queue && !m_group.empty())
        m_queue->closeGroup();
    if (grouped)
        m_activityLog.holdLines();
    // A database opened during this packet does not make it grouped: its
    // reply goes out as it ends, so its unit must commit by itself.
    m_grouping = grouped;
    // Its booking system has waited since the packet was read, not only
    // since its turn came.
    const auto replyDue =
        m_queue ? m_queue->runningJobPosted() + std::chrono::seconds(m_database.timeouts().serverCallSeconds)
                : Database::Clock::time_point::max();
    Answer answer = co_await answerTo(std::move(bytes), peer, replyDue);
    if (!grouped) {
        deliver(answer, nullptr);
        co_return;
    }
    // The connection stays until the reply is written.
    peer.hold();
    co_await keepForGroup(std::move(answer));
}

QCoro::Task<PacketHandler::Answer> PacketHandler::answerTo(QByteArray bytes, PeerLink &peer,
                                                           std::chrono::steady_clock::time_point replyDue)
{
    Answer answer;
    answer.peer = &peer;
    answer.started.start();
    answer.replyDue = replyDue;
    m_database.setReplyDue(replyDue);
    auto noLongerDue = qScopeGuard([this] { m_database.setReplyDue(Database::Clock::time_point::max()); });
    QString received;
    Packet packet;
    try {
        received = receivedText(bytes);
        packet = readPacket(received);
        answer.reply = co_await handleSteps(received, packet, answer);
    } catch (const std::exception &e) {
        answer.failed = true;
        answer.failure = failureMessage(e);
    } catch (...) {
        answer.failed = true;
        answer.failure = QStringLiteral("Unknown failure");
    }
    answer.received = std::move(bytes);
    answer.type = packet.countedType;
    if (answer.failed) {
        answer.refusal = {};
        answer.storesRide = false;
        // Not even a refusal can be made of the text: the failure handler
        // takes that failure, naming the peer that sent it, and nothing is
        // sent or logged for the packet, which counts as unreadable.
        QString unreadable;
        try {
            answer.reply = refusedReply(packet);
        } catch (const std::exception &e) {
            answer.silent = true;
            unreadable = failureMessage(e);
        } catch (...) {
            answer.silent = true;
            unreadable = QStringLiteral("Unknown failure");
        }
        if (answer.silent) {
            answer.type = QStringLiteral("unreadable");
            m_failures.handle(QStringLiteral("RBSServerSocket"),
                              QStringLiteral("RBSServerSocket ") + peer.address() + QStringLiteral(": ") + unreadable,
                              peer.address());
        }
    }
    co_return answer;
}

QCoro::Task<> PacketHandler::keepForGroup(Answer answer)
{
    answer.lines = m_activityLog.takeHeldLines();
    if (const quint64 undone = m_database.takeUndoneTransaction())
        co_await redoUndone(undone);
    m_group.push_back(std::move(answer));
    m_queue->leaveOpen([this] { closeGroup(); });
    co_await redoPending();
    if (m_database.groupBroken())
        m_queue->closeGroup();
}

QCoro::Task<> PacketHandler::redoPending()
{
    const quint64 undone = std::exchange(m_redoing, 0);
    if (undone == 0)
        co_return;
    co_await redoUndone(undone);
    m_queue->leaveOpen([this] { closeGroup(); });
}

QCoro::Task<> PacketHandler::redoUndone(quint64 transaction)
{
    const auto first = std::find_if(m_group.begin(), m_group.end(),
                                    [&](const Answer &kept) { return kept.unitTransaction == transaction; });
    // From the first packet whose unit was undone on: the answers between
    // them that stored nothing keep their places.
    std::vector<Answer> again(std::make_move_iterator(first), std::make_move_iterator(m_group.end()));
    m_group.erase(first, m_group.end());
    for (Answer &earlier : again) {
        if (earlier.unitTransaction != transaction) {
            m_group.push_back(std::move(earlier));
            continue;
        }
        // Its first handling's lines go with the work it undid; the hold on
        // its connection passes to the new answer.
        m_activityLog.holdLines();
        Answer redone = co_await answerTo(std::move(earlier.received), *earlier.peer, earlier.replyDue);
        redone.started = earlier.started;
        co_await keepForGroup(std::move(redone));
    }
}

QCoro::Task<Reply> PacketHandler::handleSteps(const QString &received, const Packet &packet, Answer &answer)
{
    if (m_activityLog.lineCount() > kActivityLogBound)
        m_activityLog.clear();
    m_activityLog.addLine(timeOfDayStamp() + u'-' + answer.peer->address());
    m_activityLog.addLine(logExcerpt(received, kLoggedPacketLimit));
    m_database.closeIfFileReplaced();
    if (!m_database.isOpen())
        openDatabase();

    if (!packet.envelope)
        co_return Reply{};
    if (!packet.order)
        throw Failure(packet.orderFailure);
    // The packet type is read from the payload itself, case-sensitively;
    // the parsed item is not used for it.
    const QString &type = packet.type;
    if (type == u"AC" || type == u"NC") {
        logActivity(QStringLiteral("- ") + type + QStringLiteral(" pakket ontvangen "));
        co_return Reply{};
    }
    if (type == u"RS")
        logActivity(QStringLiteral("- RS pakket ontvangen "));
    const std::optional<RideAction> action = rideAction(type);
    if (!action)
        co_return packet.refusal;
    const Reply reply = co_await inUnit(*action, packet, answer);
    answer.refusal = packet.refusal;
    answer.storesRide = *action == RideAction::NewRide;
    co_return reply;
}

QCoro::Task<Reply> PacketHandler::inUnit(RideAction action, const Packet &packet, Answer &answer)
{
    const RideOutcome outcome = RideOperations::outcome(action);
    const Reply accepted = replyTo(*packet.order, outcome.reply);
    PeerLink &peer = *answer.peer;
    // A reply sent at once goes after the replies its connection is still
    // owed.
    if (outcome.beforeWork && m_queue &&
        std::any_of(m_group.begin(), m_group.end(), [&](const Answer &waiting) { return waiting.peer == &peer; })) {
        // The group must be answered now, before this reply: a kept row
        // that fails then refuses the whole group rather than waiting for
        // its packets to be handled again.
        m_closingForReply = true;
        m_queue->closeGroup();
        m_closingForReply = false;
    }
    // Where the database cannot group units, the unit commits on its own and
    // its reply still waits in the group, in the order the packets came.
    if (m_grouping && m_database.groupsUnits())
        m_database.beginGroupedUnit();
    else
        m_database.beginUnit();
    // Its "AC" is on the wire already: handled again, it would go twice.
    if (outcome.beforeWork)
        m_database.unitCannotBeRedone();
    try {
        if (outcome.beforeWork) {
            // Onto the wire now, as the database work may wait. Other replies
            // leave with the event loop's next turn, after their handling:
            // flushed early, they slow the slowest (docs/performance.md).
            sendReply(peer, accepted.hexText, true);
            answer.sentReply = accepted.type;
        }
        co_await m_operations.perform(action, *packet.order);
        // A peer that is gone can receive no "AC"; it will send the packet
        // again, which must not find the ride stored already. A reply sent
        // before the work is held by the peer already: a peer that left since
        // does not undo the work.
        if (!outcome.beforeWork && !peer.isConnected())
            throw Failure(QStringLiteral("Verbinding verbroken voor het antwoord aan ") + peer.address());
        const quint64 transaction = m_database.unitInProgress() ? m_database.transactionSerial() : 0;
        try {
            m_database.endUnit(true);
            answer.unitTransaction = transaction;
        } catch (...) {
            if (m_metrics)
                m_metrics->databaseFailure();
            throw;
        }
    } catch (...) {
        try {
            m_database.endUnit(false);
        } catch (...) {
            // The packet's own failure is the one to report; a rollback that
            // fails as well (the connection lost) leaves nothing committed.
        }
        throw;
    }
    co_return outcome.beforeWork ? Reply{} : accepted;
}

Reply PacketHandler::refusedReply(const Packet &packet) const
{
    if (!packet.order)
        throw Failure(packet.orderFailure);
    return packet.refusal;
}

PacketHandler::~PacketHandler()
{
    if (m_queue)
        m_queue->setWaitHook({});
}

void PacketHandler::setGroupQueue(WorkQueue *queue)
{
    if (m_queue)
        m_queue->setWaitHook({});
    m_queue = queue;
    if (m_queue)
        m_queue->setWaitHook([this] { showHeldLines(); });
}

void PacketHandler::showHeldLines()
{
    // The packet in hand waits for an answer from outside: handled again,
    // it would ask again and hold every connection behind it as long.
    m_database.unitCannotBeRedone();
    for (Answer &waiting : m_group) {
        if (!waiting.lines.isEmpty())
            m_activityLog.addLines(std::exchange(waiting.lines, {}));
    }
    if (m_activityLog.isHolding()) {
        m_activityLog.addLines(m_activityLog.takeHeldLines());
        m_activityLog.holdLines();
    }
}

void PacketHandler::closeGroup()
{
    // A unit that has begun writing cannot be split off the transaction (its
    // packet waits for the distance service after writing): the group goes
    // on until that packet has ended.
    if (m_database.unitInProgress()) {
        showHeldLines();
        m_queue->leaveOpen([this] { closeGroup(); });
        return;
    }
    // The rows the group's units kept for the commit are written first,
    // while their packets can still be handled again: where one fails, the
    // group stays open and the packets of its transaction are handled again
    // (each writing its rows at once, so that the one at fault is refused
    // alone) before any other packet; the group is ended after them.
    if (!m_closingForReply && m_redoing == 0 && m_database.keepsRowsForCommit()) {
        m_database.writeRowsKeptForCommit();
        if (const quint64 undone = m_database.takeUndoneTransaction()) {
            // Before any other packet is handled: by the packet in hand
            // once it has left the group open, or else by a job that runs
            // before the jobs waiting.
            m_redoing = undone;
            m_queue->postGroupJobNext([this, alive = std::weak_ptr<const bool>(m_alive)]() -> QCoro::Task<> {
                if (!alive.expired())
                    co_await redoPending();
            });
            return;
        }
    }
    std::vector<Answer> answers = std::exchange(m_group, {});
    std::optional<QString> commitFailure;
    try {
        m_database.commitGroup();
    } catch (const std::exception &e) {
        commitFailure = failureMessage(e);
    } catch (...) {
        commitFailure = QStringLiteral("Unknown failure");
    }
    if (commitFailure && m_metrics)
        m_metrics->databaseFailure();
    // Ended before the packets of an undone transaction were handled again
    // (not by the queue's own turns): they are refused, not told "AC" for
    // work that was undone.
    const QString undone = QStringLiteral("Database: the packet's transaction was undone before it was stored");
    for (const Answer &answer : answers)
        deliver(answer, commitFailure                                           ? &*commitFailure
                        : m_redoing != 0 && answer.unitTransaction == m_redoing ? &undone
                                                                                : nullptr);
    // Each connection's replies leave right after the commit instead of at
    // the event loop's next turn: the booking system waits for them, and
    // nothing else is left to do for them.
    for (const Answer &answer : answers) {
        answer.peer->flush();
        answer.peer->release();
    }
}

void PacketHandler::deliver(const Answer &answer, const QString *commitFailure)
{
    const bool refused = commitFailure && !answer.refusal.hexText.isEmpty();
    const Reply &reply = refused ? answer.refusal : answer.reply;
    // Counted as it goes out: a grouped packet's "AC" only once its group is
    // stored, and as "NC" when the commit refused it.
    QString sent = answer.sentReply;
    m_failures.guard([&] {
        if (answer.silent)
            return;
        if (!answer.lines.isEmpty())
            m_activityLog.addLines(answer.lines);
        if (!trimControl(reply.hexText).isEmpty()) {
            sendReply(*answer.peer, reply.hexText);
            sent = reply.type;
        }
        m_activityLog.addLine(QStringLiteral("* <RBS>") + reply.hexText + QStringLiteral("<EINDE>"));
        if (refused)
            m_activityLog.addLine(*commitFailure + u' ');
        else if (answer.failed)
            m_activityLog.addLine(answer.failure + u' ');
    });
    if (!m_metrics)
        return;
    m_metrics->packetHandled(answer.type, sent.isEmpty() ? QStringLiteral("none") : sent);
    m_metrics->packetHandlingTime(double(answer.started.nsecsElapsed()) / 1e9);
    if (answer.storesRide && !refused)
        m_metrics->rideStored();
}

void PacketHandler::openDatabase()
{
    try {
        m_database.open();
    } catch (...) {
        if (m_metrics)
            m_metrics->databaseFailure();
        throw;
    }
}

} // namespace velora
