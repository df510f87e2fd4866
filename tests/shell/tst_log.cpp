#include "support/TestSupport.h"

#include "shell/Failure.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace velora;

class TestLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A failure that lasts (tried every tick) is shown once, then once per
    // interval with how often it came meanwhile; every one is counted. A
    // different failure, or the same one of another peer, is shown at once.
    void lastingFailureIsShownOncePerInterval()
    {
        Log log(QStringLiteral("RBSLog"));
        FailureHandler failures(log);
        failures.setRepeatInterval(300);
        QSignalSpy counted(&failures, &FailureHandler::failed);
        QStringList shown;
        QList<LinePriority> ranks;
        connect(&log, &Log::lineAdded, this, [&](const QString &line) {
            shown << line;
            ranks << log.currentOrigin().priority;
        });
        const QString inUse = QStringLiteral("RBSServerSocket poort 2100: The bound address is already in use");
        for (int tick = 0; tick < 5; ++tick)
            failures.handle(QStringLiteral("RBSServerSocket"), inUse);
        QCOMPARE(shown, QStringList{inUse});
        QCOMPARE(counted.count(), 5);
        QCOMPARE(failures.lastFailure().component, QStringLiteral("RBSServerSocket"));

        log.addLine(QStringLiteral("a ride in between"));
        QTest::qWait(350);
        failures.handle(QStringLiteral("RBSServerSocket"), inUse);
        QCOMPARE(shown.size(), 3);
        QVERIFY2(shown.last().startsWith(inUse + QStringLiteral(" (4 more times since ")), qPrintable(shown.last()));
        QCOMPARE(log.lines(), QStringList{shown.last()}); // it replaced the log, as a failure does

        failures.handle(QStringLiteral("RBSServerSocket"), inUse, QStringLiteral("10.0.0.5"));
        QCOMPARE(failures.lastFailure().peer, QStringLiteral("10.0.0.5"));
        failures.handle(QStringLiteral("RBSLog"), QStringLiteral("Cannot create file"));
        QCOMPARE(shown.mid(3), (QStringList{inUse, QStringLiteral("Cannot create file")}));
        QCOMPARE(ranks, (QList<LinePriority>{LinePriority::Error, LinePriority::Info, LinePriority::Error,
                                             LinePriority::Error, LinePriority::Error}));
        QCOMPARE(counted.count(), 8);
    }

    void fileNameRule_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("name");
        QTest::newRow("8 Dec 2014 14:05:09")
            << QDateTime(QDate(2014, 12, 8), QTime(14, 5, 9)) << QStringLiteral("081214140509129.TXT");
        QTest::newRow("1 Mar 2015 09:07:05")
            << QDateTime(QDate(2015, 3, 1), QTime(9, 7, 5)) << QStringLiteral("01031509070535.TXT");
        QTest::newRow("midnight, 24-hour clock")
            << QDateTime(QDate(2000, 1, 1), QTime(0, 0, 0)) << QStringLiteral("01010000000010.TXT");
        QTest::newRow("last second of a year")
            << QDateTime(QDate(2099, 12, 31), QTime(23, 59, 59)) << QStringLiteral("3112992359591259.TXT");
    }
    void fileNameRule()
    {
        QFETCH(QDateTime, when);
        QFETCH(QString, name);
        QCOMPARE(activityLogFileName(when), name);
    }

    void stamps()
    {
        const QDateTime when(QDate(2014, 12, 8), QTime(14, 5, 9));
        QCOMPARE(timeOfDayStamp(when), QStringLiteral("14:05:09"));
        QCOMPARE(dateTimeStamp(when), QStringLiteral("08-12-2014 14:05:09"));
    }

    void savedFileIsAnsiWithCrLf()
    {
        QTemporaryDir dir;
        Log log(QStringLiteral("RBSLog"));
        log.addLine(QStringLiteral("caf\u00e9 \u20ac \u2018x\u2019"));
        log.addLine(QString());
        log.addLine(QStringLiteral("\u0394 not in the code page"));
        const QDateTime when(QDate(2014, 12, 8), QTime(14, 5, 9));
        const QString path = saveActivityLog(log, dir.path(), when);
        QCOMPARE(path, dir.filePath(QStringLiteral("081214140509129.TXT")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("caf\xe9 \x80 \x91x\x92\r\n\r\n? not in the code page\r\n"));
        file.close();

        // A second save within the same second replaces the file.
        log.clear();
        log.addLine(QStringLiteral("second"));
        saveActivityLog(log, dir.path(), when);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("second\r\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    }

    void emptyLogSavesAnEmptyFile()
    {
        QTemporaryDir dir;
        Log log(QStringLiteral("RBSLog"));
        const QString path = saveActivityLog(log, dir.path());
        QVERIFY(QFile::exists(path));
        QCOMPARE(QFileInfo(path).size(), 0);
    }

    void unwritableFolderThrows()
    {
        QTemporaryDir dir;
        Log log(QStringLiteral("RBSLog"));
        // A folder below a plain file cannot exist, whoever runs the test.
        QFile plain(dir.filePath(QStringLiteral("RBS")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY_THROWS_EXCEPTION(Failure, saveActivityLog(log, plain.fileName()));
    }

    void embeddedBreaksCountAsLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("plain") << QStringLiteral("one") << QStringList{QStringLiteral("one")};
        QTest::newRow("empty") << QString() << QStringList{QString()};
        QTest::newRow("CR LF") << QStringLiteral("a\r\nb") << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("lone LF and CR") << QStringLiteral("a\nb\rc")
                                        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        QTest::newRow("LF CR is two breaks")
            << QStringLiteral("a\n\rb") << QStringList{QStringLiteral("a"), QString(), QStringLiteral("b")};
    }
    void embeddedBreaksCountAsLines()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        Log log(QStringLiteral("RBSCLog"));
        log.addLine(QStringLiteral("first"));
        QSignalSpy added(&log, &Log::lineAdded);
        log.addLine(text);
        QCOMPARE(log.lineCount(), lines.size() + 1);
        QCOMPARE(log.lines().mid(1), lines);
        QCOMPARE(added.size(), lines.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QCOMPARE(added.at(i).at(0).toString(), lines.at(i));
    }

    // The bound holds however the lines come: one at a time, or several in one
    // text (a status message with its reply). A log that never gets more than
    // the bound plus one text keeps all of it; the next addition clears it.
    void lineBoundClearsBeforeAdding()
    {
        Log log(QStringLiteral("RBSCLog"));
        log.setLineBound(500);
        QSignalSpy reset(&log, &Log::reset);
        for (int i = 0; i < 501; ++i)
            log.addLine(QStringLiteral("NR %1").arg(i));
        QCOMPARE(log.lineCount(), 501);
        QCOMPARE(reset.size(), 0);
        log.addLine(QStringLiteral("a\r\nb"));
        QCOMPARE(log.lines(), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
        QCOMPARE(reset.size(), 1);

        for (int i = 0; i < 100000; ++i)
            log.addLine(QStringLiteral("one\r\ntwo\r\nthree"));
        QVERIFY(log.lineCount() <= 503);

        Log unbounded(QStringLiteral("RBSLog"));
        for (int i = 0; i < 2000; ++i)
            unbounded.addLine(QStringLiteral("line"));
        QCOMPARE(unbounded.lineCount(), 2000);
    }

    void replaceWithLeavesOnlyTheMessage()
    {
        Log log(QStringLiteral("RBSLog"));
        for (int i = 0; i < 501; ++i)
            log.addLine(QStringLiteral("line %1").arg(i));
        QSignalSpy reset(&log, &Log::reset);
        QSignalSpy added(&log, &Log::lineAdded);
        log.replaceWith(QStringLiteral("List index out of bounds (95)"));
        QCOMPARE(log.lines(), QStringList{QStringLiteral("List index out of bounds (95)")});
        QCOMPARE(reset.size(), 1);
        QCOMPARE(added.size(), 1);

        log.replaceWith(QStringLiteral("two\r\nlines"));
        QCOMPARE(log.lineCount(), 2);
        QCOMPARE(log.text(), QStringLiteral("two\r\nlines"));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
