#pragma once

#include <QtGlobal>

namespace velora {

// Owner codes (pla_eigenaar) of the three booking channels: every ride carries
// the code of the channel it came from, and the return link reports by it.
inline constexpr char kOwnerRbs[] = "002";
inline constexpr char kOwnerValys[] = "003";
inline constexpr char kOwnerStt[] = "013";

// Return states (pla_retour_rbs) of a ride on the return link. Any other
// value, null included, keeps a ride out of it.
inline constexpr qint32 ReturnPending = 1;      // to be reported; set by the dispatch suite
inline constexpr qint32 ReturnAcknowledged = 2; // the booking system answered "AC"
inline constexpr qint32 ReturnOffered = 3;      // message composed and queued, no answer yet
inline constexpr qint32 ReturnRejected = 99;    // the booking system answered "NC"
inline constexpr qint32 ReturnFailed = 999;     // failed elsewhere; resubmitted by hand

} // namespace velora
