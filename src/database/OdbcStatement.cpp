#include "database/OdbcStatement.h"

#include <QByteArray>
#include <QDateTime>

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace velora {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "texts bind from QString's UTF-16 as they are");
static_assert(std::is_same_v<SQLLEN, long>, "the indicators are kept as SQLLEN");

namespace {

// A text column is read into this much room first: nearly every value of the
// dispatch tables fits, and a longer one is read on in further calls.
constexpr int kTextChunk = 512;

// The driver's messages for a handle, as Qt's driver joined them: each
// message once, separated by a space.
QString diagnostics(SQLSMALLINT handleType, SQLHANDLE handle)
{
    QString result;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[SQL_SQLSTATE_SIZE + 1];
        SQLINTEGER native = 0;
        SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH];
        SQLSMALLINT length = 0;
        const SQLRETURN r = SQLGetDiagRecW(handleType, handle, record, state, &native, message,
                                           SQLSMALLINT(std::size(message)), &length);
        if (!SQL_SUCCEEDED(r))
            break;
        const QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(message),
                                                std::min<qsizetype>(length, std::size(message) - 1));
        if (text.isEmpty() || result.contains(text))
            continue;
        if (!result.isEmpty())
            result += u' ';
        result += text;
    }
    return result;
}

QString failureText(SQLHANDLE statement, const char *what)
{
    const QString database = diagnostics(SQL_HANDLE_STMT, statement);
    const QString driver = QString::fromLatin1(what);
    return database.isEmpty() ? driver : database + u' ' + driver;
}

const SQLWCHAR *wide(const QString &text)
{
    return reinterpret_cast<const SQLWCHAR *>(text.utf16());
}

// The SQL type a text of `bytes` UTF-16 bytes binds as, as Qt's driver bound
// it: the long form past 254 bytes.
short textSqlType(SQLLEN bytes)
{
    return short(bytes > 254 ? SQL_WLONGVARCHAR : SQL_WVARCHAR);
}

// A null of the type Qt's driver gives for the column.
QVariant nullOf(QMetaType::Type type)
{
    return QVariant(QMetaType(type));
}

// A new statement handle on the connection; null with the driver's message.
SQLHANDLE allocateStatement(void *connection, QString &error)
{
    SQLHANDLE statement = SQL_NULL_HANDLE;
    if (connection && SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement)))
        return statement;
    error = connection ? diagnostics(SQL_HANDLE_DBC, connection) : QString();
    if (error.isEmpty())
        error = QStringLiteral("Unable to allocate statement handle");
    return SQL_NULL_HANDLE;
}

} // namespace

OdbcStatement::OdbcStatement(void *statement, int timestampDigits)
    : m_statement(statement), m_timestampDigits(timestampDigits)
{
}

OdbcStatement::~OdbcStatement()
{
    SQLFreeHandle(SQL_HANDLE_STMT, m_statement);
}

std::unique_ptr<OdbcStatement> OdbcStatement::prepare(void *connection, const QString &text, int timestampDigits,
                                                      QString &error)
{
    SQLHANDLE statement = allocateStatement(connection, error);
    if (!statement)
        return nullptr;
    std::unique_ptr<OdbcStatement> prepared(new OdbcStatement(statement, timestampDigits));
    // Every result is read once, front to back.
    SQLSetStmtAttr(statement, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY),
                   SQL_IS_UINTEGER);
    const SQLRETURN r = SQLPrepareW(statement, const_cast<SQLWCHAR *>(wide(text)), SQLINTEGER(text.size()));
    if (!SQL_SUCCEEDED(r)) {
        error = failureText(statement, "Unable to prepare statement");
        return nullptr;
    }
    return prepared;
}

bool OdbcStatement::executeDirect(void *connection, const QString &text, QString &error)
{
    SQLHANDLE statement = allocateStatement(connection, error);
    if (!statement)
        return false;
    const SQLRETURN r = SQLExecDirectW(statement, const_cast<SQLWCHAR *>(wide(text)), SQLINTEGER(text.size()));
    const bool ok = SQL_SUCCEEDED(r) || r == SQL_NO_DATA;
    if (!ok)
        error = failureText(statement, "Unable to execute statement");
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return ok;
}

