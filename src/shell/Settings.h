#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <span>
#include <vector>

namespace velora {

// Every setting of the service, named after the control that holds it in the
// window. Rows of the filter page are contiguous so that row n of a field is
// that field's first entry plus n - 1 (see conversionRow()).
enum class Setting {
    // Database connection
    xLoginServer,
    xLoginDatabase,
    xLoginSQL,
    xPaswoordSQL,
    // Intake server
    RBSPoort,
    RBSActive,
    GoogleV2,
    // Return link
    RBSCHost,
    RBSCPoort,
    VALYSHOST,
    VALYSPOORT,
    IntLab,
    TrackBar1,
    RBSRetour,
    // Channels RBS, VAL, STT
    RBS_BDR,
    RBS_BDR_VAL,
    RBS_BDR_STT,
    RBS_DEB,
    RBS_DEB_VAL,
    RBS_DEB_STT,
    RBS_SV,
    VAL_SV,
    STT_SV,
    RBS_SW,
    VAL_SW,
    STT_SW,
    RBS_TAR,
    VAL_TAR,
    STT_TAR,
    RBSFilter,
    VALFilter,
    STTFilter,
    RitkleurRBS,
    RitkleurVAL,
    RitkleurSTT,
    // Switches
    rbsSoortWagen,
    Betaalwijze,
    BedragVerplaatsen,
    DebiteurAanmaken,
    AutoToewijzen,
    AutoPlannen,
    Postcodes,
    Conversie,
    Gebruiker,
    Lokaal,
    Interlokaal,
    // Filter conversion rows 1..10
    S1,
    S2,
    S3,
    S4,
    S5,
    S6,
    S7,
    S8,
    S9,
    S10,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    P1,
    P2,
    P3,
    P4,
    P5,
    P6,
    P7,
    P8,
    P9,
    P10,
    T1,
    T2,
    T3,
    T4,
    T5,
    T6,
    T7,
    T8,
    T9,
    T10,
    rc1,
    rc2,
    rc3,
    rc4,
    rc5,
    rc6,
    rc7,
    rc8,
    rc9,
    rc10,
    // Controls that are not kept in the file
    RBSGetalMax,
    Testnummer,
    // Distance service (kept in the file after the settings of the design)
    AfstandServer,
    AfstandPoort,
    AfstandTimeOut,
    // Status endpoint, failure history and who may connect (kept in the file)
    StatusPoort,
    StatusAdres,
    LogBewaarDagen,
    RBSAdres,
    RBSToegestaan,
    Count
};

enum class SettingKind {
    Text,
    YesNo,
    Integer
};

struct SettingDefinition {
    Setting id;
    const char *control;  // control name, also the objectName in the window
    const char *property; // "Text", "Checked", "Position" or "Caption"
    SettingKind kind;
    const char *defaultValue; // "TRUE"/"FALSE" for yes/no, decimal for integers
    bool stored;              // kept in the configuration file
};

// All settings, the stored ones in the order of a file written from scratch.
std::span<const SettingDefinition> settingDefinitions();
const SettingDefinition &definitionOf(Setting id);
// Element name in the configuration file: control + "_" + property.
QString elementName(const SettingDefinition &definition);

// A text setting that the service reads as a number (leading-integer rule),
// with the range in which the number is usable. Ports must lie in 1..65535;
// the other numbers have no range of their own.
struct NumberRule {
    Setting id;
    qint32 lowest;
    qint32 highest;
    bool isPort() const { return lowest == 1 && highest == 65535; }
};
// nullptr for settings that are not read as a number.
const NumberRule *numberRuleOf(Setting id);

enum class ConversionField {
    Keyword,
    Filter,
    TransportKind,
    Tariff,
    RcValue
};
Setting conversionRow(ConversionField field, int row); // row 1..10

// The current values of all settings. Logic reads the value at the moment of
// use; the window binds its controls to it both ways; the configuration file
// loads into it and gathers from it.
class Settings : public QObject {
    Q_OBJECT
public:
    explicit Settings(QObject *parent = nullptr);

    // Text of a text setting, the decimal position of an integer setting,
    // "TRUE"/"FALSE" of a yes/no setting.
    QString text(Setting id) const;
    bool checked(Setting id) const;
    int position(Setting id) const;
    // The text read by the leading-integer rule.
    qint32 integer(Setting id) const;
    QVariant value(Setting id) const { return m_values[index(id)]; }

    void setText(Setting id, const QString &text);
    void setChecked(Setting id, bool checked);
    // TrackBar1 stays within its range (5 to 60) and moving it sets IntLab.
    void setPosition(Setting id, int position);
    void setValue(Setting id, const QVariant &value);

    void resetToDefaults();

    static constexpr int kIntervalMin = 5;
    static constexpr int kIntervalMax = 60;

Q_SIGNALS:
    void changed(velora::Setting id);

private:
    static int index(Setting id) { return static_cast<int>(id); }
    std::vector<QVariant> m_values;
};

} // namespace velora

Q_DECLARE_METATYPE(velora::Setting)
