#include "database/Database.h"

#include "database/Schema.h"
#include "database/ServerProbe.h"
#include "shell/Failure.h"
#include "shell/Settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace velora {

namespace {

const QString kEmbeddedFileName = QStringLiteral("VeloraRBS.db");

// Statements whose text is new for every packet (a marker, a ride number in
// the text) pass through the cache and drop out again; the few that repeat
// stay near the front.
constexpr qsizetype kPreparedStatements = 32;

// A value of an ODBC connection string that holds a separator or a brace must
// be braced, with closing braces doubled, or it would end the attribute early
// (a password with a ";" would otherwise inject further attributes).
QString odbcValue(const QString &value)
{
    static const QRegularExpression needsBraces(QStringLiteral("[;{}=]|^\\s|\\s$"));
    if (!value.contains(needsBraces))
        return value;
    QString escaped = value;
    escaped.replace(u'}', QStringLiteral("}}"));
    return u'{' + escaped + u'}';
}

QString sqliteType(const ColumnDefinition &column)
{
    switch (column.type) {
    case ColumnType::Identity: return QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
    case ColumnType::Integer: return QStringLiteral("INTEGER");
    case ColumnType::Text: return QStringLiteral("VARCHAR(%1)").arg(column.size);
    case ColumnType::LongText: return QStringLiteral("TEXT");
    case ColumnType::Decimal: return QStringLiteral("DECIMAL(%1,%2)").arg(column.size).arg(column.scale);
    // TEXT affinity: the stored form "yyyy-MM-dd hh:mm:ss.zzz" sorts and compares as a date-time.
    case ColumnType::DateTime: return QStringLiteral("TEXT");
    }
    return QString();
}

QString createTableStatement(const TableDefinition &table)
{
    QStringList columns;
    for (const ColumnDefinition &column : table.columns)
        columns << QLatin1String(column.name) + u' ' + sqliteType(column);
    return QStringLiteral("CREATE TABLE %1 (%2)").arg(QLatin1String(table.name), columns.join(QStringLiteral(", ")));
}

QString createIndexStatement(const IndexDefinition &index)
{
    // "if not exists": another program may have added it since the look.
    return QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (%3)")
        .arg(QLatin1String(index.name), QLatin1String(index.table), QLatin1String(index.columns));
}

// Indexes for a file that has its tables already. Only speed depends on them:
// a file the service may read but not write (or one without a table the
// index is for) still opens, and its lookups scan as before.
void addIndexes(QSqlDatabase &db, const QStringList &statements)
{
    if (!db.transaction())
        return;
    QSqlQuery create(db);
    for (const QString &statement : statements)
        if (!create.exec(statement)) {
            create.finish();
            db.rollback();
            return;
        }
    if (!db.commit())
        db.rollback();
}

// The files SQLite keeps beside a database in WAL mode: the journal of
// committed pages not yet written into the file, and its index.
QString walPathOf(const QString &database)
{
    return database + QStringLiteral("-wal");
}

QString shmPathOf(const QString &database)
{
    return database + QStringLiteral("-shm");
}

// Whether this process may write the file now. access() also answers for an
// immutable file and a read-only mount, which permission bits do not show.
bool writableNow(const QString &path)
{
#ifndef Q_OS_WIN
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
#else
    return QFileInfo(path).isWritable();
#endif
}

// SQLite creates the journal files with the permission bits of the database
// file, and a connection that could only read cannot remove them when it
// closes. A file that was read-only when the service opened it thus leaves
// read-only journal files behind, which refuse every write (after a restart
// too) once the file is writable again. Journal files of this user that it
// may not write while it may write the database get the database's bits.
// Another user's are left alone: writes then fail with SQLite's message.
void restoreJournalPermissions(const QString &database)
{
#ifndef Q_OS_WIN
    struct stat file {};
    if (::stat(QFile::encodeName(database).constData(), &file) != 0 || !writableNow(database))
        return;
    for (const QString &journal : {walPathOf(database), shmPathOf(database)}) {
        const QByteArray name = QFile::encodeName(journal);
        struct stat status {};
        if (::stat(name.constData(), &status) == 0 && status.st_uid == ::geteuid() && !writableNow(journal))
            ::chmod(name.constData(), file.st_mode & 0777);
    }
#else
    Q_UNUSED(database);
#endif
}

// A name beside `path` that is not taken: the path with the time and, when
// needed, a count appended.
QString asideName(const QString &path)
{
    const QString stamp = path + u'.' + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString name = stamp;
    for (int count = 2; QFileInfo::exists(name); ++count)
        name = stamp + u'-' + QString::number(count);
    return name;
}

} // namespace