int OdbcStatement::timestampDigits(void *connection)
{
    SQLHANDLE statement = SQL_NULL_HANDLE;
    if (!connection || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement)))
        return 0;
    SQLINTEGER columnSize = 0;
    bool known = false;
    if (SQL_SUCCEEDED(SQLGetTypeInfo(statement, SQL_TIMESTAMP)) && SQL_SUCCEEDED(SQLFetch(statement)))
        known = SQLGetData(statement, 3, SQL_C_SLONG, &columnSize, sizeof columnSize, nullptr) == SQL_SUCCESS;
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    // 20 is "yyyy-mm-dd hh:mm:ss" and the period before the fraction.
    return known ? std::max(0, int(columnSize) - 20) : 0;
}

void OdbcStatement::finish()
{
    if (m_open)
        SQLFreeStmt(m_statement, SQL_CLOSE);
    m_open = false;
    // Binary values were bound from their own data; the driver has them
    // no more once the execution ended.
    m_values.clear();
}

bool OdbcStatement::execute(const QVariantList &values, QString &error)
{
    finish();
    m_values = values;
    if (m_params.size() != size_t(values.size())) {
        // Sized once: the driver keeps the addresses of the buffers.
        m_params.assign(size_t(values.size()), Param{});
        SQLFreeStmt(m_statement, SQL_RESET_PARAMS);
    }
    for (qsizetype i = 0; i < m_values.size(); ++i)
        if (!bind(int(i), m_values.at(i), error))
            return false;
    const SQLRETURN r = SQLExecute(m_statement);
    m_open = true;
    if (!SQL_SUCCEEDED(r) && r != SQL_NO_DATA) {
        error = failureText(m_statement, "Unable to execute statement");
        return false;
    }
    return true;
}

bool OdbcStatement::executeRows(const std::vector<QVariantList> &rows, QString &error)
{
    finish();
    error.clear();
    const size_t count = rows.size();
    const qsizetype width = count ? rows.front().size() : 0;
    std::vector<ColumnArray> arrays(static_cast<size_t>(width));
    for (qsizetype c = 0; c < width; ++c) {
        ColumnArray &column = arrays[size_t(c)];
        const int kind = rows.front().at(c).typeId();
        qsizetype longest = 0;
        for (const QVariantList &row : rows) {
            if (row.size() != width || row.at(c).typeId() != kind)
                return false;
            if (kind == QMetaType::QString)
                longest = std::max(longest, static_cast<const QString *>(row.at(c).constData())->size());
        }
        column.indicators.resize(count);
        switch (kind) {
        case QMetaType::Int:
        case QMetaType::LongLong: {
            const bool big = kind == QMetaType::LongLong;
            column.cType = big ? SQL_C_SBIGINT : SQL_C_SLONG;
            column.sqlType = big ? SQL_BIGINT : SQL_INTEGER;
            column.stride = big ? sizeof(qint64) : sizeof(int);
            column.data.resize(count * size_t(column.stride));
            for (size_t r = 0; r < count; ++r) {
                const QVariant &value = rows[r].at(c);
                char *slot = column.data.data() + r * size_t(column.stride);
                if (big) {
                    const qint64 number = value.toLongLong();
                    std::memcpy(slot, &number, sizeof number);
                } else {
                    const int number = value.toInt();
                    std::memcpy(slot, &number, sizeof number);
                }
                column.indicators[r] = value.isNull() ? SQL_NULL_DATA : column.stride;
            }
            break;
        }
        case QMetaType::QString: {
            // As a single text binds (bind()): wide characters, the long
            // form past 254 bytes.
            const SQLLEN bytes = SQLLEN(longest) * SQLLEN(sizeof(SQLWCHAR));
            column.cType = SQL_C_WCHAR;
            column.sqlType = textSqlType(bytes);
            column.columnSize = SQLULEN(std::max<qsizetype>(longest, 1));
            column.stride = bytes + SQLLEN(sizeof(SQLWCHAR));
            column.data.assign(count * size_t(column.stride), 0);
            for (size_t r = 0; r < count; ++r) {
                const QVariant &value = rows[r].at(c);
                const QString &text = *static_cast<const QString *>(value.constData());
                const SQLLEN length = SQLLEN(text.size()) * SQLLEN(sizeof(SQLWCHAR));
                if (length > 0)
                    std::memcpy(column.data.data() + r * size_t(column.stride), text.constData(), size_t(length));
                column.indicators[r] = value.isNull() ? SQL_NULL_DATA : length;
            }
            break;
        }
        default: return false;
        }
    }
    // The single-value bindings are gone with these; the statement is kept
    // for arrays only (OdbcSession keeps it apart).
    m_params.clear();
    m_arrays = std::move(arrays);
    m_rowStatus.assign(count, 0);
    m_rowsProcessed = 0;
    SQLFreeStmt(m_statement, SQL_RESET_PARAMS);
    // A driver that takes no arrays of parameters refuses one of these: the
    // rows are then run one by one (false with `error` empty), never only
    // the first of them.
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(m_statement, SQL_ATTR_PARAM_BIND_TYPE,
                                      reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0)) ||
        !SQL_SUCCEEDED(
            SQLSetStmtAttr(m_statement, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(count)), 0)) ||
        !SQL_SUCCEEDED(SQLSetStmtAttr(m_statement, SQL_ATTR_PARAM_STATUS_PTR, m_rowStatus.data(), 0)) ||
        !SQL_SUCCEEDED(SQLSetStmtAttr(m_statement, SQL_ATTR_PARAMS_PROCESSED_PTR, &m_rowsProcessed, 0)))
        return false;
    for (size_t c = 0; c < m_arrays.size(); ++c) {
        ColumnArray &column = m_arrays[c];
        if (!SQL_SUCCEEDED(SQLBindParameter(m_statement, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, column.cType,
                                            column.sqlType, column.columnSize, 0, column.data.data(), column.stride,
                                            column.indicators.data()))) {
            error = failureText(m_statement, "Unable to bind variable");
            return false;
        }
    }
    SQLRETURN r = SQLExecute(m_statement);
    m_open = true;
    bool ok = SQL_SUCCEEDED(r) || r == SQL_NO_DATA;
    // The results of the rows after the first: a driver may report a later
    // row's failure only there.
    while (ok) {
        r = SQLMoreResults(m_statement);
        if (r == SQL_NO_DATA)
            break;
        ok = SQL_SUCCEEDED(r);
    }
    if (ok && m_rowsProcessed != count)
        ok = false;
    for (size_t i = 0; ok && i < count; ++i)
        ok = m_rowStatus[i] == SQL_PARAM_SUCCESS || m_rowStatus[i] == SQL_PARAM_SUCCESS_WITH_INFO ||
             m_rowStatus[i] == SQL_PARAM_DIAG_UNAVAILABLE;
    if (!ok) {
        error = failureText(m_statement, "Unable to execute statement");
        return false;
    }
    return true;
}

