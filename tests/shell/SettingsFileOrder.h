#pragma once

#include <QStringList>

namespace velora::test {

// Element order of a settings file written from scratch, as operators' files
// and the dispatch suite's own tools expect it. Spelled out here rather than
// taken from the settings table, so that a change of the table shows.
inline QStringList expectedElementOrder()
{
    QStringList names = {QStringLiteral("FormVersion")};
    auto add = [&](std::initializer_list<const char *> list) {
        for (const char *name : list)
            names << QString::fromLatin1(name);
    };
    auto rows = [&](const char *prefix) {
        for (int n : {1, 10, 2, 3, 4, 5, 6, 7, 8, 9})
            names << QString::fromLatin1(prefix) + QString::number(n) + QStringLiteral("_Text");
    };
    add({"xLoginDatabase_Text",
         "xLoginServer_Text",
         "xLoginSQL_Text",
         "xPaswoordSQL_Text",
         "RBSPoort_Text",
         "RBS_BDR_Text",
         "RBS_BDR_STT_Text",
         "RBS_BDR_VAL_Text",
         "RBS_DEB_Text",
         "RBS_DEB_STT_Text",
         "RBS_DEB_VAL_Text",
         "RBSCHost_Text",
         "RBSCPoort_Text",
         "rbsSoortWagen_Checked",
         "VALYSHOST_Text",
         "VALYSPOORT_Text",
         "RBSActive_Checked",
         "Betaalwijze_Checked",
         "BedragVerplaatsen_Checked",
         "RBS_SV_Text",
         "VAL_SV_Text",
         "STT_SV_Text",
         "RBS_SW_Text",
         "VAL_SW_Text",
         "STT_SW_Text",
         "RBS_TAR_Text",
         "VAL_TAR_Text",
         "STT_TAR_Text",
         "RBSRetour_Checked",
         "DebiteurAanmaken_Checked",
         "Gebruiker_Text",
         "RBSFilter_Text",
         "VALFilter_Text",
         "STTFilter_Text",
         "AutoToewijzen_Checked",
         "Conversie_Checked"});
    rows("P");
    rows("S");
    rows("F");
    add({"Postcodes_Checked", "IntLab_Caption", "TrackBar1_Position"});
    rows("T");
    rows("rc");
    add({"Lokaal_Text", "Interlokaal_Text", "RitkleurRBS_Text", "RitkleurVAL_Text", "RitkleurSTT_Text",
         "GoogleV2_Checked", "AfstandServer_Text", "AfstandPoort_Text", "AfstandTimeOut_Text", "StatusPoort_Text",
         "StatusAdres_Text", "LogBewaarDagen_Text", "RBSAdres_Text", "RBSToegestaan_Text"});
    return names;
}

} // namespace velora::test
