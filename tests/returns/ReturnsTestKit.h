#pragma once

#include "database/DatabaseTestKit.h"
#include "database/Schema.h"
#include "returns/ReturnLink.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"
#include "support/TestSupport.h"
#include "wire/WireCodec.h"

#include <QPointer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace velora::test {

// The status return link on an embedded database in a fresh program folder,
// built as the service builds it, with timers the test starts and sets.
struct ReturnsKit : DatabaseKit {
    Log returnLog{QStringLiteral("RBSCLog")};
    QStringList failureMessages;
    WorkQueue work;
    // What the service hands its link, on this kit's parts. The queues live
    // in memory unless a test names a queue file: the channel tests time
    // their ticks in milliseconds, which a synced write per change would
    // upset on a busy disk.
    ReturnLinkContext context(const ServiceRole *role = nullptr, ServiceMetrics *metrics = nullptr,
                              const QString &queueFile = QString())
    {
        return {.settings = settings,
                .activityLog = activityLog,
                .returnLog = returnLog,
                .failures = failures,
                .work = work,
                .database = *database,
                .datasets = *datasets,
                .queueFile = queueFile,
                .role = role,
                .metrics = metrics};
    }
    std::unique_ptr<ReturnLink> link = std::make_unique<ReturnLink>(context());

    // The link's parts under the names the tests use.
    ReturnChannel *rbs = &link->channel(ReturnChannelId::Rbs);
    ReturnChannel *valys = &link->channel(ReturnChannelId::Valys);
    StatusMessages *status = &link->statusMessages();
    ReturnScheduler *scheduler = &link->scheduler();
    QTimer &rbsQueueTimer = link->RBSQOutTimer();
    QTimer &valysQueueTimer = link->ValysQOutTimer();
    QTimer &rbsSendTimer = link->SendClient();
    QTimer &valysSendTimer = link->SendclientValys();
    QTimer &schedulerTimer = link->RetourZender();

    ReturnsKit()
    {
        QObject::connect(&failures, &FailureHandler::failed, [this](const QString &m) { failureMessages << m; });
        database->open();
    }

    ~ReturnsKit()
    {
        link.reset();
        if (QSqlDatabase::contains(suiteName())) {
            QSqlDatabase::database(suiteName()).close();
            QSqlDatabase::removeDatabase(suiteName());
        }
    }

    // Queue and send ticks at test speed.
    void startChannel(ReturnChannel &channel, int queueMs = 40, int sendMs = 15)
    {
        QTimer &queueTimer = &channel == rbs ? rbsQueueTimer : valysQueueTimer;
        QTimer &sendTimer = &channel == rbs ? rbsSendTimer : valysSendTimer;
        queueTimer.start(queueMs);
        sendTimer.start(sendMs);
    }

    void pointAt(Setting host, Setting port, quint16 portNumber)
    {
        settings.setText(host, QStringLiteral("127.0.0.1"));
        settings.setText(port, QString::number(portNumber));
    }

    // The dispatch suite's side: a connection of its own on the service's file.
    QString suiteName() const { return QStringLiteral("suite-%1").arg(reinterpret_cast<quintptr>(this), 0, 16); }
    QSqlDatabase suite()
    {
        QSqlDatabase db = suiteConnection(suiteName(), databasePath());
        if (!db.isOpen())
            qFatal("%s", qPrintable(db.lastError().text()));
        return db;
    }

