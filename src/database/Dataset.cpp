#include "database/Dataset.h"

#include "database/Database.h"
#include "database/Schema.h"
#include "shell/DateTimes.h"
#include "shell/Failure.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <cstring>
#include <optional>

namespace velora {

namespace {

// A value bound for a "?" in the form the backend stores it: the embedded
// database keeps date-times as text.
QVariant boundValue(Backend backend, const QVariant &value)
{
    if (backend != Backend::SqlServerOdbc && value.typeId() == QMetaType::QDateTime && !value.isNull())
        return dateTimeToStoredText(value.toDateTime());
    return value;
}

// ODBC needs to know the type of a null it binds.
QVariant typedNull(const ColumnDefinition *column)
{
    if (!column)
        return QVariant(QMetaType::fromType<QString>());
    switch (column->type) {
    case ColumnType::Identity:
    case ColumnType::Integer: return QVariant(QMetaType::fromType<int>());
    case ColumnType::Decimal: return QVariant(QMetaType::fromType<double>());
    case ColumnType::DateTime: return QVariant(QMetaType::fromType<QDateTime>());
    case ColumnType::Text:
    case ColumnType::LongText: return QVariant(QMetaType::fromType<QString>());
    }
    return QVariant();
}

std::shared_ptr<const ResultLayout> layoutOf(const QStringList &columns)
{
    auto layout = std::make_shared<ResultLayout>();
    const int count = int(columns.size());
    layout->columns = columns;
    layout->definitions.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString &column = columns.at(i);
        const QString lower = column.toLower();
        if (!layout->index.contains(lower)) { // the first of a repeated name wins
            layout->index.insert(lower, i);
            // Callers mostly spell a name as the database does; that spelling
            // then finds the column without a lower-case copy.
            layout->index.insert(column, i);
        }
        layout->definitions.push_back(findAnyColumn(column));
    }
    return layout;
}

// One execution of a statement: on the statement the connection keeps when it
// keeps one (SQLite), else on a QSqlQuery of its own (SQL Server, or a text
// SQLite does not prepare, whose error Qt then words).
class Execution {
public:
    Execution(Database &database, const QString &name, const QString &statement, const QVariantList &bindings)
        : Execution(database, name, database.dialectForm(statement, bindings))
    {
    }
    // `form` is the statement as the backend prepares it (Database::dialectForm).
    Execution(Database &database, const QString &name, StatementWithValues form)
    {
        m_kept = database.preparedStatement(form.text);
        if (m_kept) {
            for (QVariant &value : form.bindings)
                if (value.typeId() == QMetaType::QDateTime)
                    value = boundValue(database.backend(), value);
            if (m_kept->statement->execute(form.bindings))
                return;
            const QString error = m_kept->statement->errorText().trimmed();
            // Prepared afresh next time, as after a failure through Qt.
            database.discardPreparedStatement(form.text);
            m_kept = nullptr;
            throw Failure(QStringLiteral("%1: %2").arg(name, error));
        }
        m_own.emplace(database.connection());
        m_own->setForwardOnly(true);
        bool ok = m_own->prepare(form.text);
        if (ok) {
            for (qsizetype i = 0; i < form.bindings.size(); ++i)
                m_own->bindValue(int(i), boundValue(database.backend(), form.bindings[i]));
            ok = m_own->exec();
        }
        if (!ok)
            throw Failure(QStringLiteral("%1: %2").arg(name, m_own->lastError().text().trimmed()));
    }
    ~Execution()
    {
        if (m_kept)
            m_kept->statement->finish();
    }
    Execution(const Execution &) = delete;
    Execution &operator=(const Execution &) = delete;

