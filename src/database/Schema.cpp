#include "database/Schema.h"

#include "shell/DateTimes.h"
#include "shell/TextRules.h"

#include <QHash>
#include <QStringList>

#include <array>
#include <cmath>

namespace velora {

namespace {

using T = ColumnType;

// Columns of planning that the service reads or writes; the dispatch suite's
// own table has many more, which the service leaves alone.
const ColumnDefinition kPlanning[] = {
    {"pla_id", T::Identity},
    {"pla_extern", T::Integer},
    {"pla_extern_ritnummer", T::Integer},
    {"pla_eigenaar", T::Text, 3},
    {"pla_bdr_id", T::Integer},
    {"pla_reiziger", T::Integer},
    {"pla_naam_reiziger", T::Text, 50},
    {"pla_referentie", T::Text, 40},
    {"pla_temp", T::Text, 40},
    {"pla_cloud", T::Integer},
    {"pla_datum", T::DateTime},
    {"pla_tijdstip", T::DateTime},
    {"pla_tijdstip_locatie", T::DateTime},
    {"pla_tijdstip_in_minimaal", T::DateTime},
    {"pla_tijdstip_in_maximaal", T::DateTime},
    {"pla_tijdstip_aanrijden", T::DateTime},
    {"pla_tijdstip_toewijzer", T::DateTime},
    {"pla_tijdstip_toewijzen", T::DateTime},
    {"pla_tijdstip_bestemmen", T::DateTime},
    {"pla_tijdstip_vrijmelden", T::DateTime},
    {"pla_txtext_vanaf", T::DateTime},
    {"pla_tvtext_verwacht", T::DateTime},
    {"pla_ETA", T::DateTime},
    {"pla_ETD", T::DateTime},
    {"pla_ETA_klok", T::DateTime},
    {"pla_ophstraat", T::Text, 50},
    {"pla_ophnummer", T::Text, 10},
    {"pla_ophpostcode", T::Text, 10},
    {"pla_ophstad", T::Text, 50},
    {"pla_besstraat", T::Text, 50},
    {"pla_bestnummer", T::Text, 10},
    {"pla_bestpostcode", T::Text, 10},
    {"pla_beststad", T::Text, 50},
    {"pla_oph_syn", T::Text, 50},
    {"pla_bes_syn", T::Text, 50},
    {"pla_km_sqr", T::Decimal, 18, 2},
    {"pla_km_map", T::Decimal, 18, 2},
    {"pla_minuten", T::Integer},
    {"pla_minuten_extra", T::Integer},
    {"pla_minuten_afwijking", T::Integer},
    {"pla_route", T::Integer},
    {"pla_van", T::Integer},
    {"pla_naar", T::Integer},
    {"pla_zone_van", T::Integer},
    {"pla_zone_naar", T::Integer},
    {"pla_zone_aantal", T::Integer},
    {"pla_lopers", T::Integer},
    {"pla_rollers", T::Integer},
    {"pla_rolstoel", T::Integer},
    {"pla_hulpstukken", T::Integer},
    {"pla_begeleiding", T::Integer},
    {"pla_voorin", T::Integer},
    {"pla_combineren", T::Integer},
    {"pla_spoed", T::Integer},
    {"pla_bellen", T::Integer},
    {"pla_telefoon", T::Text, 40},
    {"pla_status", T::Text, 1},
    {"pla_soortvervoer", T::Text, 1},
    {"pla_soortwagen", T::Text, 1},
    {"pla_soortrit", T::Text, 1},
    {"pla_filter", T::Text, 1},
    {"pla_kleur", T::Text, 10},
    {"pla_tarief_bedrijf", T::Integer},
    {"pla_rc", T::Integer},
    {"pla_extern_kostenplaats", T::Text, 20},
    {"pla_nss_code", T::Text, 10},
    {"pla_bedrag", T::Decimal, 18, 2},
    {"pla_bedrag_1", T::Decimal, 18, 2},
    {"pla_bedrag_3", T::Decimal, 18, 2},
    {"pla_bedrag_5", T::Decimal, 18, 2},
    {"pla_vrij_factuur1", T::Text, 50},
    {"pla_vrij_factuur2", T::Text, 50},
    {"pla_nooitplannen", T::Integer},
    {"pla_auto_toewijzen", T::Integer},
    {"pla_wagen", T::Integer},
    {"pla_chauffeur", T::Integer},
    {"pla_mut", T::Integer},
    {"pla_proces", T::Integer},
    {"pla_isretour", T::Integer},
    {"pla_is_materiaal", T::Integer},
    {"pla_is_koprit", T::Integer},
    {"pla_txtext_actief", T::Integer},
    {"pla_klant_email", T::Integer},
    {"pla_chauffeur_email", T::Integer},
    {"pla_Vandrel_status", T::Integer},
    {"pla_veloralink_ETA", T::Integer},
    {"pla_veloralink_ETD", T::Integer},
    {"pla_ntr", T::Integer},
    {"pla_vektis", T::Integer},
    {"pla_vektis_subnummer", T::Integer},
    {"pla_uzovi", T::Integer},
    {"pla_ETA_latitude", T::Decimal, 18, 5},
    {"pla_ETA_longitude", T::Decimal, 18, 5},
    {"pla_ETD_latitude", T::Decimal, 18, 5},
    {"pla_ETD_longitude", T::Decimal, 18, 5},
    {"pla_tx_oph_latitude", T::Decimal, 18, 5},
    {"pla_tx_oph_longitude", T::Decimal, 18, 5},
    {"pla_tx_best_latitude", T::Decimal, 18, 5},
    {"pla_tx_best_longitude", T::Decimal, 18, 5},
    {"pla_opmerking", T::Text, 50},
    {"pla_tekst", T::LongText},
    {"pla_pasnummer", T::Text, 40},
    {"pla_retour_rbs", T::Integer},
};

const ColumnDefinition kWagens[] = {
    {"wag_id", T::Identity},
    {"wag_kenteken", T::Text, 10},
    {"wag_brandstof", T::Text, 40},
};

const ColumnDefinition kReizigers[] = {
    {"rei_id", T::Identity},    {"rei_extern", T::Integer}, {"rei_naam", T::Text, 50},
    {"rei_bdr_id", T::Integer}, {"rei_actief", T::Integer}, {"rei_taxis", T::Integer},
};

const ColumnDefinition kStraten[] = {
    {"str_wijkcode", T::Text, 4},    {"str_lettercombinatie", T::Text, 2}, {"str_reeksindicatie", T::Text, 20},
    {"str_huisnr_van", T::Integer},  {"str_huisnr_tm", T::Integer},        {"str_straatnaam", T::Text, 40},
    {"str_plaatsnaam", T::Text, 40},
};

// tra_opmerking is a text without a stated size in the dispatch database.
const ColumnDefinition kTransacties[] = {
    {"tra_gebruiker", T::Integer},  {"tra_ritstaat", T::Integer},  {"tra_rit", T::Integer},
    {"tra_wagen", T::Integer},      {"tra_chauffeur", T::Integer}, {"tra_code", T::Integer},
    {"tra_opmerking", T::LongText},
};

const std::array<TableDefinition, 5> kTables = {{
    {"planning", kPlanning},
    {"WAGENS", kWagens},
    {"reizigers", kReizigers},
    {"Straten", kStraten},
    {"TRANSACTIES", kTransacties},
}};

const std::array<IndexDefinition, 5> kIndexes = {{
    {"IX_planning_pla_temp", "planning", "pla_temp"},
    {"IX_planning_pla_extern", "planning", "pla_extern"},
    {"IX_planning_pla_retour_rbs", "planning", "pla_retour_rbs"},
    {"IX_reizigers_rei_extern", "reizigers", "rei_extern"},
    {"IX_Straten_wijkcode_letters", "Straten", "str_wijkcode, str_lettercombinatie"},
}};

// Column names carry their table's prefix, so one index over all tables finds
// the definition of any column of a result, joins included.
const QHash<QString, const ColumnDefinition *> &columnIndex()
{
    static const QHash<QString, const ColumnDefinition *> index = [] {
        QHash<QString, const ColumnDefinition *> result;
        for (const TableDefinition &table : kTables)
            for (const ColumnDefinition &column : table.columns)
                result.insert(QString::fromLatin1(column.name).toLower(), &column);
        // The names as the schema spells them find their column without a
        // lower-case copy; a spelling that is also another column's lower-case
        // name does not displace it.
        for (const TableDefinition &table : kTables)
            for (const ColumnDefinition &column : table.columns)
                if (!result.contains(QLatin1String(column.name)))
                    result.insert(QString::fromLatin1(column.name), &column);
        return result;
    }();
    return index;
}

bool isPlainAscii(QStringView text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// Half away from zero on the shortest decimal form of the value, as a decimal
// column rounds the value it is given (1.005 becomes 1.01, not 1.00 as the
// binary double would).
double roundToScale(double value, int scale)
{
    if (!std::isfinite(value))
        return value;
    if (value == 0) // most amounts and coordinates of a new row
        return 0.0;
    const QString text = QString::number(std::fabs(value), 'f', 12);
    const qsizetype point = text.indexOf(u'.');
    const QString whole = text.left(point);
    QString fraction = text.mid(point + 1);
    const bool up = fraction.size() > scale && fraction[scale] >= u'5';
    QString digits = whole + fraction.left(scale);
    if (up) {
        qsizetype i = digits.size() - 1;
        while (i >= 0 && digits[i] == u'9') {
            digits[i] = u'0';
            --i;
        }
        if (i < 0)
            digits.prepend(u'1');
        else
            digits[i] = QChar(digits[i].unicode() + 1);
    }
    const qsizetype wholeLength = digits.size() - scale;
    const QString rounded = scale > 0 ? digits.left(wholeLength) + u'.' + digits.mid(wholeLength) : digits;
    const double magnitude = rounded.toDouble();
    return value < 0 ? -magnitude : magnitude;
}

} // namespace

std::span<const TableDefinition> dispatchTables()
{
    return kTables;
}

std::span<const IndexDefinition> dispatchIndexes()
{
    return kIndexes;
}

const TableDefinition *findTable(const QString &name)
{
    for (const TableDefinition &table : kTables)
        if (name.compare(QLatin1String(table.name), Qt::CaseInsensitive) == 0)
            return &table;
    return nullptr;
}

const ColumnDefinition *findColumn(const TableDefinition &table, const QString &column)
{
    // Every post looks up each column it stores: the index over all tables
    // answers at once when the name is one of this table's.
    if (const ColumnDefinition *definition = findAnyColumn(column);
        definition && definition >= table.columns.data() && definition < table.columns.data() + table.columns.size())
        return definition;
    for (const ColumnDefinition &definition : table.columns)
        if (column.compare(QLatin1String(definition.name), Qt::CaseInsensitive) == 0)
            return &definition;
    return nullptr;
}

const ColumnDefinition *findAnyColumn(const QString &column)
{
    // Most callers spell the name as the schema does: no lower-case copy then.
    const QHash<QString, const ColumnDefinition *> &index = columnIndex();
    const auto exact = index.constFind(column);
    if (exact != index.cend())
        return exact.value();
    return index.value(column.toLower(), nullptr);
}

QVariant columnValue(const ColumnDefinition &column, const QVariant &value)
{
    if (value.isNull())
        return value;
    switch (column.type) {
    case ColumnType::Text:
        if (value.typeId() == QMetaType::QString) {
            // Most values are plain ASCII that fits: the field holds them as
            // they are, so the text is shared rather than converted. (A null
            // text still becomes an empty one below.)
            const QString &text = *static_cast<const QString *>(value.constData());
            if (!text.isNull() && text.size() <= column.size && isPlainAscii(text))
                return value;
        }
        return toAnsiField(value.toString(), column.size);
    case ColumnType::LongText:
        if (value.typeId() == QMetaType::QString) {
            const QString &text = *static_cast<const QString *>(value.constData());
            if (!text.isNull() && isPlainAscii(text))
                return value;
        }
        return fromAnsi(toAnsi(value.toString()));
    case ColumnType::Decimal: return roundToScale(value.toDouble(), column.scale);
    case ColumnType::Integer:
    case ColumnType::Identity:
        return value.typeId() == QMetaType::QString ? QVariant(leadingInteger(value.toString())) : value;
    case ColumnType::DateTime:
        if (value.typeId() == QMetaType::QString)
            return dateTimeFromStoredText(value.toString());
        if (value.typeId() == QMetaType::QDateTime) {
            // Wall-clock values: whatever time zone the value is tagged with, its date
            // and time of day are what the column holds.
            const QDateTime dateTime = value.toDateTime();
            return wallClock(dateTime.date(), dateTime.time());
        }
        if (value.typeId() == QMetaType::QDate)
            return wallClock(value.toDate(), QTime(0, 0));
        return value;
    }
    return value;
}

QVariant storedValue(const ColumnDefinition &column, const QVariant &value)
{
    const QVariant normalized = columnValue(column, value);
    if (column.type == ColumnType::DateTime && normalized.typeId() == QMetaType::QDateTime)
        return dateTimeToStoredText(normalized.toDateTime());
    return normalized;
}

namespace {

// Digits at fixed places of the stored form; -1 where one is not a digit.
int fixedDigits(QStringView text, qsizetype from, qsizetype count)
{
    int result = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        result = result * 10 + (c - u'0');
    }
    return result;
}

void putDigits(char16_t *out, int value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        out[i] = char16_t(u'0' + value % 10);
        value /= 10;
    }
}

} // namespace

