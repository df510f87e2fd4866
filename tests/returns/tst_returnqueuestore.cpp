#include "returns/ReturnQueue.h"
#include "returns/ReturnQueueStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace velora;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A store and the two queues as a run of the service has them.
struct Run {
    QStringList reports;
    ReturnQueueStore store;
    ReturnQueue rbs, valys;
    bool opened = false;

    explicit Run(const QString &path) : store(path)
    {
        store.setReporter([this](const QString &line) { reports << line; });
        opened = store.open();
        rbs.keepIn(store, QStringLiteral("RBSQOut"));
        valys.keepIn(store, QStringLiteral("VALYSQOut"));
    }
};

} // namespace

class TestReturnQueueStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each run sees exactly what the previous one left: appended entries in
    // their order, per queue, without the sent head and the cleared queue.
    void entriesOutliveTheRun()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("VeloraRBS-queues.db"));
        {
            Run run(path);
            QVERIFY(run.opened);
            for (const char *entry : {"<RBS>01<EINDE>", "<RBS>02<EINDE>", "<RBS>03<EINDE>"})
                run.rbs.append(QString::fromLatin1(entry));
            run.valys.append(QStringLiteral("<RBS>V1<EINDE>"));
            run.rbs.removeHead();
        }
        {
            Run run(path);
            QCOMPARE(run.rbs.entries(), (QStringList{"<RBS>02<EINDE>", "<RBS>03<EINDE>"}));
            QCOMPARE(run.valys.entries(), QStringList{"<RBS>V1<EINDE>"});
            run.rbs.append(QStringLiteral("<RBS>04<EINDE>"));
            run.rbs.removeHead();
            run.valys.clear();
            QVERIFY(run.reports.isEmpty());
        }
        Run run(path);
        QCOMPARE(run.rbs.entries(), (QStringList{"<RBS>03<EINDE>", "<RBS>04<EINDE>"}));
        QVERIFY(run.valys.isEmpty());
    }

    // A damaged file is kept under another name with its journal, reported,
    // and the queues start empty on a fresh file that works.
    void unreadableFileIsMovedAside()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("VeloraRBS-queues.db"));
        const QByteArray garbage = QByteArray("not a database, but it has to be long enough ").repeated(100);
        for (const QString &name : {path, path + QStringLiteral("-wal")}) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        {
            Run run(path);
            QVERIFY(run.opened);
            QVERIFY(run.rbs.isEmpty());
            const QString movedTo = run.store.movedAsideTo();
            QVERIFY(QFileInfo(movedTo).fileName().startsWith(QStringLiteral("VeloraRBS-queues.db.unreadable-")));
            QCOMPARE(readAll(movedTo), garbage);
            QCOMPARE(readAll(movedTo + QStringLiteral("-wal")), garbage);
            QCOMPARE(run.reports.size(), 1);
            QVERIFY(run.reports.first().contains(QStringLiteral("is not readable")));
            QVERIFY(run.reports.first().contains(QDir::toNativeSeparators(movedTo)));
            run.rbs.append(QStringLiteral("<RBS>01<EINDE>"));
        }
        Run run(path);
        QVERIFY(run.reports.isEmpty());
        QCOMPARE(run.rbs.entries(), QStringList{"<RBS>01<EINDE>"});
    }

    // A file that cannot be opened at all is no reason to move anything: the
    // queues work in memory, and the problem is reported.
    void unopenableFileLeavesTheQueuesInMemory()
    {
        QTemporaryDir dir;
        Run run(dir.filePath(QStringLiteral("missing-folder/VeloraRBS-queues.db")));
        QVERIFY(!run.opened);
        QCOMPARE(run.reports.size(), 1);
        QVERIFY(run.reports.first().contains(QStringLiteral("kept in memory only")));
        run.rbs.append(QStringLiteral("<RBS>01<EINDE>"));
        QCOMPARE(run.rbs.size(), 1);
        run.rbs.removeHead();
        QVERIFY(run.rbs.isEmpty());
        QVERIFY(run.store.movedAsideTo().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestReturnQueueStore)

#include "tst_returnqueuestore.moc"
