#pragma once

#include <QObject>

#include <functional>

namespace velora {

// Runs handler on the event loop's thread, as an ordinary event, whenever the
// process receives SIGINT or SIGTERM. Returns false when the platform has no
// such signals or they could not be hooked. The handler's object lives as long
// as context.
bool onTerminationSignal(QObject *context, std::function<void()> handler);

} // namespace velora