bool OdbcStatement::bind(int index, const QVariant &value, QString &error)
{
    Param &param = m_params[size_t(index)];
    Scalar &scalar = param.scalar;
    const bool isNull = value.isNull();
    // What the driver is told of the value; `data` points into `param`, or
    // at the bytes of a value kept in m_values.
    Binding wanted;
    SQLLEN length = 0;
    const auto fixed = [&](short cType, short sqlType, void *data, SQLLEN size) {
        wanted = {cType, sqlType, 0, 0, data, 0};
        length = size;
    };
    switch (value.typeId()) {
    case QMetaType::QString: {
        // Copied into a buffer of the parameter's own, which stays bound
        // while the texts fit: a ride row binds some hundred values per
        // execution, and binding each again was a large part of the
        // driver's time per packet.
        const QString &text = *static_cast<const QString *>(value.constData());
        const SQLLEN bytes = SQLLEN(text.size()) * SQLLEN(sizeof(SQLWCHAR));
        if (param.text.size() < size_t(text.size()) || param.text.empty())
            param.text.resize(std::max<size_t>({size_t(text.size()), 2 * param.text.size(), 16}));
        if (bytes > 0)
            std::memcpy(param.text.data(), text.constData(), size_t(bytes));
        const SQLLEN capacity = SQLLEN(param.text.size() * sizeof(SQLWCHAR));
        wanted = {SQL_C_WCHAR, textSqlType(bytes), SQLULEN(capacity), 0, param.text.data(), capacity};
        length = bytes;
        break;
    }
    case QMetaType::Int:
        scalar.integer = value.toInt();
        fixed(SQL_C_SLONG, SQL_INTEGER, &scalar.integer, sizeof scalar.integer);
        break;
    case QMetaType::UInt:
        scalar.unsignedInteger = value.toUInt();
        fixed(SQL_C_ULONG, SQL_NUMERIC, &scalar.unsignedInteger, sizeof scalar.unsignedInteger);
        wanted.columnSize = 15;
        break;
    case QMetaType::LongLong:
        scalar.bigInteger = value.toLongLong();
        fixed(SQL_C_SBIGINT, SQL_BIGINT, &scalar.bigInteger, sizeof scalar.bigInteger);
        break;
    case QMetaType::ULongLong:
        scalar.unsignedBigInteger = value.toULongLong();
        fixed(SQL_C_UBIGINT, SQL_BIGINT, &scalar.unsignedBigInteger, sizeof scalar.unsignedBigInteger);
        break;
    case QMetaType::Double:
        scalar.real = value.toDouble();
        fixed(SQL_C_DOUBLE, SQL_DOUBLE, &scalar.real, sizeof scalar.real);
        break;
    case QMetaType::Bool:
        scalar.bit = value.toBool() ? 1 : 0;
        fixed(SQL_C_BIT, SQL_BIT, &scalar.bit, sizeof scalar.bit);
        break;
    case QMetaType::QDate: {
        static_assert(sizeof(SQL_DATE_STRUCT) <= sizeof(Scalar::structure));
        auto *date = reinterpret_cast<SQL_DATE_STRUCT *>(scalar.structure);
        const QDate d = value.toDate();
        *date = {SQLSMALLINT(d.year()), SQLUSMALLINT(d.month()), SQLUSMALLINT(d.day())};
        fixed(SQL_C_DATE, SQL_DATE, date, sizeof *date);
        break;
    }
    case QMetaType::QTime: {
        static_assert(sizeof(SQL_TIME_STRUCT) <= sizeof(Scalar::structure));
        auto *time = reinterpret_cast<SQL_TIME_STRUCT *>(scalar.structure);
        const QTime t = value.toTime();
        *time = {SQLUSMALLINT(t.hour()), SQLUSMALLINT(t.minute()), SQLUSMALLINT(t.second())};
        fixed(SQL_C_TIME, SQL_TIME, time, sizeof *time);
        break;
    }
    case QMetaType::QDateTime: {
        static_assert(sizeof(SQL_TIMESTAMP_STRUCT) <= sizeof(Scalar::structure));
        auto *stamp = reinterpret_cast<SQL_TIMESTAMP_STRUCT *>(scalar.structure);
        const QDateTime moment = value.toDateTime();
        const QDate d = moment.date();
        const QTime t = moment.time();
        // The fraction keeps as many digits as the server's timestamps do,
        // milliseconds at most, as Qt's driver sent it.
        SQLUINTEGER fraction = 0;
        if (m_timestampDigits > 0) {
            fraction = SQLUINTEGER(t.msec()) * 1000000u;
            SQLUINTEGER keep = 1;
            for (int digit = std::min(9, m_timestampDigits); digit < 9; ++digit)
                keep *= 10;
            fraction = fraction / keep * keep;
        }
        *stamp = {SQLSMALLINT(d.year()),
                  SQLUSMALLINT(d.month()),
                  SQLUSMALLINT(d.day()),
                  SQLUSMALLINT(t.hour()),
                  SQLUSMALLINT(t.minute()),
                  SQLUSMALLINT(t.second()),
                  fraction};
        fixed(SQL_C_TIMESTAMP, SQL_TIMESTAMP, stamp, sizeof *stamp);
        wanted.columnSize = SQLULEN(m_timestampDigits > 0 ? 20 + m_timestampDigits : 19);
        wanted.digits = short(m_timestampDigits);
        break;
    }
    case QMetaType::QByteArray: {
        const QByteArray &bytes = *static_cast<const QByteArray *>(value.constData());
        wanted = {
            SQL_C_BINARY,        SQL_LONGVARBINARY, SQLULEN(bytes.size()), 0, const_cast<char *>(bytes.constData()),
            SQLLEN(bytes.size())};
        length = SQLLEN(bytes.size());
        break;
    }
    default: {
        // Any other value goes as the bytes of its text form, as a
        // variable-length binary, as Qt's driver sent it.
        m_values[index] = value.toByteArray();
        const QByteArray &bytes = *static_cast<const QByteArray *>(m_values.at(index).constData());
        wanted = {SQL_C_BINARY,
                  SQL_VARBINARY,
                  SQLULEN(bytes.size() + 1),
                  0,
                  const_cast<char *>(bytes.constData()),
                  SQLLEN(bytes.size() + 1)};
        length = SQLLEN(bytes.size());
        break;
    }
    }
    param.indicator = isNull ? SQL_NULL_DATA : length;
    if (param.bound && param.binding == wanted)
        return true;
    const SQLRETURN r =
        SQLBindParameter(m_statement, SQLUSMALLINT(index + 1), SQL_PARAM_INPUT, wanted.cType, wanted.sqlType,
                         wanted.columnSize, wanted.digits, wanted.data, wanted.bufferLength, &param.indicator);
    param.bound = SQL_SUCCEEDED(r);
    param.binding = wanted;
    if (!param.bound) {
        error = failureText(m_statement, "Unable to bind variable");
        return false;
    }
    return true;
}

