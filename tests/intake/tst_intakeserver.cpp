#include "IntakeTestKit.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>

using namespace velora;
using namespace velora::test;

namespace {

const QRegularExpression kDateTimeStamp(QStringLiteral("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d "));

QString lastLine(const Log &log)
{
    return log.lines().isEmpty() ? QString() : log.lines().last();
}

} // namespace

class TestIntakeServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void activationByTheGeneralTick()
    {
        IntakeKit kit;
        QSignalSpy lamp(kit.server.get(), &IntakeServer::lampChanged);
        kit.server->GeneralTimer();
        QVERIFY(kit.database->isOpen());
        QVERIFY(!kit.server->isListening()); // database first, the server one tick later
        kit.server->GeneralTimer();
        QVERIFY(kit.server->isListening());
        QVERIFY(kit.server->lamp());
        QCOMPARE(lamp.count(), 1);
        QVERIFY(lastLine(kit.activityLog).contains(kDateTimeStamp));
        QStringList started = kit.activityLog.lines().mid(kit.activityLog.lineCount() - 2);
        started.replaceInStrings(kDateTimeStamp, QString());
        QCOMPARE(started,
                 (QStringList{"RBS C/S ingeschakeld", "RBS C/S poort " + kit.settings.text(Setting::RBSPoort)}));

        BookingPeer peer(kit.server->port());
        QVERIFY(peer.connected());
        QVERIFY(waitUntil([&] { return kit.server->connections().size() == 1; }));

        kit.settings.setChecked(Setting::RBSActive, false);
        kit.server->GeneralTimer();
        QVERIFY(!kit.server->isListening());
        QVERIFY(!kit.server->lamp());
        QVERIFY(kit.database->isOpen());
        QCOMPARE(QString(lastLine(kit.activityLog)).remove(kDateTimeStamp), QString("RBS C/S uitgeschakeld"));
        QVERIFY(kit.server->connections().isEmpty()); // every peer dropped
        QVERIFY(waitUntil([&] { return peer.socket().state() == QAbstractSocket::UnconnectedState; }));

        kit.database->close();
        kit.settings.setChecked(Setting::RBSActive, true);
        kit.server->GeneralTimer();
        QVERIFY(kit.database->isOpen());
        QVERIFY(!kit.server->isListening());
        kit.server->GeneralTimer();
        QVERIFY(kit.server->isListening());
    }

    void portTakenIsRetriedNextTick()
    {
        IntakeKit kit;
        auto blocker = std::make_unique<QTcpServer>();
        QVERIFY(blocker->listen(QHostAddress::Any, 0));
        kit.settings.setText(Setting::RBSPoort, QString::number(blocker->serverPort()) + "x");
        kit.server->GeneralTimer();
        kit.server->GeneralTimer();
        QVERIFY(!kit.server->isListening());
        QCOMPARE(kit.activityLog.lineCount(), 1); // the failure's message replaced the log
        QVERIFY(!lastLine(kit.activityLog).contains("ingeschakeld"));
        const quint16 port = blocker->serverPort();
        blocker.reset();
        kit.server->GeneralTimer();
        QVERIFY(kit.server->isListening());
        QCOMPARE(kit.server->port(), port); // the leading integer of "NNNNx"
    }

    // A port changed while the server listens moves the listener at the next
    // tick; the connections stay. A port that is none is reported once, and
    // the old port serves on.
    void changedPortMovesTheListener()
    {
        IntakeKit kit;
        QVERIFY(kit.start());
        const quint16 before = kit.server->port();
        BookingPeer staying(before);
        QVERIFY(staying.connected());
        QVERIFY(waitUntil([&] { return kit.server->openConnectionCount() == 1; }));

        // A changed field alone moves nothing: it may be half typed.
        const quint16 after = freePort();
        kit.settings.setText(Setting::RBSPoort, QString::number(after));
        kit.server->GeneralTimer();
        QCOMPARE(kit.server->port(), before);
        kit.activityLog.clear();
        kit.server->moveToConfiguredPort();
        kit.server->GeneralTimer();
        QCOMPARE(kit.server->port(), after);
        QStringList lines = kit.activityLog.lines();
        lines.replaceInStrings(kDateTimeStamp, QString());
        QCOMPARE(lines, (QStringList{"RBS C/S uitgeschakeld", "RBS C/S ingeschakeld",
                                     "RBS C/S poort " + QString::number(after)}));
        QVERIFY(kit.server->lamp());
        QCOMPARE(staying.exchange(OrderItems("RS", 1).packet()), replyBytes("NC", "RBS", 1));
        BookingPeer arriving(after);
        QVERIFY(arriving.connected());
        QCOMPARE(arriving.exchange(OrderItems("RS", 2).packet()), replyBytes("NC", "RBS", 2));
        QTcpSocket old;
        old.connectToHost(QHostAddress::LocalHost, before);
        QVERIFY(!old.waitForConnected(1000));

        kit.settings.setText(Setting::RBSPoort, "abc");
        kit.server->moveToConfiguredPort();
        kit.server->GeneralTimer();
        QCOMPARE(kit.activityLog.lines(), QStringList{"RBSServerSocket: Ongeldige poort: abc"});
        kit.activityLog.addLine("next");
        kit.server->GeneralTimer();
        QCOMPARE(lastLine(kit.activityLog), QString("next"));
        QCOMPARE(kit.server->port(), after);
        QCOMPARE(arriving.exchange(OrderItems("RS", 3).packet()), replyBytes("NC", "RBS", 3));
    }

    void connectionListHoldsEachAddressOnce()
    {
        QCOMPARE(peerAddressText(QHostAddress("::ffff:192.168.1.20")), QString("192.168.1.20"));
        QCOMPARE(peerAddressText(QHostAddress("10.0.0.1")), QString("10.0.0.1"));

        IntakeKit kit;
        QVERIFY(kit.start());
        auto first = std::make_unique<BookingPeer>(kit.server->port());
        BookingPeer second(kit.server->port());
        QVERIFY(first->connected() && second.connected());
        QVERIFY(waitUntil([&] { return kit.server->openConnectionCount() == 2; }));
        QCOMPARE(kit.server->connections(), QStringList{"127.0.0.1"});

        first->socket().disconnectFromHost();
        QVERIFY(waitUntil([&] { return kit.server->openConnectionCount() == 1; }));
        // The first to close removes the entry although the second is still connected.
        QVERIFY(kit.server->connections().isEmpty());
        QVERIFY(QRegularExpression("^Verbinding verbroken om \\d\\d:\\d\\d:\\d\\d -> 127\\.0\\.0\\.1$")
                    .match(lastLine(kit.activityLog))
                    .hasMatch());
    }

    void dispatchTable_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("tail"); // last lines of RBSLog, unstamped

        // A packet of which not even a refusal can be made: the failure
        // names the peer that sent it.
        const auto unreadableFrom = [](const char *failure) {
            return QStringLiteral("RBSServerSocket 127.0.0.1: ") + QLatin1String(failure);
        };
        const QString refused = EncodeHexText("NC,RBS,7,4711,0,");
        QTest::newRow("RS answered NC") << OrderItems("RS").packet() << replyBytes("NC", "RBS", 4711)
                                        << QStringList{"- RS pakket ontvangen ", "* <RBS>" + refused + "<EINDE>"};
        QTest::newRow("AC not answered") << OrderItems("AC").packet() << QByteArray()
                                         << QStringList{"- AC pakket ontvangen ", "* <RBS><EINDE>"};
        QTest::newRow("NC not answered") << OrderItems("NC").packet() << QByteArray()
                                         << QStringList{"- NC pakket ontvangen ", "* <RBS><EINDE>"};
        QTest::newRow("lower-case nr") << OrderItems("nr").packet() << replyBytes("NC", "RBS", 4711)
                                       << QStringList{"", "* <RBS>" + refused + "<EINDE>"};
        QTest::newRow("unknown type, sender echoed")
            << OrderItems("XX").set(1, "STT").set(3, "-5").packet() << replyBytes("NC", "STT", -5)
            << QStringList{"", "* <RBS>" + EncodeHexText("NC,STT,7,-5,0,") + "<EINDE>"};
        QTest::newRow("200 items") << OrderItems("RS").set(199, "x").packet() << replyBytes("NC", "RBS", 4711)
                                   << QStringList{"- RS pakket ontvangen ", "* <RBS>" + refused + "<EINDE>"};
        QTest::newRow("not an envelope") << QByteArray("hello\r\n") << QByteArray()
                                         << QStringList{"hello", "", "* <RBS><EINDE>"};
        QStringList ninetyFive = OrderItems("RS").set(94, "1").items.mid(0, 95);
        QTest::newRow("95 items") << envelopeOf(WriteCommaList(ninetyFive)) << QByteArray()
                                  << QStringList{unreadableFrom("List index out of bounds (95)")};
        QTest::newRow("six-item AC") << envelopeOf("AC,RBS,7,4711,0,") << QByteArray()
                                     << QStringList{
                                            unreadableFrom("0is not a valid datetime string")}; // item 4 fails first
        QTest::newRow("empty payload") << QByteArray("<RBS>\r\n") << QByteArray()
                                       << QStringList{unreadableFrom("List index out of bounds (0)")};
        QTest::newRow("non-hex envelope")
            << QByteArray("<RBS>ZZ,,GG%%\r\n") << QByteArray()
            << QStringList{unreadableFrom("List index out of bounds (0)")}; // non-hex pairs decode to code 0
        QTest::newRow("garbage bytes") << QByteArray("\x00\xff\x13<RBX>", 8) << QByteArray()
                                       << QStringList{QString(QChar(0)) + QChar(0xff) + QChar(0x13) + "<RBX>",
                                                      "* <RBS><EINDE>"};
        for (int item : {4, 5, 23, 24, 49}) {
            QTest::newRow(qPrintable(QString("invalid date-time in item %1").arg(item)))
                << OrderItems("NR").set(item, "201402301200").packet() << QByteArray()
                << QStringList{unreadableFrom("201402301200is not a valid datetime string")};
        }
        QTest::newRow("empty date-time") << OrderItems("VR").set(49, "").packet() << QByteArray()
                                         << QStringList{unreadableFrom("is not a valid datetime string")};
    }

    void dispatchTable()
    {
        QFETCH(QByteArray, packet);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, tail);

        IntakeKit kit;
        QVERIFY(kit.start());
        BookingPeer peer(kit.server->port());
        QVERIFY(peer.connected());
        kit.activityLog.clear();
        peer.send(packet);
        const bool logged = waitUntil([&] {
            const QStringList lines = kit.unstamped(kit.activityLog);
            return lines.size() >= tail.size() && lines.mid(lines.size() - tail.size()) == tail;
        });
        if (!logged)
            qWarning() << kit.activityLog.lines();
        QVERIFY(logged);
        QTest::qWait(50);
        QCOMPARE(peer.received(), reply);
        if (tail.size() == 1)
            QCOMPARE(kit.activityLog.lineCount(), 1); // the failure handler replaced the log
        else
            QCOMPARE(kit.unstamped(kit.activityLog).first(), QString("-127.0.0.1"));
        QCOMPARE(kit.count("planning"), 0);
        QCOMPARE(kit.count("TRANSACTIES"), 0);
    }

    void receivedTextIsLoggedAfterTheAddressLine()
    {
        IntakeKit kit;
        QVERIFY(kit.start());
        BookingPeer peer(kit.server->port());
        QVERIFY(peer.connected());
        const QByteArray packet = OrderItems("RS").packet();
        QCOMPARE(peer.exchange(packet), replyBytes("NC", "RBS", 4711));
        const QStringList lines = kit.activityLog.lines();
        const int at = lines.indexOf(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d-127\\.0\\.0\\.1$"));
        QVERIFY(at >= 0);
        QCOMPARE(lines.at(at + 1), QString::fromLatin1(packet.chopped(2)));
        QCOMPARE(lines.at(at + 2), QString()); // the CR LF trailer ends a line
    }

    void framingOverTcp()
    {
        IntakeKit kit;
        QVERIFY(kit.start());
        BookingPeer peer(kit.server->port());
        QVERIFY(peer.connected());

        // Split over two writes: reassembled, answered once.
        const QByteArray packet = OrderItems("RS", 1).packet();
        peer.send(packet.left(100));
        QTest::qWait(100);
        peer.send(packet.mid(100));
        QCOMPARE(peer.waitForReplies(1), replyBytes("NC", "RBS", 1));
        QTest::qWait(50);
        QCOMPARE(peer.received(), replyBytes("NC", "RBS", 1));

        // Two packets in one write: answered twice, in order.
        peer.clearReceived();
        peer.send(OrderItems("RS", 2).packet() + OrderItems("RS", 3).packet());
        QCOMPARE(peer.waitForReplies(2), replyBytes("NC", "RBS", 2) + replyBytes("NC", "RBS", 3));

        // Two packets whose second is split inside its "<RBS>" (a read may end
        // anywhere): both answered, in order, the second not lost.
        for (const int cut : {1, 2, 3, 4}) {
            peer.clearReceived();
            const QByteArray both = OrderItems("RS", 10 + cut).packet() + OrderItems("RS", 20 + cut).packet();
            const qsizetype at = OrderItems("RS", 10 + cut).packet().size() + cut;
            peer.send(both.left(at));
            QTest::qWait(100);
            peer.send(both.mid(at));
            QCOMPARE(peer.waitForReplies(2), replyBytes("NC", "RBS", 10 + cut) + replyBytes("NC", "RBS", 20 + cut));
        }

        // A packet without its trailer is handled as it stands after 2 s of
        // silence: its last two characters (here the digits of "5") are dropped.
        peer.clearReceived();
        const QByteArray open = OrderItems("RS", 4).set(95, "5").packet(QByteArray());
        QElapsedTimer waited;
        waited.start();
        peer.send(open);
        QTest::qWait(1000);
        QVERIFY(peer.received().isEmpty());
        QCOMPARE(peer.waitForReplies(1, 4000), replyBytes("NC", "RBS", 4));
        QVERIFY(waited.elapsed() >= 1900);
    }

    void packetTrickledInSmallReadsCostsNoMoreThanASmallOne()
    {
        IntakeKit kit;
        QVERIFY(kit.start());
        // The same number of one-byte reads, onto a held packet of five bytes
        // and onto one of 900,000: each read must cost the same, not a copy
        // and a scan of everything held so far.
        auto trickle = [&](qsizetype heldBytes) {
            BookingPeer peer(kit.server->port());
            if (!peer.connected())
                return qint64(-1);
            peer.send("<RBS>" + QByteArray(heldBytes - 5, 'A'));
            QTest::qWait(200);
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < 4000; ++i) {
                peer.send("B");
                QCoreApplication::processEvents();
            }
            return timer.elapsed();
        };
        const qint64 small = trickle(5);
        const qint64 large = trickle(900000);
        QVERIFY(small >= 0 && large >= 0);
        QVERIFY2(large < 3 * small + 300, qPrintable(QStringLiteral("%1 ms against %2 ms").arg(large).arg(small)));
    }

    void activityLogBounds()
    {
        IntakeKit kit;
        QVERIFY(kit.start());
        BookingPeer peer(kit.server->port());
        QVERIFY(peer.connected());

        kit.activityLog.clear();
        for (int i = 0; i < 500; ++i)
            kit.activityLog.addLine("x");
        peer.exchange(OrderItems("RS").packet());
        QVERIFY(kit.activityLog.lineCount() > 500); // 500 lines are kept

        kit.activityLog.clear();
        for (int i = 0; i < 501; ++i)
            kit.activityLog.addLine("x");
        peer.exchange(OrderItems("RS").packet());
        QVERIFY(kit.unstamped(kit.activityLog).first() == "-127.0.0.1"); // cleared before logging
        // What is saved as a connection ends is the service's part
        // (tests/service/tst_serviceintake).
    }
};

QTEST_MAIN(TestIntakeServer)
#include "tst_intakeserver.moc"