    // The columns of the result. A kept statement keeps its layout while
    // SQLite names the same columns: another program may change a table while
    // the statement is kept, and SQLite then prepares it again ("select *"
    // gives other columns).
    std::shared_ptr<const ResultLayout> layout()
    {
        if (!m_kept) {
            const QSqlRecord record = m_own->record();
            QStringList columns;
            columns.reserve(record.count());
            for (int i = 0; i < record.count(); ++i)
                columns << record.fieldName(i);
            return layoutOf(columns);
        }
        const SqliteStatement &statement = *m_kept->statement;
        const int reprepares = statement.reprepareCount();
        if (m_kept->layout && reprepares == m_kept->layoutReprepares)
            return m_kept->layout;
        m_kept->layoutReprepares = reprepares;
        const int count = statement.columnCount();
        std::vector<QByteArray> &names = m_kept->layoutNames;
        bool same = m_kept->layout && names.size() == size_t(count);
        for (int i = 0; same && i < count; ++i)
            same = std::strcmp(names[i].constData(), statement.columnName(i)) == 0;
        if (same)
            return m_kept->layout;
        names.clear();
        QStringList columns;
        columns.reserve(count);
        for (int i = 0; i < count; ++i) {
            names.emplace_back(statement.columnName(i));
            // Qt's driver names a column without the quotes of a quoted name.
            columns << QString::fromUtf8(names.back()).remove(u'"');
        }
        m_kept->layout = layoutOf(columns);
        return m_kept->layout;
    }
    bool next() { return m_kept ? m_kept->statement->next() : m_own->next(); }
    QVariant value(int column) const { return m_kept ? m_kept->statement->value(column) : m_own->value(column); }
    QVariant lastInsertId() const { return m_kept ? m_kept->statement->lastInsertId() : m_own->lastInsertId(); }
    // The first value of the first result set of a batch that also holds
    // statements without one (an insert's row count, a trigger's): invalid
    // when no result set comes.
    QVariant firstResultValue()
    {
        if (m_kept)
            return m_kept->statement->next() ? m_kept->statement->value(0) : QVariant();
        while (!m_own->isSelect())
            if (!m_own->nextResult())
                return QVariant();
        return m_own->next() ? m_own->value(0) : QVariant();
    }

private:
    std::optional<QSqlQuery> m_own; // only when the statement is not kept
    PreparedStatement *m_kept = nullptr;
};

} // namespace

Dataset::Dataset(Database &database, QString name, QString table, QString keyColumn, bool joinsUnit)
    : m_database(database), m_name(std::move(name)), m_table(std::move(table)), m_keyColumn(std::move(keyColumn)),
      m_joinsUnit(joinsUnit)
{
}

void Dataset::setStatement(const QString &statement, const QVariantList &bindings)
{
    m_statement = statement;
    m_bindings = bindings;
}

void Dataset::open()
{
    close();
    if (!m_database.isOpen())
        m_database.open();

    Execution run(m_database, m_name, m_statement, m_bindings);

    // Everything is read at once: a forward-only ODBC result cannot move back,
    // and the statement's locks end here rather than at close().
    m_layout = run.layout();
    const int count = int(m_layout->columns.size());
    const std::vector<const ColumnDefinition *> &definitions = m_layout->definitions;
    while (run.next()) {
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i) {
            const QVariant value = run.value(i);
            row << (definitions[i] ? columnValue(*definitions[i], value) : value);
        }
        m_rows.push_back(std::move(row));
    }
    m_current = 0;
    m_open = true;
}

void Dataset::close()
{
    m_open = false;
    m_layout.reset();
    m_rows.clear();
    m_current = 0;
    m_mode = Mode::Browse;
    m_filling.clear();
    m_changed.clear();
    m_prepared = false;
}

int Dataset::rowCount() const
{
    return m_open ? static_cast<int>(m_rows.size()) : 0;
}

void Dataset::setCurrentRow(int row)
{
    if (row < 0 || row >= rowCount())
        throw Failure(QStringLiteral("%1: row %2 does not exist").arg(m_name).arg(row));
    m_current = row;
}

int Dataset::columnIndex(const QString &column) const
{
    if (!m_open)
        throw Failure(QStringLiteral("%1: the dataset is closed").arg(m_name));
    const QHash<QString, int> &index = m_layout->index;
    auto found = index.constFind(column);
    if (found == index.cend())
        found = index.constFind(column.toLower());
    if (found == index.cend())
        throw Failure(QStringLiteral("%1: column %2 does not exist").arg(m_name, column));
    return found.value();
}

const QVariantList &Dataset::currentValues() const
{
    if (m_current < 0 || m_current >= rowCount())
        throw Failure(QStringLiteral("%1: no current row").arg(m_name));
    return m_rows[m_current];
}

QVariant Dataset::value(const QString &column) const
{
    const int index = columnIndex(column);
    return isFilling() ? m_filling.at(index) : currentValues().at(index);
}

bool Dataset::isNull(const QString &column) const
{
    return value(column).isNull();
}

QString Dataset::text(const QString &column) const
{
    const QVariant v = value(column);
    if (v.isNull())
        return QString();
    if (v.typeId() == QMetaType::QDateTime)
        return dateTimeToStoredText(v.toDateTime());
    return v.toString();
}

