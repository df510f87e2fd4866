#include "shell/Settings.h"

#include "shell/TextRules.h"

#include <array>
#include <limits>
#include <stdexcept>

namespace velora {

namespace {

using K = SettingKind;
using S = Setting;

#define VELORA_ROW(prefix, n, first, def)                                                                              \
    {                                                                                                                  \
        static_cast<S>(static_cast<int>(S::first) + (n)-1), prefix #n, "Text", K::Text, def, true                      \
    }
// The design writes rows in the order 1, 10, 2, ..., 9 (names sorted as text).
#define VELORA_ROWS(prefix, first, def)                                                                                \
    VELORA_ROW(prefix, 1, first, def), VELORA_ROW(prefix, 10, first, def), VELORA_ROW(prefix, 2, first, def),          \
        VELORA_ROW(prefix, 3, first, def), VELORA_ROW(prefix, 4, first, def), VELORA_ROW(prefix, 5, first, def),       \
        VELORA_ROW(prefix, 6, first, def), VELORA_ROW(prefix, 7, first, def), VELORA_ROW(prefix, 8, first, def),       \
        VELORA_ROW(prefix, 9, first, def)

const SettingDefinition kDefinitions[] = {
    {S::xLoginDatabase, "xLoginDatabase", "Text", K::Text, "", true},
    {S::xLoginServer, "xLoginServer", "Text", K::Text, "", true},
    {S::xLoginSQL, "xLoginSQL", "Text", K::Text, "", true},
    {S::xPaswoordSQL, "xPaswoordSQL", "Text", K::Text, "", true},
    {S::RBSPoort, "RBSPoort", "Text", K::Text, "2100", true},
    {S::RBS_BDR, "RBS_BDR", "Text", K::Text, "", true},
    {S::RBS_BDR_STT, "RBS_BDR_STT", "Text", K::Text, "", true},
    {S::RBS_BDR_VAL, "RBS_BDR_VAL", "Text", K::Text, "", true},
    {S::RBS_DEB, "RBS_DEB", "Text", K::Text, "", true},
    {S::RBS_DEB_STT, "RBS_DEB_STT", "Text", K::Text, "", true},
    {S::RBS_DEB_VAL, "RBS_DEB_VAL", "Text", K::Text, "", true},
    {S::RBSCHost, "RBSCHost", "Text", K::Text, "127.0.0.1", true},
    {S::RBSCPoort, "RBSCPoort", "Text", K::Text, "2100", true},
    {S::rbsSoortWagen, "rbsSoortWagen", "Checked", K::YesNo, "FALSE", true},
    {S::VALYSHOST, "VALYSHOST", "Text", K::Text, "127.0.0.1", true},
    {S::VALYSPOORT, "VALYSPOORT", "Text", K::Text, "2100", true},
    {S::RBSActive, "RBSActive", "Checked", K::YesNo, "FALSE", true},
    {S::Betaalwijze, "Betaalwijze", "Checked", K::YesNo, "FALSE", true},
    {S::BedragVerplaatsen, "BedragVerplaatsen", "Checked", K::YesNo, "FALSE", true},
    {S::RBS_SV, "RBS_SV", "Text", K::Text, "P", true},
    {S::VAL_SV, "VAL_SV", "Text", K::Text, "P", true},
    {S::STT_SV, "STT_SV", "Text", K::Text, "P", true},
    {S::RBS_SW, "RBS_SW", "Text", K::Text, "B", true},
    {S::VAL_SW, "VAL_SW", "Text", K::Text, "B", true},
    {S::STT_SW, "STT_SW", "Text", K::Text, "B", true},
    {S::RBS_TAR, "RBS_TAR", "Text", K::Text, "0", true},
    {S::VAL_TAR, "VAL_TAR", "Text", K::Text, "0", true},
    {S::STT_TAR, "STT_TAR", "Text", K::Text, "0", true},
    {S::RBSRetour, "RBSRetour", "Checked", K::YesNo, "FALSE", true},
    {S::DebiteurAanmaken, "DebiteurAanmaken", "Checked", K::YesNo, "FALSE", true},
    {S::Gebruiker, "Gebruiker", "Text", K::Text, "0", true},
    {S::RBSFilter, "RBSFilter", "Text", K::Text, "~", true},
    {S::VALFilter, "VALFilter", "Text", K::Text, "~", true},
    {S::STTFilter, "STTFilter", "Text", K::Text, "~", true},
    {S::AutoToewijzen, "AutoToewijzen", "Checked", K::YesNo, "TRUE", true},
    {S::Conversie, "Conversie", "Checked", K::YesNo, "FALSE", true},
    VELORA_ROWS("P", P1, "P"),
    VELORA_ROWS("S", S1, ""),
    VELORA_ROWS("F", F1, "~"),
    {S::Postcodes, "Postcodes", "Checked", K::YesNo, "FALSE", true},
    {S::IntLab, "IntLab", "Caption", K::Text, "15 seconden", true},
    {S::TrackBar1, "TrackBar1", "Position", K::Integer, "15", true},
    VELORA_ROWS("T", T1, "0"),
    VELORA_ROWS("rc", rc1, "0"),
    {S::Lokaal, "Lokaal", "Text", K::Text, "20", true},
    {S::Interlokaal, "Interlokaal", "Text", K::Text, "40", true},
    {S::RitkleurRBS, "RitkleurRBS", "Text", K::Text, "", true},
    {S::RitkleurVAL, "RitkleurVAL", "Text", K::Text, "", true},
    {S::RitkleurSTT, "RitkleurSTT", "Text", K::Text, "", true},
    {S::GoogleV2, "GoogleV2", "Checked", K::YesNo, "TRUE", true},
    // Settings this implementation adds, in the same style.
    {S::AfstandServer, "AfstandServer", "Text", K::Text, "", true},
    {S::AfstandPoort, "AfstandPoort", "Text", K::Text, "80", true},
    {S::AfstandTimeOut, "AfstandTimeOut", "Text", K::Text, "10", true},
    // The status endpoint (0: off), the days saved activity logs are kept
    // (0: all), the intake's listen address (empty: all) and the addresses
    // and networks that may connect to it (empty: all).
    {S::StatusPoort, "StatusPoort", "Text", K::Text, "0", true},
    {S::StatusAdres, "StatusAdres", "Text", K::Text, "127.0.0.1", true},
    {S::LogBewaarDagen, "LogBewaarDagen", "Text", K::Text, "90", true},
    {S::RBSAdres, "RBSAdres", "Text", K::Text, "", true},
    {S::RBSToegestaan, "RBSToegestaan", "Text", K::Text, "", true},
    // Controls that start from their default on every run.
    {S::AutoPlannen, "AutoPlannen", "Checked", K::YesNo, "TRUE", false},
    {S::RBSGetalMax, "RBSGetalMax", "Text", K::Text, "20", false},
    {S::Testnummer, "Testnummer", "Text", K::Text, "0", false},
};

#undef VELORA_ROWS
#undef VELORA_ROW

static_assert(std::size(kDefinitions) == static_cast<std::size_t>(Setting::Count),
              "every setting has exactly one definition");

const std::array<const SettingDefinition *, static_cast<std::size_t>(Setting::Count)> &definitionIndex()
{
    static const auto index = [] {
        std::array<const SettingDefinition *, static_cast<std::size_t>(Setting::Count)> result{};
        for (const SettingDefinition &definition : kDefinitions)
            result[static_cast<std::size_t>(definition.id)] = &definition;
        for (const SettingDefinition *entry : result) {
            if (!entry)
                throw std::logic_error("setting without definition");
        }
        return result;
    }();
    return index;
}

QVariant defaultValueOf(const SettingDefinition &definition)
{
    switch (definition.kind) {
    case K::YesNo: return QVariant(QString::fromLatin1(definition.defaultValue) == QLatin1String("TRUE"));
    case K::Integer: return QVariant(QString::fromLatin1(definition.defaultValue).toInt());
    case K::Text: break;
    }
    return QVariant(QString::fromUtf8(definition.defaultValue));
}

constexpr qint32 kAnyLow = std::numeric_limits<qint32>::min();
constexpr qint32 kAnyHigh = std::numeric_limits<qint32>::max();

// The text settings that their readers take by the leading-integer rule. The
// settings file check names values that the rule would change or that fall
// outside the range.
const NumberRule kNumberRules[] = {
    {S::RBSPoort, 1, 65535},
    {S::RBSCPoort, 1, 65535},
    {S::VALYSPOORT, 1, 65535},
    {S::AfstandPoort, 1, 65535},
    {S::AfstandTimeOut, kAnyLow, kAnyHigh},
    // 0 is "off"; the endpoint refuses anything beyond a port.
    {S::StatusPoort, 0, 65535},
    {S::Lokaal, kAnyLow, kAnyHigh},
    {S::Interlokaal, kAnyLow, kAnyHigh},
    {S::Gebruiker, kAnyLow, kAnyHigh},
    {S::RBS_BDR, kAnyLow, kAnyHigh},
    {S::RBS_BDR_VAL, kAnyLow, kAnyHigh},
    {S::RBS_BDR_STT, kAnyLow, kAnyHigh},
    {S::RBS_DEB, kAnyLow, kAnyHigh},
    {S::RBS_DEB_VAL, kAnyLow, kAnyHigh},
    {S::RBS_DEB_STT, kAnyLow, kAnyHigh},
    {S::RBS_TAR, kAnyLow, kAnyHigh},
    {S::VAL_TAR, kAnyLow, kAnyHigh},
    {S::STT_TAR, kAnyLow, kAnyHigh},
};

} // namespace

const NumberRule *numberRuleOf(Setting id)
{
    for (const NumberRule &rule : kNumberRules) {
        if (rule.id == id)
            return &rule;
    }
    // The tariff and RC value of the ten conversion rows.
    static const auto rowRules = [] {
        std::array<NumberRule, 20> rules{};
        for (int row = 1; row <= 10; ++row) {
            rules[row - 1] = {conversionRow(ConversionField::Tariff, row), kAnyLow, kAnyHigh};
            rules[row + 9] = {conversionRow(ConversionField::RcValue, row), kAnyLow, kAnyHigh};
        }
        return rules;
    }();
    for (const NumberRule &rule : rowRules) {
        if (rule.id == id)
            return &rule;
    }
    return nullptr;
}

std::span<const SettingDefinition> settingDefinitions()
{
    return kDefinitions;
}

const SettingDefinition &definitionOf(Setting id)
{
    return *definitionIndex()[static_cast<std::size_t>(id)];
}

QString elementName(const SettingDefinition &definition)
{
    return QString::fromLatin1(definition.control) + u'_' + QString::fromLatin1(definition.property);
}

Setting conversionRow(ConversionField field, int row)
{
    if (row < 1 || row > 10)
        throw std::out_of_range("conversion row");
    Setting first = S::S1;
    switch (field) {
    case ConversionField::Keyword: first = S::S1; break;
    case ConversionField::Filter: first = S::F1; break;
    case ConversionField::TransportKind: first = S::P1; break;
    case ConversionField::Tariff: first = S::T1; break;
    case ConversionField::RcValue: first = S::rc1; break;
    }
    return static_cast<Setting>(static_cast<int>(first) + row - 1);
}

Settings::Settings(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<velora::Setting>();
    m_values.resize(static_cast<std::size_t>(Setting::Count));
    resetToDefaults();
}

void Settings::resetToDefaults()
{
    for (const SettingDefinition &definition : kDefinitions)
        setValue(definition.id, defaultValueOf(definition));
}

QString Settings::text(Setting id) const
{
    const QVariant &v = m_values[index(id)];
    switch (definitionOf(id).kind) {
    case K::YesNo: return v.toBool() ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    case K::Integer: return QString::number(v.toInt());
    case K::Text: break;
    }
    return v.toString();
}

bool Settings::checked(Setting id) const
{
    return m_values[index(id)].toBool();
}

int Settings::position(Setting id) const
{
    return m_values[index(id)].toInt();
}

qint32 Settings::integer(Setting id) const
{
    if (definitionOf(id).kind == K::Integer)
        return position(id);
    return leadingInteger(text(id));
}

void Settings::setText(Setting id, const QString &text)
{
    setValue(id, QVariant(text));
}

void Settings::setChecked(Setting id, bool checked)
{
    setValue(id, QVariant(checked));
}

void Settings::setPosition(Setting id, int position)
{
    setValue(id, QVariant(position));
}

void Settings::setValue(Setting id, const QVariant &value)
{
    const SettingDefinition &definition = definitionOf(id);
    QVariant normalised;
    switch (definition.kind) {
    case K::YesNo: normalised = QVariant(value.toBool()); break;
    case K::Integer: normalised = QVariant(value.toInt()); break;
    case K::Text: normalised = QVariant(value.toString()); break;
    }
    if (id == S::TrackBar1)
        normalised = QVariant(qBound(kIntervalMin, normalised.toInt(), kIntervalMax));
    QVariant &slot = m_values[index(id)];
    const bool differs = slot != normalised;
    slot = normalised;
    if (differs)
        Q_EMIT changed(id);
    // The slider always shows its position in the label beside it.
    if (id == S::TrackBar1 && differs)
        setText(S::IntLab, QString::number(normalised.toInt()) + QStringLiteral(" seconden"));
}

} // namespace velora

// The meta-object code sits with the class so that linking the class never
// pulls in the meta-object code of unrelated classes of the library.
#include "moc_Settings.cpp"
