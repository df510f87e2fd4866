#include "wire/RideResults.h"

#include "shell/TextRules.h"
#include "wire/WireCodec.h"

#include <QStringList>

namespace velora {

namespace {

void appendDigits(QChar *&out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = QChar(static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    }
    out += width;
}

QString flagText(bool value)
{
    return value ? QStringLiteral("T") : QStringLiteral("F");
}

// A day number is the day at 00:00.
QString dayText(qint32 days)
{
    return FormatMessageDateTime(zeroDateTime().addDays(days));
}

} // namespace

QString FormatMessageDateTime(const QDateTime &value)
{
    const QDateTime shown = value.isValid() ? value : zeroDateTime();
    QDate date = shown.date();
    QTime time = shown.time();
    if (!date.isValid() || date.year() < 1 || date.year() > 9999) {
        date = zeroDateTime().date();
        time = QTime(0, 0);
    }
    QString text(12, Qt::Uninitialized);
    QChar *out = text.data();
    appendDigits(out, date.year(), 4);
    appendDigits(out, date.month(), 2);
    appendDigits(out, date.day(), 2);
    appendDigits(out, time.hour(), 2);
    appendDigits(out, time.minute(), 2);
    return text;
}

QString ResultsToCommaText(const tRitResults &r)
{
    const auto spare = [](const QString &text) { return toAnsiField(text, kSpareTextCapacity); };
    const QStringList items = {
        toAnsiField(r.PacketType, 2),
        toAnsiField(r.Sender, 5),
        QString::number(r.MessageCode),
        QString::number(r.RideNumber),
        QString::number(r.AmountCents),
        FormatMessageDateTime(r.AssignedTime),
        FormatMessageDateTime(r.DestinationTime),
        FormatMessageDateTime(r.SpareTime1),
        FormatMessageDateTime(r.ReleasedTime),
        flagText(r.Combinable),
        QString::number(r.RouteNo),
        flagText(r.StatusL),
        toAnsiField(r.SpareText1, 40),
        toAnsiField(r.PassNumber, 20),
        toAnsiField(r.FixedLetter, 1),
        toAnsiField(r.SpareText2, 1),
        spare(r.SpareText3),
        dayText(r.SpareDay1),
        dayText(r.SpareDay2),
        spare(r.SpareText4),
        QString::number(r.RouteNo2),
        QString::number(r.FromLocation),
        QString::number(r.ToLocation),
        flagText(r.SpareFlag1),
        QString::number(r.SpareInt1),
        spare(r.SpareText5),
        FormatMessageDateTime(r.SpareTime2),
        toAnsiField(r.SpareText6, 10),
        spare(r.SpareText7),
        FormatMessageDateTime(r.SpareTime3),
        QString::number(r.SpareInt2),
        flagText(r.SpareFlag2),
        // The peers read both latitudes before both longitudes.
        toAnsiField(r.PickupLatitude, 12),
        toAnsiField(r.DestinationLatitude, 12),
        toAnsiField(r.PickupLongitude, 12),
        toAnsiField(r.DestinationLongitude, 12),
        FormatMessageDateTime(r.EtaClock),
        toAnsiField(r.Plate, 8),
        toAnsiField(r.FuelCode, 1),
        toAnsiField(r.SpareText8, 20),
        spare(r.SpareText9),
        r.SpareNote,
    };
    return WriteCommaList(items);
}

} // namespace velora