namespace {

QString columnType(const ColumnDefinition &column, SqlDialect dialect)
{
    const bool sqlite = dialect == SqlDialect::Sqlite;
    const bool server = dialect == SqlDialect::SqlServer;
    switch (column.type) {
    case ColumnType::Identity:
        return sqlite   ? QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT")
               : server ? QStringLiteral("INT IDENTITY(1,1) PRIMARY KEY")
                        : QStringLiteral("integer generated by default as identity primary key");
    case ColumnType::Integer: return server ? QStringLiteral("INT") : QStringLiteral("INTEGER");
    case ColumnType::Text: return QStringLiteral("VARCHAR(%1)").arg(column.size);
    case ColumnType::LongText: return server ? QStringLiteral("VARCHAR(MAX)") : QStringLiteral("TEXT");
    case ColumnType::Decimal:
        return QStringLiteral("%1(%2,%3)")
            .arg(dialect == SqlDialect::PostgreSql ? QStringLiteral("NUMERIC") : QStringLiteral("DECIMAL"))
            .arg(column.size)
            .arg(column.scale);
    case ColumnType::DateTime:
        // SQLite: TEXT affinity; the stored form "yyyy-MM-dd hh:mm:ss.zzz"
        // sorts and compares as a date-time. The servers keep milliseconds.
        return sqlite ? QStringLiteral("TEXT") : server ? QStringLiteral("DATETIME") : QStringLiteral("TIMESTAMP(3)");
    }
    return QString();
}

} // namespace

