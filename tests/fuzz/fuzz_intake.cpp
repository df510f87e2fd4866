// The bytes a booking system sends on one intake connection, read as the
// intake server reads them (IntakeServer::readAvailable, then the release at
// the end of the wait) and each released text handled as PacketHandler does
// up to its reply: envelope, hex text, ride order, reply; and, when the
// order cannot be read, the refusal path's reading of the same text.

#include "FuzzReads.h"

#include "shell/Failure.h"
#include "wire/Framing.h"
#include "wire/RideOrder.h"
#include "wire/WireCodec.h"

#include <QByteArray>

using namespace velora;
using velora::fuzz::require;

namespace {

void checkReply(const tRitOrder &order, const QString &type)
{
    const tMsgReply reply = replyFor(order, type);
    const QString hex = encodedReply(reply);
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
    const QString received = receivedText(bytes);
    try {
        if (const auto hexText = UnwrapEnvelope(received)) {
            const QString payload = DecodeHexText(*hexText);
            const tRitOrder order = ParseRideOrder(payload);
            checkReply(order, QStringLiteral("AC"));
            checkReply(order, payload.left(2));
        }
    } catch (const Failure &) {
        // The refusal path decodes without testing for "<RBS>".
        try {
            const QString payload = DecodeHexText(received.mid(5, qMax<qsizetype>(0, received.size() - 7)));
            checkReply(ParseRideOrder(payload), QStringLiteral("NC"));
        } catch (const Failure &) {
        }
    }
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
        FramingResult framed = cutFrames(held, read, {kPacketBufferBound});
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
