#include "shell/HttpExchange.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace velora;
using velora::test::LoopbackHttpServer;
using velora::test::waitUntil;

Q_DECLARE_METATYPE(velora::HttpExchange::Failure)
Q_DECLARE_METATYPE(velora::HttpExchange::TimeoutKind)

namespace {

using Failure = HttpExchange::Failure;

struct Outcome {
    int finished = 0;
    int failed = 0;
    Failure failure = Failure::None;
    HttpResponseHead head;
    QByteArray body;
    qint64 contentLength = -1;
};

// Runs one exchange against the server to its end (or 5 s).
Outcome run(LoopbackHttpServer &server, HttpExchange &exchange,
            const HttpExchange::Request &request = HttpExchange::Request())
{
    Outcome outcome;
    QObject::connect(&exchange, &HttpExchange::finished, [&] { ++outcome.finished; });
    QObject::connect(&exchange, &HttpExchange::failed, [&] { ++outcome.failed; });
    exchange.start(server.host(), server.port(), request);
    waitUntil([&] { return !exchange.isRunning(); }, 5000);
    // Anything emitted twice would show up here.
    QTest::qWait(20);
    outcome.failure = exchange.failure();
    outcome.head = exchange.head();
    outcome.body = exchange.body();
    outcome.contentLength = exchange.contentLength();
    return outcome;
}

QByteArray chunked(const QList<QByteArray> &chunks)
{
    QByteArray raw = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const QByteArray &chunk : chunks)
        raw += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    return raw + "0\r\n\r\n";
}

} // namespace

class HttpExchangeTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LoopbackHttpServer> m_server;

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->listen());
    }

    void requestIsSentAsGiven()
    {
        m_server->respondWith(LoopbackHttpServer::response(200, "x"));
        HttpExchange exchange;
        HttpExchange::Request request;
        request.method = "GET";
        request.target = "/a%20b?c=%C3%A9&d='e'#f";
        request.version = "HTTP/1.0";
        request.headers = {{"Host", "h:81"}, {"User-Agent", "agent/1 (x; y)"}, {"Pragma", "no-cache"}};
        const Outcome outcome = run(*m_server, exchange, request);
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(m_server->requests().first().raw, QByteArray("GET /a%20b?c=%C3%A9&d='e'#f HTTP/1.0\r\n"
                                                              "Host: h:81\r\n"
                                                              "User-Agent: agent/1 (x; y)\r\n"
                                                              "Pragma: no-cache\r\n\r\n"));
    }

    void lineBreaksInTheRequestSendNothing_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("headerValue");
        QTest::newRow("CR LF in target") << QByteArray("/a\r\nX-Injected: 1") << QByteArray("v");
        QTest::newRow("blank in target") << QByteArray("/a b") << QByteArray("v");
        QTest::newRow("LF in header") << QByteArray("/a") << QByteArray("v\nX-Injected: 1");
    }
    void lineBreaksInTheRequestSendNothing()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, headerValue);
        HttpExchange exchange;
        HttpExchange::Request request;
        request.target = target;
        request.headers = {{"X", headerValue}};
        const Outcome outcome = run(*m_server, exchange, request);
        QCOMPARE(outcome.failed, 1);
        QCOMPARE(outcome.failure, Failure::InvalidRequest);
        QVERIFY(m_server->requests().isEmpty());
    }

    void responses_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("header"); // looked up by a name in other letter case
        QTest::addColumn<QByteArray>("headerValue");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("content-length") << LoopbackHttpServer::response(200, "inhoud", "text/plain") << 200 << "OK"
                                        << QByteArray("CONTENT-type") << QByteArray("text/plain")
                                        << QByteArray("inhoud");
        QTest::newRow("folded header") << QByteArray("HTTP/1.1 200 OK\r\nX-Long: een\r\n   twee\r\n\tdrie\r\n"
                                                     "Content-Length: 2\r\n\r\nab")
                                       << 200 << "OK" << QByteArray("x-long") << QByteArray("een twee drie")
                                       << QByteArray("ab");
        QTest::newRow("odd lines") << QByteArray("HTTP/1.1 200 OK\r\nno colon here\r\n: nameless\r\n"
                                                 "Spaced   :   waarde  \r\nContent-Length: 1\r\n\r\nz")
                                   << 200 << "OK" << QByteArray("spaced") << QByteArray("waarde") << QByteArray("z");
        QTest::newRow("first of repeated header")
            << QByteArray("HTTP/1.1 200 OK\r\nX-A: 1\r\nx-a: 2\r\nContent-Length: 0\r\n\r\n") << 200 << "OK"
            << QByteArray("X-a") << QByteArray("1") << QByteArray();
        QTest::newRow("bare line feeds") << QByteArray("HTTP/1.0 200 OK\nLocation: /x\nContent-Length: 3\n\nabc") << 200
                                         << "OK" << QByteArray("location") << QByteArray("/x") << QByteArray("abc");
        QTest::newRow("status text with blanks")
            << QByteArray("HTTP/1.1 404 Not Found Here\r\nContent-Length: 0\r\n\r\n") << 404 << "Not Found Here"
            << QByteArray("content-length") << QByteArray("0") << QByteArray();
        QTest::newRow("no status text") << QByteArray("HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nq") << 200 << ""
                                        << QByteArray("content-length") << QByteArray("1") << QByteArray("q");
        QTest::newRow("interim answer skipped")
            << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok") << 201
            << "Created" << QByteArray("content-length") << QByteArray("2") << QByteArray("ok");
        QTest::newRow("until close") << QByteArray("HTTP/1.0 200 OK\r\nServer: s\r\n\r\nline 1\r\n\r\nline 2") << 200
                                     << "OK" << QByteArray("server") << QByteArray("s")
                                     << QByteArray("line 1\r\n\r\nline 2");
        QTest::newRow("bytes past the length ignored")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcdEXTRA") << 200 << "OK"
            << QByteArray("content-length") << QByteArray("4") << QByteArray("abcd");
        QTest::newRow("chunked") << chunked({"Hallo ", QByteArray(300, 'w'), "\r\n\r\n"}) << 200 << "OK"
                                 << QByteArray("transfer-encoding") << QByteArray("chunked")
                                 << QByteArray("Hallo ") + QByteArray(300, 'w') + "\r\n\r\n";
        QTest::newRow("chunk extensions and trailers")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "3;name=value\r\nabc\r\nA\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n")
            << 200 << "OK" << QByteArray("transfer-encoding") << QByteArray("chunked") << QByteArray("abc0123456789");
        QTest::newRow("chunked wins over length")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "4\r\nabcd\r\n0\r\n\r\n")
            << 200 << "OK" << QByteArray("content-length") << QByteArray("2") << QByteArray("abcd");
        QTest::newRow("no body for 204") << QByteArray("HTTP/1.1 204 No Content\r\nX: y\r\n\r\n") << 204 << "No Content"
                                         << QByteArray("x") << QByteArray("y") << QByteArray();
    }
    void responses()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        QFETCH(QString, text);
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, headerValue);
        QFETCH(QByteArray, body);
        // Without closing: every body here must be delimited by the answer
        // itself, except the one that is read until the close.
        m_server->respondWith(raw);
        m_server->setCloseAfterResponse(QByteArray(QTest::currentDataTag()) == "until close");
        HttpExchange exchange;
        exchange.setTimeout(3000, HttpExchange::TimeoutKind::Overall);
        const Outcome outcome = run(*m_server, exchange);
        QCOMPARE(outcome.failure, Failure::None);
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.failed, 0);
        QCOMPARE(outcome.head.statusCode, status);
        QCOMPARE(outcome.head.statusText, text);
        QCOMPARE(outcome.head.value(header), headerValue);
        QCOMPARE(outcome.body, body);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<Failure>("expected");
        QTest::newRow("not http") << QByteArray("<html>\r\n\r\nhallo</html>") << qint64(0) << Failure::BadResponse;
        QTest::newRow("closed in the head")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << qint64(0) << Failure::ClosedBeforeHead;
        QTest::newRow("body shorter than announced")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc") << qint64(0) << Failure::BodyIncomplete;
        QTest::newRow("chunked without last chunk")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab") << qint64(0)
            << Failure::BodyIncomplete;
        QTest::newRow("chunk size not hex")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n") << qint64(0)
            << Failure::BadResponse;
        QTest::newRow("chunk longer than its size")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n") << qint64(0)
            << Failure::BadResponse;
        QTest::newRow("length not a number")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n0123456789ab") << qint64(0)
            << Failure::BadResponse;
        QTest::newRow("lengths disagree")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc") << qint64(0)
            << Failure::BadResponse;
        QTest::newRow("announced length over the limit")
            << LoopbackHttpServer::response(200, QByteArray(101, 'x')) << qint64(100) << Failure::TooLarge;
        QTest::newRow("chunks over the limit")
            << chunked({QByteArray(60, 'a'), QByteArray(60, 'b')}) << qint64(100) << Failure::TooLarge;
        QTest::newRow("until close over the limit")
            << QByteArray("HTTP/1.0 200 OK\r\n\r\n") + QByteArray(101, 'x') << qint64(100) << Failure::TooLarge;
        QTest::newRow("endless head") << QByteArray("HTTP/1.1 200 OK\r\nX: ") + QByteArray(70 * 1024, 'h') << qint64(0)
                                      << Failure::TooLarge;
        QTest::newRow("endless interim answers")
            << QByteArray("HTTP/1.1 100 Continue\r\n\r\n").repeated(3000) + LoopbackHttpServer::response(200, "late")
            << qint64(0) << Failure::TooLarge;
    }
    void failures()
    {
        QFETCH(QByteArray, raw);
        QFETCH(qint64, limit);
        QFETCH(Failure, expected);
        m_server->respondWith(raw);
        HttpExchange exchange;
        exchange.setBodyLimit(limit);
        exchange.setTimeout(3000, HttpExchange::TimeoutKind::Overall);
        const Outcome outcome = run(*m_server, exchange);
        QCOMPARE(outcome.failure, expected);
        QCOMPARE(outcome.failed, 1);
        QCOMPARE(outcome.finished, 0);
    }

    void bodyAtTheLimitIsAccepted()
    {
        m_server->respondWith(chunked({QByteArray(60, 'a'), QByteArray(40, 'b')}));
        HttpExchange exchange;
        exchange.setBodyLimit(100);
        const Outcome outcome = run(*m_server, exchange);
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.body.size(), 100);
    }

    void headRequestEndsWithTheHead()
    {
        // The length describes what a GET would bring; no body follows and
        // the connection stays open.
        m_server->respondWith("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n");
        m_server->setCloseAfterResponse(false);
        HttpExchange exchange;
        exchange.setTimeout(3000, HttpExchange::TimeoutKind::Overall);
        HttpExchange::Request request;
        request.method = "HEAD";
        QSignalSpy progress(&exchange, &HttpExchange::progress);
        const Outcome outcome = run(*m_server, exchange, request);
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.contentLength, 5000);
        QVERIFY(outcome.body.isEmpty());
        QCOMPARE(progress.size(), 0);
    }

    void bodyIntoSinkWithProgress()
    {
        const QByteArray body(200000, 'p');
        m_server->respondWith(LoopbackHttpServer::response(200, body));
        QBuffer sink;
        QVERIFY(sink.open(QIODevice::WriteOnly));
        HttpExchange exchange;
        exchange.setBodySink(&sink);
        QSignalSpy progress(&exchange, &HttpExchange::progress);
        const Outcome outcome = run(*m_server, exchange);
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(sink.data(), body);
        QVERIFY(outcome.body.isEmpty());
        QVERIFY(progress.size() >= 2);
        QCOMPARE(progress.first().at(0).toLongLong(), 0);
        QCOMPARE(progress.last().at(0).toLongLong(), body.size());
        QCOMPARE(progress.last().at(1).toLongLong(), body.size());
        for (qsizetype i = 1; i < progress.size(); ++i)
            QVERIFY(progress.at(i).at(0).toLongLong() >= progress.at(i - 1).at(0).toLongLong());

        // A sink that takes nothing fails the exchange with its own reason.
        QBuffer readOnly;
        QVERIFY(readOnly.open(QIODevice::ReadOnly));
        HttpExchange refused;
        refused.setBodySink(&readOnly);
        const Outcome failed = run(*m_server, refused);
        QCOMPARE(failed.failure, Failure::SinkWrite);
        QVERIFY(!refused.errorString().isEmpty());
    }

    void abortFromTheHeadSignalEndsSilently()
    {
        m_server->respondWith(LoopbackHttpServer::response(404, "niet gevonden"));
        HttpExchange exchange;
        int heads = 0;
        connect(&exchange, &HttpExchange::headReceived, &exchange, [&] {
            ++heads;
            exchange.abort();
        });
        const Outcome outcome = run(*m_server, exchange);
        QCOMPARE(heads, 1);
        QCOMPARE(outcome.finished + outcome.failed, 0);
        QCOMPARE(outcome.head.statusCode, 404);
        QVERIFY(outcome.body.isEmpty());
    }

    void refusedConnection()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        HttpExchange exchange;
        QSignalSpy failed(&exchange, &HttpExchange::failed);
        exchange.start(QStringLiteral("127.0.0.1"), port, {});
        // Never from inside start().
        QCOMPARE(failed.size(), 0);
        QVERIFY(failed.wait(5000));
        QCOMPARE(exchange.failure(), Failure::ConnectFailed);
        QCOMPARE(exchange.socketError(), QAbstractSocket::ConnectionRefusedError);
        QVERIFY(!exchange.errorString().isEmpty());
    }

    void timeOuts_data()
    {
        QTest::addColumn<HttpExchange::TimeoutKind>("kind");
        QTest::addColumn<bool>("succeeds");
        // The server sends a piece every 100 ms for about a second.
        QTest::newRow("idle: data keeps it alive") << HttpExchange::TimeoutKind::Idle << true;
        QTest::newRow("overall: data does not") << HttpExchange::TimeoutKind::Overall << false;
    }
    void timeOuts()
    {
        QFETCH(HttpExchange::TimeoutKind, kind);
        QFETCH(bool, succeeds);
        QTcpServer trickle;
        QVERIFY(trickle.listen(QHostAddress::LocalHost));
        QTimer pieces;
        QTcpSocket *peer = nullptr;
        int sent = 0;
        connect(&trickle, &QTcpServer::newConnection, [&] {
            peer = trickle.nextPendingConnection();
            peer->write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
            pieces.start(100);
        });
        connect(&pieces, &QTimer::timeout, [&] {
            peer->write("x");
            if (++sent == 10)
                pieces.stop();
        });
        HttpExchange exchange;
        exchange.setTimeout(400, kind);
        exchange.start(QStringLiteral("127.0.0.1"), trickle.serverPort(), {});
        QVERIFY(waitUntil([&] { return !exchange.isRunning(); }, 5000));
        QCOMPARE(exchange.failure(), succeeds ? Failure::None : Failure::Timeout);
        if (succeeds)
            QCOMPARE(exchange.body(), QByteArray(10, 'x'));
    }

    void silentServerTimesOut()
    {
        m_server->respondNever();
        HttpExchange exchange;
        exchange.setTimeout(300, HttpExchange::TimeoutKind::Idle);
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = run(*m_server, exchange);
        QCOMPARE(outcome.failure, Failure::Timeout);
        QCOMPARE(outcome.failed, 1);
        QVERIFY2(clock.elapsed() >= 250 && clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_server->requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(HttpExchangeTest)
#include "tst_httpexchange.moc"
