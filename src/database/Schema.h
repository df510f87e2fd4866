#pragma once

#include <QString>
#include <QVariant>

#include <span>

namespace velora {

enum class ColumnType {
    Identity,
    Integer,
    Text,
    LongText,
    Decimal,
    DateTime
};

struct ColumnDefinition {
    const char *name;
    ColumnType type;
    int size = 0;  // characters of a text, digits of a decimal
    int scale = 0; // digits after the point of a decimal
};

struct TableDefinition {
    const char *name;
    std::span<const ColumnDefinition> columns;
};

// An index the dispatch database has for a lookup the service makes; the
// embedded database gets the same, so that a lookup by marker or by external
// number does not scan a table that grows with every ride.
struct IndexDefinition {
    const char *name;
    const char *table;
    const char *columns; // as they stand between the parentheses
};

// The five tables the service touches, with every column it reads or writes.
// One description serves to create the embedded tables and to store values as
// the dispatch database would (texts cut to size, decimals rounded to scale).
std::span<const TableDefinition> dispatchTables();
std::span<const IndexDefinition> dispatchIndexes();
const TableDefinition *findTable(const QString &name); // case-insensitive
const ColumnDefinition *findColumn(const TableDefinition &table, const QString &column);
// The definition of a column of any of the five tables (names carry a table
// prefix, so they are unique); nullptr for a column the service does not know.
const ColumnDefinition *findAnyColumn(const QString &column);

// The value as the service holds it for the column: a text cut to its size in
// the single-byte code page, a decimal rounded to its scale, a date-time as a
// wall-clock QDateTime (from the stored text as well).
QVariant columnValue(const ColumnDefinition &column, const QVariant &value);

// The value as the column stores it: a text cut to its size, a decimal rounded
// to its scale, a date-time in the stored text form of the embedded database.
QVariant storedValue(const ColumnDefinition &column, const QVariant &value);

// The SQL forms of the databases the service stores into.
enum class SqlDialect {
    Sqlite,
    SqlServer,
    PostgreSql
};

// The statements that create a table and an index of the description in the
// database's own types. Names stay unquoted: the statements of the service
// name tables and columns unquoted as well, so a server that folds their case
// (PostgreSQL to lower case) folds both alike.
QString createTableStatement(const TableDefinition &table, SqlDialect dialect);
QString createIndexStatement(const IndexDefinition &index, SqlDialect dialect);

// Date-times in the embedded database: "yyyy-MM-dd hh:mm:ss.zzz".
QString dateTimeToStoredText(const QDateTime &value);
QDateTime dateTimeFromStoredText(const QString &text);

} // namespace velora
