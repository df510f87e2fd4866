#pragma once

#include "returns/ResubmitButton.h"
#include "returns/ReturnChannelId.h"
#include "shell/ServiceMetrics.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace velora {

// What the operator's window sees of the service and can ask of it. The
// service object implements it; the window depends on nothing else of the
// service, so that window tests can drive it with a stand-in of their own.
class ServicePanel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The program folder and its log folder RBS.
    virtual QString programFolder() const = 0;
    virtual QString logFolder() const = 0;

    // Start-up without the window: creates the folder RBS, starts the timers.
    virtual void start() = 0;
    // Close step: database closed, activity log saved to RBS/, settings
    // gathered and written. Throws Failure when the log cannot be saved; the
    // caller then keeps running (the close is abandoned).
    virtual void close() = 0;
    // SaveSettings: the current values into the in-memory document.
    virtual void gatherSettings() = 0;

    // State shown by the window.
    virtual bool serverListening() const = 0;                     // lamp JvLED1
    virtual QStringList connections() const = 0;                  // RBSConnections
    virtual QStringList queue(ReturnChannelId channel) const = 0; // RBSQOut / VALYSQOut
    virtual ResubmitButton noReplyButton() const = 0;             // NackBerichten
    virtual ResubmitButton failedButton() const = 0;              // ErrorBerichten
    // The figures of the status page (and of the status endpoint). A panel
    // without them shows none.
    virtual StatusSnapshot statusSnapshot() const { return {}; }
    virtual const ServiceMetrics *metrics() const { return nullptr; }

    // Actions of the window's buttons. Each handles its own failures as the
    // window's handler would.
    virtual void testDatabaseConnection(const std::function<void()> &reportSuccess) = 0; // "TEST"
    virtual void sendTestStatus() = 0;                                                   // "VERZENDEN"
    virtual void clearQueue(ReturnChannelId channel) = 0;                                // queue pages' clear buttons
    virtual void resubmitNoReply() = 0;                                                  // "NO REPLY"
    virtual void resubmitFailed() = 0;                                                   // "NACK"

Q_SIGNALS:
    void serverListeningChanged(bool listening);
    void connectionsChanged();
    void queueChanged(velora::ReturnChannelId channel);
    void resubmitButtonsChanged();
};

} // namespace velora