const OdbcStatement::Layout *OdbcStatement::layout(size_t resultSet, QString &error)
{
    SQLSMALLINT count = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(m_statement, &count))) {
        error = failureText(m_statement, "Unable to count the result's columns");
        return nullptr;
    }
    if (resultSet < m_layouts.size() && m_layouts[resultSet] && m_layouts[resultSet]->columns.size() == size_t(count))
        return m_layouts[resultSet].get();
    auto made = std::make_unique<Layout>();
    auto names = std::make_shared<QStringList>();
    names->reserve(count);
    made->columns.reserve(size_t(count));
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLWCHAR name[256];
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT scale = 0;
        SQLSMALLINT nullable = 0;
        if (!SQL_SUCCEEDED(SQLDescribeColW(m_statement, SQLUSMALLINT(i), name, SQLSMALLINT(std::size(name)),
                                           &nameLength, &type, &size, &scale, &nullable))) {
            error = failureText(m_statement, "Unable to describe column");
            return nullptr;
        }
        SQLLEN isUnsigned = SQL_FALSE;
        SQLColAttributeW(m_statement, SQLUSMALLINT(i), SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned);
        *names << QString::fromUtf16(reinterpret_cast<const char16_t *>(name),
                                     std::min<qsizetype>(nameLength, std::size(name) - 1));
        made->columns.push_back({type, isUnsigned == SQL_FALSE});
    }
    made->names = std::move(names);
    if (m_layouts.size() <= resultSet)
        m_layouts.resize(resultSet + 1);
    m_layouts[resultSet] = std::move(made);
    return m_layouts[resultSet].get();
}

