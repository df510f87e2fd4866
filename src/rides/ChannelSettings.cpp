#include "rides/ChannelSettings.h"

#include "rides/RideCodes.h"
#include "shell/TextRules.h"

#include <array>

namespace velora {

namespace {

using S = Setting;

constexpr std::array<ChannelSettings, 3> kChannels = {{
    {"RBS", kOwnerRbs, S::RBS_BDR, S::RBS_DEB, S::RBS_SV, S::RBS_SW, S::RBS_TAR, S::RBSFilter, S::RitkleurRBS},
    {"VAL", kOwnerValys, S::RBS_BDR_VAL, S::RBS_DEB_VAL, S::VAL_SV, S::VAL_SW, S::VAL_TAR, S::VALFilter,
     S::RitkleurVAL},
    {"STT", kOwnerStt, S::RBS_BDR_STT, S::RBS_DEB_STT, S::STT_SV, S::STT_SW, S::STT_TAR, S::STTFilter, S::RitkleurSTT},
}};

} // namespace

std::optional<ChannelSettings> channelFor(const QString &sender)
{
    const QString code = trimControl(sender);
    for (const ChannelSettings &channel : kChannels) {
        if (code == QLatin1String(channel.code))
            return channel;
    }
    return std::nullopt;
}

} // namespace velora
