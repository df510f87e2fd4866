#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace velora {

// While the distance request waits inside a post, the event loop keeps running
// (the window stays responsive), but nothing else may touch the datasets. Every
// entry point that uses them runs through the gate: when the gate is closed the
// work is queued under a key (one entry per key, the later replacing nothing)
// and run in order as soon as the gate opens again.
class DatasetGate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    bool isBusy() const { return m_depth > 0; }

    // Runs work now, or queues it under key while the gate is closed.
    void run(const QString &key, std::function<void()> work);

    // Held for the duration of a wait that lets events run.
    class Hold {
    public:
        explicit Hold(DatasetGate &gate);
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        DatasetGate &m_gate;
    };

Q_SIGNALS:
    void becameIdle();

private:
    void release();

    int m_depth = 0;
    std::vector<std::pair<QString, std::function<void()>>> m_waiting;
};

} // namespace velora
