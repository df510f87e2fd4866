#include "rides/RideHooks.h"

#include "database/Dataset.h"
#include "shell/DateTimes.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace velora {

namespace {

const QString kCancelledRemark = QStringLiteral("(VERWIJDERD DOOR RBS)");

QString addressText(const Dataset &ride, const char *street, const char *number, const char *postcode,
                    const char *place)
{
    return ride.text(QLatin1String(street)) + u' ' + ride.text(QLatin1String(number)) + u' ' +
           ride.text(QLatin1String(postcode)).left(4) + u' ' + ride.text(QLatin1String(place));
}

// Minutes as the integer column holds them; absurd date-times cannot overflow it.
qint32 minutesBetween(const QDateTime &a, const QDateTime &b)
{
    return static_cast<qint32>(std::min<qint64>(wholeMinutesBetween(a, b), std::numeric_limits<qint32>::max()));
}

} // namespace

QString makeRideMarker(const QDateTime &now)
{
    const QDate date = now.date();
    const QTime time = now.time();
    if (!now.isValid() || date.year() < 0 || date.year() > 9999)
        return u'P' + now.toString(QStringLiteral("yyyyMMddhhmmss")) + QString::number(date.month()) +
               QString::number(time.second()) + QString::number(QRandomGenerator::global()->bounded(1000));
    QString marker;
    marker.reserve(24);
    marker += u'P';
    appendZeroPadded(marker, date.year(), 4);
    for (const int part : {date.month(), date.day(), time.hour(), time.minute(), time.second()})
        appendZeroPadded(marker, part, 2);
    appendZeroPadded(marker, date.month(), 1);
    appendZeroPadded(marker, time.second(), 1);
    appendZeroPadded(marker, int(QRandomGenerator::global()->bounded(1000)), 1);
    return marker;
}

RideHooks::RideHooks(Settings &settings, Log &activityLog, DistanceClient &distance)
    : m_settings(settings), m_activityLog(activityLog), m_distance(distance)
{
}

void RideHooks::applyNewRowDefaults(Dataset &ride) const
{
    const QDateTime zero = zeroDateTime();
    ride.setValue(QStringLiteral("pla_status"), QStringLiteral("W"));
    ride.setValue(QStringLiteral("pla_spoed"), 0);
    ride.setValue(QStringLiteral("pla_Vandrel_status"), 0);
    ride.setValue(QStringLiteral("pla_veloralink_ETA"), 0);
    ride.setValue(QStringLiteral("pla_veloralink_ETD"), 0);
    ride.setValue(QStringLiteral("pla_ETD_latitude"), 0.0);
    ride.setValue(QStringLiteral("pla_ETD_longitude"), 0.0);
    ride.setValue(QStringLiteral("pla_ETA_latitude"), 0.0);
    ride.setValue(QStringLiteral("pla_klant_email"), 0);
    ride.setValue(QStringLiteral("pla_ETA"), zero);
    ride.setValue(QStringLiteral("pla_ETD"), zero);
    ride.setValue(QStringLiteral("pla_chauffeur_email"), 0);
    ride.setValue(QStringLiteral("pla_ETA_longitude"), 0.0);
    ride.setValue(QStringLiteral("pla_minuten_extra"), 15);
    ride.setValue(QStringLiteral("pla_minuten_afwijking"), 15);
    ride.setValue(QStringLiteral("pla_isretour"), 0);
    ride.setValue(QStringLiteral("pla_txtext_actief"), 0);
    ride.setValue(QStringLiteral("pla_proces"), 0);
    ride.setValue(QStringLiteral("pla_bellen"), 0);
    ride.setValue(QStringLiteral("pla_voorin"), 0);
    ride.setValue(QStringLiteral("pla_filter"), QString());
    ride.setValue(QStringLiteral("pla_soortvervoer"), QStringLiteral("P"));
    ride.setValue(QStringLiteral("pla_soortrit"), QStringLiteral("S"));
    ride.setValue(QStringLiteral("pla_soortwagen"), QStringLiteral("T"));
    ride.setValue(QStringLiteral("pla_minuten"), 0);
    ride.setValue(QStringLiteral("pla_is_materiaal"), 0);
    ride.setValue(QStringLiteral("pla_is_koprit"), 0);
    ride.setValue(QStringLiteral("pla_hulpstukken"), 0);
    ride.setValue(QStringLiteral("pla_km_sqr"), 0.0);
    ride.setValue(QStringLiteral("pla_mut"), 1);
    ride.setValue(QStringLiteral("pla_km_map"), 0.0);
    ride.setValue(QStringLiteral("pla_van"), 0);
    ride.setValue(QStringLiteral("pla_naar"), 0);
    ride.setValue(QStringLiteral("pla_route"), 0);
    ride.setValue(QStringLiteral("pla_chauffeur"), 0);
    ride.setValue(QStringLiteral("pla_wagen"), 0);
    ride.setValue(QStringLiteral("pla_lopers"), 1);
    ride.setValue(QStringLiteral("pla_rollers"), 0);
    ride.setValue(QStringLiteral("pla_combineren"), 0);
    ride.setValue(QStringLiteral("pla_zone_naar"), 0);
    ride.setValue(QStringLiteral("pla_zone_van"), 0);
    ride.setValue(QStringLiteral("pla_ntr"), 0);
    ride.setValue(QStringLiteral("pla_vektis"), 0);
    ride.setValue(QStringLiteral("pla_vektis_subnummer"), 0);
    ride.setValue(QStringLiteral("pla_uzovi"), 0);
    ride.setValue(QStringLiteral("pla_begeleiding"), 0);
    ride.setValue(QStringLiteral("pla_temp"), makeRideMarker(wallClockNow()));
    ride.setValue(QStringLiteral("pla_txtext_vanaf"), wallClockNow());
    ride.setValue(QStringLiteral("pla_tvtext_verwacht"), wallClockNow());
    ride.setValue(QStringLiteral("pla_nss_code"), QStringLiteral("NS-000"));
    ride.setValue(QStringLiteral("pla_vrij_factuur1"), QString());
    ride.setValue(QStringLiteral("pla_vrij_factuur2"), QString());
    ride.setValue(QStringLiteral("pla_tijdstip_aanrijden"), zero);
    ride.setValue(QStringLiteral("pla_auto_toewijzen"), 0);
    ride.setValue(QStringLiteral("pla_tijdstip_toewijzer"), zero);
}

