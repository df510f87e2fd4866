#include "ReturnsTestKit.h"

#include "returns/ReturnAnswer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace velora;
using namespace velora::test;

namespace {

int openDescriptors()
{
    return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

qint64 residentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
}

// A peer that answers each message at once with AC (or NC) for its ride number.
void answerPromptly(ReturnPeer &peer, const char *type = "AC")
{
    peer.answer = [type](const QByteArray &message) { return acceptFor(rideNumberOf(message), type); };
}

} // namespace

class TestReturnChannel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersAreRead_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("ride"); // -1: no ride number
        QTest::addColumn<bool>("missing");
        using K = ReturnAnswer::Kind;
        QTest::newRow("AC") << QString(acceptFor(4711)) << int(K::Accept) << 4711 << false;
        QTest::newRow("NC") << QString(acceptFor(12, "NC")) << int(K::Refuse) << 12 << false;
        QTest::newRow("bare AC") << "AC" << int(K::Other) << -1 << false;
        QTest::newRow("other type") << QString(answerBytes("RS,RBS,7,1")) << int(K::Other) << -1 << false;
        QTest::newRow("leading integer") << QString(answerBytes("AC,RBS,7,4711abc,0,")) << int(K::Accept) << 4711
                                         << false;
        QTest::newRow("no digits") << QString(answerBytes("AC,RBS,7,abc,0,")) << int(K::Accept) << -1 << false;
        QTest::newRow("empty item") << QString(answerBytes("AC,RBS,7,,0,")) << int(K::Accept) << -1 << false;
        QTest::newRow("hex form") << QString(answerBytes("AC,RBS,7,$1F,0,")) << int(K::Accept) << 31 << false;
        // "0x" is a prefix, not the digit 0: without hex digits after it the
        // item holds no number and must not select the rides numbered 0.
        QTest::newRow("0x prefix alone") << QString(answerBytes("AC,RBS,7,0x,0,")) << int(K::Accept) << -1 << false;
        QTest::newRow("0x prefix then letter")
            << QString(answerBytes("AC,RBS,7,0xZ1,0,")) << int(K::Accept) << -1 << false;
        QTest::newRow("0x hex form") << QString(answerBytes("AC,RBS,7,0x1f,0,")) << int(K::Accept) << 31 << false;
        QTest::newRow("signed 0X hex") << QString(answerBytes("NC,RBS,7, -0X10,0,")) << int(K::Refuse) << -16 << false;
        // Beyond the 32-bit range the number names no ride: cut short it
        // would name another one.
        QTest::newRow("beyond 32 bits") << QString(answerBytes("AC,RBS,7,99999999999999,0,")) << int(K::Accept) << -1
                                        << false;
        QTest::newRow("hex beyond 32 bits")
            << QString(answerBytes("NC,RBS,7,$1FFFFFFFF,0,")) << int(K::Refuse) << -1 << false;
        QTest::newRow("lowest value then letter")
            << QString(answerBytes("NC,RBS,7,-2147483648a,0,")) << int(K::Refuse) << -1 << false;
        QTest::newRow("lowest value") << QString(answerBytes("NC,RBS,7,-2147483648,0,")) << int(K::Refuse)
                                      << int(std::numeric_limits<qint32>::min()) << false;
        QTest::newRow("highest value then letter")
            << QString(answerBytes("AC,RBS,7,2147483647z,0,")) << int(K::Accept) << 2147483647 << false;
        QTest::newRow("three items") << QString(answerBytes("AC,RBS,7")) << int(K::Accept) << -1 << true;
        QTest::newRow("closing marker trailer")
            << QString(answerBytes("AC,RBS,7,4711,0,", "<EINDE>")) << int(K::Accept) << 4711 << false;
    }

    void answersAreRead()
    {
        QFETCH(QString, received);
        const ReturnAnswer answer = readReturnAnswer(received);
        QTEST(int(answer.kind), "kind");
        QTEST(answer.rideNumber.value_or(-1), "ride");
        QTEST(answer.missingRideNumber, "missing");
    }

    void promptPeerGetsOneMessagePerConnection()
    {
        ReturnsKit kit;
        ReturnPeer peer;
        answerPromptly(peer);
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        QList<int> rides;
        for (int number : {4711, 4712, 4713}) {
            rides << kit.insertRide({{"pla_extern", number}, {"pla_retour_rbs", 3}});
            kit.status->ZendStatus(rides.last());
        }
        const QStringList entries = kit.rbs->queue().entries();
        kit.startChannel(*kit.rbs);

        QVERIFY(waitUntil([&] { return kit.returnLines("C:-> RETOURMELDING - STATUS").size() == 3; }));
        QCOMPARE(peer.connectionCount(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(peer.connection(i).messages.size(), 1);
            QCOMPARE(peer.connection(i).messages.first(), entries[i].toLatin1()); // exactly the entry, nothing more
            QCOMPARE(kit.returnState(rides[i]), 2);
        }
        QVERIFY(kit.rbs->queue().isEmpty());
        QCOMPARE(kit.returnLines("C:-> RETOURMELDING - STATUS 2 voor "),
                 (QStringList{"C:-> RETOURMELDING - STATUS 2 voor 4711", "C:-> RETOURMELDING - STATUS 2 voor 4712",
                              "C:-> RETOURMELDING - STATUS 2 voor 4713"}));
        QCOMPARE(kit.returnLines("C:-> RETOURMELDING - AC,RBS,7,4711,0,").size(), 1);
        QCOMPARE(kit.returnLines("C:-> <RBS>").size(), 3);
        QStringList sentLines;
        for (const QString &line : kit.activityLog.lines())
            if (line.startsWith("*"))
                sentLines << line;
        QCOMPARE(sentLines, QStringList({"*" + entries[0], "*" + entries[1], "*" + entries[2]}));
        QVERIFY(kit.failureMessages.isEmpty());
        QVERIFY(waitUntil([&] { return !kit.rbs->isConnected(); }));
    }

    void refusalSetsEveryRowWithThatNumber()
    {
        for (const char *type : {"AC", "NC"}) {
            ReturnsKit kit;
            ReturnPeer peer;
            answerPromptly(peer, type);
            kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
            const int offered = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 3}});
            const int otherOwner = kit.insertRide({{"pla_extern", 4711}, {"pla_eigenaar", "013"}});
            const int never = kit.insertRide({{"pla_extern", 4711}, {"pla_eigenaar", "003"}, {"pla_retour_rbs", 99}});
            const int otherNumber = kit.insertRide({{"pla_extern", 4712}, {"pla_retour_rbs", 3}});
            kit.status->ZendStatus(offered);
            kit.startChannel(*kit.rbs);
            QVERIFY(waitUntil([&] { return !kit.returnLines("C:-> RETOURMELDING - STATUS").isEmpty(); }));
            const int state = QByteArray(type) == "AC" ? 2 : 99;
            for (int ride : {offered, otherOwner, never})
                QCOMPARE(kit.returnState(ride), state);
            QCOMPARE(kit.returnState(otherNumber), 3);
            QCOMPARE(kit.returnLines("C:-> RETOURMELDING - STATUS").first(),
                     QString("C:-> RETOURMELDING - STATUS %1 voor 4711").arg(state));
        }
    }

    void lateAnswerIsLost()
    {
        ReturnsKit kit;
        ReturnPeer peer;
        answerPromptly(peer);
        peer.answerDelayMs = 400;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        const int ride = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 3}});
        kit.status->ZendStatus(ride);
        kit.startChannel(*kit.rbs, 40, 50);
        QVERIFY(waitUntil([&] { return peer.connectionCount() == 1 && peer.connection(0).closedByService; }));
        QTest::qWait(700);
        QCOMPARE(kit.returnState(ride), 3);
        QVERIFY(kit.returnLines("C:-> ").isEmpty());
        QCOMPARE(peer.connectionCount(), 1); // nothing left to send, no new connection
    }

    // What the peer sends right after it accepts, and what it does to the link.
    void peerAnswers_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // written 100 ms apart
        QTest::addColumn<QList<int>>("states");        // of rides 4711 and 4712, all offered (3)
        QTest::addColumn<bool>("closed");
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("answerLines"); // "C:-> " lines of received texts

        const QByteArray ac = acceptFor(4711), nc = acceptFor(4712, "NC");
        QTest::newRow("bare AC: logged only") << QList<QByteArray>{"AC"} << QList<int>{3, 3} << false << 0 << 1;
        QTest::newRow("garbage: logged only")
            << QList<QByteArray>{"\x01\xff garbage"} << QList<int>{3, 3} << false << 0 << 1;
        QTest::newRow("two answers in one read") << QList<QByteArray>{ac + nc} << QList<int>{2, 99} << true << 0 << 2;
        QTest::newRow("answer split over two reads")
            << QList<QByteArray>{ac.left(13), ac.mid(13)} << QList<int>{2, 3} << true << 0 << 1;
        QTest::newRow("ride number without digits")
            << QList<QByteArray>{answerBytes("AC,RBS,7,none,0,")} << QList<int>{3, 3} << true << 0 << 1;
        QTest::newRow("too few items") << QList<QByteArray>{answerBytes("AC,RBS,7")} << QList<int>{3, 3} << true << 1
                                       << 1;
    }

    void peerAnswers()
    {
        QFETCH(QList<QByteArray>, chunks);
        ReturnsKit kit;
        ReturnPeer peer;
        peer.onConnect = [chunks](QTcpSocket &socket) {
            QPointer<QTcpSocket> s(&socket);
            for (int i = 0; i < chunks.size(); ++i)
                QTimer::singleShot(100 * i, [s, chunk = chunks[i]] {
                    if (s)
                        s->write(chunk);
                });
        };
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        const int first = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 3}});
        const int second = kit.insertRide({{"pla_extern", 4712}, {"pla_retour_rbs", 3}});
        kit.rbs->queue().append("<RBS>00<EINDE>"); // something to connect for; never sent
        kit.rbs->queueTick();                      // one connection only

        QVERIFY(waitUntil([&] { return peer.connectionCount() == 1; }));
        QTest::qWait(100 * int(chunks.size()) + 300);
        QTEST(QList<int>({kit.returnState(first), kit.returnState(second)}), "states");
        QTEST(!kit.rbs->isConnected(), "closed");
        QTEST(int(kit.failureMessages.size()), "failures");
        QTEST(int(kit.returnLines("C:-> ").size() - kit.returnLines("C:-> RETOURMELDING").size()), "answerLines");
        if (!kit.failureMessages.isEmpty())
            QCOMPARE(kit.failureMessages.first(), QString("List index out of bounds (3)"));
    }

    void floodIsBoundedAndTheAnswerAfterItCounts()
    {
        ReturnsKit kit;
        ReturnPeer peer;
        const QByteArray flood = QByteArray(1024 * 1024, '\n') + QByteArray(1024 * 1024, 'x');
        peer.onConnect = [&](QTcpSocket &socket) { socket.write(flood + acceptFor(4711)); };
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        const int ride = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 3}});
        kit.rbs->queue().append("<RBS>00<EINDE>");
        kit.rbsQueueTimer.start(40);

        QVERIFY(waitUntil([&] { return kit.returnState(ride) == 2; }, 10000));
        QVERIFY(kit.returnLog.lineCount() < 20000);
        for (const QString &line : kit.returnLog.lines())
            QVERIFY(line.size() <= kLoggedReplyLimit + 40);
    }

    void answerTrickledInSmallReadsCostsNoMoreThanASmallOne()
    {
        // The same number of one-byte reads onto an answer of five bytes held
        // so far and onto one of 900,000: each read must cost the same, not a
        // copy and a scan of everything held. The answer still counts after.
        auto trickle = [](qsizetype heldBytes, qint64 &elapsed) {
            ReturnsKit kit;
            ReturnPeer peer;
            QPointer<QTcpSocket> host;
            peer.onConnect = [&](QTcpSocket &socket) {
                host = &socket;
                socket.write("<RBS>" + QByteArray(heldBytes - 5, 'A'));
            };
            kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
            const int ride = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 3}});
            kit.rbs->queue().append("<RBS>00<EINDE>");
            kit.rbsQueueTimer.start(40);
            if (!waitUntil([&] { return host && kit.rbs->isConnected(); }, 5000))
                return false;
            QTest::qWait(200);
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < 4000 && host; ++i) {
                host->write("B");
                host->flush();
                QCoreApplication::processEvents();
            }
            elapsed = timer.elapsed();
            if (!host)
                return false;
            // The held text ends: the answer after it is read as before.
            host->write("\r\n" + acceptFor(4711));
            return waitUntil([&] { return kit.returnState(ride) == 2; }, 5000);
        };
        qint64 small = 0, large = 0;
        QVERIFY(trickle(5, small));
        QVERIFY(trickle(900000, large));
        QVERIFY2(large < 3 * small + 300, qPrintable(QStringLiteral("%1 ms against %2 ms").arg(large).arg(small)));
    }

    void unreachableHostKeepsEntriesAndRetries()
    {
        ReturnsKit kit;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, closedPort());
        kit.rbs->queue().append("<RBS>41<EINDE>");
        kit.rbs->queue().append("<RBS>42<EINDE>");
        kit.activityLog.addLine("before");
        kit.startChannel(*kit.rbs, 30, 10);
        QVERIFY(waitUntil([&] { return kit.failureMessages.size() >= 5; }));
        kit.rbsQueueTimer.stop();
        QTest::qWait(100);
        // One report per attempt: attempts are one per queue tick.
        QVERIFY(kit.failureMessages.size() <= 7);
        QCOMPARE(kit.rbs->queue().entries(), (QStringList{"<RBS>41<EINDE>", "<RBS>42<EINDE>"}));
        QCOMPARE(kit.activityLog.lines(), QStringList{kit.failureMessages.last()});
        QVERIFY(kit.rbsQueueTimer.interval() == 30);
    }

    void attemptThatHangsIsGivenUpAtATick()
    {
        // A listener that never accepts, its backlog filled: the handshake of
        // any further connection is never answered.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 0), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        const quint16 port = ntohs(address.sin_port);
        std::vector<std::unique_ptr<QTcpSocket>> fillers;
        for (int i = 0; i < 4; ++i) {
            fillers.push_back(std::make_unique<QTcpSocket>());
            fillers.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        QTest::qWait(200);

        ReturnsKit kit;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, port);
        kit.rbs->setConnectTimeout(100);
        kit.rbs->queue().append("<RBS>41<EINDE>");
        kit.rbsQueueTimer.start(60);
        QVERIFY(waitUntil([&] { return kit.failureMessages.size() >= 3; }));
        kit.rbsQueueTimer.stop();
        ::close(listener);
        QCOMPARE(kit.failureMessages.first(),
                 QString("RBSClientSocket: Connection to 127.0.0.1:%1 timed out").arg(port));
        QCOMPARE(kit.rbs->queue().size(), 1);
    }

    void invalidSettingsLogSocketError()
    {
        ReturnsKit kit;
        kit.settings.setText(Setting::RBSCHost, "127.0.0.1");
        kit.settings.setText(Setting::RBSCPoort, "70000");
        kit.rbs->queue().append("<RBS>41<EINDE>");
        kit.rbs->queueTick();
        QCOMPARE(kit.returnLog.lines(), QStringList{"* SOCKET ERROR * <RBS>41<EINDE>"});
        QVERIFY(kit.rbsQueueTimer.isActive()); // restarted on this path too
        QVERIFY(kit.failureMessages.isEmpty());
    }

    void emptyQueueNeverConnectsAndBoundsActivityLog()
    {
        ReturnsKit kit;
        ReturnPeer peer;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        for (int i = 0; i < 251; ++i)
            kit.activityLog.addLine("line");
        kit.startChannel(*kit.rbs, 20, 10);
        QTest::qWait(200);
        QCOMPARE(peer.connectionCount(), 0);
        QCOMPARE(kit.activityLog.lineCount(), 251); // only a tick with entries clears it

        kit.rbs->queue().append("<RBS>41<EINDE>");
        QVERIFY(waitUntil([&] { return peer.messages().size() == 1; }));
        QCOMPARE(kit.activityLog.lines(), QStringList{"*<RBS>41<EINDE>"});
    }

    void clearingWhileConnectedClosesAtNextSendTick()
    {
        ReturnsKit kit;
        ReturnPeer peer;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        kit.rbs->queue().append("<RBS>41<EINDE>");
        kit.rbsQueueTimer.start(20);
        QVERIFY(waitUntil([&] { return kit.rbs->isConnected(); }));
        kit.rbs->clearQueue();
        kit.rbs->sendTick();
        QVERIFY(waitUntil([&] { return peer.connection(0).closedByService; }));
        QVERIFY(peer.messages().isEmpty());
    }

    void bothChannelsSideBySideWithOneHostDown()
    {
        ReturnsKit kit;
        ReturnPeer valysHost;
        answerPromptly(valysHost);
        kit.pointAt(Setting::VALYSHOST, Setting::VALYSPOORT, valysHost.port());
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, closedPort());
        const int rbsRide = kit.insertRide({{"pla_eigenaar", "002"}, {"pla_extern", 4711}, {"pla_retour_rbs", 3}});
        const int valRide1 = kit.insertRide({{"pla_eigenaar", "003"}, {"pla_extern", 4711}, {"pla_retour_rbs", 3}});
        const int valRide2 = kit.insertRide({{"pla_eigenaar", "003"}, {"pla_extern", 5000}, {"pla_retour_rbs", 3}});
        for (int ride : {rbsRide, valRide1, valRide2})
            kit.status->ZendStatus(ride);
        QCOMPARE(kit.rbs->queue().size(), 1);
        QCOMPARE(kit.valys->queue().size(), 2);
        kit.startChannel(*kit.rbs);
        kit.startChannel(*kit.valys);

        QVERIFY(waitUntil([&] { return kit.returnState(valRide2) == 2; }));
        QCOMPARE(valysHost.connectionCount(), 2);
        // The Valys answer for 4711 reaches the RBS ride with that number too.
        QCOMPARE(kit.returnState(valRide1), 2);
        QCOMPARE(kit.returnState(rbsRide), 2);
        QCOMPARE(kit.rbs->queue().size(), 1); // still waiting for its host
        QVERIFY(!kit.failureMessages.isEmpty());

        // The RBS host comes up on another port: the waiting entry goes out.
        ReturnPeer rbsHost;
        answerPromptly(rbsHost, "NC");
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, rbsHost.port());
        QVERIFY(waitUntil([&] { return kit.returnState(rbsRide) == 99; }));
        QCOMPARE(kit.returnState(valRide2), 2);
        QCOMPARE(rbsHost.messages().size(), 1);
    }

    void thousandFailedAttemptsLeaveNothingBehind()
    {
        ReturnsKit kit;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, closedPort());
        kit.rbs->queue().append("<RBS>41<EINDE>");
        kit.startChannel(*kit.rbs, 1, 1);
        QVERIFY(waitUntil([&] { return kit.failureMessages.size() >= 50; }));
        const int descriptors = openDescriptors();
        const qint64 resident = residentKiB();
        const qsizetype start = kit.failureMessages.size();
        QVERIFY(waitUntil([&] { return kit.failureMessages.size() >= start + 1000; }, 60000));
        kit.rbsQueueTimer.stop();
        kit.failureMessages.clear();
        QTest::qWait(50);
        qInfo("1000 failed attempts: descriptors %d -> %d, resident %lld -> %lld KiB", descriptors, openDescriptors(),
              resident, residentKiB());
        QVERIFY2(openDescriptors() <= descriptors + 1,
                 qPrintable(QString("%1 -> %2").arg(descriptors).arg(openDescriptors())));
        QVERIFY2(residentKiB() - resident < 4096, qPrintable(QString("%1 KiB more").arg(residentKiB() - resident)));
        QCOMPARE(kit.rbs->queue().size(), 1);
        QCOMPARE(kit.activityLog.lineCount(), 1);
    }

    void updateFailureReachesTheFailureHandler()
    {
        ReturnsKit kit;
        ReturnPeer peer;
        answerPromptly(peer);
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, peer.port());
        const int ride = kit.insertRide({{"pla_extern", 4711}, {"pla_retour_rbs", 3}});
        kit.status->ZendStatus(ride);
        kit.exec("alter table planning rename to planning_gone");
        kit.startChannel(*kit.rbs);
        QVERIFY(waitUntil([&] { return !kit.failureMessages.isEmpty(); }));
        QVERIFY(waitUntil([&] { return !kit.rbs->isConnected(); }));
        QVERIFY(kit.returnLines("C:-> RETOURMELDING - STATUS").isEmpty());
        // The timers go on: a later entry is still delivered.
        kit.exec("alter table planning_gone rename to planning");
        kit.status->ZendStatus(ride);
        QVERIFY(waitUntil([&] { return kit.returnState(ride) == 2; }));
    }
};

QTEST_GUILESS_MAIN(TestReturnChannel)
#include "tst_returnchannel.moc"
