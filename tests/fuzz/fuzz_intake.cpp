// The bytes a booking system sends on one intake connection, read as the
// intake reads them (IntakeConnection::readSome, then the release at the end
// of the wait) and each released text read as PacketHandler reads it
// (readPacket) up to its replies: "AC", the refusal and a reply of the
// packet's own type.

#include "FuzzReads.h"

#include "intake/Packet.h"
#include "wire/Framing.h"
#include "wire/WireCodec.h"

#include <QByteArray>

using namespace velora;
using velora::fuzz::require;

namespace {

void checkReply(const tRitOrder &order, const Reply &reply)
{
    const QString &hex = reply.hexText;
    const QByteArray sent = envelopeBytes(WrapEnvelope(hex));
    require(sent.startsWith("<RBS>") && sent.endsWith("<EINDE>"), "a reply is one envelope");
    // What the peer reads back: the same six items, unless a code-0 character
    // (hex 00 in the packet) ends its reading early, as the peers' rule says.
    const QString text = DecodeHexText(hex);
    if (text.contains(QChar(u'\0')))
        return;
    const QStringList items = ReadCommaList(text);
    require(items.size() == 6, "a reply reads back as six items");
    require(items[3] == QString::number(order.RideNumber), "a reply carries the ride number");
}

void handleText(const QByteArray &bytes)
{
    const Packet packet = readPacket(receivedText(bytes));
    if (!packet.order) {
        require(!packet.orderFailure.isEmpty() && packet.refusal.hexText.isEmpty(),
                "a text without an order says why and has no refusal");
        return;
    }
    require(packet.refusal.type == u"NC", "the refusal is an NC");
    checkReply(*packet.order, packet.refusal);
    checkReply(*packet.order, replyTo(*packet.order, QStringLiteral("AC")));
    checkReply(*packet.order, replyTo(*packet.order, packet.type));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray held;
    QByteArray released;
    QByteArray sent;
    const auto handle = [&](const std::vector<QByteArray> &pieces) {
        for (const QByteArray &piece : pieces) {
            require(!piece.isEmpty(), "no empty text is released");
            released += piece;
            handleText(piece);
        }
    };
    for (QByteArrayView read : velora::fuzz::splitIntoReads(data, size)) {
        sent += read;
        if (appendWhileIncomplete(held, read, kPacketBufferBound))
            continue;
        FramingResult framed = cutFrames(held, read, kIntakeHoldRule);
        held = std::move(framed.held);
        require(held.size() < kPacketBufferBound, "what is held stays below the bound");
        handle(framed.pieces);
    }
    // The wait ran out or the peer left: what is held goes as it stands.
    FramingResult last = cutFrames(held, {}, {.release = true});
    require(last.held.isEmpty(), "a release holds nothing back");
    handle(last.pieces);
    require(released == sent, "framing neither loses nor invents bytes");
    return 0;
}
