#pragma once

#include <QString>

#include <exception>

namespace velora {

// Every failure of the service travels as this exception, carrying the text
// that ends up in the activity log. Handlers that the event loop calls catch it
// (and any std::exception) and hand it to the FailureHandler.
class Failure : public std::exception {
public:
    explicit Failure(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}

    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// Message text of any exception, as the activity log shows it.
inline QString failureMessage(const std::exception &e)
{
    if (const auto *failure = dynamic_cast<const Failure *>(&e))
        return failure->message();
    return QString::fromUtf8(e.what());
}

} // namespace velora
