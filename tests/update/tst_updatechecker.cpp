#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"
#include "update/UpdateChecker.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

using namespace velora;
using velora::test::HttpAnswer;
using velora::test::LoopbackHttpServer;
using velora::test::waitUntil;

Q_DECLARE_METATYPE(velora::UpdateChecker::DownloadResult)

namespace {

// Runs one request of the update check to its end and returns it.
std::unique_ptr<HttpClient> fetch(const QUrl &url, bool head = false, QIODevice *sink = nullptr,
                                  const HttpProxy &proxy = {}, int idleTimeoutMs = 5000)
{
    auto transfer = std::make_unique<HttpClient>();
    if (sink)
        transfer->setBodySink(sink);
    else
        transfer->discardBody();
    transfer->start(updateRequest(url, head, proxy, idleTimeoutMs));
    waitUntil([&] { return !transfer->isRunning(); }, 8000);
    return transfer;
}

QByteArray description(const QByteArray &keys)
{
    return "[Andere]\r\nVersion=99\r\n[VeloraRBS]\r\n" + keys;
}

// https in front of a plain test server: each connection's bytes go both
// ways between the client's TLS session and a connection to the backend, so
// every answer the backend can play is played over https as well. The
// certificate is made for this run, for 127.0.0.1, and signs itself: only
// a client told to trust it does.
class TlsFront : public QObject {
public:
    QString certificateFile() const { return m_folder.filePath(QStringLiteral("cert.pem")); }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url(const QUrl &backendUrl) const
    {
        QUrl url = backendUrl;
        url.setScheme(QStringLiteral("https"));
        url.setPort(port());
        return url;
    }

    // Empty when it listens; otherwise why not.
    QString start(quint16 backendPort)
    {
        m_backendPort = backendPort;
        if (!QSslSocket::supportsSsl())
            return QStringLiteral("Qt has no TLS backend here");
        const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
        if (openssl.isEmpty())
            return QStringLiteral("no openssl program to make a certificate with");
        const QString key = m_folder.filePath(QStringLiteral("key.pem"));
        QProcess make;
        make.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                             "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                             "-keyout", key, "-out", certificateFile()});
        if (!make.waitForFinished(20000) || make.exitCode() != 0)
            return QString::fromLocal8Bit(make.readAllStandardError());
        QFile keyFile(key);
        keyFile.open(QIODevice::ReadOnly);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificateChain(QSslCertificate::fromPath(certificateFile()));
        tls.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
        m_server.setSslConfiguration(tls);
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, &TlsFront::accept);
        return m_server.listen(QHostAddress::LocalHost, 0) ? QString() : m_server.errorString();
    }

private:
    void accept()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            auto *backend = new QTcpSocket(client);
            auto pass = [client, backend] {
                if (backend->state() == QAbstractSocket::ConnectedState)
                    backend->write(client->readAll());
            };
            connect(client, &QIODevice::readyRead, backend, pass);
            connect(backend, &QAbstractSocket::connected, backend, pass);
            connect(backend, &QIODevice::readyRead, client, [client, backend] { client->write(backend->readAll()); });
            connect(backend, &QAbstractSocket::disconnected, client, [client] { client->disconnectFromHost(); });
            connect(client, &QAbstractSocket::disconnected, client, [client, backend] {
                backend->abort();
                client->deleteLater();
            });
            backend->connectToHost(QHostAddress::LocalHost, m_backendPort);
        }
    }

    QTemporaryDir m_folder;
    QSslServer m_server;
    quint16 m_backendPort = 0;
};

} // namespace

class UpdateCheckerTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;
    std::unique_ptr<LoopbackHttpServer> m_server;

    UpdateCheckerConfig config() const
    {
        UpdateCheckerConfig config;
        config.programFolder = m_folder.path();
        config.programFilePath = m_folder.filePath(QStringLiteral("VeloraRBS"));
        config.descriptionUrl = m_server->url(QStringLiteral("/liveupdate/VeloraRBS/Updates.txt"));
        config.installedVersion = QStringLiteral("9.0.1.51");
        config.idleTimeoutMs = 5000;
        return config;
    }

    void offer(const QByteArray &keys)
    {
        m_server->answer(QStringLiteral("/liveupdate/VeloraRBS/Updates.txt"), {"200 OK", {}, description(keys)});
    }

    CheckOutcome check(UpdateChecker &checker)
    {
        QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
        checker.checkForUpdate(true);
        if (!finished.wait(8000))
            return CheckOutcome::Silent;
        return finished.at(0).at(0).value<CheckOutcome>();
    }

    UpdateChecker::DownloadResult download(UpdateChecker &checker)
    {
        QSignalSpy finished(&checker, &UpdateChecker::downloadFinished);
        checker.startDownload();
        if (!finished.wait(8000))
            return UpdateChecker::DownloadResult::Failed;
        return finished.at(0).at(0).value<UpdateChecker::DownloadResult>();
    }