ConnectionTarget connectionTargetFor(const Settings &settings, const QString &programFolder)
{
    ConnectionTarget target;
    const QString server = settings.text(Setting::xLoginServer);
    const QString trimmed = server.trimmed();
    if (trimmed.isEmpty()) {
        target.backend = Backend::EmbeddedSqlite;
        target.sqlitePath = QDir(programFolder).filePath(kEmbeddedFileName);
        target.displayText = target.sqlitePath;
        return target;
    }
    if (trimmed.startsWith(QLatin1String("sqlite:"), Qt::CaseInsensitive)) {
        QString path = trimmed.mid(7).trimmed();
        if (path.isEmpty())
            path = kEmbeddedFileName;
        target.backend = Backend::SqliteFile;
        target.sqlitePath = QDir::cleanPath(QDir(programFolder).absoluteFilePath(path));
        target.displayText = target.sqlitePath;
        return target;
    }

    // SQL Server names a port after a comma ("host,1433"); FreeTDS wants it as
    // its own attribute. "host\instance" is passed on as it stands.
    QString host = trimmed;
    QString port;
    if (host.startsWith(QLatin1String("tcp:"), Qt::CaseInsensitive))
        host = host.mid(4);
    const qsizetype comma = host.indexOf(u',');
    if (comma >= 0) {
        port = host.mid(comma + 1).trimmed();
        host = host.left(comma).trimmed();
    }
    target.serverHost = host.section(u'\\', 0, 0).trimmed();
    if (!port.isEmpty()) {
        bool ok = false;
        const int number = port.toInt(&ok);
        target.serverPort = ok && number > 0 && number <= 65535 ? number : -1;
    } else if (!host.contains(u'\\')) {
        target.serverPort = 1433;
    }
    const QString database = settings.text(Setting::xLoginDatabase);
    const QString user = settings.text(Setting::xLoginSQL);
    const QString password = settings.text(Setting::xPaswoordSQL);

    auto build = [&](const QString &shownPassword) {
        QString text = QStringLiteral("DRIVER={FreeTDS};Server=") + odbcValue(host);
        if (!port.isEmpty())
            text += QStringLiteral(";Port=") + odbcValue(port);
        text += QStringLiteral(";Database=") + odbcValue(database) + QStringLiteral(";UID=") + odbcValue(user) +
                QStringLiteral(";PWD=") + shownPassword + u';';
        return text;
    };
    target.backend = Backend::SqlServerOdbc;
    target.odbcConnectString = build(odbcValue(password));
    target.displayText = build(QStringLiteral("***"));
    return target;
}

Database::Database(Settings &settings, QString programFolder, QObject *parent)
    : QObject(parent), m_settings(settings), m_programFolder(std::move(programFolder)),
      m_connectionName(QStringLiteral("ADO-%1").arg(reinterpret_cast<quintptr>(this), 0, 16))
{
}

Database::~Database()
{
    close();
}

bool Database::isOpen() const
{
    return m_db.isValid() && m_db.isOpen();
}

QSqlDatabase Database::connection() const
{
    return m_db;
}

