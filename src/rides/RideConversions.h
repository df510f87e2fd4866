#pragma once

#include "wire/RideOrder.h"

#include <QString>

namespace velora {

class Dataset;
class Log;
class Settings;

enum class AddressSide {
    Pickup,
    Destination
};

enum class PostcodeForm {
    WithHouseNumber, // new rides: the street segment of the house number
    Plain            // ride changes: the first street of the postcode
};

// Upper case for the letters a to z only; every other character stays.
QString upperAsciiLetters(QString text);

// The house number of an address item: the leading integer of its first ten characters.
qint32 houseNumberOf(const QString &houseNumberItem);

// Replaces the street, place and postcode of one address side of the ride
// being filled by the dispatch suite's own entry in Straten. The postcode's
// letters come from the packet, so they are bound as a value: an apostrophe in
// them finds nothing instead of breaking (or changing) the statement.
void ConvertPostcode(AddressSide side, PostcodeForm form, const tRitOrder &order, Dataset &ride, Dataset &postcodes,
                     Log &returnLog);

// Gives the ride the filter, transport kind, tariff and rc value of every
// configured keyword that occurs in its text; the last matching row wins.
void ApplyFilterConversion(Dataset &ride, const Settings &settings);

} // namespace velora