bool RideHooks::needsDistance(const Dataset &ride) const
{
    // The order's own destination time stands; otherwise the service is asked.
    return m_settings.checked(Setting::GoogleV2) &&
           !(ride.dateTime(QStringLiteral("pla_tijdstip")) < ride.dateTime(QStringLiteral("pla_tijdstip_locatie")));
}

QCoro::Task<> RideHooks::prepare(Dataset &ride)
{
    m_answer.reset();
    if (ride.isFilling() && needsDistance(ride)) {
        m_answer = co_await m_distance.OpvragenAfstand(
            addressText(ride, "pla_ophstraat", "pla_ophnummer", "pla_ophpostcode", "pla_ophstad"),
            addressText(ride, "pla_besstraat", "pla_bestnummer", "pla_bestpostcode", "pla_beststad"));
    }
    ride.prepare();
    // Not used when the ride was prepared already; never left for another.
    m_answer.reset();
}

void RideHooks::beforePost(Dataset &ride)
{
    // Taken, so that a later post without prepare() never uses it.
    const myKilometers answer = std::exchange(m_answer, std::nullopt).value_or(myKilometers{});
    auto log = [this](const QString &text) { m_activityLog.addLine(timeOfDayStamp() + text); };
    const qint32 local = m_settings.integer(Setting::Lokaal);
    const qint32 interlocal = m_settings.integer(Setting::Interlokaal);
    const QDateTime pickup = ride.dateTime(QStringLiteral("pla_tijdstip"));
    const QDateTime destination = ride.dateTime(QStringLiteral("pla_tijdstip_locatie"));

    if (pickup < destination) {
        // The order brought its own destination time: it stands.
        ride.setValue(QStringLiteral("pla_minuten"), minutesBetween(pickup, destination));
        log(QStringLiteral("- Ontvangen minuten: ") + QString::number(ride.integer(QStringLiteral("pla_minuten"))));
    } else {
        bool haveDistance = false;
        if (m_settings.checked(Setting::GoogleV2)) {
            if (answer.distance > 0) {
                const double kilometres = std::round(answer.distance * 10000.0) / 10000.0;
                ride.setValue(QStringLiteral("pla_km_map"), kilometres);
                ride.setValue(QStringLiteral("pla_km_sqr"), kilometres);
                ride.setValue(QStringLiteral("pla_minuten"), answer.minutes);
                log(QStringLiteral("- Berekende minuten V2: ") +
                    QString::number(ride.integer(QStringLiteral("pla_minuten"))));
                haveDistance = true;
            } else {
                log(QStringLiteral("- Berekening minuten V2 mislukt"));
            }
        }
        if (!haveDistance) {
            const double kilometres = ride.number(QStringLiteral("pla_km_sqr"));
            if (ride.integer(QStringLiteral("pla_minuten")) == 0 && kilometres > 0) {
                const qint32 speed =
                    ride.text(QStringLiteral("pla_ophstad")) == ride.text(QStringLiteral("pla_beststad")) ? local
                                                                                                          : interlocal;
                // The product over 60, as the dispatch suite has always computed it.
                const double product = std::trunc(kilometres * speed / 60.0);
                ride.setValue(QStringLiteral("pla_minuten"),
                              static_cast<qint32>(std::clamp<double>(product, std::numeric_limits<qint32>::min(),
                                                                     std::numeric_limits<qint32>::max())));
            }
        }
        const qint32 minutes = ride.integer(QStringLiteral("pla_minuten"));
        if (minutes > 0) {
            ride.setValue(QStringLiteral("pla_tijdstip_locatie"), pickup.addSecs(qint64(minutes) * 60));
            // Read back as the row holds them, so the two columns agree as stored.
            ride.setValue(QStringLiteral("pla_minuten"),
                          minutesBetween(ride.dateTime(QStringLiteral("pla_tijdstip")),
                                         ride.dateTime(QStringLiteral("pla_tijdstip_locatie"))));
        }
        log(QStringLiteral("- Opgeslagen minuten: ") + QString::number(ride.integer(QStringLiteral("pla_minuten"))));
    }

    if (ride.integer(QStringLiteral("pla_minuten")) == 0)
        ride.setValue(QStringLiteral("pla_nooitplannen"), 1);
    if (ride.text(QStringLiteral("pla_opmerking")) == kCancelledRemark) {
        ride.setValue(QStringLiteral("pla_nooitplannen"), 1);
        ride.setValue(QStringLiteral("pla_route"), 0);
        ride.setValue(QStringLiteral("pla_van"), 0);
        ride.setValue(QStringLiteral("pla_naar"), 0);
    }
}

} // namespace velora
