#pragma once

#include "database/DatabaseBackend.h"

#include <QString>
#include <QVariantList>

#include <memory>
#include <vector>

namespace velora {

// A statement prepared on an ODBC connection and run again with new values,
// straight on the driver manager rather than through Qt's ODBC driver. Qt's
// driver copies every text it binds into a buffer of its own, describes every
// column of a result again at each execution and asks each text column's
// length before reading it: with a ride row of about a hundred values that was
// most of the service's own time per packet on a server database. Here a text
// is bound from the QString's own UTF-16 (which is what the driver manager's
// wide characters are), a result's columns are described once per statement,
// and a text column is read in one call where it fits.
//
// Values bind, and columns read, as Qt's driver binds and reads them (the same
// SQL types, so the server sees the same statements; the same QVariant types
// and nulls), and failures read as its messages did ("<the driver's message>
// Unable to execute statement"): what the datasets and the activity log see
// stays the same.
class OdbcStatement {
public:
    // Which result set of an execution the rows come from.
    enum class Rows {
        First,           // the statement's own
        FirstWithColumns // a batch's: the row counts of its inserts come before
    };

    // nullptr with `error` set when the driver refuses the text.
    // `timestampDigits` is the connection's digits of a second's fraction.
    static std::unique_ptr<OdbcStatement> prepare(void *connection, const QString &text, int timestampDigits,
                                                  QString &error);
    // Runs `text` once, unprepared (a session setting).
    static bool executeDirect(void *connection, const QString &text, QString &error);
    // The digits of a second's fraction that the connection's driver keeps
    // in a timestamp (its SQL_TIMESTAMP column size less "yyyy-mm-dd
    // hh:mm:ss."), as Qt's driver asks it; 0 when the driver does not say.
    static int timestampDigits(void *connection);

    ~OdbcStatement();
    OdbcStatement(const OdbcStatement &) = delete;
    OdbcStatement &operator=(const OdbcStatement &) = delete;

    // Binds the values and executes. False with the driver's message.
    bool execute(const QVariantList &values, QString &error);
    // Runs the statement once per row of `rows`, its values bound as arrays
    // in one call (psqlODBC sends the rows to the server as one batch). The
    // values must be integers or texts, a column's all of one kind, nulls
    // included: false with `error` empty, and nothing run, where they are
    // not; false with the driver's message where the execution failed, for
    // any of the rows. The statement is then used for arrays only.
    bool executeRows(const std::vector<QVariantList> &rows, QString &error);
    // Reads every row of the chosen result set into `result`; a statement
    // without one gives no columns. False with the driver's message.
    bool read(Rows which, StatementResult &result, QString &error);
    // Ends the execution: an open cursor is closed on the server now, not at
    // the next execution.
    void finish();

private:
    struct Column {
        short sqlType = 0;
        bool isSigned = true;
    };
    // One bound value's storage, alive until the execution ends.
    union Scalar {
        int integer;
        unsigned int unsignedInteger;
        qint64 bigInteger;
        quint64 unsignedBigInteger;
        double real;
        unsigned char bit;
        unsigned char structure[32]; // a date, time or timestamp
    };
    // How a parameter is bound: while the next value binds the same way,
    // the driver keeps the binding and reads the buffers anew.
    struct Binding {
        short cType = 0;
        short sqlType = 0;
        unsigned long columnSize = 0;
        short digits = 0;
        void *data = nullptr;
        long bufferLength = 0;
        bool operator==(const Binding &) const = default;
    };
    struct Param {
        Scalar scalar{};
        std::vector<char16_t> text; // a text's copy; grows, never shrinks
        long indicator = 0;         // the value's length in bytes, or SQL_NULL_DATA
        Binding binding;
        bool bound = false;
    };
    // One parameter's values for all rows of an array execution.
    struct ColumnArray {
        short cType = 0;
        short sqlType = 0;
        unsigned long columnSize = 0;
        long stride = 0; // bytes per row
        std::vector<char> data;
        std::vector<long> indicators;
    };
    struct Layout {
        ColumnNames names;
        std::vector<Column> columns;
    };

    OdbcStatement(void *statement, int timestampDigits);
    bool bind(int index, const QVariant &value, QString &error);
    // The columns of the current result set (number `resultSet` of the
    // execution), described once and kept: a prepared statement's results
    // keep their layout (a table made anew fails the statement instead).
    const Layout *layout(size_t resultSet, QString &error);
    QVariant value(int column, const Column &kind, QString &error);

    void *m_statement;
    int m_timestampDigits;
    QVariantList m_values; // the values of the execution (binary ones are bound from their own data)
    std::vector<Param> m_params;
    std::vector<ColumnArray> m_arrays;
    std::vector<unsigned short> m_rowStatus;
    unsigned long m_rowsProcessed = 0;
    std::vector<std::unique_ptr<Layout>> m_layouts; // by result set
    bool m_open = false;                            // a cursor may be open
};

} // namespace velora
