#pragma once

#include "shell/DateTimes.h"

#include <QDateTime>
#include <QString>

namespace velora {

// The typed form of a status message ("RS") sent back to a booking system.
// Texts are single-byte fields cut to their capacity when written; the spare
// items are sent exactly as the peers expect them, empty or zero. A fresh
// record is all zero.
struct tRitResults {
    QString PacketType; // at most 2 characters
    QString Sender;     // at most 5 characters
    qint32 MessageCode = 0;
    qint32 RideNumber = 0;
    qint32 AmountCents = 0;
    QDateTime AssignedTime = zeroDateTime();
    QDateTime DestinationTime = zeroDateTime();
    QDateTime SpareTime1 = zeroDateTime();
    QDateTime ReleasedTime = zeroDateTime();
    bool Combinable = false;
    qint32 RouteNo = 0;
    bool StatusL = false;
    QString SpareText1;   // at most 40 characters
    QString PassNumber;   // at most 20 characters
    QString FixedLetter;  // at most 1 character
    QString SpareText2;   // at most 1 character
    QString SpareText3;   // spare text
    qint32 SpareDay1 = 0; // days since 1899-12-30
    qint32 SpareDay2 = 0; // days since 1899-12-30
    QString SpareText4;   // spare text
    qint32 RouteNo2 = 0;
    qint32 FromLocation = 0;
    qint32 ToLocation = 0;
    bool SpareFlag1 = false;
    qint32 SpareInt1 = 0;
    QString SpareText5; // spare text
    QDateTime SpareTime2 = zeroDateTime();
    QString SpareText6; // at most 10 characters
    QString SpareText7; // spare text
    QDateTime SpareTime3 = zeroDateTime();
    qint32 SpareInt2 = 0;
    bool SpareFlag2 = false;
    // Declared per location; on the wire both latitudes go before both
    // longitudes (see ResultsToCommaText). Each at most 12 characters.
    QString PickupLatitude;
    QString PickupLongitude;
    QString DestinationLatitude;
    QString DestinationLongitude;
    QDateTime EtaClock = zeroDateTime();
    QString Plate;      // at most 8 characters
    QString FuelCode;   // at most 1 character
    QString SpareText8; // at most 20 characters
    QString SpareText9; // spare text
    QString SpareNote;  // any length
};

// Capacity of the spare text items; they always travel empty.
inline constexpr qsizetype kSpareTextCapacity = 20;

// YYYYMMDDhhmm, seconds dropped (not rounded). An invalid value, or one outside
// the years 1 to 9999, is written as the zero date-time 189912300000.
QString FormatMessageDateTime(const QDateTime &value);

// The 42 items in wire order, joined by WriteCommaList: pickup latitude,
// destination latitude, pickup longitude, destination longitude at 32 to 35.
QString ResultsToCommaText(const tRitResults &results);

} // namespace velora
