#pragma once

#include <QObject>

#include <functional>

namespace velora {

// Runs handler on the event loop's thread, as an ordinary event, whenever the
// process receives SIGINT or SIGTERM. Returns false when the platform has no
// such signals or they could not be hooked. The handler's object lives as long
// as context.
bool onTerminationSignal(QObject *context, std::function<void()> handler);

// The same for SIGHUP, the operator's way to have the settings file read again
// without a restart. Both hooks share one pipe, which lives as long as the
// context of the first hook: give both the same context (the application).
bool onReloadSignal(QObject *context, std::function<void()> handler);

// A write to a pipe or socket whose reader is gone (standard output when the
// log reader ended) then fails with an error instead of ending the process.
bool ignoreBrokenPipe();

} // namespace velora
