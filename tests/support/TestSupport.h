#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

namespace velora::test {

// Path of a file under tests/fixtures.
inline QString fixturePath(const QString &name)
{
    return QStringLiteral(VELORA_FIXTURES_DIR "/") + name;
}

// Lets the event loop run until the predicate holds or the time is up.
template <typename Predicate>
bool waitUntil(Predicate &&predicate, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(1);
    }
    return true;
}

// Which free port freeLoopbackPort() looks for.
enum class PortChoice {
    // Any the kernel hands out for port 0: one of its ephemeral range.
    Ephemeral,
    // One outside the kernel's range of ephemeral ports (below it, else above
    // it), for a server that a test stops and starts again on the same port.
    // The kernel gives ports of that range to outgoing connections: a client
    // reconnecting while the server is down can be given the server's port as
    // its own, its connection then reaches itself (a TCP simultaneous open)
    // and stays up, and the server cannot listen there again. An ephemeral
    // port is taken only when nothing outside the range is free.
    OutsideEphemeral,
};

// A port nothing listens on right now, on any address (so on 127.0.0.1 as
// well); 0 when none could be found. Another program may take it before the
// caller listens there.
quint16 freeLoopbackPort(PortChoice choice = PortChoice::Ephemeral);

} // namespace velora::test
