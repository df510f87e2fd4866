#pragma once

#include <QString>

namespace velora {

// Caption and visibility of the two resubmission buttons ("NO REPLY", "NACK"):
// the scheduler sets them at each working tick, the window shows them.
struct ResubmitButton {
    bool visible = false;
    QString caption;
};

} // namespace velora
