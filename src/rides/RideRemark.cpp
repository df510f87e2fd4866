#include "rides/RideRemark.h"

namespace velora {

namespace {

const QString kLineBreak = QStringLiteral("\r\n");

class RemarkBuilder {
public:
    void fixed(bool present, const char *text)
    {
        if (present)
            m_text += QLatin1String(text) + kLineBreak;
    }
    void labelled(const char *label, const QString &value)
    {
        if (!value.isEmpty())
            m_text += QLatin1String(label) + value + kLineBreak;
    }
    void labelled(const char *label, qint32 value)
    {
        if (value > 0)
            m_text += QLatin1String(label) + QString::number(value) + kLineBreak;
    }
    void line(const QString &value)
    {
        if (!value.isEmpty())
            m_text += value + kLineBreak;
    }
    // The address lines at the end start with their line break instead.
    void trailing(const QString &value)
    {
        if (!value.isEmpty())
            m_text += kLineBreak + value;
    }
    QString take() { return std::move(m_text); }

private:
    QString m_text;
};

} // namespace

QString withoutApostrophes(QString text)
{
    text.remove(u'\'');
    return text;
}

QString ComposeRideRemark(const tRitOrder &o, RemarkVariant variant)
{
    RemarkBuilder r;
    r.fixed(o.PaymentMethod == u"R", "Op rekening");
    r.fixed(o.RoomToRoom, "Kamer tot Kamer");
    r.fixed(o.Rollator, "Rollator");
    r.fixed(o.LowStep, "Lage instap");
    r.fixed(o.FamilyTaxi, "Gezinstaxi");
    r.fixed(o.MobilityScooter, "Scootmobiel");
    r.fixed(o.GuideDog, "SOHO blindegeleidehond");
    r.fixed(o.ElectricWheelchair, "Electrische rolstoel");
    r.labelled("Kinderzitjes: ", o.ChildSeats);
    r.labelled("Stoelverhoger: ", o.BoosterSeats);
    r.labelled("Bedrijfsnummer: ", o.CompanyNumber);
    r.labelled("Vluchtnummer: ", o.FlightNumber);
    r.labelled("Bestemming: ", o.DestinationName);
    r.labelled("Extra bagage: ", o.ExtraLuggage);
    r.labelled("Budgetcode: ", o.BudgetCode);
    r.labelled("CEHRS: ", o.Cehrs);
    r.labelled("CEBRS: ", o.Cebrs);
    r.labelled("CSSGB: ", o.Cssgb);
    r.labelled("CEBRI: ", o.Cebri);
    r.labelled("CEBRZ: ", o.Cebrz);
    r.labelled("CZRTV: ", o.Czrtv);
    r.labelled("Extern: ", o.ExternalNumber);
    r.fixed(o.ETaxi, "ETAXI=JA");
    r.fixed(o.HandLuggage, "HANDBAGAGE=JA");
    r.labelled("Premium service: ", o.PremiumService);
    r.labelled("WVG CAT: ", o.WvgCategory);
    r.labelled("EB wmo: ", o.EbWmo);
    r.labelled("EB ov: ", o.EbOv);
    r.labelled("EB wmo/so: ", o.EbWmoSo);
    r.labelled("Perceel: ", o.Lot);
    r.labelled("Min rij sec.: ", o.MinRideSeconds);
    r.line(o.RemarkText);
    r.labelled("Aangenomen: ", o.AcceptedBy);
    r.fixed(o.RefusalAllowed, "Weigeren toegestaan");
    // Tested on the item, written without apostrophes: a contract of only
    // apostrophes still gives its (empty) line, as dispatchers have seen it.
    if (!o.Contract.isEmpty())
        r.line(QStringLiteral("Contract: ") + withoutApostrophes(o.Contract));
    if (variant == RemarkVariant::NewRide && !o.Properties.isEmpty())
        r.line(QStringLiteral("Eigenschappen: ") + withoutApostrophes(o.Properties));
    r.labelled("Bedrijf: ", o.Company);
    r.labelled("Wagen: ", o.VehicleType);
    r.fixed(o.FoldingWheelchair, "Opvouwbare rolstoel");
    r.fixed(o.Deaf, "Doof");
    r.fixed(o.Blind, "Blind");
    r.fixed(o.Assistance == u"T", " Assistentie verlenen");
    r.trailing(o.PickupDescription);
    r.trailing(o.PickupSynonym);
    r.trailing(o.DestinationDescription);
    r.trailing(o.DestinationSynonym);
    r.trailing(o.ExtraCode);
    return r.take();
}

QString rideText(const tRitOrder &order, const QString &remark)
{
    return order.RemarkText + kLineBreak + remark;
}

} // namespace velora
