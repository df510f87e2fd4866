#pragma once

#include <QString>

namespace velora {

// Makes sure a SQL Server answers at all before the ODBC driver is asked to log
// in: the driver's own login time-out does not cover a host that accepts the
// TCP connection and then stays silent, and the driver's connect blocks the one
// event thread. This opens a TCP connection to host:port, sends a PRELOGIN and
// waits for the first bytes of any answer, all within timeoutSeconds (at least
// one second). The connection is closed again either way.
//
// Throws Failure naming host and port when the host cannot be found, refuses
// or drops the connection, or gives no answer in time. Blocks the calling
// thread for at most the bound (plus the little it takes to close a socket).
void probeSqlServer(const QString &host, quint16 port, int timeoutSeconds);

} // namespace velora
