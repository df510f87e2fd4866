#include "intake/PacketHandler.h"

#include "database/Database.h"
#include "rides/PacketContext.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/ServiceMetrics.h"
#include "shell/TextRules.h"
#include "wire/WireCodec.h"

namespace velora {

namespace {

constexpr qsizetype kActivityLogBound = 500;
// The largest packet a booking system can mean to send is a few thousand hex
// digits; a longer text in the log is cut so that a flood cannot fill memory.
constexpr qsizetype kLoggedPacketLimit = 16384;

// The packet type as the metrics count it: read from the payload as the
// handling reads it, or "unreadable" for a text that is no envelope of hex.
QString packetType(const QString &received)
{
    try {
        const auto hexText = UnwrapEnvelope(received);
        if (!hexText)
            return QStringLiteral("unreadable");
        const QString type = DecodeHexText(*hexText).left(2);
        for (const char *known : {"NR", "WR", "VR", "RS", "AC", "NC"}) {
            if (type == QLatin1String(known))
                return type;
        }
        return QStringLiteral("other");
    } catch (...) {
        return QStringLiteral("unreadable");
    }
}

// The connection as the handling sees it, noting the reply that went out
// ("AC" or "NC"), whichever step sent it.
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
                m_reply = DecodeHexText(*hexText).left(2);
        } catch (...) {
            // Only counted, never in the way of the reply itself.
        }
    }
    QString reply() const { return m_reply.isEmpty() ? QStringLiteral("none") : m_reply; }

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
    QString received;
    try {
        received = receivedText(bytes);
        co_await handleSteps(received, packet);
    } catch (const std::exception &e) {
        const QString message = failureMessage(e);
        m_failures.guard([&] { failurePath(received, packet, message); });
    } catch (...) {
        m_failures.guard([&] { failurePath(received, packet, QStringLiteral("Unknown failure")); });
    }
    if (m_metrics)
        m_metrics->packetHandled(packetType(received), watched.reply());
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

QCoro::Task<> PacketHandler::handleSteps(const QString &received, PacketContext &packet)
{
    if (m_activityLog.lineCount() > kActivityLogBound)
        m_activityLog.clear();
    m_activityLog.addLine(timeOfDayStamp() + u'-' + packet.peer.address());
    m_activityLog.addLine(logExcerpt(received, kLoggedPacketLimit));
    m_database.closeIfFileReplaced();
    if (!m_database.isOpen())
        openDatabase();

    if (const auto hexText = UnwrapEnvelope(received)) {
        const QString payload = DecodeHexText(*hexText);
        const tRitOrder order = ParseRideOrder(payload);
        packet.pendingReply = encodedReply(replyFor(order, QStringLiteral("NC")));

        // The packet type is read from the payload itself, case-sensitively;
        // the parsed item is not used for it.
        const QStringView type = QStringView(payload).left(2);
        if (type == u"RS") {
            logActivity(QStringLiteral("- RS pakket ontvangen "));
        } else if (type == u"AC" || type == u"NC") {
            packet.pendingReply.clear();
            logActivity(QStringLiteral("- ") + type.toString() + QStringLiteral(" pakket ontvangen "));
        } else if (type == u"NR") {
            co_await inUnit(packet, true, &RideOperations::RegisterNewRide, order);
        } else if (type == u"WR") {
            co_await inUnit(packet, true, &RideOperations::ApplyRideChange, order);
        } else if (type == u"VR") {
            // Its "AC" went out first; the peer already holds it, so a peer
            // that left since does not undo the cancellation.
            co_await inUnit(packet, false, &RideOperations::CancelRide, order);
        }
    }

    if (!trimControl(packet.pendingReply).isEmpty())
        sendReply(packet.peer, packet.pendingReply);
    m_activityLog.addLine(QStringLiteral("* <RBS>") + packet.pendingReply + QStringLiteral("<EINDE>"));
}

QCoro::Task<> PacketHandler::inUnit(PacketContext &packet, bool requirePeer, Operation operation,
                                    const tRitOrder &order)
{
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
        if (m_metrics && operation == &RideOperations::RegisterNewRide)
            m_metrics->rideStored();
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

void PacketHandler::failurePath(const QString &received, PacketContext &packet, const QString &message)
{
    // Decoded without testing for "<RBS>", as the received text stands.
    const QString payload = DecodeHexText(received.mid(5, qMax<qsizetype>(0, received.size() - 7)));
    const tRitOrder order = ParseRideOrder(payload);
    const QString refused = encodedReply(replyFor(order, QStringLiteral("NC")));
    if (!refused.isEmpty())
        sendReply(packet.peer, refused);
    m_activityLog.addLine(QStringLiteral("* <RBS>") + refused + QStringLiteral("<EINDE>"));
    m_activityLog.addLine(message + u' ');
}

} // namespace velora
