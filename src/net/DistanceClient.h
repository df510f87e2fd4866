#pragma once

#include "shell/TextRules.h" // splitLines, for the lines ReadXMLTag reads

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>

#include <coroutine>

namespace velora {

class Log;
class ServiceMetrics;
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
// The request path and query, blanks as %20 and nothing else changed.
QString distanceRequestPath(const QString &origin, const QString &destination);

// OpvragenAfstand over HTTP: host, port and time-out come from the settings
// AfstandServer, AfstandPoort and AfstandTimeOut at every request. The caller
// co_awaits the answer: the event loop runs on meanwhile, and the caller's
// job holds the work queue until it has its answer, a failure or the
// time-out. One request at a time (the queue runs one job at a time).
class DistanceClient : public QObject {
    Q_OBJECT
public:
    DistanceClient(Settings &settings, Log &activityLog, QObject *parent = nullptr);

    // The texts are taken by value: the coroutine outlives the caller's
    // expression.
    QCoro::Task<myKilometers> OpvragenAfstand(QString origin, QString destination);

    bool isWaiting() const { return bool(m_waiting); }
    // Counts every request there by its outcome.
    void setMetrics(ServiceMetrics *metrics) { m_metrics = metrics; }
    // A request still waiting ends now, as a failed one, and its caller goes
    // on before this returns: the close step and the service's end use it so
    // that the packet in hand is finished and answered.
    void endWait();

private:
    struct Wait;

    // SendRequest: true when the request went out and the whole body was read.
    QCoro::Task<bool> SendRequest(QString verb);
    void GoogleXMLError(const QString &errorText, int errorCode);
    void resume(quint64 wait);

    Settings &m_settings;
    Log &m_activityLog;
    QString m_action;
    QString m_responseText;
    ServiceMetrics *m_metrics = nullptr;
    QString m_outcome; // of the last request, as the metrics name it
    std::coroutine_handle<> m_waiting;
    quint64 m_waitSerial = 0;
};

} // namespace velora
