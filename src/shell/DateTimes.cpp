#include "shell/DateTimes.h"

#include <limits>

namespace velora {

QDateTime localNow()
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    // Per thread: the window and a benchmark's service thread each keep their own.
    thread_local qint64 offsetSecond = std::numeric_limits<qint64>::min();
    thread_local int offset = 0;
    if (second != offsetSecond) {
        offset = QDateTime::fromSecsSinceEpoch(second, Qt::LocalTime).offsetFromUtc();
        offsetSecond = second;
    }
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset);
}

} // namespace velora
