#pragma once

#include "database/DatabaseTestKit.h"
#include "intake/IntakeServer.h"
#include "shell/ServiceMetrics.h"
#include "shell/WorkQueue.h"
#include "support/TestSupport.h"
#include "wire/WireCodec.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUuid>

#include <memory>

namespace velora::test {

// The bytes of the reply "<RBS>" + hex of "type,sender,7,ride,0," + "<EINDE>".
inline QByteArray replyBytes(const QString &type, const QString &sender, qint32 ride)
{
    tMsgReply reply;
    reply.PacketType = type;
    reply.Sender = sender;
    reply.RideNumber = ride;
    return envelopeBytes(WrapEnvelope(EncodeHexText(ReplyToCommaText(reply))));
}

// A booking system's ride order: 96 items with valid date-times, changed
// item by item, wrapped as a peer sends it (two trailer characters).
struct OrderItems {
    QStringList items;

    explicit OrderItems(const QString &type = QStringLiteral("NR"), qint32 ride = 4711)
    {
        for (int i = 0; i < 96; ++i)
            items << QString();
        items[0] = type;
        items[1] = QStringLiteral("RBS");
        items[2] = QStringLiteral("0");
        items[3] = QString::number(ride);
        for (int i : {4, 5, 23, 24, 49})
            items[i] = QStringLiteral("201403051407");
    }
    OrderItems &set(int index, const QString &value)
    {
        while (items.size() <= index)
            items << QString();
        items[index] = value;
        return *this;
    }
    QString payload() const { return WriteCommaList(items); }
    QByteArray packet(const QByteArray &trailer = "\r\n") const
    {
        return "<RBS>" + EncodeHexText(payload()).toLatin1() + trailer;
    }
};

inline QByteArray envelopeOf(const QString &payload)
{
    return "<RBS>" + EncodeHexText(payload).toLatin1() + "\r\n";
}

// A port nothing listens on right now (port 0 is refused as a setting).
inline quint16 freePort()
{
    return freeLoopbackPort();
}

// The intake with everything it needs, on the database kit's database,
// listening on a free port. The General tick opens the database as the
// service has it opened (failures aside, which the service counts); nothing
// is saved as a connection ends.
struct IntakeKit : DatabaseKit {
    Log returnLog{QStringLiteral("RBSCLog")};
    WorkQueue work;
    ServiceMetrics metrics;
    std::unique_ptr<IntakeServer> server;
    QString readerName = QUuid::createUuid().toString();

    IntakeKit()
    {
        settings.setChecked(Setting::RBSActive, true);
        settings.setText(Setting::RBSPoort, QString::number(freePort()));
        settings.setChecked(Setting::GoogleV2, false);
        IntakeContext context{settings, activityLog, returnLog, failures, *database, *datasets, work};
        context.openDatabase = [this] { database->open(); };
        server = std::make_unique<IntakeServer>(std::move(context));
        server->setMetrics(&metrics);
    }
    ~IntakeKit()
    {
        server.reset();
        QSqlDatabase::removeDatabase(readerName);
    }

    // First tick opens the database, the second starts listening.
    bool start()
    {
        server->GeneralTimer();
        server->GeneralTimer();
        return server->isListening();
    }

    // A second connection to the database, as another program of the suite has.
    QSqlDatabase reader() { return suiteConnection(readerName, databasePath()); }
    bool exec(const QString &statement)
    {
        QSqlQuery query(reader());
        const bool ok = query.exec(statement);
        if (!ok)
            qWarning("%s: %s", qUtf8Printable(statement), qUtf8Printable(query.lastError().text()));
        return ok;
    }
    int count(const QString &table, const QString &where = QStringLiteral("1=1"))
    {
        QSqlQuery query(reader());
        query.exec(QStringLiteral("select count(*) from %1 where %2").arg(table, where));
        return query.next() ? query.value(0).toInt() : -1;
    }
    // The rows of a query, each as a record.
    QList<QSqlRecord> rows(const QString &statement)
    {
        QList<QSqlRecord> result;
        QSqlQuery query(reader());
        if (!query.exec(statement))
            qWarning("%s: %s", qUtf8Printable(statement), qUtf8Printable(query.lastError().text()));
        while (query.next())
            result << query.record();
        return result;
    }
    QSqlRecord ride(qint32 rideNumber)
    {
        const auto found =
            rows(QStringLiteral("select * from planning where pla_extern=%1 order by pla_id").arg(rideNumber));
        return found.isEmpty() ? QSqlRecord() : found.first();
    }

    // Activity log lines without their "hh:mm:ss" stamp where they carry one.
    QStringList unstamped(const Log &log) const
    {
        QStringList lines;
        static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d"));
        for (const QString &line : log.lines())
            lines << QString(line).remove(stamp);
        return lines;
    }
};

// A booking system's connection to the intake.
class BookingPeer {
public:
    explicit BookingPeer(quint16 port, const QHostAddress &host = QHostAddress::LocalHost)
    {
        m_socket.connectToHost(host, port);
    }
    bool connected()
    {
        return waitUntil([&] { return m_socket.state() == QAbstractSocket::ConnectedState; });
    }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // Everything received until `replies` envelopes arrived or the time is up.
    QByteArray waitForReplies(int replies, int timeoutMs = 5000)
    {
        waitUntil([&] { return received().count("<EINDE>") >= replies; }, timeoutMs);
        return m_received;
    }
    QByteArray exchange(const QByteArray &packet, int replies = 1)
    {
        m_received.clear();
        send(packet);
        return waitForReplies(replies);
    }
    const QByteArray &received()
    {
        m_received += m_socket.readAll();
        return m_received;
    }
    void clearReceived()
    {
        received();
        m_received.clear();
    }
    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

} // namespace velora::test
