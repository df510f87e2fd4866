#pragma once

#include <vector>

namespace velora {

// A stream socket of this process, named by its descriptor and by the
// identity of the socket behind it, so that a descriptor closed and handed
// out again in the meantime is never mistaken for it.
struct StreamSocket {
    int descriptor = -1;
    unsigned long long identity = 0;
    bool operator==(const StreamSocket &other) const = default;
};

// The stream sockets this process holds open now (TCP and local), lowest
// descriptor first; empty where the platform cannot tell.
std::vector<StreamSocket> openStreamSockets();

// Ends the connection of `socket` in both directions, if its descriptor
// still names that socket: a call blocked on it in another thread returns
// at once as if the peer had closed it. The descriptor stays open for its
// owner to close. False when the socket is not there any more.
bool cutStreamSocket(const StreamSocket &socket);

} // namespace velora