QString createTableStatement(const TableDefinition &table, SqlDialect dialect)
{
    QStringList columns;
    for (const ColumnDefinition &column : table.columns)
        columns << QLatin1String(column.name) + u' ' + columnType(column, dialect);
    return QStringLiteral("CREATE TABLE %1 (%2)").arg(QLatin1String(table.name), columns.join(QStringLiteral(", ")));
}

QString createIndexStatement(const IndexDefinition &index, SqlDialect dialect)
{
    // "if not exists" where the database knows it: another program may have
    // added the index since the look.
    return QStringLiteral("CREATE INDEX %1%2 ON %3 (%4)")
        .arg(dialect == SqlDialect::SqlServer ? QString() : QStringLiteral("IF NOT EXISTS "), QLatin1String(index.name),
             QLatin1String(index.table), QLatin1String(index.columns));
}

QString dateTimeToStoredText(const QDateTime &value)
{
    if (!value.isValid())
        return dateTimeToStoredText(zeroDateTime());
    // Every date-time column of every post passes here: the fixed form is
    // written directly rather than through the format parser.
    const QDate date = value.date();
    const QTime time = value.time();
    if (date.year() >= 1000 && date.year() <= 9999) {
        QString text(23, Qt::Uninitialized);
        char16_t *out = reinterpret_cast<char16_t *>(text.data());
        putDigits(out, date.year(), 4);
        out[4] = u'-';
        putDigits(out + 5, date.month(), 2);
        out[7] = u'-';
        putDigits(out + 8, date.day(), 2);
        out[10] = u' ';
        putDigits(out + 11, time.hour(), 2);
        out[13] = u':';
        putDigits(out + 14, time.minute(), 2);
        out[16] = u':';
        putDigits(out + 17, time.second(), 2);
        out[19] = u'.';
        putDigits(out + 20, time.msec(), 3);
        return text;
    }
    return value.date().toString(QStringLiteral("yyyy-MM-dd")) + u' ' +
           value.time().toString(QStringLiteral("hh:mm:ss.zzz"));
}

