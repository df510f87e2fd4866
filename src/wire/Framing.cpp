#include "wire/Framing.h"

#include "shell/TextRules.h"

namespace velora {

namespace {

constexpr QByteArrayView kMarker("<RBS>");

bool isWireHexDigit(char c)
{
    return isUpperHexDigit(static_cast<unsigned char>(c));
}

bool isIncomplete(QByteArrayView piece)
{
    if (piece.size() < kMarker.size())
        return !piece.isEmpty() && kMarker.startsWith(piece);
    if (!piece.startsWith(kMarker))
        return false;
    qsizetype i = kMarker.size();
    while (i < piece.size() && isWireHexDigit(piece[i]))
        ++i;
    return piece.size() - i < 2;
}

// Length of the longest proper beginning of "<RBS>" that the bytes end with
// (after their first byte).
qsizetype partialMarkerTail(QByteArrayView bytes)
{
    for (qsizetype length = kMarker.size() - 1; length > 0; --length) {
        if (bytes.size() > length && bytes.last(length) == kMarker.first(length))
            return length;
    }
    return 0;
}

} // namespace

Frame firstFrame(QByteArrayView bytes)
{
    const qsizetype next = bytes.isEmpty() ? -1 : bytes.indexOf(kMarker, 1);
    if (next >= 0)
        return {next, true};
    return {bytes.size(), !isIncomplete(bytes)};
}

FramingResult cutFrames(QByteArrayView held, QByteArrayView incoming, const HoldRule &rule)
{
    FramingResult result;
    QByteArray buffer;
    buffer.reserve(held.size() + incoming.size());
    buffer.append(held);
    buffer.append(incoming);

    QByteArrayView rest = buffer;
    Frame frame = firstFrame(rest);
    while (frame.length < rest.size()) {
        result.pieces.push_back(rest.first(frame.length).toByteArray());
        rest = rest.sliced(frame.length);
        frame = firstFrame(rest);
    }
    if (rule.markerTailApart) {
        const qsizetype tail = partialMarkerTail(rest);
        if (tail > 0 && firstFrame(rest.chopped(tail)).complete) {
            result.pieces.push_back(rest.chopped(tail).toByteArray());
            rest = rest.last(tail);
            frame = firstFrame(rest);
        }
    }
    if (rest.isEmpty())
        return result;
    // A whole frame that arrived in one read is handed on without a copy.
    QByteArray last = rest.size() == buffer.size() ? std::move(buffer) : rest.toByteArray();
    if (!frame.complete && !rule.release && last.size() < rule.bound)
        result.held = std::move(last);
    else
        result.pieces.push_back(std::move(last));
    return result;
}

bool appendWhileIncomplete(QByteArray &held, QByteArrayView incoming, qsizetype bound)
{
    // Only a held frame that is "<RBS>" and hex digits so far, with no
    // trailer character yet, can be judged by the new bytes alone: none of
    // them can complete the marker, and its digit run goes on into them.
    if (incoming.isEmpty() || !held.startsWith(kMarker))
        return false;
    if (held.size() > kMarker.size() && !isWireHexDigit(held.back()))
        return false;
    if (held.size() + incoming.size() >= bound)
        return false;
    qsizetype i = 0;
    while (i < incoming.size() && isWireHexDigit(incoming[i]))
        ++i;
    if (incoming.size() - i >= 2)
        return false;
    held.append(incoming);
    return true;
}

} // namespace velora
