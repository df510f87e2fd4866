#include "shell/TextRules.h"

#include <QTest>

#include <limits>

using namespace velora;

class TestTextRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void integers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("leading");
        QTest::addColumn<int>("whole");
        const int max = std::numeric_limits<qint32>::max();
        const int min = std::numeric_limits<qint32>::min();
        QTest::newRow("12a") << "12a" << 12 << 0;
        QTest::newRow("-12") << "-12" << -12 << -12;
        QTest::newRow("-12a: sign dropped") << "-12a" << 12 << 0;
        QTest::newRow("+7") << "+7" << 7 << 7;
        QTest::newRow("$1F") << "$1F" << 31 << 31;
        QTest::newRow("0x1f") << "0x1f" << 31 << 31;
        QTest::newRow("X1f") << "X1f" << 31 << 31;
        QTest::newRow("-$10") << "-$10" << -16 << -16;
        QTest::newRow("$ alone") << "$" << 0 << 0;
        QTest::newRow("leading blanks") << "   42" << 42 << 42;
        QTest::newRow("trailing blank") << "42 " << 42 << 0;
        QTest::newRow("empty") << "" << 0 << 0;
        QTest::newRow("no digits") << "abc" << 0 << 0;
        QTest::newRow("maximum") << "2147483647" << max << max;
        QTest::newRow("minimum") << "-2147483648" << min << min;
        QTest::newRow("overflow stops before") << "2147483648" << 214748364 << 0;
        QTest::newRow("negative overflow") << "-2147483649" << 214748364 << 0;
        QTest::newRow("hex overflow") << "$80000000" << 0x8000000 << 0;
    }

    void integers()
    {
        QFETCH(QString, text);
        QFETCH(int, leading);
        QFETCH(int, whole);
        QCOMPARE(leadingInteger(text), leading);
        QCOMPARE(wholeInteger(text), whole);
    }

    void windows1252()
    {
        QCOMPARE(toAnsi(u"a€Šé中"), QByteArray("a\x80\x8A\xE9?"));
        QCOMPARE(fromAnsi("a\x80\x8A\xE9\x81"), QString("a€Šé") + QChar(0x81));
        // Every byte survives the way through text and back.
        QByteArray all;
        for (int b = 0; b <= 0xFF; ++b)
            all.append(char(b));
        QCOMPARE(toAnsi(fromAnsi(all)), all);
        // A code 80..9F taken byte for byte from the wire is that byte's letter.
        QCOMPARE(toAnsi(QString(QChar(0x8A))), QByteArray("\x8A"));
    }

    void ansiFields()
    {
        QCOMPARE(toAnsiField(u"Jansen", 3), QString("Jan"));
        QCOMPARE(toAnsiField(u"€uro", 2), QString("€u"));
        QCOMPARE(toAnsiField(u"中文", 5), QString("??"));
        QCOMPARE(toAnsiField(QString(QChar(0x8A)) + QChar(0x80), 5), QString("Š€"));
        QCOMPARE(toAnsiField(u"abc", 0), QString());
        QCOMPARE(trimControl(u"\r\n\t ab c \0"), QString("ab c"));
    }
};

QTEST_GUILESS_MAIN(TestTextRules)
#include "tst_textrules.moc"
