#include "rides/RideOperations.h"

#include "rides/ChannelSettings.h"
#include "rides/Datasets.h"
#include "rides/RideConversions.h"
#include "rides/RideRemark.h"
#include "shell/DateTimes.h"
#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"

#include <cmath>

namespace velora {

namespace {

const QString kCancelledRemark = QStringLiteral("(VERWIJDERD DOOR RBS)");

// Amounts are handed to the columns with four decimals; the column's own
// scale applies when they are stored.
double fourDecimals(double value)
{
    return std::round(value * 10000.0) / 10000.0;
}

bool onAccount(const tRitOrder &order)
{
    return order.PaymentMethod == u"R";
}

QString transactionRemark(const tRitOrder &order)
{
    return onAccount(order) ? QStringLiteral("Op rekening") : QStringLiteral("Contant");
}

QString firstCharacter(const QString &text)
{
    return text.left(1);
}

} // namespace

RideOperations::RideOperations(Settings &settings, Log &activityLog, Log &returnLog, FailureHandler &failures,
                               Datasets &datasets)
    : m_settings(settings), m_activityLog(activityLog), m_returnLog(returnLog), m_failures(failures),
      m_datasets(datasets), m_ride(datasets.ADOINS)
{
}

void RideOperations::logActivity(const QString &text)
{
    m_activityLog.addLine(timeOfDayStamp() + text);
}

RideOutcome RideOperations::outcome(RideAction action)
{
    // The protocol acknowledges a cancellation before the database is
    // touched: its database work may wait for locks.
    return RideOutcome{QStringLiteral("AC"), action == RideAction::Cancellation};
}

QCoro::Task<> RideOperations::perform(RideAction action, const tRitOrder &order)
{
    switch (action) {
    case RideAction::NewRide: return RegisterNewRide(order);
    case RideAction::Change: return ApplyRideChange(order);
    case RideAction::Cancellation: return CancelRide(order);
    }
    Q_UNREACHABLE();
}

QCoro::Task<> RideOperations::RegisterNewRide(const tRitOrder &order)
{
    m_ride.close();
    m_ride.setStatement(QStringLiteral("select * from planning where 1=0"));
    m_ride.open();
    m_ride.append();
    m_ride.setValue(QStringLiteral("pla_cloud"), 1);

    const QString sender = trimControl(order.Sender);
    if (const auto channel = channelFor(order.Sender)) {
        m_ride.setValue(QStringLiteral("pla_bdr_id"), m_settings.integer(channel->company));
        m_ride.setValue(QStringLiteral("pla_reiziger"), m_settings.integer(channel->debtor));
        m_ride.setValue(QStringLiteral("pla_soortvervoer"), m_settings.text(channel->transport));
        m_ride.setValue(QStringLiteral("pla_soortwagen"), m_settings.text(channel->vehicle));
        m_ride.setValue(QStringLiteral("pla_tarief_bedrijf"), m_settings.integer(channel->tariff));
        m_ride.setValue(QStringLiteral("pla_eigenaar"), QLatin1String(channel->owner));
        m_ride.setValue(QStringLiteral("pla_filter"), m_settings.text(channel->filter));
        m_ride.setValue(QStringLiteral("pla_kleur"), m_settings.text(channel->rideColour));
    }

    m_ride.setValue(QStringLiteral("pla_datum"), order.RideTime);
    if (m_settings.checked(Setting::AutoToewijzen))
        m_ride.setValue(QStringLiteral("pla_auto_toewijzen"), 1);
    if (m_settings.checked(Setting::AutoPlannen))
        m_ride.setValue(QStringLiteral("pla_nooitplannen"), 0);
    setPaymentRc(order);

    logActivity(QStringLiteral("- NR pakketnummer: ") + QString::number(order.RideNumber) + QStringLiteral(" - ") +
                sender + QStringLiteral(" - BW: ") + order.PaymentMethod);
    m_ride.setValue(QStringLiteral("pla_referentie"), QString::number(order.DebtorNumber));
    logActivity(QStringLiteral("- Route: ") + QString::number(order.RouteNumber));
    logActivity(QStringLiteral("- Rin: ") + QString::number(order.RouteIn));
    logActivity(QStringLiteral("- Ruit: ") + QString::number(order.RouteOut));
    logActivity(QStringLiteral("- Tijdtype: ") + QString::number(order.TimeType));
    logActivity(QStringLiteral("- DVVDatum: ") + dateTimeStamp(order.DvvDate).left(16));

    co_await fillAndStore(order, Kind::NewRide);
    m_ride.close();
}

QCoro::Task<> RideOperations::ApplyRideChange(const tRitOrder &order)
{
    m_ride.close();
    m_ride.setStatement(QStringLiteral("SELECT * FROM PLANNING WHERE PLA_EXTERN= ?"), {order.RideNumber});
    m_ride.open();
    logActivity(QStringLiteral("- WR pakketnummer: ") + QString::number(order.RideNumber));

    if (!m_ride.isEmpty()) {
        m_ride.edit();
        m_ride.setValue(QStringLiteral("pla_cloud"), 2);
    } else {
        m_ride.append();
        m_ride.setValue(QStringLiteral("pla_cloud"), 1);
        logActivity(QStringLiteral("---> NR pakketnummer: ") + QString::number(order.RideNumber));
        if (const auto channel = channelFor(order.Sender)) {
            m_ride.setValue(QStringLiteral("pla_bdr_id"), m_settings.integer(channel->company));
            m_ride.setValue(QStringLiteral("pla_reiziger"), m_settings.integer(channel->debtor));
        }
    }
    m_ride.setValue(QStringLiteral("pla_referentie"), QString::number(order.DebtorNumber));

    co_await fillAndStore(order, Kind::Change);
}

QCoro::Task<> RideOperations::fillAndStore(const tRitOrder &order, Kind kind)
{
    const bool newRide = kind == Kind::NewRide;
    setOrderColumns(order, kind);
    if (m_settings.checked(Setting::Postcodes)) {
        // A new ride's postcode is looked up with its house number, a change's without.
        const PostcodeForm form = newRide ? PostcodeForm::WithHouseNumber : PostcodeForm::Plain;
        for (const AddressSide side : {AddressSide::Pickup, AddressSide::Destination})
            ConvertPostcode(side, form, order, m_ride, m_datasets.ADOPOSTCODE, m_returnLog);
    }
    setAmounts(order);
    composeRemark(order, kind);
    storeMarker();
    if (m_settings.checked(Setting::Conversie))
        ApplyFilterConversion(m_ride, m_settings);
    setPaymentRc(order);

    co_await storeWithTraveller(order);
    writeTransaction(postedRideId(), newRide ? 91 : 92, transactionRemark(order));
    m_returnLog.addLine((newRide ? QStringLiteral("<NR>") : QStringLiteral("<WR>")) +
                        QString::number(order.RideNumber) + QStringLiteral(" - SW: ") +
                        firstCharacter(order.VehicleType));
}

QCoro::Task<> RideOperations::CancelRide(const tRitOrder &order)
{
    // Its "AC" has gone out already (outcome()); a failure from here on is
    // told to the peer as a second reply, "NC".
    m_ride.close();
    m_ride.setStatement(QStringLiteral("SELECT * FROM planning WHERE pla_EXTERN= ?"), {order.RideNumber});
    logActivity(QStringLiteral("- VR pakketnummer: ") + QString::number(order.RideNumber));
    m_ride.open();
    // On an empty result this appends a row with the new-row defaults.
    m_ride.edit();
    m_ride.setValue(QStringLiteral("pla_cloud"), 1);
    m_ride.setValue(QStringLiteral("pla_opmerking"), kCancelledRemark);
    const qint32 rideId = m_ride.integer(QStringLiteral("pla_id"));

    // The travel-time hook may wait for the distance service; it runs before
    // the transaction row opens the packet's database transaction, so no write
    // lock is held during that wait. The transaction row is still written
    // before the ride is stored.
    co_await m_datasets.hooks.prepare(m_ride);
    writeTransaction(rideId, 93, QString::number(order.RideNumber));
    m_ride.post();

    m_returnLog.addLine(QStringLiteral("<VR>") + QString::number(order.RideNumber));
    m_ride.close();
}

void RideOperations::ResolveTraveller(const tRitOrder &order)
{
    Dataset &travellers = m_datasets.ADODEB;
    const QString query = QStringLiteral("select * from reizigers where rei_extern = ?");
    travellers.close();
    travellers.setStatement(query, {order.DebtorNumber});
    travellers.open();
    if (!travellers.isEmpty()) {
        m_ride.setValue(QStringLiteral("pla_reiziger"), travellers.integer(QStringLiteral("rei_id")));
        return;
    }
    travellers.append();
    travellers.setValue(QStringLiteral("rei_extern"), order.DebtorNumber);
    travellers.setValue(QStringLiteral("rei_actief"), 1);
    travellers.setValue(QStringLiteral("rei_bdr_id"), m_settings.integer(Setting::RBS_BDR));
    travellers.setValue(QStringLiteral("rei_naam"), order.TravellerName);
    travellers.setValue(QStringLiteral("rei_taxis"), travellers.integer(QStringLiteral("rei_extern")));
    travellers.post();

    travellers.close();
    travellers.setStatement(query, {order.DebtorNumber});
    travellers.open();
    if (!travellers.isEmpty())
        m_ride.setValue(QStringLiteral("pla_reiziger"), travellers.integer(QStringLiteral("rei_id")));
}

void RideOperations::setOrderColumns(const tRitOrder &order, Kind kind)
{
    m_ride.setValue(QStringLiteral("pla_extern"), order.RideNumber);
    m_ride.setValue(QStringLiteral("pla_extern_ritnummer"), order.RideNumber);
    m_ride.setValue(QStringLiteral("pla_datum"), order.RideTime);
    m_ride.setValue(QStringLiteral("pla_tijdstip"), order.RideTime);
    m_ride.setValue(QStringLiteral("pla_tijdstip_locatie"),
                    order.LocationTime < order.RideTime ? order.RideTime : order.LocationTime);
    m_ride.setValue(QStringLiteral("pla_tijdstip_in_minimaal"), order.EarliestBoardingTime);
    m_ride.setValue(QStringLiteral("pla_tijdstip_in_maximaal"), order.LatestBoardingTime);
    if (kind == Kind::NewRide) {
        m_ride.setValue(QStringLiteral("pla_oph_syn"), order.PickupSynonym);
        m_ride.setValue(QStringLiteral("pla_bes_syn"), order.DestinationSynonym);
    }
    m_ride.setValue(QStringLiteral("pla_lopers"), order.WalkerCount);
    if (order.WalkerCountOverride > 0)
        m_ride.setValue(QStringLiteral("pla_lopers"), order.WalkerCountOverride);
    m_ride.setValue(QStringLiteral("pla_rollers"), order.WheelchairCount);
    m_ride.setValue(QStringLiteral("pla_naam_reiziger"), order.TravellerName);
    m_ride.setValue(QStringLiteral("pla_ophstraat"), order.PickupStreet);
    m_ride.setValue(QStringLiteral("pla_ophnummer"), order.PickupHouseNumber.left(10));
    m_ride.setValue(QStringLiteral("pla_ophstad"), order.PickupCity);
    m_ride.setValue(QStringLiteral("pla_ophpostcode"), order.PickupPostcode);
    m_ride.setValue(QStringLiteral("pla_besstraat"), order.DestinationStreet);
    m_ride.setValue(QStringLiteral("pla_bestnummer"), order.DestinationHouseNumber.left(10));
    m_ride.setValue(QStringLiteral("pla_zone_van"), order.ZoneFrom);
    m_ride.setValue(QStringLiteral("pla_naar"), order.ZoneTo);
    m_ride.setValue(QStringLiteral("pla_beststad"), order.DestinationCity);
    m_ride.setValue(QStringLiteral("pla_bestpostcode"), order.DestinationPostcode);
}

void RideOperations::setAmounts(const tRitOrder &order)
{
    const double amount = fourDecimals(order.RideAmount / 100.0);
    const double contribution = fourDecimals(order.OwnContribution / 100.0);
    m_ride.setValue(QStringLiteral("pla_bedrag"), amount);
    m_ride.setValue(QStringLiteral("pla_bedrag_3"), amount);
    if (m_settings.checked(Setting::BedragVerplaatsen))
        m_ride.setValue(QStringLiteral("pla_bedrag_5"), contribution);
    else
        m_ride.setValue(QStringLiteral("pla_bedrag_3"), contribution);
}

void RideOperations::composeRemark(const tRitOrder &order, Kind kind)
{
    const QString remark =
        ComposeRideRemark(order, kind == Kind::NewRide ? RemarkVariant::NewRide : RemarkVariant::RideChange);

    m_ride.setValue(QStringLiteral("pla_zone_van"), order.ZoneFrom);
    m_ride.setValue(QStringLiteral("pla_zone_naar"), order.ZoneTo);
    m_ride.setValue(QStringLiteral("pla_zone_aantal"), order.ZoneCount);
    m_ride.setValue(QStringLiteral("pla_bellen"), order.CallAhead >= 1 ? 1 : 0);
    if (!order.Contract.isEmpty())
        m_ride.setValue(QStringLiteral("pla_extern_kostenplaats"), withoutApostrophes(order.Contract));
    if (m_settings.checked(Setting::rbsSoortWagen) && !order.VehicleType.isEmpty())
        m_ride.setValue(QStringLiteral("pla_soortwagen"), order.VehicleType);
    const double kilometres = fourDecimals(order.Distance / 100000.0);
    m_ride.setValue(QStringLiteral("pla_km_sqr"), kilometres);
    m_ride.setValue(QStringLiteral("pla_km_map"), kilometres);

    m_ride.setValue(QStringLiteral("pla_tekst"), order.RemarkText);
    m_ride.setValue(QStringLiteral("pla_voorin"), order.FrontSeat ? 1 : 0);
    m_ride.setValue(QStringLiteral("pla_combineren"), order.Combinable ? 1 : 0);
    m_ride.setValue(QStringLiteral("pla_rolstoel"), order.WheelchairCount > 0 ? 1 : 0);
    m_ride.setValue(QStringLiteral("pla_spoed"), order.Urgent ? 1 : 0);
    m_ride.setValue(QStringLiteral("pla_telefoon"), order.PhoneNumber);
    m_ride.setValue(QStringLiteral("pla_tekst"), rideText(order, remark));
}

void RideOperations::setPaymentRc(const tRitOrder &order)
{
    if (m_settings.checked(Setting::Betaalwijze))
        m_ride.setValue(QStringLiteral("pla_rc"), onAccount(order) ? 1 : 0);
}

void RideOperations::storeMarker()
{
    // Kept for the dispatch suite's programs, which read it. The service finds
    // the row it posted by the id of its insert: rides of one second, and rows
    // other programs write, may carry the same marker.
    m_ride.setValue(QStringLiteral("pla_temp"), makeRideMarker(localNow()));
}

QCoro::Task<> RideOperations::storeWithTraveller(const tRitOrder &order)
{
    // The before-post hook may wait for the distance service. It runs first,
    // while the packet's unit has written nothing and so holds no write lock;
    // the traveller, the ride and its transaction row are then written in the
    // one transaction, so a refused packet leaves none of them.
    co_await m_datasets.hooks.prepare(m_ride);
    if (m_settings.checked(Setting::DebiteurAanmaken))
        ResolveTraveller(order);
    m_ride.post();
}

qint32 RideOperations::postedRideId() const
{
    // The row this packet posted: the id its insert produced, or the edited
    // row's own. Never looked up again by the marker, which need not be unique.
    const qint32 id = m_ride.integer(QStringLiteral("pla_id"));
    if (id <= 0)
        throw Failure(m_ride.name() + QStringLiteral(": the stored ride has no pla_id"));
    return id;
}

void RideOperations::writeTransaction(qint32 ride, qint32 code, const QString &remark)
{
    // The transaction log reports its own failures to the failure handler and
    // carries on. Inside a packet that would answer "AC" for a ride whose
    // transaction row is missing; the packet fails instead, so that its unit
    // of work is rolled back as a whole.
    bool failed = false;
    QString message;
    const auto watch = QObject::connect(&m_failures, &FailureHandler::failed, [&](const QString &text) {
        failed = true;
        message = text;
    });
    m_datasets.transactions.LogTransactie(0, ride, 0, 0, code, remark);
    QObject::disconnect(watch);
    if (failed)
        throw Failure(message);
}

} // namespace velora
