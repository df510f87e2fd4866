#pragma once

#include <QByteArray>

namespace velora {

// The figures every monitored process gives under the same names (CPU time,
// memory, open files, start time), read from the kernel's view of this
// process. Appended in the Prometheus text format; a figure the system does
// not give is left out rather than shown as 0.
void appendProcessFigures(QByteArray &out);

} // namespace velora
