#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace velora {

class DatasetGate;
class Log;
class Settings;

// myKilometers: what one distance request gives back.
struct myKilometers {
    double distance = -1.0; // kilometres; not above 0 means the request failed
    qint32 minutes = 0;
};

// What an answer body of the distance service says: its status as it stands
// (empty when it names none) and, only when that is "OK", the distance and the
// minutes of its first element.
struct DistanceAnswer {
    QString status;
    myKilometers kilometers;
};
DistanceAnswer readDistanceAnswer(const QString &body);

// The text between the first <tag> and the first </tag> of the joined lines.
QString ReadXMLTag(const QStringList &lines, const QString &tag);
// Lines of a text broken at CR LF, lone CR and lone LF.
QStringList splitLines(const QString &text);
// The request path and query, blanks as %20 and nothing else changed.
QString distanceRequestPath(const QString &origin, const QString &destination);

// OpvragenAfstand over HTTP: host, port and time-out come from the settings
// AfstandServer, AfstandPoort and AfstandTimeOut at every request. The wait
// lets the event loop run (the window stays responsive) while the gate holds
// back everything that would touch the datasets.
class DistanceClient : public QObject {
    Q_OBJECT
public:
    DistanceClient(Settings &settings, Log &activityLog, DatasetGate &gate, QObject *parent = nullptr);

    myKilometers OpvragenAfstand(const QString &origin, const QString &destination);

private:
    // SendRequest: true when the request went out and the whole body was read.
    bool SendRequest(const QString &verb);
    void GoogleXMLError(const QString &errorText, int errorCode);

    Settings &m_settings;
    Log &m_activityLog;
    DatasetGate &m_gate;
    QString m_action;
    QString m_responseText;
};

} // namespace velora
