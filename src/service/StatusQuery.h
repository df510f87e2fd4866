#pragma once

#include <QString>

class QTextStream;

namespace velora {

// --status: asks the running service of a program folder for its /health and
// /metrics (address and port from the folder's settings file) and prints
// them as readable text. Returns the exit code: 0 healthy, 1 not healthy,
// not reachable or the endpoint is off.
int queryStatus(const QString &programFolder, QTextStream &out, QTextStream &err);

// The readable text of a /health body and a /metrics text.
QString statusText(const QByteArray &health, const QByteArray &metrics);

} // namespace velora
