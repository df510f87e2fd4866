#pragma once

#include "shell/DateTimes.h"
#include "wire/WireCodec.h"

#include <QDateTime>
#include <QString>

namespace velora {

// The typed form of a booking system's packet: 96 items at fixed positions,
// then a free note. Texts are single-byte fields cut to their capacity,
// integers are whole numbers or 0, flags are yes only for "T", date-times are
// wall-clock values. A fresh record is all zero.
struct tRitOrder {
    QString PacketType;                              // 0: at most 2 characters
    QString Sender;                                  // 1: at most 5 characters
    qint32 Spare02 = 0;                              // 2
    qint32 RideNumber = 0;                           // 3
    QDateTime RideTime = zeroDateTime();             // 4
    QDateTime LocationTime = zeroDateTime();         // 5
    qint32 WalkerCount = 0;                          // 6
    qint32 WheelchairCount = 0;                      // 7
    qint32 WalkerCountOverride = 0;                  // 8
    bool Combinable = false;                         // 9
    QString TravellerName;                           // 10: at most 40 characters
    QString PickupStreet;                            // 11: at most 35 characters
    QString PickupPostcode;                          // 12: at most 7 characters
    QString PickupCity;                              // 13: at most 24 characters
    QString PickupHouseNumber;                       // 14: at most 15 characters
    QString PickupDescription;                       // 15: at most 30 characters
    QString PickupSynonym;                           // 16: at most 20 characters
    QString DestinationStreet;                       // 17: at most 35 characters
    QString DestinationPostcode;                     // 18: at most 7 characters
    QString DestinationCity;                         // 19: at most 24 characters
    QString DestinationHouseNumber;                  // 20: at most 15 characters
    QString DestinationDescription;                  // 21: at most 30 characters
    QString DestinationSynonym;                      // 22: at most 20 characters
    QDateTime EarliestBoardingTime = zeroDateTime(); // 23
    QDateTime LatestBoardingTime = zeroDateTime();   // 24
    qint32 DebtorNumber = 0;                         // 25
    QString Spare26;                                 // 26: at most 20 characters
    qint32 RideAmount = 0;                           // 27
    qint32 OwnContribution = 0;                      // 28
    qint32 ZoneFrom = 0;                             // 29
    qint32 ZoneTo = 0;                               // 30
    qint32 ZoneCount = 0;                            // 31
    bool Rollator = false;                           // 32
    bool FrontSeat = false;                          // 33
    bool RoomToRoom = false;                         // 34
    bool Urgent = false;                             // 35
    bool LowStep = false;                            // 36
    bool FamilyTaxi = false;                         // 37
    QString RemarkText;                              // 38: at most 40 characters
    QString AcceptedBy;                              // 39: at most 5 characters
    QString PhoneNumber;                             // 40: at most 10 characters
    qint32 TimeType = 0;                             // 41
    QString PaymentMethod;                           // 42: at most 1 characters
    qint32 RouteNumber = 0;                          // 43
    qint32 RouteIn = 0;                              // 44
    qint32 RouteOut = 0;                             // 45
    bool RefusalAllowed = false;                     // 46
    qint32 Spare47 = 0;                              // 47
    QString Spare48;                                 // 48: at most 20 characters
    QDateTime DvvDate = zeroDateTime();              // 49
    QString Spare50;                                 // 50: at most 10 characters
    QString Spare51;                                 // 51: at most 2 characters
    qint32 CallAhead = 0;                            // 52
    bool MobilityScooter = false;                    // 53
    bool GuideDog = false;                           // 54
    qint32 Spare55 = 0;                              // 55
    QString Properties;                              // 56: at most 40 characters
    QString Contract;                                // 57: at most 20 characters
    qint32 Company = 0;                              // 58
    QString VehicleType;                             // 59: at most 1 characters
    qint32 Distance = 0;                             // 60
    bool FoldingWheelchair = false;                  // 61
    bool ElectricWheelchair = false;                 // 62
    QString Spare63;                                 // 63: at most 1 characters
    bool Deaf = false;                               // 64
    bool Blind = false;                              // 65
    QString ExtraCode;                               // 66: at most 5 characters
    QString Assistance;                              // 67: at most 1 characters
    qint32 CompanyNumber = 0;                        // 68
    QString FlightNumber;                            // 69: at most 40 characters
    QString DestinationName;                         // 70: at most 40 characters
    QString ChildSeats;                              // 71: at most 1 characters
    QString BoosterSeats;                            // 72: at most 1 characters
    qint32 ExtraLuggage = 0;                         // 73
    QString BudgetCode;                              // 74: at most 10 characters
    QString Spare75;                                 // 75: at most 3 characters
    QString Spare76;                                 // 76: at most 3 characters
    qint32 Spare77 = 0;                              // 77
    qint32 Spare78 = 0;                              // 78
    QString Cehrs;                                   // 79: at most 1 characters
    QString Cebrs;                                   // 80: at most 1 characters
    QString Cssgb;                                   // 81: at most 1 characters
    QString Cebri;                                   // 82: at most 1 characters
    QString Cebrz;                                   // 83: at most 1 characters
    QString Czrtv;                                   // 84: at most 1 characters
    qint32 ExternalNumber = 0;                       // 85
    QString Spare86;                                 // 86: at most 5 characters
    bool ETaxi = false;                              // 87
    bool HandLuggage = false;                        // 88
    qint32 PremiumService = 0;                       // 89
    QString WvgCategory;                             // 90: at most 1 characters
    qint32 EbWmo = 0;                                // 91
    qint32 EbOv = 0;                                 // 92
    qint32 EbWmoSo = 0;                              // 93
    qint32 Lot = 0;                                  // 94
    qint32 MinRideSeconds = 0;                       // 95
    QString SpareNote;                               // always empty after parsing; nothing reads it
};

// The number of positional items a packet must carry.
inline constexpr int kRideOrderItemCount = 96;

// The decoded payload as a ride order. Throws Failure("List index out of
// bounds (n)") when the payload holds only n < 96 items, or the date-time
// message of the first invalid date-time item. Items after the 96th are
// ignored. A payload whose last character is a comma counts one more, empty,
// item than the comma list gives, so that an empty last field still counts.
tRitOrder ParseRideOrder(const QString &payload);

// Twelve characters YYYYMMDDhhmm, anything after them ignored; seconds are 0.
// Throws Failure(item + "is not a valid datetime string") when a group is
// missing or not decimal digits, the date is not a real calendar date, or the
// time is out of range.
QDateTime ParseOrderDateTime(const QString &item);

// The reply to a packet: its type, the order's sender (at most 5 characters),
// message code 7 and the order's ride number.
tMsgReply replyFor(const tRitOrder &order, const QString &packetType);

// The hex text that goes between "<RBS>" and "<EINDE>" for a reply.
QString encodedReply(const tMsgReply &reply);

} // namespace velora
