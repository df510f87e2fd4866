#pragma once

#include "shell/ServiceMetrics.h"

#include <QString>

namespace velora {

// The status page's text: the figures of the status endpoint in words, the
// counts of today. Without metrics (a panel that has none) the counts are
// left out.
QString statusPageText(const StatusSnapshot &now, const ServiceMetrics *metrics, qint32 statusPort,
                       const QString &statusAddress);

} // namespace velora
