#include "shell/XmlTree.h"

#include <QTest>

using namespace velora;

// Markup that only UTF-8 can carry: the settings file written from such a
// document must read back whole, or the next start loses every setting.
class TestXmlTree : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void markupOutsideLatin1ReadsBack_data()
    {
        QTest::addColumn<QByteArray>("file");
        // U+0101 and U+20AC in UTF-8; the values hold é and €.
        const QByteArray value = "<RBSPoort_Text>\xc3\xa9 \xe2\x82\xac</RBSPoort_Text>";
        QTest::newRow("element name") << "<Configuration><Hoofdscherm><\xc4\x81/>" + value +
                                             "</Hoofdscherm></Configuration>";
        QTest::newRow("attribute name") << "<Configuration><Hoofdscherm \xe2\x82\xac=\"1\">" + value +
                                               "</Hoofdscherm></Configuration>";
        QTest::newRow("processing instruction")
            << "<Configuration><Hoofdscherm>" + value + "</Hoofdscherm><?\xe2\x82\xac?></Configuration>";
        QTest::newRow("doctype and root")
            << "<!DOCTYPE \xc4\x81><\xc4\x81><Hoofdscherm>" + value + "</Hoofdscherm></\xc4\x81>";
    }

    void markupOutsideLatin1ReadsBack()
    {
        QFETCH(QByteArray, file);
        XmlNode first;
        QString error;
        QVERIFY2(parseXml(file, first, &error), qPrintable(error));
        const QByteArray written = writeXml(first);
        QVERIFY(written.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
        XmlNode again;
        QVERIFY2(parseXml(written, again, &error), qPrintable(error + u'\n' + QString::fromUtf8(written)));
        QCOMPARE(writeXml(again), written);
        const XmlNode *form = again.rootElement()->childElement(QStringLiteral("Hoofdscherm"));
        QVERIFY(form);
        QCOMPARE(form->childElement(QStringLiteral("RBSPoort_Text"))->elementText(),
                 QString::fromUtf8("\xc3\xa9 \xe2\x82\xac"));
    }

    // Everything else stays in the traditional single-byte form.
    void latin1MarkupStaysLatin1()
    {
        XmlNode document;
        QVERIFY(parseXml("<Configuration><!-- caf\xc3\xa9 --><Hoofdscherm><RBSPoort_Text>\xc3\xa9 \xe2\x82\xac"
                         "</RBSPoort_Text></Hoofdscherm></Configuration>",
                         document, nullptr));
        const QByteArray written = writeXml(document);
        QVERIFY(written.startsWith("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>"));
        QVERIFY(written.contains("<!-- caf\xe9 -->"));
        QVERIFY(written.contains("<RBSPoort_Text>\xe9 &#8364;</RBSPoort_Text>"));
    }
};

QTEST_GUILESS_MAIN(TestXmlTree)
#include "tst_xmltree.moc"
