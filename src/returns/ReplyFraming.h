#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace velora {

// Answers of a return host as they come off the connection. TCP may split one
// answer over two reads or deliver two answers in one read; reading one read
// as one answer would then lose an acknowledgement (the ride would stay
// "offered") or misread half an answer. Received bytes are cut before every
// "<RBS>" that is not at their start, and each piece is one answer, handled
// exactly as a single read holding it would be.

// Bytes gathered per connection before they are handled as they stand.
inline constexpr qsizetype kReplyBufferLimit = 1024 * 1024;

// True while a piece may still be the beginning of an answer that more bytes
// will complete: it is "<RBS>" or a beginning of it, or it starts with "<RBS>"
// and fewer than two characters (the peer's trailer) follow its run of
// upper-case hex digits.
bool isIncompleteReply(QByteArrayView piece);

// Removes the answers that are ready from the front of buffer and returns
// them in order. The last piece stays in buffer while it is incomplete, unless
// takeAll (no more bytes came for a while, or the buffer reached its limit).
QList<QByteArray> takeReadyReplies(QByteArray &buffer, bool takeAll);

// What an answer says, once decoded.
struct ReturnAnswer {
    enum class Kind {
        Other,  // not an envelope, or neither "AC" nor "NC": only logged
        Accept, // "AC"
        Refuse  // "NC"
    };
    Kind kind = Kind::Other;
    QString reply; // the decoded text; empty when not an envelope
    // Item 3 read as a leading integer; no value when the item holds no
    // digits (reading it would give 0 and select every ride without a
    // booking-system number).
    std::optional<qint32> rideNumber;
    // Set when the answer has fewer than four items.
    bool missingRideNumber = false;
};

ReturnAnswer readReturnAnswer(const QString &received);

// True when the text holds digits where the leading-integer rule reads them.
bool holdsLeadingDigits(QStringView text);

// Answers are a few dozen characters; more in a log line is a flood.
inline constexpr qsizetype kLoggedReplyLimit = 4096;

} // namespace velora
