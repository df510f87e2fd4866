#include "intake/PacketHandler.h"

#include "database/Database.h"
#include "intake/PacketContext.h"
#include "intake/WireCodec.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/TextRules.h"

namespace velora {

namespace {

constexpr qsizetype kActivityLogBound = 500;
// The largest packet a booking system can mean to send is a few thousand hex
// digits; a longer text in the log is cut so that a flood cannot fill memory.
constexpr qsizetype kLoggedPacketLimit = 16384;

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
    PacketContext packet{peer, QString()};
    QString received;
    try {
        received = receivedText(bytes);
        co_await handleSteps(received, packet);
        co_return;
    } catch (const std::exception &e) {
        const QString message = failureMessage(e);
        m_failures.guard([&] { failurePath(received, packet, message); });
    } catch (...) {
        m_failures.guard([&] { failurePath(received, packet, QStringLiteral("Unknown failure")); });
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
        m_database.open();

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
        m_database.endUnit(true);
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
