#pragma once

#include "net/HttpClient.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QIODevice;
class QTemporaryFile;

namespace velora {

// Every request of the update check: HTTP/1.0 (the server closes the
// connection after the body), GET or HEAD, up to five redirections, the
// operator's proxy if any, and given up after idleTimeoutMs without data so
// that a dead update server never leaves a transfer hanging for good.
inline constexpr int kUpdateMaxRedirects = 5;
HttpRequest updateRequest(const QUrl &url, bool head, const HttpProxy &proxy, int idleTimeoutMs);
// A whole answer with a 2xx status.
bool transferSucceeded(const HttpClient &transfer);
// "Mislukt: " + status code + " " + status text; 0 and a text of its own
// when no answer came.
QString transferFailureText(const HttpClient &transfer);

// How the transfers of one check reach the update server.
struct UpdateConnection {
    HttpProxy proxy;
    int idleTimeoutMs = 30000;
    // https: the authorities trusted instead of the system's store (PEM).
    QString caFile;

    // Started at once; it reports through finished() only. Without a sink
    // the body is only counted.
    HttpClient *start(const QUrl &url, bool head, QIODevice *sink, qint64 bodyLimit, QObject *parent) const;
};

// One text of the check (the description, the release notes), fetched
// whole: finished() once, from the event loop. Deleting it aborts.
class UpdateTextFetch : public QObject {
    Q_OBJECT
public:
    // The description and the release notes are read into memory whole; a
    // few lines each are expected. Without a bound a server sending without
    // end fills the temporary folder and then the memory of the service.
    static constexpr qint64 kMaxTextBytes = 1024 * 1024;

    UpdateTextFetch(const UpdateConnection &connection, const QUrl &url, QObject *parent = nullptr);
    ~UpdateTextFetch() override;

    bool succeeded() const { return m_succeeded; }
    // The body when it succeeded.
    const QByteArray &text() const { return m_text; }
    // Why it did not (transferFailureText()).
    const QString &failureText() const { return m_failureText; }
    // The server's certificate did not verify.
    bool untrusted() const { return m_untrusted; }

Q_SIGNALS:
    void finished();

private:
    void transferred();

    std::unique_ptr<QTemporaryFile> m_file;
    QPointer<HttpClient> m_transfer;
    bool m_succeeded = false;
    bool m_untrusted = false;
    QByteArray m_text;
    QString m_failureText;
};

} // namespace velora
