#include "support/PostgresCluster.h"
#include "support/TestSupport.h"

#include "database/Schema.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace velora::test {

namespace {

constexpr auto kFolderPrefix = "velora-pg-";
constexpr auto kDriverName = "PostgreSQL Unicode";

// An ODBC attribute value: braced, with closing braces doubled, when it holds
// a character that would end it early.
QString odbcValue(const QString &value)
{
    if (!value.contains(u';') && !value.contains(u'{') && !value.contains(u'}') && !value.contains(u'='))
        return value;
    return u'{' + QString(value).replace(u'}', QStringLiteral("}}")) + u'}';
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

PostgresCluster::PostgresCluster() : PostgresCluster(Options()) {}

PostgresCluster::PostgresCluster(Options options) : m_options(std::move(options)) {}

PostgresCluster::~PostgresCluster()
{
    stop();
}

QString PostgresCluster::binaryFolder()
{
    const QString configured = qEnvironmentVariable("VELORA_PG_BIN");
    return configured.isEmpty() ? QStringLiteral("/usr/lib/postgresql/15/bin") : configured;
}

QString PostgresCluster::odbcDriver()
{
    QStringList candidates;
    if (const QString configured = qEnvironmentVariable("VELORA_PG_ODBC_DRIVER"); !configured.isEmpty())
        candidates << configured;
    candidates << QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so")
               << QStringLiteral("/usr/lib/aarch64-linux-gnu/odbc/psqlodbcw.so")
               << QStringLiteral("/usr/lib/odbc/psqlodbcw.so");
    for (const QString &candidate : candidates)
        if (QFileInfo(candidate).isFile())
            return candidate;
    return QString();
}

QString PostgresCluster::odbcFolder() const
{
    return m_folder ? m_folder->filePath(QStringLiteral("odbc")) : QString();
}

QProcessEnvironment PostgresCluster::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("ODBCSYSINI"), odbcFolder());
    base.insert(QStringLiteral("ODBCINI"), odbcFolder() + QStringLiteral("/odbc.ini"));
    return base;
}

void PostgresCluster::exportEnvironment() const
{
    qputenv("ODBCSYSINI", QFile::encodeName(odbcFolder()));
    qputenv("ODBCINI", QFile::encodeName(odbcFolder() + QStringLiteral("/odbc.ini")));
}

bool PostgresCluster::run(const QString &program, const QStringList &arguments, QString *output, int timeoutMs) const
{
    return runIn(m_folder->path(), program, arguments, output, timeoutMs);
}

bool PostgresCluster::runIn(const QString &folder, const QString &program, const QStringList &arguments,
                            QString *output, int timeoutMs) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // The server's user may not enter this process's working folder.
    process.setWorkingDirectory(folder);
    const QString binary = QDir(binaryFolder()).filePath(program);
    if (m_uid >= 0)
        process.start(QStringLiteral("setpriv"),
                      QStringList{QStringLiteral("--reuid=%1").arg(m_uid), QStringLiteral("--regid=%1").arg(m_gid),
                                  QStringLiteral("--clear-groups"), binary} +
                          arguments);
    else
        process.start(binary, arguments);
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(timeoutMs);
    const QString text = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (output)
        *output = text;
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
        if (output)
            *output = QStringLiteral("%1 did not finish: %2 %3").arg(program, process.errorString(), text);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void PostgresCluster::removeStaleClusters() const
{
    // A test program that crashed left its server running; its folder names
    // the process that made it.
    QDirIterator it(QDir::tempPath(), QStringList{QLatin1String(kFolderPrefix) + u'*'}, QDir::Dirs);
    while (it.hasNext()) {
        const QString folder = it.next();
        QFile ownerFile(folder + QStringLiteral("/owner.pid"));
        if (!ownerFile.open(QIODevice::ReadOnly))
            continue;
        const int owner = ownerFile.readAll().trimmed().toInt();
        if (owner <= 0 || owner == int(::getpid()) || ::kill(owner, 0) == 0 || errno != ESRCH)
            continue;
        runIn(folder, QStringLiteral("pg_ctl"),
              {QStringLiteral("-D"), folder + QStringLiteral("/data"), QStringLiteral("-m"),
               QStringLiteral("immediate"), QStringLiteral("-s"), QStringLiteral("stop")},
              nullptr, 30000);
        QDir(folder).removeRecursively();
    }
}

