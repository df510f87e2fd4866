// The headless console: what reaches standard output of the two logs.

#include "support/TestSupport.h"

#include "service/HeadlessConsole.h"
#include "shell/Log.h"

#include <QBuffer>
#include <QTest>

using namespace velora;

class TestHeadlessConsole : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void consoleEchoesBothLogsInOneWritePerTurn()
    {
        // Counts the writes that reach the device.
        struct CountingBuffer : QBuffer {
            int writes = 0;
            qint64 writeData(const char *data, qint64 length) override
            {
                ++writes;
                return QBuffer::writeData(data, length);
            }
        };
        Log activity(QStringLiteral("RBSLog"));
        Log returns(QStringLiteral("RBSCLog"));
        CountingBuffer out;
        out.open(QIODevice::WriteOnly);
        HeadlessConsole console(activity, returns, out);
        activity.addLine(QStringLiteral("one"));
        returns.addLine(QStringLiteral("D:-> two\r\nthree"));
        activity.replaceWith(QStringLiteral("failure \u20ac"));
        QVERIFY(test::waitUntil([&] { return !out.data().isEmpty(); }));
        QCOMPARE(out.data(), QStringLiteral("[RBSLog] one\n[RBSCLog] D:-> two\n[RBSCLog] three\n"
                                            "[RBSLog] failure \u20ac\n")
                                 .toUtf8());
        QCOMPARE(out.writes, 1);
        // Lines of the last turn are not lost when the console ends first.
        {
            CountingBuffer last;
            last.open(QIODevice::WriteOnly);
            {
                HeadlessConsole ending(activity, returns, last);
                activity.addLine(QStringLiteral("last"));
            }
            QCOMPARE(last.data(), QByteArray("[RBSLog] last\n"));
        }
    }
};

QTEST_GUILESS_MAIN(TestHeadlessConsole)
#include "tst_headlessconsole.moc"
