#pragma once

#include "shell/Settings.h"

#include <QString>

#include <optional>

namespace velora {

// The settings of one booking channel, selected by the trimmed sender code.
struct ChannelSettings {
    const char *code;   // "RBS", "VAL", "STT"
    const char *owner;  // pla_eigenaar
    Setting company;    // pla_bdr_id (integer)
    Setting debtor;     // pla_reiziger (integer)
    Setting transport;  // pla_soortvervoer
    Setting vehicle;    // pla_soortwagen
    Setting tariff;     // pla_tarief_bedrijf (integer)
    Setting filter;     // pla_filter
    Setting rideColour; // pla_kleur
};

// The channel of a sender code, compared exactly after trimming blanks and
// control characters; a code of none of the three channels selects none.
std::optional<ChannelSettings> channelFor(const QString &sender);

} // namespace velora
