#pragma once

#include "database/DatabaseBackend.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <memory>
#include <vector>

namespace velora {

class Database;
struct ColumnDefinition;

// Result layout: column names as the database gives them, looked up by their
// lower-case form (and by the exact spelling of the first of a name), with
// the schema's definition where one exists. Shared by every result with the
// same columns.
struct ResultLayout {
    QStringList columns;
    QHash<QString, int> index;
    std::vector<const ColumnDefinition *> definitions;
    // Column names written in the code as literals, by the address and length
    // of their text (see Dataset::columnIndex).
    mutable QHash<std::pair<const QChar *, qsizetype>, int> literalIndex;
};

// A named query object on the shared connection with the row semantics the
// link relies on: open a statement, read the rows, append or edit one row, set
// columns and post. Text that came from the network never enters the statement
// text: it goes in as a bound value for a "?" placeholder.
class Dataset {
public:
    // table: the table that post() writes into; keyColumn its identity column.
    Dataset(Database &database, QString name, QString table, QString keyColumn, bool joinsUnit);
    virtual ~Dataset();

    const QString &name() const { return m_name; }

    void setStatement(const QString &statement, const QVariantList &bindings = {});
    const QString &statement() const { return m_statement; }

    // Opens the connection first when it is closed. Throws Failure.
    void open();
    // Discards a row that was appended or edited and not posted.
    void close();
    bool isOpen() const { return m_open; }

    int rowCount() const;
    bool isEmpty() const { return rowCount() == 0; }
    // Moves the current row (0-based); after open() it is the first.
    void setCurrentRow(int row);

    // Columns of the current row, or of the row being filled after append()/edit().
    // Column names are matched without regard to letter case.
    QVariant value(const QString &column) const;
    bool isNull(const QString &column) const;
    QString text(const QString &column) const;       // null gives ""
    qint32 integer(const QString &column) const;     // null gives 0
    double number(const QString &column) const;      // null gives 0
    QDateTime dateTime(const QString &column) const; // null gives the zero date-time

    // append(): a new row, not yet stored; the new-row hook runs at once.
    void append();
    // edit(): the current row into edit mode; on an empty result it appends.
    void edit();
    bool isFilling() const { return m_mode != Mode::Browse; }
    void setValue(const QString &column, const QVariant &value);

    // Runs the before-post hook now, so that a caller can write other rows
    // between the hook and the store; post() then does not run it again.
    void prepare();
    // Stores the appended row (insert of the columns set) or the changed columns
    // of the edited row. Texts are cut to their column size and decimals rounded
    // to their scale by the schema. An appended row then holds in its key
    // column the id its own insert produced. Throws Failure; the row stays
    // unposted then.
    void post();

    std::function<void(Dataset &)> onNewRow;
    std::function<void(Dataset &)> beforePost;

private:
    enum class Mode {
        Browse,
        Appending,
        Editing
    };
    int columnIndex(const QString &column) const; // throws Failure for an unknown column
    const QVariantList &currentValues() const;    // throws Failure without a current row
    void startFilling(Mode mode, QVariantList values);
    void store();
    struct StoreStatement;
    const StoreStatement &storeStatement();
    std::shared_ptr<const ResultLayout> layoutFor(const ColumnNames &columns);

    Database &m_database;
    QString m_name;
    QString m_table;
    QString m_keyColumn;
    bool m_joinsUnit;
    QString m_statement;
    QVariantList m_bindings;
    bool m_open = false;
    std::shared_ptr<const ResultLayout> m_layout; // set while open
    std::vector<QVariantList> m_rows;
    int m_current = 0;
    Mode m_mode = Mode::Browse;
    QVariantList m_filling;        // the row being appended or edited
    std::vector<int> m_changed;    // columns set on it, in the order first set
    std::vector<bool> m_isChanged; // per column: in m_changed (a row sets about a hundred)
    bool m_prepared = false;
    // The INSERT or UPDATE text of a post, with the column definitions its
    // values are stored by, per set of columns: rows of a dataset are mostly
    // posted with the same columns, and the text names up to a hundred.
    std::vector<std::unique_ptr<StoreStatement>> m_storeStatements; // most recent last
    // The layouts of the last few column sets this dataset read, most recent
    // last: working one out for the hundred columns of planning costs more
    // than reading a row.
    std::vector<std::pair<ColumnNames, std::shared_ptr<const ResultLayout>>> m_layouts;
};

// ADOCommand: statements without a result.
class Command {
public:
    Command(Database &database, bool joinsUnit);
    // Throws Failure with the database layer's message.
    void execute(const QString &statement, const QVariantList &bindings = {});
    // An INSERT of a row that nothing in the service reads back: inside a
    // unit it may be written with the unit's commit instead of now
    // (Database::keepRowForCommit), together with other units' rows. Throws
    // Failure as execute() does for what is written now; a kept row's
    // failure is the group's.
    void insertWithCommit(const QString &statement, const QVariantList &bindings);

private:
    void run(const QString &statement, const QVariantList &bindings, bool mayWaitForCommit);

    Database &m_database;
    bool m_joinsUnit;
};

} // namespace velora