void Database::open()
{
    if (isOpen())
        return;
    // What a failed connect left behind goes; an armed unit stays armed, as the
    // intake arms it before the packet's first dataset opens the connection.
    auto release = [this] {
        releaseStatements();
        if (m_db.isValid()) {
            m_db.close();
            m_db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
        }
        m_inTransaction = false;
    };
    release();

    const ConnectionTarget target = connectionTargetFor(m_settings, m_programFolder);
    const QString password = m_settings.text(Setting::xPaswoordSQL);
    // Driver messages may echo the connection text; the password never leaves here.
    auto scrub = [&](QString text) {
        if (!password.isEmpty())
            text.replace(password, QStringLiteral("***"));
        return text;
    };
    auto fail = [&](const QString &what) -> Failure {
        const QString message = scrub(QStringLiteral("Database %1: %2").arg(target.displayText, what.trimmed()));
        release();
        return Failure(message);
    };

    if (target.backend == Backend::SqlServerOdbc) {
        // The driver's login time-out does not cover a server that accepts the
        // connection and never answers; the probe puts the bound on that case.
        if (target.serverPort < 0)
            throw fail(QStringLiteral("the text after the comma in the server name is no port number"));
        if (target.serverPort > 0) {
            try {
                probeSqlServer(target.serverHost, quint16(target.serverPort), m_timeouts.odbcLoginSeconds);
            } catch (const Failure &failure) {
                throw fail(failure.message());
            }
        }
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
        // SQL_ATTR_LOGIN_TIMEOUT bounds reaching the server; FreeTDS's own
        // "Timeout" and SQL_ATTR_CONNECTION_TIMEOUT bound every statement.
        m_db.setDatabaseName(target.odbcConnectString + QStringLiteral("Timeout=%1;").arg(m_timeouts.odbcQuerySeconds));
        m_db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
                                   .arg(m_timeouts.odbcLoginSeconds)
                                   .arg(m_timeouts.odbcQuerySeconds));
    } else {
        // The journal a replaced file left at this path would be played into
        // the file there now; that file is opened only without it.
        if (!m_stalePath.isEmpty() && m_stalePath == target.sqlitePath && !setStaleJournalAside())
            throw fail(QStringLiteral("the journal of the file this one replaced (%1) cannot be moved aside")
                           .arg(walPathOf(target.sqlitePath)));
        restoreJournalPermissions(target.sqlitePath);
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        m_db.setDatabaseName(target.sqlitePath);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_timeouts.sqliteBusyMs));
    }
    if (!m_db.isValid())
        throw fail(QStringLiteral("driver not available"));
    if (!m_db.open())
        throw fail(m_db.lastError().text());

    if (target.backend != Backend::SqlServerOdbc) {
        QSqlQuery pragma(m_db);
        // WAL lets readers of other programs go on while the service writes;
        // FULL makes a committed ride survive a power cut, not only a crash.
        // A read-only file keeps its journal mode: writes then fail with the
        // database's own message.
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA synchronous=FULL"));

        QSqlQuery tables(m_db);
        if (!tables.exec(QStringLiteral("SELECT type, name FROM sqlite_master WHERE type IN ('table','index')")))
            throw fail(tables.lastError().text());
        QSet<QString> existing;
        QSet<QString> existingIndexes;
        while (tables.next())
            (tables.value(0).toString() == QLatin1String("index") ? existingIndexes : existing)
                .insert(tables.value(1).toString().toLower());
        tables.finish();
        QStringList missing;
        for (const TableDefinition &table : dispatchTables())
            if (!existing.contains(QString::fromLatin1(table.name).toLower()))
                missing << createTableStatement(table);
        QStringList missingIndexes;
        for (const IndexDefinition &index : dispatchIndexes())
            if (!existingIndexes.contains(QString::fromLatin1(index.name).toLower()))
                missingIndexes << createIndexStatement(index);
        if (!missing.isEmpty()) {
            // A new file gets its indexes with its tables.
            missing << missingIndexes;
            missingIndexes.clear();
            if (!m_db.transaction())
                throw fail(m_db.lastError().text());
            QSqlQuery create(m_db);
            for (const QString &statement : missing)
                if (!create.exec(statement)) {
                    const QString error = create.lastError().text();
                    m_db.rollback();
                    throw fail(error);
                }
            if (!m_db.commit())
                throw fail(m_db.lastError().text());
        }
        if (!missingIndexes.isEmpty())
            addIndexes(m_db, missingIndexes);
    }
    m_sqlitePath = target.backend == Backend::SqlServerOdbc ? QString() : target.sqlitePath;
    m_sqliteIdentity = m_sqlitePath.isEmpty() ? FileIdentity() : fileIdentity(m_sqlitePath);
    // The look at the tables read through the journal, so a file in WAL mode
    // has both journal files now, and keeps them while the connection is open.
    m_walIdentity = m_sqlitePath.isEmpty() ? FileIdentity() : fileIdentity(walPathOf(m_sqlitePath));
    m_shmIdentity = m_sqlitePath.isEmpty() ? FileIdentity() : fileIdentity(shmPathOf(m_sqlitePath));
    m_reopenWanted = false;
    m_backend = target.backend;
    Q_EMIT openedChanged(true);
}

