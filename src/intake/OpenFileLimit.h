#pragma once

namespace velora {

// How many files and sockets the process may hold open at once (the soft
// limit), or -1 when there is no such limit or the platform cannot tell.
long long openFileLimit();

// Raises the soft limit to the hard one, as far as the system lets it, and
// returns the soft limit now in force (-1 as above). Systems commonly start a
// process with a soft limit of 1024 although far more is allowed.
long long raiseOpenFileLimit();

} // namespace velora
