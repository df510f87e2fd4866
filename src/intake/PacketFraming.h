#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace velora {

// Bytes that one intake connection may hold back while a packet is still
// arriving; reaching it releases what is held, so a peer can never make the
// service buffer without limit.
inline constexpr qsizetype kPacketBufferBound = 1024 * 1024;

// How long a held-back beginning of a packet waits for the rest.
inline constexpr int kPacketHoldMs = 2000;

struct FramingResult {
    // Received texts to handle, in order, each exactly as one read used to be.
    std::vector<QByteArray> pieces;
    // The beginning of a packet that is still incomplete; empty when nothing is held.
    QByteArray held;
};

// Cuts what a connection has received into received texts. The buffer (what
// was held back plus the new bytes) is cut before every "<RBS>" that is not at
// its start. Every piece but the last is released. The last is held back only
// while it could still grow into a whole packet: it starts with "<RBS>" (or is
// a beginning of it) and fewer than two characters follow the run of
// upper-case hex digits, i.e. the peer's two trailer characters have not both
// arrived. Release forces it out (the wait ran out or the peer is gone); so
// does reaching kPacketBufferBound. A whole packet that arrives in one read is
// therefore one piece, exactly what that read delivered.
FramingResult cutReceivedBytes(QByteArrayView held, QByteArrayView incoming, bool release = false);

// The same as cutReceivedBytes(held, incoming) when that would release nothing
// and only hold more, but done in place: appends incoming to held and returns
// true. Otherwise returns false and leaves held as it was. A packet that
// arrives in many small reads would otherwise be copied and scanned whole at
// every read.
bool appendWhileIncomplete(QByteArray &held, QByteArrayView incoming);

// True while a received text is a packet whose trailer has not fully arrived.
bool isIncompletePacket(QByteArrayView text);

} // namespace velora
