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

} // namespace velora::test
