#include "database/SqliteStatement.h"

#include <QDateTime>
#include <QTime>
#include <QUuid>

#include <sqlite3.h>

#include <cstring>

namespace velora {

namespace {

// A value binds as NULL exactly when Qt's driver would bind it so: a null
// variant, or a null text, byte array, date, time or id inside one.
bool isNullValue(const QVariant &value)
{
    if (value.isNull())
        return true;
    switch (value.typeId()) {
    case QMetaType::QString: return static_cast<const QString *>(value.constData())->isNull();
    case QMetaType::QByteArray: return static_cast<const QByteArray *>(value.constData())->isNull();
    case QMetaType::QDateTime: return static_cast<const QDateTime *>(value.constData())->isNull();
    case QMetaType::QDate: return static_cast<const QDate *>(value.constData())->isNull();
    case QMetaType::QTime: return static_cast<const QTime *>(value.constData())->isNull();
    case QMetaType::QUuid: return static_cast<const QUuid *>(value.constData())->isNull();
    default: return false;
    }
}

int bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    // Nearly every value is short ASCII: it is narrowed on the stack instead
    // of through a QByteArray of its own (an allocation and a free for each
    // of the hundred values of a ride row).
    constexpr qsizetype kStackText = 256;
    if (text.size() <= kStackText) {
        char narrow[kStackText];
        const QChar *wide = text.constData();
        qsizetype i = 0;
        for (; i < text.size() && wide[i].unicode() < 0x80; ++i)
            narrow[i] = char(wide[i].unicode());
        if (i == text.size())
            return sqlite3_bind_text(statement, index, narrow, int(i), SQLITE_TRANSIENT);
    }
    const QByteArray utf8 = text.toUtf8();
    return sqlite3_bind_text(statement, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

} // namespace

std::unique_ptr<SqliteStatement> SqliteStatement::prepare(sqlite3 *connection, const QString &text, QString &error)
{
    if (!connection) {
        error = QStringLiteral("Driver not loaded");
        return nullptr;
    }
    const QByteArray utf8 = text.toUtf8();
    sqlite3_stmt *statement = nullptr;
    const char *tail = nullptr;
    // PERSISTENT: the statement lives as long as the connection keeps it, so
    // SQLite takes its memory from the heap rather than the lookaside pool.
    const int result = sqlite3_prepare_v3(connection, utf8.constData(), int(utf8.size()), SQLITE_PREPARE_PERSISTENT,
                                          &statement, &tail);
    // The words Qt's driver used for the same refusals.
    const auto refuse = [&](const char *what) {
        const QString database = QString::fromUtf8(sqlite3_errmsg(connection));
        const QString driver = QString::fromLatin1(what);
        error = database.isEmpty() ? driver : database + u' ' + driver;
        sqlite3_finalize(statement);
        return nullptr;
    };
    if (result != SQLITE_OK || !statement)
        return refuse("Unable to execute statement");
    // One statement per text: the rest would silently not run.
    if (tail && !QByteArray(tail).trimmed().isEmpty())
        return refuse("Unable to execute multiple statements at a time");
    return std::unique_ptr<SqliteStatement>(new SqliteStatement(connection, statement));
}

SqliteStatement::SqliteStatement(sqlite3 *connection, sqlite3_stmt *statement)
    : m_connection(connection), m_statement(statement)
{
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

void SqliteStatement::failWith(const QString &what)
{
    // Qt's form: the database's message, then what the driver was doing.
    const QString database = QString::fromUtf8(sqlite3_errmsg(m_connection));
    m_error = database.isEmpty() ? what : database + u' ' + what;
}

bool SqliteStatement::bind(int index, const QVariant &value)
{
    if (isNullValue(value))
        return sqlite3_bind_null(m_statement, index) == SQLITE_OK;
    int result = SQLITE_OK;
    switch (value.typeId()) {
    case QMetaType::QByteArray: {
        const QByteArray *bytes = static_cast<const QByteArray *>(value.constData());
        result = sqlite3_bind_blob(m_statement, index, bytes->constData(), int(bytes->size()), SQLITE_TRANSIENT);
        break;
    }
    case QMetaType::Int:
    case QMetaType::Bool: result = sqlite3_bind_int(m_statement, index, value.toInt()); break;
    case QMetaType::Double: result = sqlite3_bind_double(m_statement, index, value.toDouble()); break;
    case QMetaType::UInt:
    case QMetaType::LongLong: result = sqlite3_bind_int64(m_statement, index, value.toLongLong()); break;
    case QMetaType::QDateTime:
        result = bindText(m_statement, index, value.toDateTime().toString(Qt::ISODateWithMs));
        break;
    case QMetaType::QTime:
        result = bindText(m_statement, index, value.toTime().toString(QStringLiteral("hh:mm:ss.zzz")));
        break;
    case QMetaType::QString:
        result = bindText(m_statement, index, *static_cast<const QString *>(value.constData()));
        break;
    default: result = bindText(m_statement, index, value.toString()); break;
    }
    return result == SQLITE_OK;
}

bool SqliteStatement::execute(const QVariantList &values)
{
    m_error.clear();
    m_failure = 0;
    m_rowPending = false;
    m_active = false;
    sqlite3_reset(m_statement);
    if (sqlite3_bind_parameter_count(m_statement) != values.size()) {
        m_error = QStringLiteral("Parameter count mismatch");
        return false;
    }
    for (qsizetype i = 0; i < values.size(); ++i)
        if (!bind(int(i) + 1, values.at(i))) {
            failWith(QStringLiteral("Unable to bind parameters"));
            sqlite3_clear_bindings(m_statement);
            return false;
        }
    return step(QStringLiteral("Unable to fetch row"));
}

bool SqliteStatement::execute(const QString &whatFailed)
{
    m_error.clear();
    m_failure = 0;
    m_rowPending = false;
    m_active = false;
    sqlite3_reset(m_statement);
    return step(whatFailed);
}

bool SqliteStatement::step(const QString &whatFailed)
{
    // sqlite3_step() waits out a locked file for the busy time-out set on the
    // connection, as Qt's driver does.
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW) {
        m_rowPending = true;
    } else if (result != SQLITE_DONE) {
        const int primary = result & 0xff;
        m_failure = result;
        // After a generic error or a constraint the specific message appears
        // once the statement is reset; a busy file's message is there at once.
        if (primary == SQLITE_ERROR || primary == SQLITE_CONSTRAINT) {
            sqlite3_reset(m_statement);
            failWith(whatFailed);
        } else {
            failWith(whatFailed);
            sqlite3_reset(m_statement);
        }
        sqlite3_clear_bindings(m_statement);
        return false;
    }
    // Done at once: no rows, and another step would run the statement again.
    m_active = m_rowPending;
    return true;
}

bool SqliteStatement::failedReadOnly() const
{
    return (m_failure & 0xff) == SQLITE_READONLY;
}

bool SqliteStatement::next()
{
    if (!m_active)
        return false;
    if (m_rowPending) {
        m_rowPending = false;
        return true;
    }
    if (sqlite3_step(m_statement) == SQLITE_ROW)
        return true;
    // The end, or a failure partway: Qt's driver ends the rows there too.
    sqlite3_reset(m_statement);
    m_active = false;
    return false;
}

int SqliteStatement::columnCount() const
{
    return sqlite3_column_count(m_statement);
}

const char *SqliteStatement::columnName(int column) const
{
    const char *name = sqlite3_column_name(m_statement, column);
    return name ? name : "";
}

QVariant SqliteStatement::value(int column) const
{
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_INTEGER: return QVariant(qint64(sqlite3_column_int64(m_statement, column)));
    case SQLITE_FLOAT: return QVariant(sqlite3_column_double(m_statement, column));
    // A null reads as a null text, as Qt's driver gives it.
    case SQLITE_NULL: return QVariant(QMetaType::fromType<QString>());
    case SQLITE_BLOB: {
        const char *bytes = static_cast<const char *>(sqlite3_column_blob(m_statement, column));
        return QByteArray(bytes, sqlite3_column_bytes(m_statement, column));
    }
    default: {
        const char *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        return QString::fromUtf8(text, sqlite3_column_bytes(m_statement, column));
    }
    }
}

int SqliteStatement::reprepareCount() const
{
    return sqlite3_stmt_status(m_statement, SQLITE_STMTSTATUS_REPREPARE, 0);
}

QVariant SqliteStatement::lastInsertId() const
{
    const sqlite3_int64 id = sqlite3_last_insert_rowid(m_connection);
    return id ? QVariant(qint64(id)) : QVariant();
}

void SqliteStatement::finish()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    m_rowPending = false;
    m_active = false;
}

} // namespace velora