qint32 Dataset::integer(const QString &column) const
{
    const QVariant v = value(column);
    return v.isNull() ? 0 : v.toInt();
}

double Dataset::number(const QString &column) const
{
    const QVariant v = value(column);
    return v.isNull() ? 0.0 : v.toDouble();
}

QDateTime Dataset::dateTime(const QString &column) const
{
    const QVariant v = value(column);
    if (v.isNull())
        return zeroDateTime();
    QDateTime result;
    if (v.typeId() == QMetaType::QString)
        result = dateTimeFromStoredText(v.toString());
    else if (v.typeId() == QMetaType::QDateTime)
        result = wallClock(v.toDateTime().date(), v.toDateTime().time());
    return result.isValid() ? result : zeroDateTime();
}

void Dataset::startFilling(Mode mode, QVariantList values)
{
    if (!m_open)
        throw Failure(QStringLiteral("%1: the dataset is closed").arg(m_name));
    m_mode = mode;
    m_filling = std::move(values);
    m_changed.clear();
    m_prepared = false;
}

void Dataset::append()
{
    if (isFilling())
        throw Failure(QStringLiteral("%1: the previous row was not posted").arg(m_name));
    QVariantList empty;
    empty.resize(m_layout->columns.size());
    startFilling(Mode::Appending, std::move(empty));
    if (onNewRow)
        onNewRow(*this);
}

void Dataset::edit()
{
    if (isFilling())
        return;
    if (rowCount() == 0) {
        append();
        return;
    }
    startFilling(Mode::Editing, currentValues());
}

void Dataset::setValue(const QString &column, const QVariant &value)
{
    const int index = columnIndex(column);
    if (!isFilling())
        throw Failure(QStringLiteral("%1: no row is being appended or edited").arg(m_name));
    m_filling[index] = value;
    if (std::find(m_changed.begin(), m_changed.end(), index) == m_changed.end())
        m_changed.push_back(index);
}

void Dataset::prepare()
{
    if (!isFilling() || m_prepared)
        return;
    if (beforePost)
        beforePost(*this);
    m_prepared = true;
}

void Dataset::post()
{
    if (!isFilling())
        return;
    if (!m_prepared && beforePost)
        beforePost(*this);
    // The hook has run (it may have waited for the distance service): only now
    // does the packet's transaction start, so no write lock was held meanwhile.
    if (m_joinsUnit)
        m_database.joinUnit();
    if (!m_database.isOpen())
        m_database.open();
    store();
}

struct Dataset::StoreStatement {
    Backend backend;
    Mode mode;
    std::shared_ptr<const ResultLayout> layout; // the column indexes below are of this layout
    std::vector<int> changed;                   // in the order the values bind
    std::vector<const ColumnDefinition *> definitions;
    QString text;
    // The text is already in the form the backend prepares (it holds no
    // literal and nothing to translate), so it skips the dialect layer.
    bool dialectForm = false;
    // An insert on SQL Server that also selects the key it produced.
    bool selectsKey = false;
};

Dataset::~Dataset() = default;

