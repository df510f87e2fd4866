#pragma once

namespace velora {

// How many files and sockets the process may hold open at once (the soft
// limit), or -1 when there is no such limit or the platform cannot tell.
long long openFileLimit();

} // namespace velora
