#include "database/Database.h"

#include "database/OdbcBackend.h"
#include "database/SqliteBackend.h"
#include "shell/Failure.h"
#include "shell/Settings.h"

#include <QDir>
#include <QRegularExpression>

#include <utility>

namespace velora {

namespace {

const QString kEmbeddedFileName = QStringLiteral("VeloraRBS.db");

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

} // namespace

bool isOdbc(Backend backend)
{
    return backend == Backend::SqlServerOdbc || backend == Backend::OdbcDataSource;
}

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

    const QString database = settings.text(Setting::xLoginDatabase);
    const QString user = settings.text(Setting::xLoginSQL);
    const QString password = settings.text(Setting::xPaswoordSQL);

    if (trimmed.startsWith(QLatin1String("dsn:"), Qt::CaseInsensitive)) {
        // The operator's odbc.ini says where the server is and which driver
        // reaches it; the database is the data source's own.
        const QString name = trimmed.mid(4).trimmed();
        static const QRegularExpression unusable(QStringLiteral("[;{}=\\[\\]]"));
        target.backend = Backend::OdbcDataSource;
        if (name.isEmpty())
            target.refusal = QStringLiteral("no data source name after \"dsn:\"");
        else if (name.contains(unusable))
            target.refusal = QStringLiteral("a data source name holds none of ; { } = [ ]");
        auto build = [&](const QString &shownPassword) {
            return QStringLiteral("DSN=") + name + QStringLiteral(";UID=") + odbcValue(user) + QStringLiteral(";PWD=") +
                   shownPassword + u';';
        };
        target.odbcConnectString = build(odbcValue(password));
        target.displayText = build(QStringLiteral("***"));
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
      m_sqlite(std::make_unique<SqliteBackend>([this](const QString &text) { Q_EMIT notice(text); })),
      m_odbc(std::make_unique<OdbcBackend>(QStringLiteral("ADO-%1").arg(reinterpret_cast<quintptr>(this), 0, 16))),
      m_active(m_sqlite.get())
{
}

Database::~Database()
{
    close();
}

bool Database::isOpen() const
{
    return m_active->isOpen();
}

void Database::open()
{
    if (isOpen())
        return;
    // An armed unit stays armed: the intake arms it before the packet's first
    // dataset opens the connection.
    if (m_inTransaction)
        loseGroup();
    m_inTransaction = false;
    m_rowsForCommit.clear();

    const ConnectionTarget target = connectionTargetFor(m_settings, m_programFolder);
    const QString password = m_settings.text(Setting::xPaswoordSQL);
    const bool server = isOdbc(target.backend);
    DatabaseBackend &backend = server ? static_cast<DatabaseBackend &>(*m_odbc) : *m_sqlite;
    // While a server is down, every packet would try to connect again: the
    // attempts are spaced out, and the packets between them are refused at
    // once with the last failure. Other settings are tried at once.
    if (server && target.displayText == m_failedTarget && Clock::now() < m_nextOpenAttempt)
        throw Failure(m_lastOpenFailure);
    try {
        backend.open(target, m_timeouts);
    } catch (const Failure &failure) {
        // Driver messages may echo the connection text; the password never leaves here.
        QString message = QStringLiteral("Database %1: %2").arg(target.displayText, failure.message().trimmed());
        if (!password.isEmpty())
            message.replace(password, QStringLiteral("***"));
        if (server) {
            using namespace std::chrono_literals;
            m_openBackoff = m_failedTarget == target.displayText
                                ? std::min<std::chrono::milliseconds>(std::max(m_openBackoff * 2, 50ms), 2000ms)
                                : 50ms;
            m_failedTarget = target.displayText;
            m_lastOpenFailure = message;
            m_nextOpenAttempt = Clock::now() + m_openBackoff;
        }
        throw Failure(message);
    }
    m_failedTarget.clear();
    m_openBackoff = std::chrono::milliseconds(0);
    m_active = &backend;
    m_backend = target.backend;
    m_sqlitePath = isOdbc(target.backend) ? QString() : target.sqlitePath;
    // Every new connection asks at once, so that a packet that reopens the
    // connection after an outage is stored when this machine serves. Failing
    // to ask leaves the connection open without the lock; the next tick asks.
    m_serviceLock = false;
    try {
        takeServiceLock();
    } catch (const Failure &) {
    }
    Q_EMIT openedChanged(true);
}

bool Database::takeServiceLock()
{
    if (!isOpen())
        return false;
    if (m_serviceLock)
        return true;
    QString error;
    m_serviceLock = m_active->tryTakeServiceLock(error);
    if (!m_serviceLock && !error.isEmpty())
        throw Failure(QStringLiteral("Database: %1").arg(error.trimmed()));
    return m_serviceLock;
}

void Database::checkConnection()
{
    if (!isOpen() || m_inTransaction || m_backend == Backend::EmbeddedSqlite || m_backend == Backend::SqliteFile)
        return;
    StatementResult ignored;
    QString error;
    if (m_active->execute(QStringLiteral("select 1"), {}, ignored, error)) {
        // The lock has a session of its own; when that one is gone, so is
        // the lock, and the next tick asks for it again.
        if (m_serviceLock && !m_active->checkServiceLock(error))
            m_serviceLock = false;
        return;
    }
    // Whatever made the simplest statement fail, the session may be gone and
    // the service lock with it: the next connection asks for it again.
    close();
    throw Failure(QStringLiteral("Database: %1").arg(error.trimmed()));
}

void Database::close()
{
    const bool wasOpen = isOpen();
    if (m_inTransaction && wasOpen) {
        QString ignored;
        m_active->transaction(DatabaseBackend::Step::Rollback, ignored);
    }
    if (m_inTransaction)
        loseGroup();
    m_inTransaction = false;
    m_rowsForCommit.clear();
    m_unitArmed = false;
    m_unitJoined = false;
    m_unitGrouped = false;
    m_unitBeganTransaction = false;
    m_serviceLock = false;
    m_active->close();
    if (wasOpen)
        Q_EMIT openedChanged(false);
}

void Database::closeIfFileReplaced()
{
    if (isOpen() && !m_inTransaction && m_active->wantsReopen())
        close();
}

void Database::beginUnit()
{
    m_unitArmed = true;
    m_unitGrouped = false;
    m_unitJoined = false;
    m_unitRedoable = true;
    m_unitHasSavepoint = false;
}

void Database::beginGroupedUnit()
{
    beginUnit();
    m_unitGrouped = true;
}

void Database::joinUnit()
{
    if (!m_unitArmed || m_unitJoined)
        return;
    // A unit that cannot be handled again must not be undone by another
    // unit's kept row failing later: they are written before it writes. If
    // one fails, the units that kept them are handled again after this one,
    // which begins a transaction of its own.
    if (m_inTransaction && !m_unitRedoable && !m_rowsForCommit.empty()) {
        writeRowsKeptForCommit();
        if (m_groupBroken)
            throw Failure(m_groupFailure);
    }
    if (!m_inTransaction) {
        if (!isOpen())
            open();
        // A machine that does not hold the service lock serves no booking
        // system: the other one of the pair does, and the packet is refused.
        // The lock goes only with the connection, which ends a group's
        // transaction as well.
        if (!m_serviceLock)
            throw Failure(QStringLiteral("Database: stand-by, the other machine of the pair serves this database"));
        QString error;
        if (!m_active->transaction(DatabaseBackend::Step::Begin, error))
            throw Failure(QStringLiteral("Database: %1").arg(error));
        m_inTransaction = true;
        m_groupTransaction = m_unitGrouped;
        ++m_transactionSerial;
        // Behind a lock another application keeps, units fail one after
        // another: each would have the units before it handled again.
        m_transactionRedoable = m_unitGrouped && m_active->savepointsCostRoundTrips() && !m_savepointsUntilCommit &&
                                !m_active->locksContended();
        // The first unit of a group is undone with the transaction, which
        // holds nothing else yet: no savepoint (a round trip to a server).
        m_unitBeganTransaction = true;
    } else {
        m_unitBeganTransaction = false;
    }
    if (m_unitGrouped && !m_unitBeganTransaction && !m_transactionRedoable) {
        runSavepoint(DatabaseBackend::SavepointStep::Set);
        m_unitHasSavepoint = true;
    }
    m_unitJoined = true;
    limitUnitWaits();
}

void Database::limitUnitWaits()
{
    using namespace std::chrono_literals;
    if (m_replyDue == Clock::time_point::max())
        return;
    // Behind a lock another application keeps, every packet would wait the
    // session's whole lock bound in turn; each waits only for its own time
    // left, so that the packets behind the first are not held for long.
    auto remaining = std::max<std::chrono::milliseconds>(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_replyDue - Clock::now()), 50ms);
    // The packets read while one waited for such a lock look fresh (the
    // wait held the event thread, so they were read only after it): as long
    // as no unit has got through since a lock bound ran out, each waits only
    // briefly, so that the booking systems behind the first are not told
    // "NC" one full lock bound after another.
    if (m_active->locksContended())
        remaining = std::min<std::chrono::milliseconds>(remaining, 100ms);
    if (remaining < std::chrono::seconds(m_timeouts.serverStatementSeconds)) {
        QString error;
        if (!m_active->limitWaits(remaining, error))
            throw Failure(QStringLiteral("Database: %1").arg(error));
    }
}

void Database::runSavepoint(DatabaseBackend::SavepointStep step)
{
    const QString statement = m_active->savepointStatement(step);
    if (statement.isEmpty())
        return;
    StatementResult ignored;
    QString error;
    if (!m_active->execute(statement, {}, ignored, error))
        throw Failure(QStringLiteral("Database: %1").arg(error));
}

void Database::endUnit(bool commit)
{
    const bool joined = std::exchange(m_unitJoined, false);
    const bool grouped = std::exchange(m_unitGrouped, false);
    m_unitArmed = false;
    if (grouped) {
        if (!joined || !m_inTransaction)
            return;
        if (!isOpen()) {
            // The connection ended under the unit (the server closed it):
            // the units kept before it went with the transaction.
            loseGroup();
            return;
        }
        if (commit && !m_unitRedoable)
            m_transactionRedoable = false;
        if (std::exchange(m_unitBeganTransaction, false)) {
            if (commit)
                return;
            // Nothing but this unit in the transaction: undone with it, and
            // the group's next unit begins a transaction of its own.
            QString ignored;
            m_inTransaction = false;
            m_groupTransaction = false;
            m_rowsForCommit.clear();
            m_active->transaction(DatabaseBackend::Step::Rollback, ignored);
            return;
        }
        if (!commit && !m_unitHasSavepoint) {
            undoTransactionForRedo();
            return;
        }
        try {
            if (commit) {
                if (m_unitHasSavepoint)
                    runSavepoint(DatabaseBackend::SavepointStep::Release);
                return;
            }
            runSavepoint(DatabaseBackend::SavepointStep::RollbackTo);
            runSavepoint(DatabaseBackend::SavepointStep::Release);
        } catch (const Failure &failure) {
            // The unit cannot be told apart from the others any more: the
            // group ends without storing anything.
            m_groupBroken = true;
            m_groupFailure = failure.message();
            throw;
        }
        return;
    }

    m_unitBeganTransaction = false;
    const bool hadTransaction = m_inTransaction;
    m_inTransaction = false;
    if (!hadTransaction || !isOpen()) {
        m_rowsForCommit.clear();
        return;
    }
    QString error;
    if (!commit) {
        m_rowsForCommit.clear();
        m_active->transaction(DatabaseBackend::Step::Rollback, error);
        return;
    }
    commitTransaction();
}

void Database::commitGroup()
{
    const bool hadTransaction = std::exchange(m_inTransaction, false);
    const bool broken = std::exchange(m_groupBroken, false);
    m_groupTransaction = false;
    if (broken) {
        m_rowsForCommit.clear();
        // Units begun on a new connection after the old one was lost are
        // undone as well: the whole group is refused, none of it stored.
        if (hadTransaction && isOpen()) {
            QString ignored;
            m_active->transaction(DatabaseBackend::Step::Rollback, ignored);
        }
        throw Failure(std::exchange(m_groupFailure, {}));
    }
    if (!hadTransaction)
        return;
    if (!isOpen())
        throw Failure(QStringLiteral("Database: the connection ended before the packets were stored"));
    commitTransaction();
    m_savepointsUntilCommit = false;
}

void Database::undoTransactionForRedo()
{
    // The units before this one are undone with it; their packets are
    // handled again from the start, while this one's failure stands.
    m_inTransaction = false;
    m_groupTransaction = false;
    m_savepointsUntilCommit = true;
    m_rowsForCommit.clear();
    QString error;
    if (!m_active->transaction(DatabaseBackend::Step::Rollback, error) || !isOpen()) {
        // Gone with the connection: nothing of the group is left to build
        // on, and the whole group is refused, as when a savepoint's rollback
        // fails.
        m_groupBroken = true;
        m_groupFailure = error.isEmpty()
                             ? QStringLiteral("Database: the connection ended before the packets were stored")
                             : QStringLiteral("Database: %1").arg(error);
        throw Failure(m_groupFailure);
    }
    m_undoneTransaction = m_transactionSerial;
}

bool Database::keepRowForCommit(const QString &statement, const QVariantList &values)
{
    if (!m_unitJoined || !m_inTransaction || !m_groupTransaction || !m_transactionRedoable || !m_unitRedoable)
        return false;
    m_rowsForCommit.push_back({statement, values});
    return true;
}

void Database::writeRowsKeptForCommit()
{
    if (m_rowsForCommit.empty())
        return;
    QString error;
    if (writeRows(std::exchange(m_rowsForCommit, {}), error))
        return;
    if (m_transactionRedoable) {
        try {
            undoTransactionForRedo();
        } catch (const Failure &) {
            // The group is broken: commitGroup() refuses it.
        }
        return;
    }
    // A unit that cannot be handled again shares the transaction (its
    // packet waited for the distance service after writing): nothing of it
    // can be kept apart, and the whole group is refused.
    m_groupBroken = true;
    m_groupFailure = QStringLiteral("Database: %1").arg(error);
}

bool Database::writeRows(std::vector<KeptRow> rows, QString &error)
{
    std::vector<QVariantList> batch;
    for (size_t first = 0; first < rows.size();) {
        size_t end = first;
        batch.clear();
        while (end < rows.size() && rows[end].statement == rows[first].statement)
            batch.push_back(std::move(rows[end++].values));
        if (!m_active->executeRows(rows[first].statement, batch, error))
            return false;
        first = end;
    }
    return true;
}

void Database::loseGroup()
{
    if (!m_groupTransaction || m_groupBroken)
        return;
    m_groupBroken = true;
    m_groupFailure = QStringLiteral("Database: the connection ended before the packets were stored");
}

void Database::commitTransaction()
{
    QString error;
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
    if (m_active->fileReplaced()) {
        m_active->transaction(DatabaseBackend::Step::Rollback, error);
        throw replaced();
    }
    // Rows still kept here could not be written while their packets could
    // be handled again: a failure refuses everything the transaction holds.
    if (!writeRows(std::exchange(m_rowsForCommit, {}), error)) {
        QString ignored;
        m_active->transaction(DatabaseBackend::Step::Rollback, ignored);
        throw Failure(QStringLiteral("Database: %1").arg(error));
    }
    if (!m_active->transaction(DatabaseBackend::Step::Commit, error)) {
        QString ignored;
        m_active->transaction(DatabaseBackend::Step::Rollback, ignored);
        throw Failure(QStringLiteral("Database: %1").arg(error));
    }
    if (m_active->fileReplaced())
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