bool OdbcStatement::read(Rows which, StatementResult &result, QString &error)
{
    size_t resultSet = 0;
    const Layout *columns = layout(resultSet, error);
    while (columns && columns->columns.empty() && which == Rows::FirstWithColumns) {
        const SQLRETURN more = SQLMoreResults(m_statement);
        if (more == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(more)) {
            error = failureText(m_statement, "Unable to read the next result");
            return false;
        }
        columns = layout(++resultSet, error);
    }
    if (!columns)
        return false;
    result.columns = columns->names;
    if (columns->columns.empty())
        return true;
    const int count = int(columns->columns.size());
    for (;;) {
        const SQLRETURN fetched = SQLFetch(m_statement);
        if (fetched == SQL_NO_DATA)
            return true;
        if (!SQL_SUCCEEDED(fetched)) {
            error = failureText(m_statement, "Unable to fetch next");
            return false;
        }
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i) {
            QString failed;
            row << value(i, columns->columns[size_t(i)], failed);
            if (!failed.isEmpty()) {
                error = failed;
                return false;
            }
        }
        result.rows.push_back(std::move(row));
    }
}

QVariant OdbcStatement::value(int column, const Column &kind, QString &error)
{
    const SQLUSMALLINT number = SQLUSMALLINT(column + 1);
    SQLLEN indicator = 0;
    const auto got = [&](SQLRETURN r) {
        if (SQL_SUCCEEDED(r))
            return true;
        error = failureText(m_statement, "Unable to read a column");
        return false;
    };
    switch (kind.sqlType) {
    case SQL_DECIMAL:
    case SQL_NUMERIC:
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: {
        // Qt's driver read decimals as doubles (its default precision policy).
        SQLDOUBLE real = 0;
        if (!got(SQLGetData(m_statement, number, SQL_C_DOUBLE, &real, 0, &indicator)))
            return {};
        return indicator == SQL_NULL_DATA ? nullOf(QMetaType::Double) : QVariant(double(real));
    }
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIT:
    case SQL_TINYINT: {
        const bool isSigned = kind.isSigned && kind.sqlType != SQL_TINYINT;
        SQLINTEGER integer = 0;
        if (!got(SQLGetData(m_statement, number, isSigned ? SQL_C_SLONG : SQL_C_ULONG, &integer, sizeof integer,
                            &indicator)))
            return {};
        if (indicator == SQL_NULL_DATA)
            return nullOf(isSigned ? QMetaType::Int : QMetaType::UInt);
        return isSigned ? QVariant(int(integer)) : QVariant(uint(integer));
    }
    case SQL_BIGINT: {
        SQLBIGINT integer = 0;
        if (!got(SQLGetData(m_statement, number, kind.isSigned ? SQL_C_SBIGINT : SQL_C_UBIGINT, &integer,
                            sizeof integer, &indicator)))
            return {};
        if (indicator == SQL_NULL_DATA)
            return nullOf(kind.isSigned ? QMetaType::LongLong : QMetaType::ULongLong);
        return kind.isSigned ? QVariant(qint64(integer)) : QVariant(quint64(integer));
    }
    case SQL_DATE:
    case SQL_TYPE_DATE: {
        SQL_DATE_STRUCT date{};
        if (!got(SQLGetData(m_statement, number, SQL_C_DATE, &date, sizeof date, &indicator)))
            return {};
        return indicator == SQL_NULL_DATA ? nullOf(QMetaType::QDate) : QVariant(QDate(date.year, date.month, date.day));
    }
    case SQL_TIME:
    case SQL_TYPE_TIME: {
        SQL_TIME_STRUCT time{};
        if (!got(SQLGetData(m_statement, number, SQL_C_TIME, &time, sizeof time, &indicator)))
            return {};
        return indicator == SQL_NULL_DATA ? nullOf(QMetaType::QTime)
                                          : QVariant(QTime(time.hour, time.minute, time.second));
    }
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT stamp{};
        if (!got(SQLGetData(m_statement, number, SQL_C_TIMESTAMP, &stamp, sizeof stamp, &indicator)))
            return {};
        if (indicator == SQL_NULL_DATA)
            return nullOf(QMetaType::QDateTime);
        return QDateTime(QDate(stamp.year, stamp.month, stamp.day),
                         QTime(stamp.hour, stamp.minute, stamp.second, int(stamp.fraction / 1000000)));
    }
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_GUID: {
        // An empty text reads as a null QString in a valid variant, as Qt's
        // driver read it; a NULL as a null variant of QString.
        QString text;
        SQLWCHAR chunk[kTextChunk];
        for (;;) {
            const SQLRETURN r = SQLGetData(m_statement, number, SQL_C_WCHAR, chunk, sizeof chunk, &indicator);
            if (r == SQL_NO_DATA)
                break;
            if (!got(r))
                return {};
            if (indicator == SQL_NULL_DATA)
                return nullOf(QMetaType::QString);
            // Cut short: the chunk is full but for its terminator, and the
            // rest comes with the next call.
            const qsizetype whole = std::size(chunk) - 1;
            const qsizetype length =
                r == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator >= SQLLEN(sizeof chunk))
                    ? whole
                    : qsizetype(indicator / SQLLEN(sizeof(SQLWCHAR)));
            text.append(reinterpret_cast<const QChar *>(chunk), std::min(length, whole));
            if (r == SQL_SUCCESS || length < whole)
                break;
        }
        return text;
    }
    default: {
        QByteArray bytes;
        char chunk[4096];
        for (;;) {
            const SQLRETURN r = SQLGetData(m_statement, number, SQL_C_BINARY, chunk, sizeof chunk, &indicator);
            if (r == SQL_NO_DATA)
                break;
            if (!got(r))
                return {};
            if (indicator == SQL_NULL_DATA)
                return nullOf(QMetaType::QByteArray);
            const qsizetype length = (indicator == SQL_NO_TOTAL || indicator > SQLLEN(sizeof chunk))
                                         ? qsizetype(sizeof chunk)
                                         : qsizetype(indicator);
            bytes.append(chunk, length);
            if (r == SQL_SUCCESS)
                break;
        }
        return bytes;
    }
    }
}

} // namespace velora
