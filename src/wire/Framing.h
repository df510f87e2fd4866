#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace velora {

// Both links carry frames that open with "<RBS>", go on with upper-case hex
// digits and end with two characters of the peer's trailer. TCP may split a
// frame over reads or deliver several in one read, so received bytes are cut
// before every "<RBS>" that is not at their start, and each piece is handled
// exactly as a single read holding it would be.

// Bytes that one intake connection may hold back while a packet is still
// arriving; reaching it releases what is held, so a peer can never make the
// service buffer without limit.
inline constexpr qsizetype kPacketBufferBound = 1024 * 1024;

// How long a held-back beginning of a packet waits for the rest.
inline constexpr int kPacketHoldMs = 2000;

// Bytes of a return host's answers gathered per connection before they are
// handled as they stand.
inline constexpr qsizetype kReplyBufferLimit = 1024 * 1024;

// The frame at the start of some bytes: it runs up to the next "<RBS>" after
// its first byte, or to their end. It is incomplete while more bytes could
// still make it a whole frame: it is "<RBS>" or a beginning of it, or it starts
// with "<RBS>" and fewer than two characters follow its run of hex digits.
struct Frame {
    qsizetype length = 0;
    bool complete = true;
};

Frame firstFrame(QByteArrayView bytes);

// When the last piece of a cut is held back rather than handed out.
struct HoldRule {
    // An incomplete piece is held only while it is shorter than this.
    qsizetype bound = 0;
    // Hold nothing: the wait ran out, the peer is gone or the buffer is full.
    bool release = false;
    // Hand out a complete piece that ends with a beginning of "<RBS>" without
    // that beginning, and hold the beginning on its own. Only when what stands
    // before it is complete: "<" may also start a trailer such as "<EINDE>".
    bool markerTailApart = false;
};

// The intake's rule while bytes still arrive: a read may end inside the next
// packet's "<RBS>", whose beginning then waits for the rest of its packet.
inline constexpr HoldRule kIntakeHoldRule{.bound = kPacketBufferBound, .markerTailApart = true};

struct FramingResult {
    // Pieces to handle, in order.
    std::vector<QByteArray> pieces;
    // The beginning of a frame that is still incomplete; empty when nothing is held.
    QByteArray held;
};

// Cuts what was held back plus the new bytes into pieces.
FramingResult cutFrames(QByteArrayView held, QByteArrayView incoming, const HoldRule &rule);

// The same as cutFrames(held, incoming, {bound}) when that would hand out
// nothing and only hold more, but done in place: appends incoming to held and
// returns true. Otherwise returns false and leaves held as it was. A frame that
// arrives in many small reads would otherwise be copied and scanned whole at
// every read.
bool appendWhileIncomplete(QByteArray &held, QByteArrayView incoming, qsizetype bound);

} // namespace velora