private Q_SLOTS:
    void init()
    {
        qRegisterMetaType<velora::UpdateChecker::DownloadResult>();
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->listen());
        m_server->answerByTarget();
    }

    void sizeDisplay_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("nothing") << qint64(0) << "0 B";
        QTest::newRow("one byte") << qint64(1) << "1 B";
        QTest::newRow("thousands separator") << qint64(1000) << "1,000 B";
        QTest::newRow("1024 still bytes") << qint64(1024) << "1,024 B";
        QTest::newRow("just over 1024") << qint64(1025) << "1 KB";
        QTest::newRow("rounded down") << qint64(2047) << "1 KB";
        QTest::newRow("1 MB still KB") << qint64(1024 * 1024) << "1,024 KB";
        QTest::newRow("just over 1 MB") << qint64(1024 * 1024 + 1) << "1 MB";
        QTest::newRow("1 GB still MB") << qint64(1024) * 1024 * 1024 << "1,024 MB";
        QTest::newRow("gigabytes") << qint64(5) * 1024 * 1024 * 1024 + 7 << "5 GB";
        QTest::newRow("many gigabytes") << qint64(2000) * 1024 * 1024 * 1024 << "2,000 GB";
    }
    void sizeDisplay()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, shown);
        QCOMPARE(velora::sizeDisplay(bytes), shown);
    }

    void textsOfTheCheck()
    {
        QCOMPARE(clockText(0), QStringLiteral("00:00:00"));
        QCOMPARE(clockText(3661), QStringLiteral("01:01:01"));
        QCOMPARE(clockText(100 * 3600), QStringLiteral("100:00:00"));
        QCOMPARE(sqlScriptsWarningText(QStringLiteral("4.2")),
                 QStringLiteral("U kunt de beschikbare update momenteel niet installeren.\r\n\r\n"
                                "Velora  beschikt niet over de juiste database versie en u moet vooraf de SQL "
                                "scripts uitvoeren.\r\n\r\nNoodzakelijke versie SQL scripts: 4.2"));
        QCOMPARE(descriptionSection(QStringLiteral("VeloraRBS.exe")), QStringLiteral("VeloraRBS"));
        QCOMPARE(descriptionSection(QStringLiteral("/opt/velora/VeloraRBS")), QStringLiteral("VeloraRBS"));
    }

    void readsOnlyItsOwnSection()
    {
        const UpdateDescription read =
            readUpdateDescription("[Andere]\nVersion=1\n\n[velorarbs]\r\n; opmerking\r\nversion = "
                                  "9.0.2.0\r\nDownloadFileURL=http://h/p/pakket.zip\r\n"
                                  "SQLVersion=\r\nMD5Hash=abc\r\n[Nog een]\r\nReadmeFileURL=http://elders\r\n",
                                  QStringLiteral("VeloraRBS"));
        QCOMPARE(read.version, QStringLiteral("9.0.2.0"));
        QCOMPARE(read.downloadFileUrl, QStringLiteral("http://h/p/pakket.zip"));
        QCOMPARE(read.md5Hash, QStringLiteral("abc"));
        QVERIFY(read.sqlVersion.isEmpty());
        QVERIFY(read.readmeFileUrl.isEmpty());
        QVERIFY(read.updatePageUrl.isEmpty());
    }

    void outcome_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("sqlVersion");
        QTest::addColumn<QString>("page");
        QTest::addColumn<bool>("interactive");
        QTest::addColumn<CheckOutcome>("expected");
        const QString page = QStringLiteral("http://page");
        QTest::newRow("equal version") << "9.0.1.51"
                                       << "" << page << true << CheckOutcome::NoUpdateInformation;
        QTest::newRow("texts, not numbers") << "9.0.1.6"
                                            << "" << page << true << CheckOutcome::ShowNotice;
        QTest::newRow("numerically higher sorts lower") << "9.0.1.100"
                                                        << "" << page << true << CheckOutcome::NoUpdateInformation;
        QTest::newRow("needs scripts") << "9.0.2"
                                       << "1" << page << true << CheckOutcome::SqlScriptsWarning;
        QTest::newRow("no version offers page") << ""
                                                << "" << page << true << CheckOutcome::NoUpdateOfferWebsite;
        QTest::newRow("no version, no page") << ""
                                             << ""
                                             << "" << true << CheckOutcome::NoUpdateInformation;
        QTest::newRow("quiet when not interactive") << "9.0.1.51"
                                                    << "" << page << false << CheckOutcome::Silent;
        QTest::newRow("newer also when not interactive") << "9.1"
                                                         << "" << page << false << CheckOutcome::ShowNotice;
    }
    void outcome()
    {
        QFETCH(QString, offered);
        QFETCH(QString, sqlVersion);
        QFETCH(QString, page);
        QFETCH(bool, interactive);
        QFETCH(CheckOutcome, expected);
        UpdateDescription description;
        description.version = offered;
        description.sqlVersion = sqlVersion;
        description.updatePageUrl = page;
        QCOMPARE(decideCheckOutcome(QStringLiteral("9.0.1.51"), QString(), description, interactive), expected);
    }

    void requestIsHttp10WithTheAgreedHeaders()
    {
        m_server->answer(QStringLiteral("/a"), {"200 OK", {}, "inhoud"});
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        const auto transfer = fetch(m_server->url(QStringLiteral("/a")), false, &sink);
        QVERIFY(transferSucceeded(*transfer));
        QCOMPARE(sink.data(), QByteArray("inhoud"));
        QCOMPARE(m_server->requests().size(), 1);
        const QByteArray request = m_server->requests().first().raw;
        QVERIFY2(request.startsWith("GET /a HTTP/1.0\r\n"), request.constData());
        QVERIFY(request.contains("\r\nUser-Agent: Mozilla/4.0 (compatible; ICS)\r\n"));
        QVERIFY(request.contains("\r\nPragma: no-cache\r\n"));
        QVERIFY(request.contains("\r\nHost: 127.0.0.1:"));

        const auto head = fetch(m_server->url(QStringLiteral("/a")), true);
        QVERIFY(transferSucceeded(*head));
        QCOMPARE(head->contentLength(), 6);
        QVERIFY(m_server->requests().last().raw.startsWith("HEAD /a HTTP/1.0\r\n"));

        // Through a proxy: the whole address in the request line, to the proxy.
        LoopbackHttpServer proxy;
        QVERIFY(proxy.listen());
        proxy.answer(m_server->url(QStringLiteral("/a")).toString(), {"200 OK", {}, "via proxy"});
        QBuffer proxied;
        proxied.open(QIODevice::WriteOnly);
        const auto viaProxy = fetch(m_server->url(QStringLiteral("/a")), false, &proxied,
                                    {QStringLiteral("127.0.0.1"), quint16(proxy.url({}).port())});
        QVERIFY(transferSucceeded(*viaProxy));
        QCOMPARE(proxied.data(), QByteArray("via proxy"));
        QCOMPARE(m_server->requests().size(), 2);
        QVERIFY(proxy.requests().value(0).raw.startsWith("GET " + m_server->url(QStringLiteral("/a")).toEncoded() +
                                                         " HTTP/1.0\r\n"));
    }

    void redirects_data()
    {
        QTest::addColumn<int>("hops");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("one") << 1 << true;
        QTest::newRow("five") << 5 << true;
        QTest::newRow("six is too many") << 6 << false;
    }
    void redirects()
    {
        QFETCH(int, hops);
        QFETCH(bool, succeeds);
        for (int hop = 0; hop < hops; ++hop)
            m_server->answer(
                QStringLiteral("/r%1").arg(hop),
                {"302 Found",
                 {"Location: " + (hop + 1 == hops ? QByteArray("/doel") : "r" + QByteArray::number(hop + 1))},
                 {}});
        m_server->answer(QStringLiteral("/doel"), {"200 OK", {}, "aangekomen"});
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        const auto transfer = fetch(m_server->url(QStringLiteral("/r0")), false, &sink);
        QCOMPARE(transferSucceeded(*transfer), succeeds);
        if (succeeds)
            QCOMPARE(sink.data(), QByteArray("aangekomen"));
        else
            QCOMPARE(transferFailureText(*transfer), QStringLiteral("Mislukt: 302 Found"));
    }

    void redirectLoopEnds()
    {
        m_server->answer(QStringLiteral("/rond"), {"301 Moved Permanently", {"Location: /rond"}, {}});
        const auto transfer = fetch(m_server->url(QStringLiteral("/rond")));
        QVERIFY(!transfer->isRunning());
        QVERIFY(!transferSucceeded(*transfer));
        QCOMPARE(transferFailureText(*transfer), QStringLiteral("Mislukt: 301 Moved Permanently"));
        QCOMPARE(m_server->requests().size(), 1 + kUpdateMaxRedirects);
    }

    void failures()
    {
        const auto missing = fetch(m_server->url(QStringLiteral("/weg")));
        QVERIFY(!transferSucceeded(*missing));
        QCOMPARE(transferFailureText(*missing), QStringLiteral("Mislukt: 404 Not Found"));

        // A body cut short of its announced length is a failure, not a file.
        m_server->answer(QStringLiteral("/kort"), {"200 OK", {}, "abc", true, 10});
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        const auto truncated = fetch(m_server->url(QStringLiteral("/kort")), false, &sink);
        QVERIFY(!transferSucceeded(*truncated));
        QCOMPARE(transferFailureText(*truncated), QStringLiteral("Mislukt: 200 OK (onvolledig ontvangen)"));

        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost, 0);
        const quint16 port = closed.serverPort();
        closed.close();
        const auto down = fetch(QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(port)));
        QVERIFY(!down->isRunning());
        QCOMPARE(transferFailureText(*down), QStringLiteral("Mislukt: 0 Connection refused"));

        QCOMPARE(transferFailureText(*fetch(QUrl(QStringLiteral("ftp://127.0.0.1/x")))),
                 QStringLiteral("Mislukt: 0 Ongeldig adres ftp://127.0.0.1/x"));

        // A server that accepts and never answers fails at the idle time-out.
        m_server->answer(QStringLiteral("/stil"), {"200 OK", {}, "x", true, -1, 0});
        QElapsedTimer clock;
        clock.start();
        const auto silent = fetch(m_server->url(QStringLiteral("/stil")), false, nullptr, {}, 1000);
        QCOMPARE(transferFailureText(*silent), QStringLiteral("Mislukt: 0 Time-out"));
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    }

    void checkOutcomes_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<CheckOutcome>("expected");
        QTest::newRow("equal version") << QByteArray("Version=9.0.1.51\r\n") << CheckOutcome::NoUpdateInformation;
        QTest::newRow("higher with scripts")
            << QByteArray("Version=9.0.1.6\r\nSQLVersion=12\r\n") << CheckOutcome::SqlScriptsWarning;
        QTest::newRow("higher without scripts") << QByteArray("Version=9.0.1.6\r\n") << CheckOutcome::ShowNotice;
    }
    void checkOutcomes()
    {
        QFETCH(QByteArray, keys);
        QFETCH(CheckOutcome, expected);
        offer(keys);
        UpdateChecker checker(config());
        QCOMPARE(check(checker), expected);
    }

    void releaseNotesAndUnreachableDescription()
    {
        m_server->answer(QStringLiteral("/lees.txt"), {"200 OK", {}, "Regel 1\r\nRegel 2\r\n"});
        offer("Version=9.1\r\nReadmeFileURL=" + m_server->url(QStringLiteral("/lees.txt")).toEncoded() +
              "\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/pakket.zip")).toEncoded() + "\r\n");
        UpdateChecker checker(config());
        QCOMPARE(check(checker), CheckOutcome::ShowNotice);
        QCOMPARE(checker.releaseNotes(), QStringLiteral("Regel 1\nRegel 2\n"));
        QVERIFY(checker.downloadAvailable());
        QCOMPARE(checker.description().updatePageUrl, QString::fromLatin1(kDefaultUpdatePage));

        // Release notes missing: the failure text takes their place.
        offer("Version=9.1\r\nReadmeFileURL=" + m_server->url(QStringLiteral("/geen.txt")).toEncoded() + "\r\n");
        QCOMPARE(check(checker), CheckOutcome::ShowNotice);
        QCOMPARE(checker.releaseNotes(), QStringLiteral("Mislukt: 404 Not Found"));
        QVERIFY(!checker.downloadAvailable());

        // Description missing: counts as current, the default page is offered.
        UpdateCheckerConfig elsewhere = config();
        elsewhere.descriptionUrl = m_server->url(QStringLiteral("/nergens.txt"));
        UpdateChecker lost(elsewhere);
        QCOMPARE(check(lost), CheckOutcome::NoUpdateOfferWebsite);
        QCOMPARE(lost.releaseNotes(), QStringLiteral("Mislukt: 404 Not Found"));
        QCOMPARE(lost.description().updatePageUrl, QString::fromLatin1(kDefaultUpdatePage));
    }

    void oversizedTextsAreNotRead()
    {
        // A valid section followed by megabytes of comment lines: read whole
        // it would pass, but such a server can just as well send without end.
        const QByteArray padding = QByteArray("; opvulling\r\n").repeated(200000);
        m_server->answer(QStringLiteral("/liveupdate/VeloraRBS/Updates.txt"),
                         {"200 OK", {}, description("Version=9.1\r\n") + padding});
        UpdateChecker checker(config());
        QCOMPARE(check(checker), CheckOutcome::NoUpdateOfferWebsite);
        QCOMPARE(checker.description().version, QString());
        QCOMPARE(checker.releaseNotes(), QStringLiteral("Mislukt: 0 Ongeldig antwoord"));

        m_server->answer(QStringLiteral("/lees.txt"), {"200 OK", {}, "Regel 1\r\n" + padding});
        offer("Version=9.1\r\nReadmeFileURL=" + m_server->url(QStringLiteral("/lees.txt")).toEncoded() + "\r\n");
        QCOMPARE(check(checker), CheckOutcome::ShowNotice);
        QCOMPARE(checker.releaseNotes(), QStringLiteral("Mislukt: 0 Ongeldig antwoord"));
    }

    void backupAndFolders()
    {
        QFile program(config().programFilePath);
        QVERIFY(program.open(QIODevice::WriteOnly));
        program.write("programma v2");
        program.close();
        QDir(m_folder.path()).mkpath(QStringLiteral("Backups"));
        QFile earlier(m_folder.filePath(QStringLiteral("Backups/VeloraRBS")));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("programma v1");
        earlier.close();

        UpdateChecker checker(config());
        checker.prepareFolders();
        QVERIFY(QFileInfo(m_folder.filePath(QStringLiteral("TempDownloads"))).isDir());
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("programma v2"));
    }

    void downloads()
    {
        const QByteArray package(200000, 'p');
        m_server->answer(QStringLiteral("/pakket.zip"), {"200 OK", {}, package});
        m_server->answer(QStringLiteral("/zonderlengte.zip"), {"200 OK", {}, package, false});
        m_server->answer(QStringLiteral("/afgebroken.zip"), {"200 OK", {}, package, true, -1, 0});

        offer("Version=9.1\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/pakket.zip")).toEncoded() + "\r\n");
        UpdateChecker checker(config());
        check(checker);
        QSignalSpy progress(&checker, &UpdateChecker::downloadProgress);
        QSignalSpy started(&checker, &UpdateChecker::downloadStarted);
        QCOMPARE(download(checker), UpdateChecker::DownloadResult::Succeeded);
        QCOMPARE(started.size(), 1);
        QCOMPARE(checker.targetPath(), m_folder.filePath(QStringLiteral("TempDownloads/pakket.zip")));
        QFile target(checker.targetPath());
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), package);
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(package.size()));
        QCOMPARE(progress.last().at(1).toLongLong(), qint64(package.size()));

        // No size from the server: no transfer, no window, the empty file stays.
        offer("Version=9.1\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/zonderlengte.zip")).toEncoded() +
              "\r\n");
        UpdateChecker unsized(config());
        check(unsized);
        QSignalSpy unsizedStarted(&unsized, &UpdateChecker::downloadStarted);
        QCOMPARE(download(unsized), UpdateChecker::DownloadResult::NothingToDownload);
        QCOMPARE(unsizedStarted.size(), 0);
        QCOMPARE(QFileInfo(unsized.targetPath()).size(), 0);
        QVERIFY(!m_server->requests().last().raw.startsWith("GET"));
    }

    void cancelInTheMiddleDeletesThePartialFile()
    {
        const QByteArray package(100000, 'p');
        m_server->answer(QStringLiteral("/groot.zip"), {"200 OK", {}, package, true, -1, 30000});
        offer("Version=9.1\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/groot.zip")).toEncoded() + "\r\n");
        UpdateChecker checker(config());
        check(checker);
        QSignalSpy finished(&checker, &UpdateChecker::downloadFinished);
        checker.startDownload();
        QVERIFY(waitUntil([&] { return QFileInfo(checker.targetPath()).size() == 30000; }));
        QVERIFY(checker.downloading());
        checker.abortDownload();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).value<UpdateChecker::DownloadResult>(), UpdateChecker::DownloadResult::Cancelled);
        QVERIFY(!QFile::exists(checker.targetPath()));
        QVERIFY(waitUntil([&] { return m_server->openConnections() == 0; }));

        // A body that ends early is a failed download: no half package stays.
        m_server->answer(QStringLiteral("/groot.zip"), {"200 OK", {}, package.left(500), true, package.size()});
        UpdateChecker truncated(config());
        check(truncated);
        QSignalSpy status(&truncated, &UpdateChecker::downloadStatus);
        QCOMPARE(download(truncated), UpdateChecker::DownloadResult::Failed);
        QVERIFY(!QFile::exists(truncated.targetPath()));
        QVERIFY(status.last().at(0).toString().startsWith(QStringLiteral("Mislukt: 200 OK")));
    }

    // The disk refuses the package (a full disk, here the device that always
    // is): the download fails and says why, whether the package fits in one
    // buffer or not, and no part of it stays for the updater.
    void fullDiskFailsTheDownload_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("small") << 1000;
        QTest::newRow("large") << 200000;
    }
    void fullDiskFailsTheDownload()
    {
        QFETCH(int, size);
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("this system has no /dev/full to stand for a full disk");
        m_server->answer(QStringLiteral("/vol.zip"), {"200 OK", {}, QByteArray(size, 'p')});
        offer("Version=9.1\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/vol.zip")).toEncoded() + "\r\n");
        UpdateChecker checker(config());
        checker.prepareFolders();
        const QString target = m_folder.filePath(QStringLiteral("TempDownloads/vol.zip"));
        QFile::remove(target);
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), target));
        check(checker);
        QSignalSpy status(&checker, &UpdateChecker::downloadStatus);
        QCOMPARE(download(checker), UpdateChecker::DownloadResult::Failed);
        QVERIFY2(status.last().at(0).toString().contains(QStringLiteral("No space left on device")),
                 qPrintable(status.last().at(0).toString()));
        QVERIFY(!QFileInfo(target).isSymLink() && !QFile::exists(target));
    }

    void remainingTimeOfAnAbsurdSize()
    {
        // 3 * 2^61 bytes announced, 1000 sent: after two seconds the
        // estimate is about 3.8 * 10^12 hours and must not wrap around.
        const qint64 announced = qint64(3) << 61;
        m_server->answer(QStringLiteral("/reus.zip"), {"200 OK", {}, QByteArray(1000, 'p'), true, announced, 1000});
        offer("Version=9.1\r\nDownloadFileURL=" + m_server->url(QStringLiteral("/reus.zip")).toEncoded() + "\r\n");
        UpdateChecker checker(config());
        check(checker);
        QSignalSpy ticks(&checker, &UpdateChecker::downloadTick);
        checker.startDownload();
        QVERIFY(waitUntil(
            [&] { return !ticks.isEmpty() && ticks.last().at(1).toString() >= QStringLiteral("00:00:02"); }, 6000));
        checker.abortDownload();
        const QStringList elapsed = ticks.last().at(1).toString().split(u':');
        const QStringList remaining = ticks.last().at(2).toString().split(u':');
        const double expectedHours = double(announced - 1000) * elapsed.value(2).toInt() / 1000 / 3600;
        QVERIFY2(qAbs(remaining.value(0).toDouble() / expectedHours - 1) < 0.01,
                 qPrintable(ticks.last().at(2).toString()));
    }

    // The package comes over plain HTTP: only one that matches the strongest
    // hash of the description reaches the updater.
    void updaterGetsOnlyTheVerifiedPackage()
    {
        const QString record = m_folder.filePath(QStringLiteral("argument.txt"));
        QFile updater(m_folder.filePath(QStringLiteral("VeloraUpdater")));
        QVERIFY(updater.open(QIODevice::WriteOnly));
        updater.write("#!/bin/sh\nprintf '%s' \"$1\" > \"" + record.toLocal8Bit() + "\"\n");
        updater.close();
        updater.setPermissions(updater.permissions() | QFileDevice::ExeOwner);

        const QByteArray package = "pakket";
        const QByteArray sha1 = QCryptographicHash::hash(package, QCryptographicHash::Sha1).toHex().toUpper();
        m_server->answer(QStringLiteral("/pakket.zip"), {"200 OK", {}, package});
        const QByteArray url = m_server->url(QStringLiteral("/pakket.zip")).toEncoded();
        // A wrong weaker hash does not count against a matching stronger one.
        offer("Version=9.1\r\nDownloadFileURL=" + url + "\r\nSHA1Hash=" + sha1 + "\r\nMD5Hash=00\r\n");
        UpdateChecker checker(config());
        check(checker);
        QCOMPARE(download(checker), UpdateChecker::DownloadResult::Succeeded);
        QVERIFY(checker.startUpdater());
        QVERIFY(waitUntil([&] { return QFileInfo(record).size() > 0; }));
        QFile argument(record);
        QVERIFY(argument.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(argument.readAll()), u'\'' + checker.targetPath() + u'\'');

        // Tampered on the way: reported, deleted, never handed over.
        m_server->answer(QStringLiteral("/pakket.zip"), {"200 OK", {}, "pakkEt"});
        UpdateChecker tampered(config());
        check(tampered);
        QSignalSpy status(&tampered, &UpdateChecker::downloadStatus);
        QCOMPARE(download(tampered), UpdateChecker::DownloadResult::Failed);
        QCOMPARE(status.last().at(0).toString(), QStringLiteral("Mislukt: 0 Pakket klopt niet met SHA1Hash"));
        QVERIFY(!QFile::exists(tampered.targetPath()));
    }

    // https is verified against the system's authorities unless others are
    // named, and a server that fails verification is said to, at every
    // step: nothing it sends is taken, nor is it read as "nothing new".
    void httpsServerMustVerify()
    {
        TlsFront front;
        if (const QString why = front.start(m_server->port()); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QByteArray package(50000, 'p');
        const QByteArray sha1 = QCryptographicHash::hash(package, QCryptographicHash::Sha1).toHex();
        m_server->answer(QStringLiteral("/pakket.zip"), {"200 OK", {}, package});
        const QUrl packageUrl = front.url(m_server->url(QStringLiteral("/pakket.zip")));
        offer("Version=9.1\r\nDownloadFileURL=" + packageUrl.toEncoded() + "\r\nSHA1Hash=" + sha1 + "\r\n");
        const QString refused = QStringLiteral("Mislukt: 0 Certificaat van de server niet vertrouwd (");

        UpdateCheckerConfig untrusted = config();
        untrusted.descriptionUrl = front.url(untrusted.descriptionUrl);
        UpdateChecker unknownAuthority(untrusted);
        QCOMPARE(check(unknownAuthority), CheckOutcome::UntrustedServer);
        QVERIFY2(unknownAuthority.checkFailure().startsWith(refused), qPrintable(unknownAuthority.checkFailure()));
        QVERIFY(m_server->requests().isEmpty());

        // Trusted, but asked by a name the certificate does not carry.
        UpdateCheckerConfig trusted = untrusted;
        trusted.caFile = front.certificateFile();
        UpdateCheckerConfig otherName = trusted;
        otherName.descriptionUrl.setHost(QStringLiteral("localhost"));
        UpdateChecker wrongName(otherName);
        QCOMPARE(check(wrongName), CheckOutcome::UntrustedServer);
        QVERIFY2(wrongName.checkFailure().startsWith(refused), qPrintable(wrongName.checkFailure()));
        QVERIFY(m_server->requests().isEmpty());

        UpdateChecker verified(trusted);
        QCOMPARE(check(verified), CheckOutcome::ShowNotice);
        QCOMPARE(download(verified), UpdateChecker::DownloadResult::Succeeded);
        QFile target(verified.targetPath());
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), package);
        target.close();
        QVERIFY(target.remove());

        // A redirection from https to plain http is not followed.
        const QUrl plain = m_server->url(QStringLiteral("/liveupdate/VeloraRBS/Updates.txt"));
        m_server->answer(QStringLiteral("/omleiding"), {"302 Found", {"Location: " + plain.toEncoded()}, {}});
        UpdateCheckerConfig downgraded = trusted;
        downgraded.descriptionUrl = front.url(m_server->url(QStringLiteral("/omleiding")));
        UpdateChecker redirected(downgraded);
        QCOMPARE(check(redirected), CheckOutcome::NoUpdateOfferWebsite);
        QCOMPARE(redirected.releaseNotes(), QStringLiteral("Mislukt: 0 Ongeldig adres ") + plain.toString());

        // The description over http, the package from an unverified server.
        UpdateChecker unverifiedPackage(config());
        QCOMPARE(check(unverifiedPackage), CheckOutcome::ShowNotice);
        QSignalSpy status(&unverifiedPackage, &UpdateChecker::downloadStatus);
        const qsizetype asked = m_server->requests().size();
        QCOMPARE(download(unverifiedPackage), UpdateChecker::DownloadResult::Failed);
        QVERIFY2(status.last().at(0).toString().startsWith(refused), qPrintable(status.last().at(0).toString()));
        QCOMPARE(m_server->requests().size(), asked);
        QVERIFY(!QFile::exists(unverifiedPackage.targetPath()));
    }

    void packageHashes()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("123456789");
        file.close();
        auto mismatch = [&](const QString &sha1, const QString &md5, const QString &crc32) {
            UpdateDescription description;
            description.sha1Hash = sha1;
            description.md5Hash = md5;
            description.crc32Hash = crc32;
            return packageHashMismatch(file.fileName(), description);
        };
        const QString sha1 = QStringLiteral("f7c3bc1d808e04732adf679965ccc34ca7ae3441");
        const QString md5 = QStringLiteral("25f9e794323b453885f5181f1b624d0b");
        QCOMPARE(mismatch({}, {}, {}), QString());
        QCOMPARE(mismatch(sha1, {}, {}), QString());
        QCOMPARE(mismatch(sha1.left(39) + u'0', md5, QStringLiteral("CBF43926")), QStringLiteral("SHA1Hash"));
        QCOMPARE(mismatch({}, QStringLiteral(" 25F9E794323B453885F5181F1B624D0B "), {}), QString());
        QCOMPARE(mismatch({}, md5.left(31) + u'0', {}), QStringLiteral("MD5Hash"));
        QCOMPARE(mismatch({}, {}, QStringLiteral("cbf43926")), QString());
        QCOMPARE(mismatch({}, {}, QStringLiteral("cbf43927")), QStringLiteral("CRC32Hash"));
        QCOMPARE(mismatch({}, {}, QStringLiteral("zz")), QStringLiteral("CRC32Hash"));
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "tst_updatechecker.moc"
