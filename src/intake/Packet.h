#pragma once

#include "wire/RideOrder.h"

#include <QString>

#include <optional>

namespace velora {

// A reply as it is sent and counted.
struct Reply {
    QString type;    // "AC" or "NC"; empty when there is no reply
    QString hexText; // what goes between "<RBS>" and "<EINDE>"
};

// The reply of the given type ("AC", "NC") to an order: its sender and ride
// number, message code 7.
Reply replyTo(const tRitOrder &order, const QString &type);

// A received text read once, for everything its handling, its refusal and the
// metrics ask of it.
struct Packet {
    // The text starts with "<RBS>"; only then does its handling act on it.
    bool envelope = false;
    // The decoded payload's first two characters, as sent (the handling
    // compares them case-sensitively).
    QString type;
    // The packet type as the metrics count it: one of the known types,
    // "other", or "unreadable" for a text that is no envelope.
    QString countedType = QStringLiteral("unreadable");
    // Parsed from the text as it stands, envelope or not: a text whose
    // handling fails is refused by the order it carries.
    std::optional<tRitOrder> order;
    // Why the text carries no order ("List index out of bounds (n)", an
    // invalid date-time item); empty when it does.
    QString orderFailure;
    // The "NC" for the order; empty without one.
    Reply refusal;
};

Packet readPacket(const QString &received);

} // namespace velora
