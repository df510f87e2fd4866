#pragma once

#include <QByteArray>
#include <QString>

namespace velora {

// The connection a packet came in on, as the packet's handling sees it.
class PeerLink {
public:
    virtual ~PeerLink() = default;
    // Dotted IPv4 form of the peer (an IPv4-mapped IPv6 peer shown as IPv4).
    virtual QString address() const = 0;
    virtual bool isConnected() const = 0;
    // Writes the bytes in one write; throws Failure when the peer is gone.
    // They go onto the wire when the event loop next runs, unless atOnce.
    virtual void send(const QByteArray &bytes, bool atOnce = false) = 0;
    // Puts what was sent so far onto the wire now.
    virtual void flush() {}
    // A packet whose reply waits for the commit of its group holds the
    // connection from the end of its handling until the reply is written.
    virtual void hold() {}
    virtual void release() {}
};

} // namespace velora
