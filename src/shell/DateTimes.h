#pragma once

#include <QDateTime>

namespace velora {

// Date-times of rides are wall-clock values without a time zone, as the
// dispatch database keeps them. They are held as QDateTime in UTC so that no
// daylight-saving gap or fold can shift or invalidate them; "now" is the local
// wall clock put into that form.
inline QDateTime wallClock(const QDate &date, const QTime &time)
{
    return QDateTime(date, time, Qt::UTC);
}

inline QDateTime wallClockNow()
{
    const QDateTime local = QDateTime::currentDateTime();
    return wallClock(local.date(), local.time());
}

// The zero date-time of the dispatch suite: 1899-12-30 00:00.
inline QDateTime zeroDateTime()
{
    return wallClock(QDate(1899, 12, 30), QTime(0, 0));
}

// Whole minutes between two date-times, fraction dropped.
inline qint64 wholeMinutesBetween(const QDateTime &a, const QDateTime &b)
{
    const qint64 ms = a.msecsTo(b);
    return (ms < 0 ? -ms : ms) / 60000;
}

} // namespace velora
