#include "wire/RideOrder.h"

#include "shell/Failure.h"
#include "shell/TextRules.h"

#include <array>

namespace velora {

namespace {

enum class ItemKind {
    Text,
    Integer,
    Flag,
    DateTime
};

// How one position of the list is stored: its kind, the capacity of a text,
// and the member it fills. One table keeps position, kind and field together.
struct ItemRule {
    ItemKind kind;
    qsizetype maxLength = 0;
    QString tRitOrder::*text = nullptr;
    qint32 tRitOrder::*integer = nullptr;
    bool tRitOrder::*flag = nullptr;
    QDateTime tRitOrder::*dateTime = nullptr;
};

constexpr ItemRule textRule(QString tRitOrder::*member, qsizetype maxLength)
{
    return {ItemKind::Text, maxLength, member, nullptr, nullptr, nullptr};
}

constexpr ItemRule integerRule(qint32 tRitOrder::*member)
{
    return {ItemKind::Integer, 0, nullptr, member, nullptr, nullptr};
}

constexpr ItemRule flagRule(bool tRitOrder::*member)
{
    return {ItemKind::Flag, 0, nullptr, nullptr, member, nullptr};
}

constexpr ItemRule dateTimeRule(QDateTime tRitOrder::*member)
{
    return {ItemKind::DateTime, 0, nullptr, nullptr, nullptr, member};
}

constexpr std::array<ItemRule, kRideOrderItemCount> kItemRules = {{
    textRule(&tRitOrder::PacketType, 2),              // 0
    textRule(&tRitOrder::Sender, 5),                  // 1
    integerRule(&tRitOrder::Spare02),                 // 2
    integerRule(&tRitOrder::RideNumber),              // 3
    dateTimeRule(&tRitOrder::RideTime),               // 4
    dateTimeRule(&tRitOrder::LocationTime),           // 5
    integerRule(&tRitOrder::WalkerCount),             // 6
    integerRule(&tRitOrder::WheelchairCount),         // 7
    integerRule(&tRitOrder::WalkerCountOverride),     // 8
    flagRule(&tRitOrder::Combinable),                 // 9
    textRule(&tRitOrder::TravellerName, 40),          // 10
    textRule(&tRitOrder::PickupStreet, 35),           // 11
    textRule(&tRitOrder::PickupPostcode, 7),          // 12
    textRule(&tRitOrder::PickupCity, 24),             // 13
    textRule(&tRitOrder::PickupHouseNumber, 15),      // 14
    textRule(&tRitOrder::PickupDescription, 30),      // 15
    textRule(&tRitOrder::PickupSynonym, 20),          // 16
    textRule(&tRitOrder::DestinationStreet, 35),      // 17
    textRule(&tRitOrder::DestinationPostcode, 7),     // 18
    textRule(&tRitOrder::DestinationCity, 24),        // 19
    textRule(&tRitOrder::DestinationHouseNumber, 15), // 20
    textRule(&tRitOrder::DestinationDescription, 30), // 21
    textRule(&tRitOrder::DestinationSynonym, 20),     // 22
    dateTimeRule(&tRitOrder::EarliestBoardingTime),   // 23
    dateTimeRule(&tRitOrder::LatestBoardingTime),     // 24
    integerRule(&tRitOrder::DebtorNumber),            // 25
    textRule(&tRitOrder::Spare26, 20),                // 26
    integerRule(&tRitOrder::RideAmount),              // 27
    integerRule(&tRitOrder::OwnContribution),         // 28
    integerRule(&tRitOrder::ZoneFrom),                // 29
    integerRule(&tRitOrder::ZoneTo),                  // 30
    integerRule(&tRitOrder::ZoneCount),               // 31
    flagRule(&tRitOrder::Rollator),                   // 32
    flagRule(&tRitOrder::FrontSeat),                  // 33
    flagRule(&tRitOrder::RoomToRoom),                 // 34
    flagRule(&tRitOrder::Urgent),                     // 35
    flagRule(&tRitOrder::LowStep),                    // 36
    flagRule(&tRitOrder::FamilyTaxi),                 // 37
    textRule(&tRitOrder::RemarkText, 40),             // 38
    textRule(&tRitOrder::AcceptedBy, 5),              // 39
    textRule(&tRitOrder::PhoneNumber, 10),            // 40
    integerRule(&tRitOrder::TimeType),                // 41
    textRule(&tRitOrder::PaymentMethod, 1),           // 42
    integerRule(&tRitOrder::RouteNumber),             // 43
    integerRule(&tRitOrder::RouteIn),                 // 44
    integerRule(&tRitOrder::RouteOut),                // 45
    flagRule(&tRitOrder::RefusalAllowed),             // 46
    integerRule(&tRitOrder::Spare47),                 // 47
    textRule(&tRitOrder::Spare48, 20),                // 48
    dateTimeRule(&tRitOrder::DvvDate),                // 49
    textRule(&tRitOrder::Spare50, 10),                // 50
    textRule(&tRitOrder::Spare51, 2),                 // 51
    integerRule(&tRitOrder::CallAhead),               // 52
    flagRule(&tRitOrder::MobilityScooter),            // 53
    flagRule(&tRitOrder::GuideDog),                   // 54
    integerRule(&tRitOrder::Spare55),                 // 55
    textRule(&tRitOrder::Properties, 40),             // 56
    textRule(&tRitOrder::Contract, 20),               // 57
    integerRule(&tRitOrder::Company),                 // 58
    textRule(&tRitOrder::VehicleType, 1),             // 59
    integerRule(&tRitOrder::Distance),                // 60
    flagRule(&tRitOrder::FoldingWheelchair),          // 61
    flagRule(&tRitOrder::ElectricWheelchair),         // 62
    textRule(&tRitOrder::Spare63, 1),                 // 63
    flagRule(&tRitOrder::Deaf),                       // 64
    flagRule(&tRitOrder::Blind),                      // 65
    textRule(&tRitOrder::ExtraCode, 5),               // 66
    textRule(&tRitOrder::Assistance, 1),              // 67
    integerRule(&tRitOrder::CompanyNumber),           // 68
    textRule(&tRitOrder::FlightNumber, 40),           // 69
    textRule(&tRitOrder::DestinationName, 40),        // 70
    textRule(&tRitOrder::ChildSeats, 1),              // 71
    textRule(&tRitOrder::BoosterSeats, 1),            // 72
    integerRule(&tRitOrder::ExtraLuggage),            // 73
    textRule(&tRitOrder::BudgetCode, 10),             // 74
    textRule(&tRitOrder::Spare75, 3),                 // 75
    textRule(&tRitOrder::Spare76, 3),                 // 76
    integerRule(&tRitOrder::Spare77),                 // 77
    integerRule(&tRitOrder::Spare78),                 // 78
    textRule(&tRitOrder::Cehrs, 1),                   // 79
    textRule(&tRitOrder::Cebrs, 1),                   // 80
    textRule(&tRitOrder::Cssgb, 1),                   // 81
    textRule(&tRitOrder::Cebri, 1),                   // 82
    textRule(&tRitOrder::Cebrz, 1),                   // 83
    textRule(&tRitOrder::Czrtv, 1),                   // 84
    integerRule(&tRitOrder::ExternalNumber),          // 85
    textRule(&tRitOrder::Spare86, 5),                 // 86
    flagRule(&tRitOrder::ETaxi),                      // 87
    flagRule(&tRitOrder::HandLuggage),                // 88
    integerRule(&tRitOrder::PremiumService),          // 89
    textRule(&tRitOrder::WvgCategory, 1),             // 90
    integerRule(&tRitOrder::EbWmo),                   // 91
    integerRule(&tRitOrder::EbOv),                    // 92
    integerRule(&tRitOrder::EbWmoSo),                 // 93
    integerRule(&tRitOrder::Lot),                     // 94
    integerRule(&tRitOrder::MinRideSeconds),          // 95
}};

// Reads a fixed group of decimal digits; false when it is missing or holds
// anything else (a sign, a blank, a hex letter).
bool readDigits(QStringView text, qsizetype from, qsizetype count, int &value)
{
    if (text.size() < from + count)
        return false;
    value = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
    }
    return true;
}

QDateTime parseDateTime(QStringView item)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    const bool groups = readDigits(item, 0, 4, year) && readDigits(item, 4, 2, month) && readDigits(item, 6, 2, day) &&
                        readDigits(item, 8, 2, hour) && readDigits(item, 10, 2, minute);
    if (!groups || year < 1 || !QDate::isValid(year, month, day) || hour > 23 || minute > 59)
        throw Failure(item.toString() + QStringLiteral("is not a valid datetime string"));
    return wallClock(QDate(year, month, day), QTime(hour, minute));
}

} // namespace

