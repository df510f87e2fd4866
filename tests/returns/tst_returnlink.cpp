#include "ReturnsTestKit.h"

#include "shell/ServiceMetrics.h"
#include "shell/ServiceRole.h"

#include <QTest>

using namespace velora;
using namespace velora::test;

// The link as a whole: what it takes over from the last run and what it
// takes from the service around it.
class TestReturnLink : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A stop leaves messages in the queue file; the next link on the same
    // folder queues them again ahead of new ones, says so once, and does not
    // count them as queued a second time (the last run counted them).
    void nextRunQueuesWhatTheLastLeftFirst()
    {
        ReturnsKit kit;
        kit.link.reset();
        const QString queueFile = kit.folder.filePath("VeloraRBS-queues.db");
        {
            ReturnLink last(kit.context(nullptr, nullptr, queueFile));
            last.channel(ReturnChannelId::Rbs).queue().append("<RBS>01<EINDE>");
            last.channel(ReturnChannelId::Rbs).queue().append("<RBS>02<EINDE>");
            last.channel(ReturnChannelId::Valys).queue().append("<RBS>03<EINDE>");
        }

        ServiceMetrics metrics;
        ReturnLink next(kit.context(nullptr, &metrics, queueFile));
        ReturnQueue &rbs = next.channel(ReturnChannelId::Rbs).queue();
        QCOMPARE(rbs.entries(), QStringList({"<RBS>01<EINDE>", "<RBS>02<EINDE>"}));
        QCOMPARE(next.channel(ReturnChannelId::Valys).queue().entries(), QStringList{"<RBS>03<EINDE>"});
        QCOMPARE(metrics.total("velora_return_messages_total", "event=\"queued\""), 0u);
        QVERIFY(kit.activityLog.lines().last().endsWith(
            "3 status messages of the last run wait to be sent (RBSQOut 2, VALYSQOut 1)."));

        rbs.append("<RBS>04<EINDE>");
        QCOMPARE(rbs.entries().last(), QString("<RBS>04<EINDE>"));
        QCOMPARE(metrics.total("velora_return_messages_total", "channel=\"rbs\",event=\"queued\""), 1u);
    }

    // Both channels ask the service's role: a stand-by machine connects to
    // no return host, and sends what waits once it serves again.
    void standbySendsNothingUntilItServes()
    {
        ReturnsKit kit;
        kit.link.reset();
        ServiceRole role;
        role.setStandby(true);
        ReturnLink link(kit.context(&role));
        ReturnPeer host;
        kit.pointAt(Setting::RBSCHost, Setting::RBSCPoort, host.port());
        kit.pointAt(Setting::VALYSHOST, Setting::VALYSPOORT, host.port());
        link.channel(ReturnChannelId::Rbs).queue().append("<RBS>01<EINDE>");
        link.channel(ReturnChannelId::Valys).queue().append("<RBS>02<EINDE>");
        for (QTimer *timer : {&link.RBSQOutTimer(), &link.ValysQOutTimer()})
            timer->start(20);
        for (QTimer *timer : {&link.SendClient(), &link.SendclientValys()})
            timer->start(10);

        QTest::qWait(300);
        QCOMPARE(host.connectionCount(), 0);

        role.setStandby(false);
        QVERIFY(waitUntil([&] { return host.messages().size() == 2; }));
        QVERIFY(kit.failureMessages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestReturnLink)
#include "tst_returnlink.moc"
