#include "IntakeTestKit.h"

#include "intake/OpenFileLimit.h"
#include "support/LoopbackHttpServer.h"

#include <QFile>
#include <QSemaphore>
#include <QThread>

using namespace velora;
using namespace velora::test;

namespace {

// Item indexes of the text items of a ride order.
const QList<int> kTextItems = {0,  1,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 26, 38, 39, 40, 42, 48, 50,
                               51, 56, 57, 59, 63, 66, 67, 69, 70, 71, 72, 74, 75, 76, 79, 80, 81, 82, 83, 84, 86, 90};

OrderItems order(const QString &type = "NR", qint32 ride = 4711)
{
    return OrderItems(type, ride).set(5, "201403051432").set(10, "Jansen").set(25, "5501");
}

} // namespace

class TestIntakeFaults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<IntakeKit> kit;
    std::unique_ptr<BookingPeer> peer;

    QByteArray send(const QByteArray &packet, int replies = 1)
    {
        kit->activityLog.clear();
        return peer->exchange(packet, replies);
    }

private Q_SLOTS:
    void init()
    {
        kit = std::make_unique<IntakeKit>();
        QVERIFY(kit->start());
        peer = std::make_unique<BookingPeer>(kit->server->port());
        QVERIFY(peer->connected());
    }
    void cleanup()
    {
        peer.reset();
        kit.reset();
    }

    void lockHeldPastTheBusyTimeOut()
    {
        QVERIFY(kit->exec("BEGIN EXCLUSIVE"));
        QCOMPARE(send(order().packet()), replyBytes("NC", "RBS", 4711));
        const QStringList lines = kit->activityLog.lines();
        QCOMPARE(lines.at(lines.size() - 2), "* <RBS>" + EncodeHexText("NC,RBS,7,4711,0,") + "<EINDE>");
        QVERIFY2(lines.last().contains("locked") && lines.last().endsWith(' '), qPrintable(lines.last()));
        QVERIFY(kit->exec("COMMIT"));

        QCOMPARE(send(order().packet()), replyBytes("AC", "RBS", 4711));
        QCOMPARE(kit->count("planning"), 1);
        QCOMPARE(kit->count("TRANSACTIES"), 1);
    }

    void shortWriteOfAnotherProgramIsWaitedFor()
    {
        QSemaphore locked;
        const QString path = kit->databasePath();
        QThread *other = QThread::create([&] {
            {
                QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "other-program");
                db.setDatabaseName(path);
                db.open();
                QSqlQuery q(db);
                q.exec("BEGIN IMMEDIATE");
                q.exec("insert into Straten (str_wijkcode) values ('9999')");
                locked.release();
                QThread::msleep(100);
                q.exec("COMMIT");
            }
            QSqlDatabase::removeDatabase("other-program");
        });
        other->start();
        locked.acquire();
        QCOMPARE(send(order().packet()), replyBytes("AC", "RBS", 4711));
        other->wait();
        delete other;
        QCOMPARE(kit->count("planning"), 1);
    }

    void databaseFileDeletedOrReplacedWhileRunning_data()
    {
        QTest::addColumn<QByteArray>("replacement"); // empty: the file is only deleted
        QTest::newRow("deleted") << QByteArray();
        QTest::newRow("replaced by garbage") << QByteArray(4096, '\x5a');
    }

    void databaseFileDeletedOrReplacedWhileRunning()
    {
        QFETCH(QByteArray, replacement);
        QCOMPARE(send(order("NR", 1).packet()), replyBytes("AC", "RBS", 1));
        const QString path = kit->databasePath();
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(path + QLatin1String(suffix));
        if (!replacement.isEmpty()) {
            QFile other(path + ".new");
            QVERIFY(other.open(QIODevice::WriteOnly));
            other.write(replacement);
            other.close();
            QVERIFY(QFile::rename(other.fileName(), path));
        }

        // An acknowledged ride must be in the file that is there, not in one
        // that nobody can open any more.
        if (replacement.isEmpty()) {
            QCOMPARE(send(order("NR", 2).packet()), replyBytes("AC", "RBS", 2));
            QCOMPARE(kit->count("planning", "pla_extern=2"), 1);
        } else {
            QCOMPARE(send(order("NR", 2).packet()), replyBytes("NC", "RBS", 2));
            QVERIFY2(kit->activityLog.text().contains("not a database"), qPrintable(kit->activityLog.text()));
        }
    }

    void statementFailingPartWay_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("breakIt");
        QTest::addColumn<QString>("restore");

        const QString hideTransactions = "ALTER TABLE TRANSACTIES RENAME TO TRANSACTIES_AWAY";
        const QString showTransactions = "ALTER TABLE TRANSACTIES_AWAY RENAME TO TRANSACTIES";
        QTest::newRow("NR, transaction table missing") << "NR" << hideTransactions << showTransactions;
        QTest::newRow("NR, ride refused by a trigger")
            << "NR"
            << "CREATE TRIGGER refuse BEFORE INSERT ON planning BEGIN SELECT RAISE(ABORT, 'geweigerd'); END"
            << "DROP TRIGGER refuse";
        QTest::newRow("WR, transaction table missing") << "WR" << hideTransactions << showTransactions;
        QTest::newRow("WR, change refused by a trigger")
            << "WR"
            << "CREATE TRIGGER refuse BEFORE UPDATE ON planning BEGIN SELECT RAISE(ABORT, 'geweigerd'); END"
            << "DROP TRIGGER refuse";
        QTest::newRow("VR, transaction table missing") << "VR" << hideTransactions << showTransactions;
        QTest::newRow("VR, cancellation refused by a trigger")
            << "VR"
            << "CREATE TRIGGER refuse BEFORE UPDATE ON planning BEGIN SELECT RAISE(ABORT, 'geweigerd'); END"
            << "DROP TRIGGER refuse";
    }

    void statementFailingPartWay()
    {
        QFETCH(QString, type);
        QFETCH(QString, breakIt);
        QFETCH(QString, restore);

        // WR and VR work on a ride that is stored already.
        if (type != "NR")
            QCOMPARE(send(order("NR").set(38, "oud").packet()), replyBytes("AC", "RBS", 4711));
        const auto before = kit->rows("select * from planning");
        const int transactionsBefore = kit->count("TRANSACTIES");

        QVERIFY(kit->exec(breakIt));
        const QByteArray refused = replyBytes("NC", "RBS", 4711);
        const QByteArray accepted = replyBytes("AC", "RBS", 4711);
        const QByteArray packet = order(type).set(38, "nieuw").packet();
        // A cancellation is acknowledged before it is stored, then refused.
        QCOMPARE(send(packet, type == "VR" ? 2 : 1), type == "VR" ? accepted + refused : refused);
        QCOMPARE(kit->activityLog.lines().at(kit->activityLog.lineCount() - 2),
                 "* <RBS>" + EncodeHexText("NC,RBS,7,4711,0,") + "<EINDE>");
        // Counted by the reply that went out last, whichever step sent it.
        const auto counted = [&](const QString &reply) {
            return kit->metrics.total("velora_packets_received_total",
                                      QString(R"(type="%1",reply="%2")").arg(type, reply));
        };
        QCOMPARE(counted("NC"), quint64(1));
        QCOMPARE(counted("AC"), quint64(0));

        // Nothing half-written: the rides as they were, no transaction row.
        const auto after = kit->rows("select * from planning");
        QCOMPARE(after.size(), before.size());
        for (int i = 0; i < after.size(); ++i)
            QCOMPARE(after[i], before[i]);
        QVERIFY(kit->exec(restore));
        QCOMPARE(kit->count("TRANSACTIES"), transactionsBefore);

        QCOMPARE(send(packet), accepted);
        QCOMPARE(counted("AC"), quint64(1));
        QCOMPARE(kit->count("TRANSACTIES"), transactionsBefore + 1);
        QCOMPARE(kit->count("planning"), 1);
        if (type == "VR")
            QCOMPARE(kit->ride(4711).value("pla_opmerking").toString(), QString("(VERWIJDERD DOOR RBS)"));
        else
            QVERIFY(kit->ride(4711).value("pla_tekst").toString().startsWith("nieuw"));
    }

    void cancellationIsAcknowledgedBeforeTheDatabaseWaits()
    {
        // The write waits for another program's lock for four seconds; the
        // peer (in a thread of its own, so that it reads while the service
        // waits) must hold its "AC" long before that wait ends, also on a
        // machine busy with other tests.
        kit->database->close();
        DatabaseTimeouts timeouts;
        timeouts.sqliteBusyMs = 4000;
        kit->database->setTimeouts(timeouts);
        kit->database->open();
        QVERIFY(kit->exec("BEGIN EXCLUSIVE"));

        const quint16 port = kit->server->port();
        const QByteArray packet = order("VR").packet();
        QByteArray received;
        qint64 acknowledgedAfterMs = -1;
        QThread *bookingSystem = QThread::create([&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(5000))
                return;
            QElapsedTimer clock;
            clock.start();
            socket.write(packet);
            socket.waitForBytesWritten(5000);
            while (!received.contains("<EINDE>") && socket.waitForReadyRead(5000))
                received += socket.readAll();
            acknowledgedAfterMs = clock.elapsed();
            while (received.count("<EINDE>") < 2 && socket.waitForReadyRead(10000))
                received += socket.readAll();
        });
        bookingSystem->start();
        // The peer gives up on its own within 25 s; it is always joined, as it
        // writes into this function's variables.
        waitUntil([&] { return bookingSystem->isFinished(); }, 30000);
        bookingSystem->wait();
        delete bookingSystem;
        QVERIFY(kit->exec("COMMIT"));

        QCOMPARE(received, replyBytes("AC", "RBS", 4711) + replyBytes("NC", "RBS", 4711));
        QVERIFY2(acknowledgedAfterMs >= 0 && acknowledgedAfterMs < 2000,
                 qPrintable(QString::number(acknowledgedAfterMs)));
    }

    // Traveller, ride and transaction row are one unit: whichever of them is
    // refused, nothing of the packet stays, and the resend stores all three.
    // The travel time is asked first, while the service holds no write lock.
    void refusedRideLeavesNoTraveller_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("refuse");
        const QString ride = "CREATE TRIGGER refuse BEFORE INSERT ON planning BEGIN SELECT RAISE(ABORT, 'nee'); END";
        const QString transaction =
            "CREATE TRIGGER refuse BEFORE INSERT ON TRANSACTIES BEGIN SELECT RAISE(ABORT, 'nee'); END";
        QTest::newRow("NR, ride refused") << "NR" << ride;
        QTest::newRow("NR, transaction row refused") << "NR" << transaction;
        QTest::newRow("WR creating the ride, transaction row refused") << "WR" << transaction;
    }
    void refusedRideLeavesNoTraveller()
    {
        QFETCH(QString, type);
        QFETCH(QString, refuse);
        LoopbackHttpServer distance;
        QVERIFY(distance.listen());
        kit->settings.setText(Setting::AfstandServer, distance.host());
        kit->settings.setText(Setting::AfstandPoort, QString::number(distance.port()));
        kit->settings.setChecked(Setting::GoogleV2, true);
        kit->settings.setChecked(Setting::DebiteurAanmaken, true);
        // While the service waits for the answer, another program can write.
        QVERIFY(kit->exec("PRAGMA busy_timeout = 0"));
        int writableDuringRequest = 0;
        distance.setResponder([&](const LoopbackHttpServer::Request &) {
            if (kit->exec("BEGIN IMMEDIATE") && kit->exec("ROLLBACK"))
                ++writableDuringRequest;
            return LoopbackHttpServer::response(200, "<DistanceMatrixResponse><status>OK</status><row><element>"
                                                     "<status>OK</status><duration><value>1250</value></duration>"
                                                     "<distance><value>15234</value></distance></element></row>"
                                                     "</DistanceMatrixResponse>");
        });
        // Pickup and destination time alike: the travel time is asked for.
        const QByteArray packet = order(type).set(5, "201403051407").packet();

        QVERIFY(kit->exec(refuse));
        QCOMPARE(send(packet), replyBytes("NC", "RBS", 4711));
        QCOMPARE(kit->count("reizigers"), 0);
        QCOMPARE(kit->count("planning"), 0);
        QCOMPARE(kit->count("TRANSACTIES"), 0);

        QVERIFY(kit->exec("DROP TRIGGER refuse"));
        QCOMPARE(send(packet), replyBytes("AC", "RBS", 4711));
        QVERIFY(kit->unstamped(kit->activityLog).contains("- Berekende minuten V2: 20"));
        QCOMPARE(distance.requests().size(), 2);
        QCOMPARE(writableDuringRequest, 2);
        const auto travellers = kit->rows("select rei_id from reizigers");
        QCOMPARE(travellers.size(), 1);
        const QSqlRecord ride = kit->ride(4711);
        QCOMPARE(ride.value("pla_reiziger"), travellers[0].value(0));
        QCOMPARE(ride.value("pla_minuten").toInt(), 20);
        QCOMPARE(kit->count("TRANSACTIES", "tra_rit = " + ride.value("pla_id").toString()), 1);
    }

    void hostileTextsAreStoredAsText()
    {
        const QString hostile = "x'); DROP TABLE planning; -- \"quoted\" ''";
        kit->settings.setChecked(Setting::Postcodes, true);
        kit->settings.setChecked(Setting::DebiteurAanmaken, true);
        for (const char *type : {"NR", "WR", "VR"}) {
            OrderItems o = order(type);
            for (int index : kTextItems)
                if (index > 1)
                    o.set(index, hostile);
            QCOMPARE(send(o.packet()), replyBytes("AC", "RBS", 4711));
        }
        QCOMPARE(kit->count("planning"), 1);
        QCOMPARE(kit->count("TRANSACTIES"), 3);
        QCOMPARE(kit->count("reizigers"), 1);
        const QSqlRecord r = kit->ride(4711);
        QCOMPARE(r.value("pla_naam_reiziger").toString(), hostile.left(40));
        QCOMPARE(r.value("pla_ophpostcode").toString(), hostile.left(7));
        QCOMPARE(r.value("pla_extern_kostenplaats").toString(), QString(hostile.left(20)).remove('\''));
    }

    void hugeItems()
    {
        // Every text item and one number at 10 000 characters: still below the
        // bound of what a connection may hold back.
        OrderItems o = order();
        const QString huge(10000, QChar('9'));
        for (int index : kTextItems)
            if (index > 1)
                o.set(index, huge);
        o.set(6, huge);
        o.set(5, "201403051432" + huge); // characters after the twelfth are ignored
        QCOMPARE(send(o.packet()), replyBytes("AC", "RBS", 4711));
        const QSqlRecord r = kit->ride(4711);
        QCOMPARE(r.value("pla_naam_reiziger").toString(), QString(40, QChar('9')));
        QCOMPARE(r.value("pla_lopers").toInt(), 0); // out of range: 0
        QCOMPARE(r.value("pla_ophnummer").toString(), QString(10, QChar('9')));
        QCOMPARE(r.value("pla_tijdstip_locatie").toString(), QString("2014-03-05 14:32:00.000"));
    }

    void twoMegabytePacketIsBoundedAndSurvived()
    {
        QByteArray flood = "<RBS>";
        flood += QByteArray(2 * 1024 * 1024, 'A') + "\r\n";
        peer->send(flood);
        QVERIFY(waitUntil([&] { return kit->activityLog.text().endsWith("* <RBS><EINDE>"); }, 15000));
        QVERIFY(peer->received().isEmpty());
        // The log shows the flood cut, not megabytes of it.
        qsizetype longest = 0;
        for (const QString &line : kit->activityLog.lines())
            longest = qMax(longest, line.size());
        QVERIFY2(longest < 17000, qPrintable(QString::number(longest)));
        QVERIFY(kit->activityLog.text().contains(QStringLiteral(" characters)")));
        // The service answers the next packet as ever.
        QCOMPARE(send(OrderItems("RS").packet()), replyBytes("NC", "RBS", 4711));
    }

    void silentAndResettingPeers()
    {
        BookingPeer silent(kit->server->port());
        QVERIFY(silent.connected());
        auto resetting = std::make_unique<BookingPeer>(kit->server->port());
        QVERIFY(resetting->connected());
        QVERIFY(waitUntil([&] { return kit->server->openConnectionCount() == 3; }));
        const QByteArray packet = order().packet();
        resetting->send(packet.left(packet.size() / 2));
        QTest::qWait(50);
        resetting->socket().abort();
        resetting.reset();
        QVERIFY(waitUntil([&] { return kit->server->openConnectionCount() == 2; }));
        QCOMPARE(kit->count("planning"), 0);

        QCOMPARE(send(order("NR", 1).packet()), replyBytes("AC", "RBS", 1));
        QCOMPARE(kit->count("planning"), 1);
        QCOMPARE(silent.socket().state(), QAbstractSocket::ConnectedState);
        QVERIFY(silent.received().isEmpty());
    }

    void peerBeyondTheBoundTakesThePlaceOfTheSilentOne()
    {
        // The bound leaves files for the database and the logs: below the
        // process's limit, and not far below it.
        const long long files = openFileLimit();
        QVERIFY(files > 0);
        QVERIFY(kit->server->maxConnections() < files);
        QVERIFY(kit->server->maxConnections() >= files / 2);

        // `peer` of the fixture has been silent longest, then peers[0]; the
        // fixture's peer speaks now, so peers[0] is the one to go.
        kit->server->setMaxConnections(3);
        std::vector<std::unique_ptr<BookingPeer>> peers;
        for (int i = 0; i < 2; ++i) {
            peers.push_back(std::make_unique<BookingPeer>(kit->server->port()));
            QVERIFY(peers.back()->connected());
        }
        QVERIFY(waitUntil([&] { return kit->server->openConnectionCount() == 3; }));
        QCOMPARE(send(order("NR", 1).packet()), replyBytes("AC", "RBS", 1));
        kit->activityLog.clear();

        peers.push_back(std::make_unique<BookingPeer>(kit->server->port()));
        QVERIFY(peers.back()->connected());
        QCOMPARE(peers.back()->exchange(order("NR", 2).packet()), replyBytes("AC", "RBS", 2));
        QVERIFY(waitUntil([&] { return peers[0]->socket().state() == QAbstractSocket::UnconnectedState; }));
        QCOMPARE(kit->server->openConnectionCount(), 3);
        QVERIFY(QRegularExpression("^Stille verbinding gesloten om \\d\\d:\\d\\d:\\d\\d -> 127\\.0\\.0\\.1, "
                                   "plaats nodig voor 127\\.0\\.0\\.1$")
                    .match(kit->activityLog.lines().value(0))
                    .hasMatch());
        QCOMPARE(peers[1]->socket().state(), QAbstractSocket::ConnectedState);
        QCOMPARE(send(order("NR", 3).packet()), replyBytes("AC", "RBS", 3));
        QCOMPARE(kit->count("planning"), 3);
    }

    void peerThatNeverReadsIsHeldBackNotBuffered()
    {
        // A client that takes one byte and then no more: its replies stay in
        // the kernel and then with the service.
        QTcpSocket client;
        client.setReadBufferSize(1);
        client.connectToHost(QHostAddress::LocalHost, kit->server->port());
        QVERIFY(client.waitForConnected(5000));
        const QByteArray packet = OrderItems("RS", 1).packet();
        const int packets = 250000; // about 110 MB, more than the socket buffers can hold
        for (int i = 0; i < packets / 1000; ++i)
            client.write(packet.repeated(1000));

        // The service stops reading until its replies are taken, so the
        // client cannot get everything out.
        QVERIFY(!waitUntil([&] { return client.bytesToWrite() == 0; }, 6000));

        // Once it reads, every packet is answered (generously timed: a quarter
        // of a million packets on a machine busy with other tests).
        client.setReadBufferSize(0);
        qsizetype replies = 0;
        QByteArray unread; // a reply's end may be cut between two reads
        QVERIFY(waitUntil(
            [&] {
                unread += client.readAll();
                const qsizetype end = unread.lastIndexOf("<EINDE>");
                if (end >= 0) {
                    replies += unread.first(end + 7).count("<EINDE>");
                    unread.remove(0, end + 7);
                }
                return replies >= packets;
            },
            60000));
        QCOMPARE(replies, qsizetype(packets));
    }

    void twoHundredConnectionsAtOnce()
    {
        std::vector<std::unique_ptr<BookingPeer>> peers;
        for (int i = 0; i < 200; ++i)
            peers.push_back(std::make_unique<BookingPeer>(kit->server->port()));
        QVERIFY(waitUntil([&] { return kit->server->openConnectionCount() == 201; }, 15000));
        for (int i = 0; i < 200; ++i)
            peers[i]->send(OrderItems("NR", 1000 + i).set(5, "201403051432").packet());
        QVERIFY(waitUntil(
            [&] {
                for (auto &p : peers)
                    if (!p->received().contains("<EINDE>"))
                        return false;
                return true;
            },
            30000));
        for (int i = 0; i < 200; ++i)
            QCOMPARE(peers[i]->received(), replyBytes("AC", "RBS", 1000 + i));
        QCOMPARE(kit->count("planning"), 200);
        QCOMPARE(kit->count("TRANSACTIES"), 200);
        QCOMPARE(kit->server->connections(), QStringList{"127.0.0.1"});
        peers.clear();
        peer.reset();
        QVERIFY(waitUntil([&] { return kit->server->openConnectionCount() == 0; }, 15000));
        QVERIFY(kit->server->connections().isEmpty());
    }
};

QTEST_MAIN(TestIntakeFaults)
#include "tst_intakefaults.moc"