    QSqlQuery exec(const QString &statement, const QVariantList &bindings = {})
    {
        QSqlQuery query(suite());
        if (!query.prepare(statement))
            qFatal("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        for (const QVariant &value : bindings)
            query.addBindValue(suiteValue(value));
        if (!query.exec())
            qFatal("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        return query;
    }

    QVariant scalar(const QString &statement, const QVariantList &bindings = {})
    {
        QSqlQuery query = exec(statement, bindings);
        return query.next() ? query.value(0) : QVariant();
    }

    int insert(const QString &table, const QVariantMap &columns)
    {
        QStringList marks;
        for (qsizetype i = 0; i < columns.size(); ++i)
            marks << QStringLiteral("?");
        return exec(QStringLiteral("insert into %1 (%2) values (%3)")
                        .arg(table, columns.keys().join(u','), marks.join(u',')),
                    columns.values())
            .lastInsertId()
            .toInt();
    }

    int insertRide(QVariantMap columns)
    {
        if (!columns.contains(QStringLiteral("pla_eigenaar")))
            columns.insert(QStringLiteral("pla_eigenaar"), QStringLiteral("002"));
        return insert(QStringLiteral("planning"), columns);
    }

    int returnState(int rideId)
    {
        const QVariant v = scalar(QStringLiteral("select pla_retour_rbs from planning where pla_id=?"), {rideId});
        return v.isNull() ? -1 : v.toInt();
    }

    QStringList returnLines(const QString &prefix) const
    {
        QStringList lines;
        for (const QString &line : returnLog.lines())
            if (line.startsWith(prefix))
                lines << line;
        return lines;
    }
};

// The booking system's ride number of a queued status message.
inline qint32 rideNumberOf(const QByteArray &message)
{
    QByteArray hex = message;
    hex.remove(0, 5);
    if (hex.endsWith("<EINDE>"))
        hex.chop(7);
    return ReadCommaList(DecodeHexText(QString::fromLatin1(hex))).value(3).toInt();
}

// An answer as a return host sends it: envelope, hex text, two trailer characters.
inline QByteArray answerBytes(const QString &reply, const QByteArray &trailer = "\r\n")
{
    return "<RBS>" + EncodeHexText(reply).toLatin1() + trailer;
}

inline QByteArray acceptFor(qint32 ride, const char *type = "AC")
{
    return answerBytes(QStringLiteral("%1,RBS,7,%2,0,").arg(QLatin1String(type)).arg(ride));
}

// A return host on loopback. Every connection is recorded with the complete
// messages it received; answer() decides what goes back for each message (and
// after how long); onConnect() may send unasked bytes.
class ReturnPeer {
public:
    struct Connection {
        QTcpSocket *socket = nullptr;
        QByteArray received;
        QList<QByteArray> messages;
        bool closedByService = false;
    };

    std::function<QByteArray(const QByteArray &message)> answer;
    int answerDelayMs = 0;
    std::function<void(QTcpSocket &)> onConnect;

    ReturnPeer()
    {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                const int index = static_cast<int>(m_connections.size());
                m_connections.push_back(std::make_unique<Connection>());
                m_connections.back()->socket = socket;
                QObject::connect(socket, &QTcpSocket::readyRead, [this, index] { read(index); });
                QObject::connect(socket, &QTcpSocket::disconnected,
                                 [this, index] { m_connections[index]->closedByService = true; });
                if (onConnect)
                    onConnect(*socket);
            }
        });
    }

    quint16 port() const { return m_server.serverPort(); }
    int connectionCount() const { return static_cast<int>(m_connections.size()); }
    const Connection &connection(int i) const { return *m_connections[i]; }
    QList<QByteArray> messages() const
    {
        QList<QByteArray> all;
        for (const auto &c : m_connections)
            all << c->messages;
        return all;
    }

private:
    void read(int index)
    {
        Connection &c = *m_connections[index];
        c.received += c.socket->readAll();
        for (qsizetype end; (end = c.received.indexOf("<EINDE>")) >= 0;) {
            const QByteArray message = c.received.left(end + 7);
            c.received.remove(0, end + 7);
            c.messages << message;
            if (!answer)
                continue;
            const QByteArray reply = answer(message);
            QPointer<QTcpSocket> socket(c.socket);
            if (answerDelayMs == 0)
                socket->write(reply);
            else
                QTimer::singleShot(answerDelayMs, [socket, reply] {
                    if (socket && socket->state() == QAbstractSocket::ConnectedState)
                        socket->write(reply);
                });
        }
    }

    // Declared first so that the server, destroyed first, finds them when its
    // sockets report their end.
    std::vector<std::unique_ptr<Connection>> m_connections;
    QTcpServer m_server;
};

// A port on loopback where nobody listens.
inline quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

} // namespace velora::test
