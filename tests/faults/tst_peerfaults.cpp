// Peers that hold connections without sending, and intake ports that are no
// port, against the service as a process.

#include "faults/FaultKit.h"
#include "support/TestSupport.h"

#include "shell/GuardedApplication.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>

#include <functional>
#include <memory>
#include <vector>

using namespace velora;
using namespace velora::faults;

namespace {

// The child starts with these open-file limits, as a system's defaults would
// give it.
std::function<void()> fileLimits(rlim_t soft, rlim_t hard)
{
    return [soft, hard] {
        const struct rlimit limit {
            soft, hard
        };
        ::setrlimit(RLIMIT_NOFILE, &limit);
    };
}

// The soft open-file limit of a running process, as the system reports it.
long long softFileLimit(qint64 pid)
{
    QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
    if (!limits.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression line(QStringLiteral("^Max open files\\s+(\\d+)"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(limits.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// How many TCP sockets the process has listening, on any port.
int listeningSockets(qint64 pid)
{
    QSet<QString> own;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.contains(QLatin1String("socket:[")))
            own.insert(target.section(u'[', 1).chopped(1));
    }
    int listening = 0;
    for (const char *table : {"tcp", "tcp6"}) {
        QFile file(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(table)));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // the column titles
        while (!file.atEnd()) {
            const QStringList columns =
                QString::fromLatin1(file.readLine()).split(u' ', Qt::SkipEmptyParts); // sl local rem st .. inode
            if (columns.size() > 9 && columns.at(3) == QLatin1String("0A") && own.contains(columns.at(9)))
                ++listening;
        }
    }
    return listening;
}

} // namespace

class TestPeerFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // With 128 files, 64 are kept for peers. Twice that many connections that
    // never send do not lock a booking system out: the one silent longest
    // makes room for each newcomer.
    void idleConnectionsDoNotLockOutBookingSystems()
    {
        StartedService service({.childSetup = fileLimits(128, 128)});
        QVERIFY(service.start());
        const quint16 port = service.port();

        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 128; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(idle.back()->waitForConnected(5000)); // the listen queue completes the handshake
        }
        QTest::qWait(500);

        for (qint32 ride : {1, 2}) {
            const QByteArray reply = exchangeOnce(port, newRidePacket(ride), 5000);
            QVERIFY2(reply.contains("<EINDE>"), qPrintable(QStringLiteral("ride %1 not answered").arg(ride)));
        }
        // The first idle peers went, each with a line naming it.
        QVERIFY(test::waitUntil([&] { return idle.front()->state() == QAbstractSocket::UnconnectedState; }, 5000));
        QVERIFY(service->output().contains("Stille verbinding gesloten om "));
        QVERIFY(service->output().contains(" -> 127.0.0.1, plaats nodig voor 127.0.0.1"));
        QCOMPARE(idle.back()->state(), QAbstractSocket::ConnectedState); // the most recent stays
    }

    // A soft limit of 128 under a hard one of 1024 is raised at start.
    void softFileLimitIsRaisedToTheHardOne()
    {
        StartedService service({.childSetup = fileLimits(128, 1024)});
        QVERIFY(service.start());
        QCOMPARE(softFileLimit(service->pid()), 1024LL);
    }

    // A port without digits or zero would let the system choose any port, one
    // no booking system knows: it is refused like a port out of range.
    void portThatIsNoPortIsRefused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("no digits") << QStringLiteral("abc");
        QTest::newRow("zero") << QStringLiteral("0");
        QTest::newRow("out of range") << QStringLiteral("70000");
    }

    void portThatIsNoPortIsRefused()
    {
        QFETCH(QString, text);
        StartedService service({.settings = {{QStringLiteral("RBSPoort_Text"), text}}});
        QVERIFY(service.start(StartedService::Until::Started));
        QVERIFY(service->waitForOutput("Ongeldige poort: " + text.toLatin1()));
        QTest::qWait(1500); // more ticks
        QVERIFY(!service->output().contains("ingeschakeld"));
        QCOMPARE(listeningSockets(service->pid()), 0);
    }

    void listeningLineNamesThePort()
    {
        StartedService service;
        QVERIFY(service.start(StartedService::Until::Started));
        QVERIFY(service->waitForOutput(" RBS C/S poort " + QByteArray::number(service.port()) + '\n'));
        QCOMPARE(listeningSockets(service->pid()), 1);
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestPeerFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_peerfaults.moc"
