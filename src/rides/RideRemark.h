#pragma once

#include "wire/RideOrder.h"

#include <QString>

namespace velora {

enum class RemarkVariant {
    NewRide,   // with the "Eigenschappen: " line
    RideChange // without it
};

// The ride remark: one labelled line per present item of the order, in the
// fixed order dispatchers are used to reading. Apostrophes are removed from the
// contract and properties texts, as they are from the stored contract column.
QString ComposeRideRemark(const tRitOrder &order, RemarkVariant variant);

// pla_tekst of a new or changed ride: the order's remark text, a line break and
// the ride remark.
QString rideText(const tRitOrder &order, const QString &remark);

// The text without its apostrophes.
QString withoutApostrophes(QString text);

} // namespace velora
