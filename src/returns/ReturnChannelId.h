#pragma once

namespace velora {

// The two return channels, as the window and the service name them.
enum class ReturnChannelId {
    Rbs,
    Valys
};

} // namespace velora