QDateTime dateTimeFromStoredText(const QString &text)
{
    // The form this service writes is read back with every row; anything
    // else goes through the general parse below.
    if (text.size() == 23 && text[4] == u'-' && text[7] == u'-' && text[10] == u' ' && text[13] == u':' &&
        text[16] == u':' && text[19] == u'.') {
        const int year = fixedDigits(text, 0, 4);
        const int month = fixedDigits(text, 5, 2);
        const int day = fixedDigits(text, 8, 2);
        const int hour = fixedDigits(text, 11, 2);
        const int minute = fixedDigits(text, 14, 2);
        const int second = fixedDigits(text, 17, 2);
        const int msec = fixedDigits(text, 20, 3);
        if (year >= 0 && month >= 0 && day >= 0 && hour >= 0 && minute >= 0 && second >= 0 && msec >= 0) {
            const QDate date(year, month, day);
            const QTime time(hour, minute, second, msec);
            if (date.isValid() && time.isValid())
                return wallClock(date, time);
        }
    }
    const QString trimmed = text.trimmed();
    // Other programs may write the text without milliseconds, without seconds,
    // or with a "T" between date and time; all of them mean the same value.
    const QDate date = QDate::fromString(trimmed.left(10), QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid())
        return QDateTime();
    QString timeText = trimmed.mid(11);
    QTime time(0, 0);
    if (!timeText.isEmpty()) {
        for (const QString &format :
             {QStringLiteral("hh:mm:ss.zzz"), QStringLiteral("hh:mm:ss"), QStringLiteral("hh:mm")}) {
            time = QTime::fromString(timeText, format);
            if (time.isValid())
                break;
        }
        if (!time.isValid())
            return QDateTime();
    }
    return wallClock(date, time);
}

} // namespace velora