const Dataset::StoreStatement &Dataset::storeStatement(Backend backend)
{
    for (auto it = m_storeStatements.rbegin(); it != m_storeStatements.rend(); ++it) {
        const StoreStatement &entry = **it;
        if (entry.backend == backend && entry.mode == m_mode && entry.layout == m_layout && entry.changed == m_changed)
            return entry;
    }
    // A handful of column sets per dataset; one that keeps changing does not grow this.
    constexpr size_t kKept = 8;
    if (m_storeStatements.size() >= kKept)
        m_storeStatements.erase(m_storeStatements.begin());

    auto entry = std::make_unique<StoreStatement>();
    entry->backend = backend;
    entry->mode = m_mode;
    entry->layout = m_layout;
    entry->changed = m_changed;
    const TableDefinition *table = findTable(m_table);
    QStringList columns;
    for (const int index : m_changed) {
        const QString &column = m_layout->columns.at(index);
        const ColumnDefinition *definition = table ? findColumn(*table, column) : nullptr;
        entry->definitions.push_back(definition ? definition : m_layout->definitions[index]);
        columns << column;
    }
    qsizetype placeholders = columns.size();
    if (m_mode == Mode::Appending) {
        if (columns.isEmpty()) {
            entry->text = QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(m_table);
        } else {
            const QString marks = QStringList(QVector<QString>(columns.size(), QStringLiteral("?"))).join(u',');
            entry->text = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                              .arg(m_table, columns.join(QStringLiteral(", ")), marks);
        }
        // The key of the new row comes back from the insert's own batch: the
        // ODBC driver's last insert id asks the server in a statement of its
        // own for @@IDENTITY, which names a row a trigger inserted, or none.
        // SCOPE_IDENTITY() in the same batch is the row this insert made.
        if (backend == Backend::SqlServerOdbc && !m_keyColumn.isEmpty()) {
            entry->text += QStringLiteral("; SELECT CAST(SCOPE_IDENTITY() AS INT)");
            entry->selectsKey = true;
        }
    } else if (!columns.isEmpty()) {
        QStringList assignments;
        for (const QString &column : columns)
            assignments << column + QStringLiteral("=?");
        entry->text = QStringLiteral("UPDATE %1 SET %2 WHERE %3=?")
                          .arg(m_table, assignments.join(QStringLiteral(", ")), m_keyColumn);
        ++placeholders;
    }
    const StatementWithValues form = m_database.dialectForm(entry->text, QVariantList(placeholders));
    entry->dialectForm = form.text == entry->text && form.bindings.size() == placeholders;
    m_storeStatements.push_back(std::move(entry));
    return *m_storeStatements.back();
}

void Dataset::store()
{
    const Backend backend = m_database.backend();
    if (m_mode == Mode::Editing && m_changed.empty()) {
        m_mode = Mode::Browse;
        m_prepared = false;
        return;
    }
    const StoreStatement &statement = storeStatement(backend);

    QVariantList values;
    values.reserve(qsizetype(m_changed.size()) + 1);
    QVariantList kept = m_filling; // the row as it is held after storing
    for (size_t i = 0; i < m_changed.size(); ++i) {
        const int index = m_changed[i];
        const ColumnDefinition *definition = statement.definitions[i];
        QVariant v = m_filling.at(index);
        if (definition) {
            kept[index] = columnValue(*definition, v);
            // The stored form is the held value, with a date-time as its text
            // (as storedValue() gives it, without normalizing twice).
            if (v.isNull())
                v = typedNull(definition);
            else if (backend != Backend::SqlServerOdbc && definition->type == ColumnType::DateTime &&
                     kept[index].typeId() == QMetaType::QDateTime)
                v = dateTimeToStoredText(kept[index].toDateTime());
            else
                v = kept[index];
        } else {
            v = boundValue(backend, v);
        }
        values << v;
    }

    if (m_mode == Mode::Editing) {
        const QVariant key = currentValues().at(columnIndex(m_keyColumn));
        if (key.isNull())
            throw Failure(QStringLiteral("%1: the row has no %2").arg(m_name, m_keyColumn));
        values << key;
    }

    QVariant id;
    {
        std::optional<Execution> run;
        if (statement.dialectForm)
            run.emplace(m_database, m_name, StatementWithValues{statement.text, std::move(values)});
        else
            run.emplace(m_database, m_name, statement.text, values);
        if (m_mode == Mode::Appending)
            id = statement.selectsKey ? run->firstResultValue() : run->lastInsertId();
    }

    if (m_mode == Mode::Appending) {
        const auto keyIndex = m_layout->index.constFind(m_keyColumn.toLower());
        if (keyIndex != m_layout->index.cend()) {
            // A row without its key would have its transaction row name another
            // ride; the failure rolls the packet's unit back instead.
            if (!id.isValid() || id.isNull())
                throw Failure(QStringLiteral("%1: the database gave no %2 for the new row").arg(m_name, m_keyColumn));
            kept[keyIndex.value()] = id.toInt();
        }
        m_rows.push_back(std::move(kept));
        m_current = static_cast<int>(m_rows.size()) - 1;
    } else {
        m_rows[m_current] = std::move(kept);
    }
    m_mode = Mode::Browse;
    m_filling.clear();
    m_changed.clear();
    m_prepared = false;
}

Command::Command(Database &database, bool joinsUnit) : m_database(database), m_joinsUnit(joinsUnit) {}

void Command::execute(const QString &statement, const QVariantList &bindings)
{
    if (!m_database.isOpen())
        m_database.open();
    if (m_joinsUnit)
        m_database.joinUnit();
    Execution run(m_database, QStringLiteral("ADOCommand"), statement, bindings);
}

} // namespace velora
