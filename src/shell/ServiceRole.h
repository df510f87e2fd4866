#pragma once

namespace velora {

// Whether this machine is the stand-by of a pair of link machines on one
// server database. The Service decides it from the database's service lock
// at every General tick; the intake does not listen and the return channels
// do not send while it is set. Storing and offering status messages ask the
// database itself (Database::holdsServiceLock), which knows it at once when
// a connection is made or lost.
class ServiceRole {
public:
    bool standby() const { return m_standby; }
    void setStandby(bool standby) { m_standby = standby; }

private:
    bool m_standby = false;
};

} // namespace velora