bool PostgresCluster::start()
{
    if (m_running)
        return true;
    m_error.clear();
    const QString bin = binaryFolder();
    for (const char *program : {"initdb", "pg_ctl", "psql"}) {
        if (!QFileInfo(QDir(bin).filePath(QLatin1String(program))).isExecutable()) {
            m_error = QStringLiteral("PostgreSQL server program %1 not found in %2: install postgresql "
                                     "(scripts/setup.sh) or name the folder in VELORA_PG_BIN")
                          .arg(QLatin1String(program), bin);
            return false;
        }
    }
    const QString driver = odbcDriver();
    if (driver.isEmpty()) {
        m_error = QStringLiteral("PostgreSQL ODBC driver psqlodbcw.so not found: install odbc-postgresql "
                                 "(scripts/setup.sh) or name it in VELORA_PG_ODBC_DRIVER");
        return false;
    }
    // PostgreSQL does not run as root: the cluster belongs to user postgres
    // (Debian's package makes it), and the server runs as that user.
    m_uid = m_gid = -1;
    if (::geteuid() == 0) {
        const struct passwd *user = ::getpwnam("postgres");
        if (!user) {
            m_error = QStringLiteral("running as root, and there is no user postgres to run the server as");
            return false;
        }
        m_uid = int(user->pw_uid);
        m_gid = int(user->pw_gid);
    }
    removeStaleClusters();

    m_folder = std::make_unique<QTemporaryDir>(QDir::tempPath() + u'/' + QLatin1String(kFolderPrefix) +
                                               QStringLiteral("XXXXXX"));
    if (!m_folder->isValid()) {
        m_error = QStringLiteral("no temporary folder for the cluster: %1").arg(m_folder->errorString());
        return false;
    }
    const QString folder = m_folder->path();
    writeFile(folder + QStringLiteral("/owner.pid"), QByteArray::number(qint64(::getpid())));
    const QString passwordFile = folder + QStringLiteral("/password");
    writeFile(passwordFile, m_options.password.toUtf8() + '\n');

    if (m_uid >= 0) {
        for (const QString &path : {folder, passwordFile})
            if (::chown(QFile::encodeName(path).constData(), uid_t(m_uid), gid_t(m_gid)) != 0) {
                m_error = QStringLiteral("cannot give %1 to user postgres").arg(path);
                return false;
            }
    }

    const QString data = folder + QStringLiteral("/data");
    QString output;
    if (!run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), data, QStringLiteral("-U"), m_options.user,
              QStringLiteral("--pwfile=") + passwordFile, QStringLiteral("--auth-host=scram-sha-256"),
              QStringLiteral("--auth-local=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
              QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
             &output)) {
        m_error = QStringLiteral("initdb failed: %1").arg(output);
        return false;
    }

    QString serverOptions = QStringLiteral("-c listen_addresses=127.0.0.1 -k %1").arg(folder);
    if (!m_options.durable)
        serverOptions += QStringLiteral(" -c fsync=off -c synchronous_commit=off -c full_page_writes=off");
    // Another program may take the free port between the look and the start.
    // The tests stop the server and start it again on its port while the
    // service reconnects: the port must be one the kernel never gives a
    // client (see PortChoice::OutsideEphemeral).
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        m_port = freeLoopbackPort(PortChoice::OutsideEphemeral);
        m_running = run(QStringLiteral("pg_ctl"),
                        {QStringLiteral("-D"), data, QStringLiteral("-l"), folder + QStringLiteral("/server.log"),
                         QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("30"), QStringLiteral("-o"),
                         serverOptions + QStringLiteral(" -p %1").arg(m_port), QStringLiteral("start")},
                        &output);
    }
    if (!m_running) {
        QFile log(folder + QStringLiteral("/server.log"));
        log.open(QIODevice::ReadOnly);
        m_error = QStringLiteral("pg_ctl start failed: %1 %2").arg(output, QString::fromUtf8(log.readAll()));
        return false;
    }
    if (!psql(QStringLiteral("CREATE DATABASE %1").arg(m_options.database), &output)) {
        m_error = QStringLiteral("CREATE DATABASE failed: %1").arg(output);
        stop();
        return false;
    }

    const QString odbc = odbcFolder();
    QDir().mkpath(odbc);
    writeFile(odbc + QStringLiteral("/odbcinst.ini"),
              QStringLiteral("[%1]\nDescription=PostgreSQL ODBC driver (Unicode)\nDriver=%2\n")
                  .arg(QLatin1String(kDriverName), driver)
                  .toUtf8());
    writeFile(odbc + QStringLiteral("/odbc.ini"),
              QStringLiteral("[%1]\nDriver=%2\nServername=127.0.0.1\nPort=%3\nDatabase=%4\n")
                  .arg(m_options.dataSource, QLatin1String(kDriverName))
                  .arg(m_port)
                  .arg(m_options.database)
                  .toUtf8());

    QString tablesError;
    if (!resetTables(&tablesError)) {
        m_error = QStringLiteral("creating the tables failed: %1").arg(tablesError);
        stop();
        return false;
    }
    return true;
}

