#include "intake/PacketFraming.h"

namespace velora {

namespace {

constexpr QByteArrayView kMarker("<RBS>");

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

bool isIncompletePacket(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    if (text.size() < kMarker.size())
        return kMarker.startsWith(text);
    if (!text.startsWith(kMarker))
        return false;
    qsizetype i = kMarker.size();
    while (i < text.size() && isUpperHexDigit(text[i]))
        ++i;
    return text.size() - i < 2;
}

bool appendWhileIncomplete(QByteArray &held, QByteArrayView incoming)
{
    // Only a held packet that is "<RBS>" and hex digits so far, with no
    // trailer character yet, can be judged by the new bytes alone: none of
    // them can complete the marker, and its digit run goes on into them.
    if (incoming.isEmpty() || !held.startsWith(kMarker))
        return false;
    if (held.size() > kMarker.size() && !isUpperHexDigit(held.back()))
        return false;
    if (held.size() + incoming.size() >= kPacketBufferBound)
        return false;
    qsizetype i = 0;
    while (i < incoming.size() && isUpperHexDigit(incoming[i]))
        ++i;
    if (incoming.size() - i >= 2)
        return false;
    held.append(incoming);
    return true;
}

FramingResult cutReceivedBytes(QByteArrayView held, QByteArrayView incoming, bool release)
{
    FramingResult result;
    QByteArray buffer;
    buffer.reserve(held.size() + incoming.size());
    buffer.append(held);
    buffer.append(incoming);
    if (buffer.isEmpty())
        return result;

    qsizetype start = 0;
    for (;;) {
        const qsizetype next = buffer.indexOf(kMarker, start + 1);
        if (next < 0)
            break;
        result.pieces.push_back(buffer.mid(start, next - start));
        start = next;
    }
    QByteArray last = start == 0 ? std::move(buffer) : buffer.mid(start);
    if (!release && last.size() < kPacketBufferBound && isIncompletePacket(last))
        result.held = std::move(last);
    else
        result.pieces.push_back(std::move(last));
    return result;
}

} // namespace velora
