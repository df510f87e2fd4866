#include "intake/PacketHandler.h"

#include "database/Database.h"
#include "intake/Packet.h"
#include "rides/PacketContext.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"
#include "wire/WireCodec.h"

#include <QScopeGuard>

#include <algorithm>
#include <optional>
#include <utility>

namespace velora {

namespace {

constexpr qsizetype kActivityLogBound = 500;
// The largest packet a booking system can mean to send is a few thousand hex
// digits; a longer text in the log is cut so that a flood cannot fill memory.
constexpr qsizetype kLoggedPacketLimit = 16384;

// The type of the reply in a hex text, as the metrics count it.
QString replyType(const QString &hexText)
{
    try {
        return DecodeHexText(hexText).left(2);
    } catch (...) {
        return {};
    }
}

// The connection as the handling sees it, noting the reply that went out
// ("AC" or "NC"), whichever step sent it (a cancellation's "AC" goes out
// during its handling).
class ReplyWatch final : public PeerLink {
public:
    explicit ReplyWatch(PeerLink &peer) : m_peer(peer) {}

    QString address() const override { return m_peer.address(); }
    bool isConnected() const override { return m_peer.isConnected(); }
    void send(const QByteArray &bytes, bool atOnce) override
    {
        m_peer.send(bytes, atOnce);
        try {
            if (const auto hexText = UnwrapEnvelope(receivedText(bytes)))
                m_reply = replyType(*hexText);
        } catch (...) {
            // Only counted, never in the way of the reply itself.
        }
    }
    void hold() override { m_peer.hold(); }
    void release() override { m_peer.release(); }
    // "AC" or "NC"; empty when nothing was sent.
    QString reply() const { return m_reply; }

private:
    PeerLink &m_peer;
    QString m_reply;
};

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
    ReplyWatch watched(peer);
    PacketContext packet{watched, QString()};
    Answer answer;
    answer.peer = &peer;
    // Where the database commits each unit alone (PostgreSQL through its
    // ODBC driver, or a database not open yet), a reply held for a group would
    // only wait longer: the packet is answered as it ends, after the replies
    // its connection is still owed.
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
    if (m_queue)
        m_database.setReplyDue(m_queue->runningJobPosted() +
                               std::chrono::seconds(m_database.timeouts().serverCallSeconds));
    auto noLongerDue = qScopeGuard([this] { m_database.setReplyDue(Database::Clock::time_point::max()); });
    QString received;
    Packet read;
    try {
        received = receivedText(bytes);
        read = readPacket(received);
        co_await handleSteps(received, read, packet, answer);
        answer.reply = packet.pendingReply;
    } catch (const std::exception &e) {
        answer.failed = true;
        answer.failure = failureMessage(e);
    } catch (...) {
        answer.failed = true;
        answer.failure = QStringLiteral("Unknown failure");
    }
    if (answer.failed) {
        answer.refusal.clear();
        answer.storesRide = false;
        // Not even a refusal can be made of the text: the failure handler
        // took that failure, and nothing is sent or logged for the packet.
        answer.silent = !m_failures.guard([&] { answer.reply = refusedReply(read); });
    }
    answer.type = read.countedType;
    answer.sentReply = watched.reply();
    if (!grouped) {
        deliver(answer, nullptr);
        co_return;
    }
    answer.lines = m_activityLog.takeHeldLines();
    // The connection stays until the reply is written.
    peer.hold();
    m_group.push_back(std::move(answer));
    m_queue->leaveOpen([this] { closeGroup(); });
    if (m_database.groupBroken())
        m_queue->closeGroup();
}

QCoro::Task<> PacketHandler::handleSteps(const QString &received, const Packet &read, PacketContext &packet,
                                         Answer &answer)
{
    if (m_activityLog.lineCount() > kActivityLogBound)
        m_activityLog.clear();
    m_activityLog.addLine(timeOfDayStamp() + u'-' + packet.peer.address());
    m_activityLog.addLine(logExcerpt(received, kLoggedPacketLimit));
    m_database.closeIfFileReplaced();
    if (!m_database.isOpen())
        openDatabase();

    if (read.envelope) {
        if (!read.order)
            throw Failure(read.orderFailure);
        const tRitOrder &order = *read.order;
        const QString &refusal = read.refusal.hexText;
        packet.pendingReply = refusal;

        // The packet type is read from the payload itself, case-sensitively;
        // the parsed item is not used for it.
        const QString &type = read.type;
        if (type == u"RS") {
            logActivity(QStringLiteral("- RS pakket ontvangen "));
        } else if (type == u"AC" || type == u"NC") {
            packet.pendingReply.clear();
            logActivity(QStringLiteral("- ") + type + QStringLiteral(" pakket ontvangen "));
        } else if (type == u"NR") {
            co_await inUnit(packet, true, &RideOperations::RegisterNewRide, order);
            answer.refusal = refusal;
            answer.storesRide = true;
        } else if (type == u"WR") {
            co_await inUnit(packet, true, &RideOperations::ApplyRideChange, order);
            answer.refusal = refusal;
        } else if (type == u"VR") {
            // Its "AC" goes out at once, so the replies its connection is
            // still owed go out before it.
            if (m_queue && std::any_of(m_group.begin(), m_group.end(),
                                       [&](const Answer &waiting) { return waiting.peer == answer.peer; }))
                m_queue->closeGroup();
            // Its "AC" went out first; the peer already holds it, so a peer
            // that left since does not undo the cancellation.
            co_await inUnit(packet, false, &RideOperations::CancelRide, order);
            answer.refusal = refusal;
        }
    }
}

QCoro::Task<> PacketHandler::inUnit(PacketContext &packet, bool requirePeer, Operation operation,
                                    const tRitOrder &order)
{
    // Where the database cannot group units, the unit commits on its own and
    // its reply still waits in the group, in the order the packets came.
    if (m_grouping && m_database.groupsUnits())
        m_database.beginGroupedUnit();
    else
        m_database.beginUnit();
    try {
        co_await (m_operations.*operation)(order, packet);
        // A peer that is gone can receive no "AC"; it will send the packet
        // again, which must not find the ride stored already.
        if (requirePeer && !packet.peer.isConnected())
            throw Failure(QStringLiteral("Verbinding verbroken voor het antwoord aan ") + packet.peer.address());
        try {
            m_database.endUnit(true);
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
}

QString PacketHandler::refusedReply(const Packet &read) const
{
    if (!read.order)
        throw Failure(read.orderFailure);
    return read.refusal.hexText;
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
    for (const Answer &answer : answers)
        deliver(answer, commitFailure ? &*commitFailure : nullptr);
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
    const bool refused = commitFailure && !answer.refusal.isEmpty();
    const QString &reply = refused ? answer.refusal : answer.reply;
    // Counted as it goes out: a grouped packet's "AC" only once its group is
    // stored, and as "NC" when the commit refused it.
    QString sent = answer.sentReply;
    m_failures.guard([&] {
        if (answer.silent)
            return;
        if (!answer.lines.isEmpty())
            m_activityLog.addLines(answer.lines);
        if (!trimControl(reply).isEmpty()) {
            sendReply(*answer.peer, reply);
            sent = replyType(reply);
        }
        m_activityLog.addLine(QStringLiteral("* <RBS>") + reply + QStringLiteral("<EINDE>"));
        if (refused)
            m_activityLog.addLine(*commitFailure + u' ');
        else if (answer.failed)
            m_activityLog.addLine(answer.failure + u' ');
    });
    if (!m_metrics)
        return;
    m_metrics->packetHandled(answer.type, sent.isEmpty() ? QStringLiteral("none") : sent);
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