void Database::close()
{
    const bool wasOpen = isOpen();
    if (m_inTransaction && wasOpen) {
        QString ignored;
        transactionStep(TransactionStep::Rollback, ignored);
    }
    m_inTransaction = false;
    m_unitArmed = false;
    // The statements belong to the connection: they go before it does.
    releaseStatements();
    const bool replaced = wasOpen && fileReplaced();
    bool journalWritten = false;
    if (replaced) {
        // SQLite sees that its path names another file now and, closing, then
        // neither writes its journal into its own file nor removes it: the
        // journal stays at the path, where the next connection would play the
        // replaced file's pages over the file there now. Its pages go into
        // the file they belong to first, through the handle still open on it
        // (the operator may have kept that file under another name). Passive:
        // a reader elsewhere that still needs older pages is not waited for;
        // the journal is kept aside then.
        int framesInJournal = -1;
        int framesWritten = -1;
        if (sqlite3 *handle = sqliteHandle(m_db))
            journalWritten = sqlite3_wal_checkpoint_v2(handle, "main", SQLITE_CHECKPOINT_PASSIVE, &framesInJournal,
                                                       &framesWritten) == SQLITE_OK &&
                             framesWritten == framesInJournal;
    }
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
    if (replaced) {
        m_stalePath = m_sqlitePath;
        m_staleWal = m_walIdentity;
        m_staleShm = m_shmIdentity;
        m_staleWalWritten = journalWritten;
        Q_EMIT notice((QFileInfo::exists(m_sqlitePath)
                           ? QStringLiteral("Database %1: another file is at this path now; it is opened as it is")
                           : QStringLiteral("Database %1: the file is no longer at this path"))
                          .arg(QDir::toNativeSeparators(m_sqlitePath)));
        setStaleJournalAside();
    }
    m_walIdentity = FileIdentity();
    m_shmIdentity = FileIdentity();
    if (wasOpen)
        Q_EMIT openedChanged(false);
}

bool Database::fileReplaced() const
{
    return m_sqliteIdentity.valid && fileIdentity(m_sqlitePath) != m_sqliteIdentity;
}

bool Database::setStaleJournalAside()
{
    const QString wal = walPathOf(m_stalePath);
    const QString shm = shmPathOf(m_stalePath);
    bool clear = true;
    // Only the very files the replaced file's connection used: a journal the
    // operator brought along with the new file belongs to it.
    if (m_staleWal.valid && fileIdentity(wal) == m_staleWal) {
        if (m_staleWalWritten || QFileInfo(wal).size() == 0) {
            clear = QFile::remove(wal);
        } else {
            // Pages of the replaced file that did not reach it: kept, for
            // whoever wants that file back, under a name no connection opens.
            const QString aside = asideName(wal);
            clear = QFile::rename(wal, aside);
            if (clear)
                Q_EMIT notice(QStringLiteral("Database %1: the journal of the file it replaced was moved aside to %2")
                                  .arg(QDir::toNativeSeparators(m_stalePath), QDir::toNativeSeparators(aside)));
        }
    }
    // The index of that journal only: it describes no file that is left.
    if (m_staleShm.valid && fileIdentity(shm) == m_staleShm)
        clear = QFile::remove(shm) && clear;
    if (clear) {
        m_stalePath.clear();
        m_staleWal = FileIdentity();
        m_staleShm = FileIdentity();
    }
    return clear;
}

void Database::closeIfFileReplaced()
{
    if (!isOpen() || m_inTransaction || m_backend == Backend::SqlServerOdbc)
        return;
    // SQLite goes on writing into a deleted or replaced file through its open
    // handle: every ride would be acknowledged and then lost with that file.
    if (fileReplaced()) {
        close();
        return;
    }
    // A connection keeps the access it was opened with: one opened on a
    // read-only file reads only, and one refused by a read-only journal stays
    // refused, however writable the file is made again.
    if (m_reopenWanted) {
        close();
        return;
    }
    sqlite3 *handle = sqliteHandle(m_db);
    if (handle && sqlite3_db_readonly(handle, "main") == 1 && writableNow(m_sqlitePath))
        close();
}

