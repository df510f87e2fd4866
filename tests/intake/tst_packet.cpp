// A received text read once: what its handling, its refusal and the metrics
// take from it, including the texts that carry no order and the refusal of a
// text that is no envelope.

#include "IntakeTestKit.h"
#include "intake/Packet.h"

using namespace velora;
using namespace velora::test;

class TestPacket : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readOnce_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<bool>("envelope");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("countedType");
        QTest::addColumn<qint32>("ride");     // -1: no order
        QTest::addColumn<QString>("failure"); // why there is no order
        QTest::addColumn<QString>("refusal"); // the "NC" as comma text; empty: none

        QTest::newRow("new ride") << OrderItems("NR").packet() << true << "NR"
                                  << "NR" << 4711 << QString() << "NC,RBS,7,4711,0,";
        QTest::newRow("lower-case type, sender and ride echoed")
            << OrderItems("nr", -5).set(1, "STT").packet() << true << "nr"
            << "other" << -5 << QString() << "NC,STT,7,-5,0,";
        const QStringList ninetyFive = OrderItems("RS").set(94, "1").items.mid(0, 95);
        QTest::newRow("95 items") << envelopeOf(WriteCommaList(ninetyFive)) << true << "RS"
                                  << "RS" << -1 << "List index out of bounds (95)" << QString();
        QTest::newRow("empty envelope") << QByteArray("<RBS>") << true << QString() << "other" << -1
                                        << "List index out of bounds (0)" << QString();
        // The order is read past the first five characters whatever they are.
        QTest::newRow("no envelope, an order after five characters")
            << "<rbs>" + OrderItems("NR", 12).packet().mid(5) << false << "NR"
            << "unreadable" << 12 << QString() << "NC,RBS,7,12,0,";
        QTest::newRow("no envelope") << QByteArray("hello\r\n") << false << QString() << "unreadable" << -1
                                     << "List index out of bounds (0)" << QString();
    }

    void readOnce()
    {
        QFETCH(QByteArray, received);
        QFETCH(bool, envelope);
        QFETCH(QString, type);
        QFETCH(QString, countedType);
        QFETCH(qint32, ride);
        QFETCH(QString, failure);
        QFETCH(QString, refusal);

        const Packet packet = readPacket(receivedText(received));
        QCOMPARE(packet.envelope, envelope);
        QCOMPARE(packet.type, type);
        QCOMPARE(packet.countedType, countedType);
        QCOMPARE(packet.order.has_value(), ride != -1);
        if (packet.order)
            QCOMPARE(packet.order->RideNumber, ride);
        QCOMPARE(packet.orderFailure, failure);
        QCOMPARE(packet.refusal.hexText, refusal.isEmpty() ? QString() : EncodeHexText(refusal));
        QCOMPARE(packet.refusal.type, refusal.isEmpty() ? QString() : QStringLiteral("NC"));
    }
};

QTEST_GUILESS_MAIN(TestPacket)
#include "tst_packet.moc"
