#include "net/HttpClient.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace velora;
using velora::test::LoopbackHttpServer;
using velora::test::waitUntil;

using Failure = HttpClient::Failure;
Q_DECLARE_METATYPE(velora::HttpClient::Failure)

namespace {

QByteArray chunked(const QList<QByteArray> &chunks)
{
    QByteArray raw = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const QByteArray &chunk : chunks)
        raw += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    return raw + "0\r\n\r\n";
}

} // namespace

// The limits against faulty servers, through what a caller sees.
class HttpClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LoopbackHttpServer> m_server;

    HttpRequest request(quint16 port = 0) const
    {
        HttpRequest request;
        request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port ? port : m_server->port()));
        request.overallTimeoutMs = 3000;
        return request;
    }

    // Runs to the end (or 5 s); counts the ends so that a second one shows.
    int run(HttpClient &client, const HttpRequest &request)
    {
        QSignalSpy finished(&client, &HttpClient::finished);
        client.start(request);
        if (!finished.isEmpty())
            return -1; // never from inside start()
        waitUntil([&] { return !client.isRunning(); }, 5000);
        QTest::qWait(20);
        return int(finished.size());
    }

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->listen());
    }

    void limits_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<Failure>("expected");
        QTest::newRow("body at the limit")
            << chunked({QByteArray(60, 'a'), QByteArray(40, 'b')}) << qint64(100) << Failure::None;
        QTest::newRow("announced length over the limit")
            << LoopbackHttpServer::response(200, QByteArray(101, 'x')) << qint64(100) << Failure::TooLarge;
        QTest::newRow("chunks over the limit")
            << chunked({QByteArray(60, 'a'), QByteArray(60, 'b')}) << qint64(100) << Failure::TooLarge;
        QTest::newRow("until close over the limit")
            << QByteArray("HTTP/1.0 200 OK\r\n\r\n") + QByteArray(101, 'x') << qint64(100) << Failure::TooLarge;
        QTest::newRow("head of many lines")
            << QByteArray("HTTP/1.1 200 OK\r\n") +
                   QByteArray("X-Vulling: 0123456789012345678901234567\r\n").repeated(1700)
            << qint64(0) << Failure::TooLarge;
        QTest::newRow("endless interim answers")
            << QByteArray("HTTP/1.1 100 Continue\r\n\r\n").repeated(3000) + LoopbackHttpServer::response(200, "late")
            << qint64(0) << Failure::TooLarge;
        QTest::newRow("closed in the head")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << qint64(0) << Failure::ClosedBeforeHead;
        QTest::newRow("body shorter than announced")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc") << qint64(0) << Failure::BodyIncomplete;
        QTest::newRow("not http") << QByteArray("<html>\r\n\r\nhallo</html>") << qint64(0) << Failure::BadResponse;
    }
    void limits()
    {
        QFETCH(QByteArray, raw);
        QFETCH(qint64, limit);
        QFETCH(Failure, expected);
        m_server->respondWith(raw);
        HttpClient client;
        HttpRequest request = this->request();
        request.bodyLimit = limit;
        QCOMPARE(run(client, request), 1);
        QCOMPARE(client.failure(), expected);
        if (expected == Failure::None)
            QCOMPARE(client.body().size(), limit);
    }

    void headRequestEndsWithTheHead()
    {
        // The length describes what a GET would bring; no body follows and
        // the connection stays open.
        m_server->respondWith("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n");
        m_server->setCloseAfterResponse(false);
        HttpClient client;
        HttpRequest request = this->request();
        request.head = true;
        QCOMPARE(run(client, request), 1);
        QCOMPARE(client.failure(), Failure::None);
        QCOMPARE(client.contentLength(), 5000);
        QCOMPARE(m_server->requests().value(0).method, QByteArray("HEAD"));
    }

    void bodyIntoSinkWithProgress()
    {
        const QByteArray body(200000, 'p');
        m_server->respondWith(LoopbackHttpServer::response(200, body));
        QBuffer sink;
        QVERIFY(sink.open(QIODevice::WriteOnly));
        HttpClient client;
        client.setBodySink(&sink);
        QSignalSpy progress(&client, &HttpClient::progress);
        QCOMPARE(run(client, request()), 1);
        QCOMPARE(sink.data(), body);
        QVERIFY(client.body().isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), body.size());
        QCOMPARE(progress.last().at(1).toLongLong(), body.size());

        // A sink that takes nothing fails the transfer with its own reason.
        QBuffer readOnly;
        QVERIFY(readOnly.open(QIODevice::ReadOnly));
        HttpClient refused;
        refused.setBodySink(&readOnly);
        QCOMPARE(run(refused, request()), 1);
        QCOMPARE(refused.failure(), Failure::SinkWrite);
        QVERIFY(!refused.errorString().isEmpty());
    }

    void abortEndsSilently()
    {
        m_server->respondNever();
        HttpClient client;
        QSignalSpy finished(&client, &HttpClient::finished);
        client.start(request());
        QVERIFY(waitUntil([&] { return m_server->requests().size() == 1; }));
        client.abort();
        QVERIFY(!client.isRunning());
        QTest::qWait(50);
        QCOMPARE(finished.size(), 0);
    }

    void timeOuts_data()
    {
        QTest::addColumn<bool>("idle");
        QTest::addColumn<bool>("succeeds");
        // The server sends a piece every 200 ms for about two and a half seconds.
        QTest::newRow("idle: data keeps it alive") << true << true;
        QTest::newRow("overall: data does not") << false << false;
    }
    void timeOuts()
    {
        QFETCH(bool, idle);
        QFETCH(bool, succeeds);
        QTcpServer trickle;
        QVERIFY(trickle.listen(QHostAddress::LocalHost));
        QTimer pieces;
        QTcpSocket *peer = nullptr;
        int sent = 0;
        connect(&trickle, &QTcpServer::newConnection, [&] {
            peer = trickle.nextPendingConnection();
            peer->write("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n");
            pieces.start(200);
        });
        connect(&pieces, &QTimer::timeout, [&] {
            peer->write("x");
            if (++sent == 12)
                pieces.stop();
        });
        HttpClient client;
        HttpRequest request = this->request(trickle.serverPort());
        request.overallTimeoutMs = idle ? 0 : 1000;
        request.idleTimeoutMs = idle ? 1000 : 0;
        QCOMPARE(run(client, request), 1);
        QCOMPARE(client.failure(), succeeds ? Failure::None : Failure::Timeout);
        if (succeeds)
            QCOMPARE(client.body(), QByteArray(12, 'x'));
    }
};

QTEST_GUILESS_MAIN(HttpClientTest)
#include "tst_httpclient.moc"