QString Database::translate(const QString &statement) const
{
    if (m_backend == Backend::SqlServerOdbc)
        return statement;
    // Every execution passes here; only a "select" can have the form below,
    // and most statements show at their first letter that they are none. A
    // letter beyond ASCII goes to the expression, which may fold its case.
    for (const QChar c : statement) {
        if (c.isSpace())
            continue;
        if (c.unicode() < 0x80 && c != u's' && c != u'S')
            return statement;
        break;
    }
    static const QRegularExpression top(QStringLiteral("^(\\s*select\\s+)top\\s+(\\d+)\\s+(.*?)\\s*;?\\s*$"),
                                        QRegularExpression::CaseInsensitiveOption |
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = top.match(statement);
    if (!match.hasMatch())
        return statement;
    return match.captured(1) + match.captured(3) + QStringLiteral(" limit ") + match.captured(2);
}

StatementWithValues Database::dialectForm(const QString &statement, const QVariantList &bindings) const
{
    if (m_backend == Backend::SqlServerOdbc)
        return {statement, bindings};
    return parameteriseLiterals(translate(statement), bindings);
}

PreparedStatement *Database::preparedStatement(const QString &statement)
{
    if (m_backend == Backend::SqlServerOdbc || !isOpen())
        return nullptr;
    const auto found = m_preparedIndex.constFind(statement);
    if (found != m_preparedIndex.cend()) {
        m_prepared.splice(m_prepared.begin(), m_prepared, found.value());
        return &m_prepared.front().second;
    }
    std::unique_ptr<SqliteStatement> prepared = SqliteStatement::prepare(sqliteHandle(m_db), statement);
    if (!prepared)
        return nullptr;
    if (m_prepared.size() >= kPreparedStatements) {
        m_preparedIndex.remove(m_prepared.back().first);
        m_prepared.pop_back();
    }
    m_prepared.emplace_front(statement, PreparedStatement{std::move(prepared), nullptr, {}, -1});
    m_preparedIndex.insert(statement, m_prepared.begin());
    return &m_prepared.front().second;
}

void Database::discardPreparedStatement(const QString &statement)
{
    const auto found = m_preparedIndex.constFind(statement);
    if (found == m_preparedIndex.cend())
        return;
    if (found.value()->second.statement->failedReadOnly())
        m_reopenWanted = true;
    m_prepared.erase(found.value());
    m_preparedIndex.erase(found);
}

void Database::releaseStatements()
{
    m_preparedIndex.clear();
    m_prepared.clear();
    for (std::unique_ptr<SqliteStatement> &statement : m_transactionStatements)
        statement.reset();
}

bool Database::transactionStep(TransactionStep step, QString &error)
{
    const int which = int(step);
    std::unique_ptr<SqliteStatement> &kept = m_transactionStatements[which];
    if (!kept && m_backend != Backend::SqlServerOdbc) {
        static const QString texts[] = {QStringLiteral("BEGIN"), QStringLiteral("COMMIT"), QStringLiteral("ROLLBACK")};
        kept = SqliteStatement::prepare(sqliteHandle(m_db), texts[which]);
    }
    if (kept) {
        // Qt's driver words a failure as the database's message followed by
        // what it was doing; the same words come from here.
        static const QString failures[] = {QStringLiteral("Unable to begin transaction"),
                                           QStringLiteral("Unable to commit transaction"),
                                           QStringLiteral("Unable to rollback transaction")};
        const bool ok = kept->execute(failures[which]);
        if (!ok) {
            error = kept->errorText();
            m_reopenWanted = m_reopenWanted || kept->failedReadOnly();
        }
        kept->finish();
        return ok;
    }
    // SQL Server, or a driver without a SQLite handle: Qt's own path.
    bool ok = false;
    switch (step) {
    case TransactionStep::Begin: ok = m_db.transaction(); break;
    case TransactionStep::Commit: ok = m_db.commit(); break;
    case TransactionStep::Rollback: ok = m_db.rollback(); break;
    }
    if (!ok)
        error = m_db.lastError().text();
    return ok;
}

void Database::beginUnit()
{
    m_unitArmed = true;
}

void Database::joinUnit()
{
    if (!m_unitArmed || m_inTransaction)
        return;
    if (!isOpen())
        open();
    QString error;
    if (!transactionStep(TransactionStep::Begin, error))
        throw Failure(QStringLiteral("Database: %1").arg(error));
    m_inTransaction = true;
}

void Database::endUnit(bool commit)
{
    const bool hadTransaction = m_inTransaction;
    m_unitArmed = false;
    m_inTransaction = false;
    if (!hadTransaction || !isOpen())
        return;
    QString error;
    if (!commit) {
        transactionStep(TransactionStep::Rollback, error);
        return;
    }
    // Another file moved over the open one while the packet was stored: its
    // rows went into the file that was replaced, and the booking system must
    // not hear that they are stored (it sends the ride again, into the file
    // at the path now). The look after the commit closes the gap while the
    // commit runs: a file still at its path then held the rows when it was
    // replaced, as every ride before.
    const auto replaced = [this] {
        return Failure(QStringLiteral("Database %1: another file was put at this path while the packet was stored")
                           .arg(QDir::toNativeSeparators(m_sqlitePath)));
    };
    if (fileReplaced()) {
        transactionStep(TransactionStep::Rollback, error);
        throw replaced();
    }
    if (!transactionStep(TransactionStep::Commit, error)) {
        QString ignored;
        transactionStep(TransactionStep::Rollback, ignored);
        throw Failure(QStringLiteral("Database: %1").arg(error));
    }
    if (fileReplaced())
        throw replaced();
}

void Database::testConnection(const std::function<void()> &reportSuccess)
{
    // The test is of the settings as they are now, so an open connection made
    // with earlier settings is closed first; the next user opens it anew.
    close();
    open();
    try {
        if (reportSuccess)
            reportSuccess();
    } catch (...) {
        close();
        throw;
    }
    close();
}

} // namespace velora
