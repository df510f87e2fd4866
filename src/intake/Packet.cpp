#include "intake/Packet.h"

#include "shell/Failure.h"
#include "wire/WireCodec.h"

namespace velora {

namespace {

const QString kOpening = QStringLiteral("<RBS>");
// The peer's own trailer after the hex text, dropped unseen.
constexpr qsizetype kTrailerLength = 2;

QString countedTypeOf(const QString &type)
{
    for (const char *known : {"NR", "WR", "VR", "RS", "AC", "NC"}) {
        if (type == QLatin1String(known))
            return type;
    }
    return QStringLiteral("other");
}

} // namespace

Reply replyTo(const tRitOrder &order, const QString &type)
{
    return Reply{type, encodedReply(replyFor(order, type))};
}

Packet readPacket(const QString &received)
{
    Packet packet;
    packet.envelope = received.startsWith(kOpening);
    // Cut as UnwrapEnvelope cuts an envelope, for any text: the refusal of a
    // failed handling is read from the text as it stands.
    const qsizetype hexLength = qMax<qsizetype>(0, received.size() - kOpening.size() - kTrailerLength);
    const QString payload = DecodeHexText(received.mid(kOpening.size(), hexLength));
    packet.type = payload.left(2);
    if (packet.envelope)
        packet.countedType = countedTypeOf(packet.type);
    try {
        packet.order = ParseRideOrder(payload);
        packet.refusal = replyTo(*packet.order, QStringLiteral("NC"));
    } catch (const Failure &failure) {
        packet.orderFailure = failure.message();
    }
    return packet;
}

} // namespace velora
