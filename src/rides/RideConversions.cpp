#include "rides/RideConversions.h"

#include "database/Dataset.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"

namespace velora {

namespace {

struct SideColumns {
    const QString &postcodeItem;
    const QString &houseNumberItem;
    const char *postcode;
    const char *street;
    const char *number;
    const char *place;
};

SideColumns columnsOf(AddressSide side, const tRitOrder &order)
{
    if (side == AddressSide::Pickup)
        return {order.PickupPostcode, order.PickupHouseNumber, "pla_ophpostcode",
                "pla_ophstraat",      "pla_ophnummer",         "pla_ophstad"};
    return {order.DestinationPostcode, order.DestinationHouseNumber,
            "pla_bestpostcode",        "pla_besstraat",
            "pla_bestnummer",          "pla_beststad"};
}

} // namespace

QString upperAsciiLetters(QString text)
{
    for (QChar &c : text) {
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - (u'a' - u'A'));
    }
    return text;
}

qint32 houseNumberOf(const QString &houseNumberItem)
{
    return leadingInteger(QStringView(houseNumberItem).left(10));
}

void ConvertPostcode(AddressSide side, PostcodeForm form, const tRitOrder &order, Dataset &ride, Dataset &postcodes,
                     Log &returnLog)
{
    const SideColumns side_ = columnsOf(side, order);
    postcodes.close();

    const qint32 area = leadingInteger(QStringView(side_.postcodeItem).left(4));
    const QString letters = side_.postcodeItem.mid(4, 2);
    const qint32 houseNumber = houseNumberOf(side_.houseNumberItem);
    if (area < 1 || letters.isEmpty())
        return;
    if (form == PostcodeForm::WithHouseNumber && houseNumber <= 0)
        return;

    // The street table keeps the area and the series as texts: they are
    // compared as texts, which every database does alike (a server that
    // converts between text and number does not).
    const QString areaText = QString::number(area);
    if (form == PostcodeForm::WithHouseNumber)
        postcodes.setStatement(
            houseNumber % 2 != 0
                ? QStringLiteral("select top 1 * from Straten where str_reeksindicatie='0' and str_wijkcode =  ? and "
                                 "str_lettercombinatie = ? AND ? BETWEEN str_huisnr_van AND str_huisnr_tm")
                : QStringLiteral("select top 1 * from Straten where str_reeksindicatie='1' and str_wijkcode =  ? and "
                                 "str_lettercombinatie = ? AND ? BETWEEN str_huisnr_van AND str_huisnr_tm"),
            {areaText, letters, houseNumber});
    else
        postcodes.setStatement(
            QStringLiteral("select top 1 * from Straten where str_wijkcode = ? and str_lettercombinatie = ?"),
            {areaText, letters});
    postcodes.open();
    if (!postcodes.isEmpty()) {
        const QString street = QLatin1String(side_.street);
        const QString place = QLatin1String(side_.place);
        ride.setValue(QLatin1String(side_.postcode), QString::number(area) + u' ' + letters);
        ride.setValue(street, postcodes.text(QStringLiteral("str_straatnaam")));
        ride.setValue(place, postcodes.text(QStringLiteral("str_plaatsnaam")));
        if (form == PostcodeForm::WithHouseNumber)
            returnLog.addLine(QStringLiteral("P: ") + QString::number(area) + letters + u' ' +
                              side_.houseNumberItem.left(10) + QStringLiteral(" > ") + ride.text(street) + u' ' +
                              ride.text(QLatin1String(side_.number)) + QStringLiteral(" - ") + ride.text(place));
        else
            returnLog.addLine(QStringLiteral("P: ") + QString::number(area) + letters + QStringLiteral(" > ") +
                              ride.text(street) + QStringLiteral(" - ") + ride.text(place));
    }
    postcodes.close();
}

void ApplyFilterConversion(Dataset &ride, const Settings &settings)
{
    const QString text = upperAsciiLetters(ride.text(QStringLiteral("pla_tekst")));
    for (int row = 1; row <= 10; ++row) {
        const QString keyword = settings.text(conversionRow(ConversionField::Keyword, row));
        if (trimControl(keyword).isEmpty())
            continue;
        // The untrimmed keyword is searched for: blanks around it are part of
        // what the operator wants to match.
        if (!text.contains(upperAsciiLetters(keyword)))
            continue;
        ride.setValue(QStringLiteral("pla_filter"), settings.text(conversionRow(ConversionField::Filter, row)));
        ride.setValue(QStringLiteral("pla_soortvervoer"),
                      settings.text(conversionRow(ConversionField::TransportKind, row)));
        ride.setValue(QStringLiteral("pla_tarief_bedrijf"),
                      settings.integer(conversionRow(ConversionField::Tariff, row)));
        ride.setValue(QStringLiteral("pla_rc"), settings.integer(conversionRow(ConversionField::RcValue, row)));
    }
}

} // namespace velora
