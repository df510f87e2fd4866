#include "returns/StatusMessages.h"

#include "database/Dataset.h"
#include "returns/ReturnQueue.h"
#include "rides/Datasets.h"
#include "rides/RideCodes.h"
#include "shell/Failure.h"
#include "shell/Log.h"
#include "wire/WireCodec.h"

#include <QLocale>

#include <limits>

namespace velora {

namespace {

// A number as plain decimal text: the shortest digits that give the same
// double back, in fixed notation, with a point.
QString plainNumberText(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float: return QString::number(value.toDouble(), 'f', QLocale::FloatingPointShortest);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort: return value.toString();
    default: return value.toString().trimmed();
    }
}

} // namespace

qint32 amountInCents(const QVariant &amount)
{
    if (amount.isNull())
        return 0;
    const QString text = plainNumberText(amount);
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    qint64 cents = 0;
    bool sawDigit = false;
    const qint64 limit = qint64(std::numeric_limits<qint32>::max()) + 1;
    for (; i < n && text[i].isDigit(); ++i) {
        cents = cents * 10 + (text[i].unicode() - u'0');
        sawDigit = true;
        if (cents > limit)
            throw Failure(QStringLiteral("'%1' is not a valid amount").arg(text));
    }
    cents *= 100;
    // Only the first two decimals count: truncation towards zero.
    if (i < n && (text[i] == u'.' || text[i] == u',')) {
        ++i;
        int weight = 10;
        for (; i < n && text[i].isDigit(); ++i) {
            cents += weight * (text[i].unicode() - u'0');
            weight /= 10;
            sawDigit = true;
        }
    }
    if (!sawDigit || i != n)
        throw Failure(QStringLiteral("'%1' is not a valid amount").arg(text));
    if (negative)
        cents = -cents;
    if (cents > std::numeric_limits<qint32>::max() || cents < std::numeric_limits<qint32>::min())
        throw Failure(QStringLiteral("'%1' is not a valid amount").arg(text));
    return static_cast<qint32>(cents);
}

QString coordinateText(const QVariant &coordinate)
{
    if (coordinate.isNull())
        return QString();
    return plainNumberText(coordinate).replace(u',', u'.').left(12);
}

QString plateText(const QString &plate)
{
    return QString(plate).remove(u'-').left(8);
}

tRitResults resultsFromRide(const Dataset &ride)
{
    const auto timeOf = [&ride](const char *column) {
        const QString name = QLatin1String(column);
        return ride.isNull(name) ? zeroDateTime() : ride.dateTime(name);
    };

    tRitResults r;
    const QString owner = ride.text(QStringLiteral("pla_eigenaar"));
    r.PacketType = QStringLiteral("RS");
    r.Sender = owner == QLatin1String(kOwnerValys) ? QStringLiteral("VAL") : QStringLiteral("RBS");
    r.MessageCode = 18;
    r.RideNumber = ride.integer(QStringLiteral("pla_extern"));
    r.AmountCents = amountInCents(ride.value(QStringLiteral("pla_bedrag_1")));

    const QString status = ride.text(QStringLiteral("pla_status"));
    const bool destinationKnown = status != QLatin1String("T");
    const bool releaseKnown = destinationKnown && status != QLatin1String("K") && status != QLatin1String("L");
    r.AssignedTime = timeOf("pla_tijdstip_toewijzen");
    if (destinationKnown)
        r.DestinationTime = timeOf("pla_tijdstip_bestemmen");
    if (releaseKnown)
        r.ReleasedTime = timeOf("pla_tijdstip_vrijmelden");

    r.Combinable = ride.integer(QStringLiteral("pla_combineren")) == 1;
    r.RouteNo = ride.integer(QStringLiteral("pla_route"));
    r.StatusL = status == QLatin1String("L");
    r.PassNumber = ride.text(QStringLiteral("pla_pasnummer")).left(20);
    r.FixedLetter = QStringLiteral("A");
    r.RouteNo2 = r.RouteNo;
    r.FromLocation = ride.integer(QStringLiteral("pla_van"));
    r.ToLocation = ride.integer(QStringLiteral("pla_naar"));
    r.PickupLatitude = coordinateText(ride.value(QStringLiteral("pla_tx_oph_latitude")));
    r.DestinationLatitude = coordinateText(ride.value(QStringLiteral("pla_tx_best_latitude")));
    r.PickupLongitude = coordinateText(ride.value(QStringLiteral("pla_tx_oph_longitude")));
    r.DestinationLongitude = coordinateText(ride.value(QStringLiteral("pla_tx_best_longitude")));
    r.EtaClock = timeOf("pla_ETA_klok");
    r.Plate = plateText(ride.text(QStringLiteral("wag_kenteken")));
    r.FuelCode = ride.text(QStringLiteral("wag_brandstof")).left(1);
    return r;
}

StatusMessages::StatusMessages(Datasets &datasets, Log &returnLog, ReturnQueue &rbsQueue, ReturnQueue &valysQueue)
    : m_datasets(datasets), m_returnLog(returnLog), m_rbsQueue(rbsQueue), m_valysQueue(valysQueue)
{
}

void StatusMessages::ZendStatus(qint32 rideId)
{
    try {
        compose(rideId);
    } catch (const std::exception &e) {
        m_datasets.ADOHIS.close();
        m_returnLog.addLine(QStringLiteral("PROC ERROR APX_RBS_STATUS ") + timeOfDayStamp() + QStringLiteral(" ") +
                            failureMessage(e));
    }
}

void StatusMessages::compose(qint32 rideId)
{
    Dataset &ride = m_datasets.ADOHIS;
    ride.close();
    ride.setStatement(QStringLiteral("SELECT * FROM PLANNING LEFT JOIN WAGENS ON WAG_ID=PLA_WAGEN WHERE PLA_ID=?"),
                      {rideId});
    ride.open();
    if (ride.isEmpty()) {
        ride.close();
        return;
    }
    const QString owner = ride.text(QStringLiteral("pla_eigenaar"));
    if (owner != QLatin1String(kOwnerRbs) && owner != QLatin1String(kOwnerValys)) {
        ride.close();
        return;
    }

    const tRitResults results = resultsFromRide(ride);
    const QString entry = WrapEnvelope(EncodeHexText(ResultsToCommaText(results)));
    m_returnLog.addLine(QStringLiteral("D:-> RETOURMELDING - ") + QString::number(results.RideNumber));
    (results.Sender == QLatin1String("VAL") ? m_valysQueue : m_rbsQueue).append(entry);
    m_datasets.transactions.LogTransactie(0, ride.integer(QStringLiteral("pla_id")),
                                          ride.integer(QStringLiteral("pla_wagen")),
                                          ride.integer(QStringLiteral("pla_chauffeur")), 94, QString());
    ride.close();
}

} // namespace velora
