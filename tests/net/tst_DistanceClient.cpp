#include "net/DistanceClient.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace velora;
using velora::test::LoopbackHttpServer;

namespace {

QByteArray fixture(const QString &name)
{
    QFile file(velora::test::fixturePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray kOkBody = "<DistanceMatrixResponse>\n <status>OK</status>\n <row><element><status>OK</status>"
                           "<duration><value>%D</value></duration><distance><value>%M</value></distance>"
                           "</element></row>\n</DistanceMatrixResponse>\n";

QByteArray okBody(int metres, int seconds)
{
    QByteArray body = kOkBody;
    return body.replace("%D", QByteArray::number(seconds)).replace("%M", QByteArray::number(metres));
}

} // namespace

class DistanceClientTest : public QObject {
    Q_OBJECT

private:
    // The request to its end; the test's own loop runs meanwhile.
    myKilometers ask(const QString &origin, const QString &destination)
    {
        return QCoro::waitFor(m_client->OpvragenAfstand(origin, destination));
    }

private Q_SLOTS:
    void init()
    {
        m_settings = std::make_unique<Settings>();
        m_log = std::make_unique<Log>(QStringLiteral("RBSLog"));
        m_client = std::make_unique<DistanceClient>(*m_settings, *m_log);
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->listen());
        m_settings->setText(Setting::AfstandServer, m_server->host());
        m_settings->setText(Setting::AfstandPoort, QString::number(m_server->port()));
        m_settings->setText(Setting::AfstandTimeOut, QStringLiteral("2"));
    }
    void cleanup()
    {
        m_client.reset();
        m_server.reset();
    }

    void requestPathKeepsEverythingButBlanks()
    {
        QCOMPARE(
            distanceRequestPath(QStringLiteral("Stationsplein 1 3511 Utrecht"), QStringLiteral("Slotlaan  3701 Zeist")),
            QStringLiteral("/maps/api/distancematrix/xml?origins=Stationsplein%201%203511%20Utrecht"
                           "&destinations=Slotlaan%20%203701%20Zeist"
                           "&mode=driving&language=nl-NL&sensor=false&units=metric"));
    }

    void requestLineIsSentAsBuilt()
    {
        m_server->respondWith(LoopbackHttpServer::response(200, fixture(QStringLiteral("distancematrix-ok.xml"))));
        ask(QStringLiteral("'s-Hertogenbosch #3&x=1 1 5211 Caf\u00e9"), QStringLiteral("Kade\r\nX-Injected: 1"));
        QCOMPARE(m_server->requests().size(), 1);
        const LoopbackHttpServer::Request &request = m_server->requests().first();
        QCOMPARE(request.requestLine,
                 QByteArray("GET /maps/api/distancematrix/xml?origins='s-Hertogenbosch%20#3&x=1%201%205211%20Caf%C3%A9"
                            "&destinations=Kade%0D%0AX-Injected:%201"
                            "&mode=driving&language=nl-NL&sensor=false&units=metric HTTP/1.1"));
        QCOMPARE(request.header("User-Agent"), QByteArray("Velora"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QVERIFY(request.header("X-Injected").isEmpty());
        QVERIFY(request.body.isEmpty());
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<double>("distance");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QString>("logged"); // text after the date stamp; empty: nothing logged

        auto ok = [](const QByteArray &body) { return LoopbackHttpServer::response(200, body); };
        QTest::newRow("real layout") << ok(fixture(QStringLiteral("distancematrix-ok.xml"))) << 15.234 << 20
                                     << QString();
        QTest::newRow("59 seconds") << ok(okBody(800, 59)) << 0.8 << 0 << QString();
        QTest::newRow("denied") << ok(fixture(QStringLiteral("distancematrix-denied.xml"))) << -1.0 << 0
                                << QStringLiteral(" - Afstand fout: REQUEST_DENIED");
        QTest::newRow("element not found")
            << ok(fixture(QStringLiteral("distancematrix-not-found.xml"))) << 0.0 << 0 << QString();
        QTest::newRow("tags with attributes")
            << ok("<DistanceMatrixResponse><status>OK</status><distance unit=\"m\"><value>5000</value></distance>"
                  "<Duration><value>600</value></Duration></DistanceMatrixResponse>")
            << 0.0 << 0 << QString();
        QTest::newRow("garbage body") << ok(QByteArray("\x01\xff<<>>status OK", 16)) << -1.0 << 0 << QString();
        QTest::newRow("html error page") << LoopbackHttpServer::response(
                                                500, "<html><body><h1>500 Internal Server Error</h1></body></html>",
                                                "text/html")
                                         << -1.0 << 0 << QString();
        QTest::newRow("not http at all") << QByteArray("garbage without a head") << -1.0 << 0 << QString();
        QByteArray truncated = LoopbackHttpServer::response(200, okBody(15234, 1250));
        truncated.replace("Content-Length: ", "Content-Length: 9");
        QTest::newRow("truncated body") << truncated << -1.0 << 0 << QString();
        QTest::newRow("chunked body") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
                                             QByteArray::number(okBody(15234, 1250).size(), 16) + "\r\n" +
                                             okBody(15234, 1250) + "\r\n0\r\n\r\n"
                                      << 15.234 << 20 << QString();
        QTest::newRow("status in the code page")
            << ok("<DistanceMatrixResponse><status>FOUT_\xe9\x80</status></DistanceMatrixResponse>") << -1.0 << 0
            << QStringLiteral(" - Afstand fout: FOUT_\u00e9\u20ac");
        QTest::newRow("10 MB body")
            << ok(QByteArray(10 * 1024 * 1024, 'x')) << -1.0 << 0
            << QStringLiteral(" Afstandsserver %SERVER%: Antwoord van de afstandsserver groter dan 1048576 bytes");
    }

    void answers()
    {
        QFETCH(QByteArray, raw);
        QFETCH(double, distance);
        QFETCH(int, minutes);
        QFETCH(QString, logged);
        logged.replace(QStringLiteral("%SERVER%"), m_server->host() + u':' + QString::number(m_server->port()));
        m_server->respondWith(raw);
        const myKilometers result = ask(QStringLiteral("A 1 3511 Utrecht"), QStringLiteral("B 2 3701 Zeist"));
        QCOMPARE(result.distance, distance);
        QCOMPARE(result.minutes, minutes);
        if (logged.isEmpty()) {
            QCOMPARE(m_log->lineCount(), 0);
        } else {
            QCOMPARE(m_log->lineCount(), 1);
            QCOMPARE(m_log->lines().first().mid(19), logged);
            QVERIFY(QDateTime::fromString(m_log->lines().first().left(19), QStringLiteral("dd-MM-yyyy hh:mm:ss"))
                        .isValid());
        }
    }

    void failedRequestsAreLoggedOnce_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no host set") << QString() << QStringLiteral("Geen afstandsserver ingesteld");
        QTest::newRow("refused") << QStringLiteral("127.0.0.1") << QStringLiteral("refused");
    }

    void failedRequestsAreLoggedOnce()
    {
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        m_settings->setText(Setting::AfstandServer, host);
        m_settings->setText(Setting::AfstandPoort, QString::number(closedPort));
        const myKilometers result = ask(QStringLiteral("a"), QStringLiteral("b"));
        QCOMPARE(result.distance, -1.0);
        QCOMPARE(result.minutes, 0);
        QCOMPARE(m_log->lineCount(), 1);
        QVERIFY2(m_log->lines().first().contains(expected, Qt::CaseInsensitive), qPrintable(m_log->lines().first()));
        QVERIFY(m_server->requests().isEmpty());
    }

    void longTimeOutIsKept()
    {
        // 536870913 s is 1000 ms more than a multiple of 2^32 ms: counted in
        // 32 bits it would give up after one second on a server that answers
        // after one and a half.
        QTcpServer late;
        QVERIFY(late.listen(QHostAddress::LocalHost));
        connect(&late, &QTcpServer::newConnection, [&] {
            QTcpSocket *peer = late.nextPendingConnection();
            QTimer::singleShot(1500, peer, [peer] {
                peer->write(LoopbackHttpServer::response(200, okBody(12345, 600)));
                peer->disconnectFromHost();
            });
        });
        m_settings->setText(Setting::AfstandPoort, QString::number(late.serverPort()));
        m_settings->setText(Setting::AfstandTimeOut, QStringLiteral("536870913"));
        const myKilometers result = ask(QStringLiteral("a"), QStringLiteral("b"));
        QCOMPARE(result.distance, 12.345);
        QCOMPARE(result.minutes, 10);
    }

    void readXmlTag_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("expected");
        QTest::newRow("first of several") << QString("<a>1</a><a>2</a>") << QString("a") << QString("1");
        QTest::newRow("spans lines") << QString("<a>x\ny</a>") << QString("a") << QString("x\r\ny");
        QTest::newRow("lone CR") << QString("<a>x\ry</a>") << QString("a") << QString("x\r\ny");
        QTest::newRow("closing first") << QString("</a><a>") << QString("a") << QString("");
        QTest::newRow("case-sensitive") << QString("<A>1</A>") << QString("a") << QString("");
        QTest::newRow("missing closing") << QString("<a>1") << QString("a") << QString("");
    }

    void readXmlTag()
    {
        QFETCH(QString, text);
        QFETCH(QString, tag);
        QFETCH(QString, expected);
        QCOMPARE(ReadXMLTag(splitLines(text), tag), expected);
    }

private:
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<Log> m_log;
    std::unique_ptr<DistanceClient> m_client;
    std::unique_ptr<LoopbackHttpServer> m_server;
};

QTEST_GUILESS_MAIN(DistanceClientTest)
#include "tst_DistanceClient.moc"