void PostgresCluster::stop()
{
    if (m_running) {
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_folder->filePath(QStringLiteral("data")), QStringLiteral("-m"),
             QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("-s"), QStringLiteral("stop")});
        m_running = false;
    }
    m_folder.reset();
}

bool PostgresCluster::stopServer()
{
    if (!m_running)
        return true;
    m_running = !run(QStringLiteral("pg_ctl"),
                     {QStringLiteral("-D"), m_folder->filePath(QStringLiteral("data")), QStringLiteral("-m"),
                      QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("-s"), QStringLiteral("stop")});
    return !m_running;
}

bool PostgresCluster::startServer()
{
    if (m_running || !m_folder)
        return m_running;
    QString serverOptions =
        QStringLiteral("-c listen_addresses=127.0.0.1 -k %1 -p %2").arg(m_folder->path()).arg(m_port);
    if (!m_options.durable)
        serverOptions += QStringLiteral(" -c fsync=off -c synchronous_commit=off -c full_page_writes=off");
    QString output;
    m_running = run(QStringLiteral("pg_ctl"),
                    {QStringLiteral("-D"), m_folder->filePath(QStringLiteral("data")), QStringLiteral("-l"),
                     m_folder->filePath(QStringLiteral("server.log")), QStringLiteral("-w"), QStringLiteral("-t"),
                     QStringLiteral("30"), QStringLiteral("-o"), serverOptions, QStringLiteral("start")},
                    &output);
    if (!m_running)
        m_error = QStringLiteral("pg_ctl start failed: %1").arg(output);
    return m_running;
}

bool PostgresCluster::psql(const QString &statements, QString *output) const
{
    return run(
        QStringLiteral("psql"),
        {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
         QStringLiteral("-h"), m_folder->path(), QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"),
         m_options.user, QStringLiteral("-d"),
         statements.startsWith(QLatin1String("CREATE DATABASE")) ? QStringLiteral("postgres") : m_options.database,
         QStringLiteral("-c"), statements},
        output);
}

bool PostgresCluster::resetTables(QString *error)
{
    // Whatever a test left besides the five tables (a renamed one) goes too.
    QStringList statements{QStringLiteral("DROP SCHEMA public CASCADE"), QStringLiteral("CREATE SCHEMA public")};
    for (const TableDefinition &table : dispatchTables())
        statements << createTableStatement(table, SqlDialect::PostgreSql);
    for (const IndexDefinition &index : dispatchIndexes())
        statements << createIndexStatement(index, SqlDialect::PostgreSql);
    QString output;
    const bool ok = psql(statements.join(QStringLiteral(";\n")), &output);
    if (!ok && error)
        *error = output;
    return ok;
}

QSqlDatabase PostgresCluster::connection(const QString &name) const
{
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name);
    if (db.isOpen())
        return db;
    // Without the data source, so that it needs no environment.
    db.setDatabaseName(QStringLiteral("DRIVER={%1};Servername=127.0.0.1;Port=%2;Database=%3;UID=%4;PWD=%5;")
                           .arg(odbcDriver())
                           .arg(m_port)
                           .arg(m_options.database, odbcValue(m_options.user), odbcValue(m_options.password)));
    if (!db.open())
        qWarning("PostgreSQL connection %s: %s", qPrintable(name), qPrintable(db.lastError().text()));
    return db;
}

PostgresCluster &PostgresCluster::shared()
{
    static std::unique_ptr<PostgresCluster> cluster = [] {
        auto started = std::make_unique<PostgresCluster>();
        if (!started->start()) {
            std::fprintf(stderr, "FAIL: the test PostgreSQL server did not start: %s\n", qPrintable(started->error()));
            std::fflush(stderr);
            std::exit(1);
        }
        started->exportEnvironment();
        return started;
    }();
    return *cluster;
}

} // namespace velora::test
