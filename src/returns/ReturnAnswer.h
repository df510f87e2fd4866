#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace velora {

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
