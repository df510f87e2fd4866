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

// The local time now, as QDateTime::currentDateTime() gives it but at a
// fraction of the cost. That asks the C library for the local time on every
// call, and the C library looks at /etc/localtime again each time (a stat and
// the rules); a packet takes the time eight or nine times for its log lines.
// The offset from UTC is looked up once a second instead; a change of it
// (daylight saving, a new zone) shows from the next second.
QDateTime localNow();

inline QDateTime wallClockNow()
{
    const QDateTime local = localNow();
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