tRitOrder ParseRideOrder(const QString &payload)
{
    // Only the first 96 items are looked at, so the scan stops there: a huge
    // payload costs no list of all its items.
    std::array<CommaItem, kRideOrderItemCount> items;
    int count = 0;
    scanCommaList(payload, [&](const CommaItem &item) {
        items[count++] = item;
        return count < kRideOrderItemCount;
    });
    if (count < kRideOrderItemCount && payload.endsWith(u','))
        items[count++] = CommaItem{};

    tRitOrder order;
    QString unquoted;
    for (int index = 0; index < kRideOrderItemCount; ++index) {
        if (index >= count)
            throw Failure(QStringLiteral("List index out of bounds (%1)").arg(index));
        const CommaItem &item = items[index];
        QStringView value = item.raw;
        if (item.doubledQuotes) {
            unquoted = item.text();
            value = unquoted;
        }
        const ItemRule &rule = kItemRules[index];
        switch (rule.kind) {
        case ItemKind::Text: order.*rule.text = toAnsiField(value, rule.maxLength); break;
        case ItemKind::Integer: order.*rule.integer = wholeInteger(value); break;
        case ItemKind::Flag: order.*rule.flag = value == u"T"; break;
        case ItemKind::DateTime: order.*rule.dateTime = parseDateTime(value); break;
        }
    }
    order.SpareNote.clear();
    return order;
}

QDateTime ParseOrderDateTime(const QString &item)
{
    return parseDateTime(item);
}

tMsgReply replyFor(const tRitOrder &order, const QString &packetType)
{
    tMsgReply reply;
    reply.PacketType = toAnsiField(packetType, 2);
    reply.Sender = toAnsiField(order.Sender, 5);
    reply.MessageCode = 7;
    reply.RideNumber = order.RideNumber;
    reply.SpareInt = 0;
    return reply;
}

QString encodedReply(const tMsgReply &reply)
{
    return EncodeHexText(ReplyToCommaText(reply));
}

} // namespace velora
