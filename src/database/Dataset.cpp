#include "database/Dataset.h"

#include "database/Database.h"
#include "database/Schema.h"
#include "shell/DateTimes.h"
#include "shell/Failure.h"

#include <QScopeGuard>

namespace velora {

namespace {

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

// The values for the placeholders in the form the backend binds them.
QVariantList boundValues(const DatabaseBackend &backend, const QVariantList &bindings)
{
    QVariantList values = bindings;
    for (QVariant &value : values)
        value = backend.boundValue(value);
    return values;
}

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

    DatabaseBackend &backend = m_database.connection();
    StatementResult result;
    QString error;
    if (!backend.execute(backend.translate(m_statement), boundValues(backend, m_bindings), result, error))
        throw Failure(QStringLiteral("%1: %2").arg(m_name, error.trimmed()));

    // Everything is read at once: a forward-only ODBC result cannot move back,
    // and the statement's locks end here rather than at close().
    m_layout = layoutFor(result.columns);
    m_rows = std::move(result.rows);
    const std::vector<const ColumnDefinition *> &definitions = m_layout->definitions;
    const int count = int(definitions.size());
    for (QVariantList &row : m_rows)
        for (int i = 0; i < count; ++i)
            if (definitions[i])
                row[i] = columnValue(*definitions[i], row[i]);
    m_current = 0;
    m_open = true;
}

std::shared_ptr<const ResultLayout> Dataset::layoutFor(const ColumnNames &columns)
{
    for (auto it = m_layouts.rbegin(); it != m_layouts.rend(); ++it)
        if (it->first == columns || *it->first == *columns)
            return it->second;
    // A handful of statements per dataset; one whose columns keep changing does not grow this.
    constexpr size_t kKept = 4;
    if (m_layouts.size() >= kKept)
        m_layouts.erase(m_layouts.begin());
    m_layouts.emplace_back(columns, layoutOf(*columns));
    return m_layouts.back().second;
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
    m_isChanged.clear();
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
    // The code names columns with literals, whose text has one address for
    // the program's whole run (a QString of static data, without a header of
    // its own; nothing here makes strings with QString::fromRawData). Once
    // found, such a name is found again by that address instead of hashing
    // and comparing its text: a ride row takes about 120 lookups a packet.
    const bool literal = !column.isNull() && !column.data_ptr().isMutable();
    const std::pair<const QChar *, qsizetype> address{column.constData(), column.size()};
    if (literal) {
        const auto known = m_layout->literalIndex.constFind(address);
        if (known != m_layout->literalIndex.cend())
            return known.value();
    }
    const QHash<QString, int> &index = m_layout->index;
    auto found = index.constFind(column);
    if (found == index.cend())
        found = index.constFind(column.toLower());
    if (found == index.cend())
        throw Failure(QStringLiteral("%1: column %2 does not exist").arg(m_name, column));
    if (literal)
        m_layout->literalIndex.insert(address, found.value());
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
    m_isChanged.assign(size_t(m_filling.size()), false);
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
    if (size_t(index) >= m_isChanged.size())
        m_isChanged.resize(size_t(index) + 1, false);
    if (!m_isChanged[size_t(index)]) {
        m_isChanged[size_t(index)] = true;
        m_changed.push_back(index);
    }
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
    Mode mode;
    std::shared_ptr<const ResultLayout> layout; // the column indexes below are of this layout
    std::vector<int> changed;                   // in the order the values bind
    std::vector<const ColumnDefinition *> definitions;
    // With "?" for every value; it holds nothing for the dialect to translate.
    QString text;
};

Dataset::~Dataset() = default;

const Dataset::StoreStatement &Dataset::storeStatement()
{
    for (auto it = m_storeStatements.rbegin(); it != m_storeStatements.rend(); ++it) {
        const StoreStatement &entry = **it;
        if (entry.mode == m_mode && entry.layout == m_layout && entry.changed == m_changed)
            return entry;
    }
    // A handful of column sets per dataset; one that keeps changing does not grow this.
    constexpr size_t kKept = 8;
    if (m_storeStatements.size() >= kKept)
        m_storeStatements.erase(m_storeStatements.begin());

    auto entry = std::make_unique<StoreStatement>();
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
    if (m_mode == Mode::Appending) {
        if (columns.isEmpty()) {
            entry->text = QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(m_table);
        } else {
            const QString marks = QStringList(QVector<QString>(columns.size(), QStringLiteral("?"))).join(u',');
            entry->text = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                              .arg(m_table, columns.join(QStringLiteral(", ")), marks);
        }
    } else if (!columns.isEmpty()) {
        QStringList assignments;
        for (const QString &column : columns)
            assignments << column + QStringLiteral("=?");
        entry->text = QStringLiteral("UPDATE %1 SET %2 WHERE %3=?")
                          .arg(m_table, assignments.join(QStringLiteral(", ")), m_keyColumn);
    }
    m_storeStatements.push_back(std::move(entry));
    return *m_storeStatements.back();
}

void Dataset::store()
{
    if (m_mode == Mode::Editing && m_changed.empty()) {
        m_mode = Mode::Browse;
        m_prepared = false;
        return;
    }
    DatabaseBackend &backend = m_database.connection();
    const StoreStatement &statement = storeStatement();

    QVariantList values;
    values.reserve(qsizetype(m_changed.size()) + 1);
    // The row as it is held after storing: the filled row itself, taken over
    // rather than copied (a hundred values), and given back, normalized,
    // when storing fails (normalizing again leaves a value as it is).
    QVariantList kept = std::move(m_filling);
    auto giveBack = qScopeGuard([&] { m_filling = kept; });
    for (size_t i = 0; i < m_changed.size(); ++i) {
        const int index = m_changed[i];
        const ColumnDefinition *definition = statement.definitions[i];
        QVariant v = kept.at(index);
        if (definition) {
            kept[index] = columnValue(*definition, v);
            // The stored form is the held value, with a date-time in the
            // backend's form (without normalizing twice).
            if (v.isNull())
                v = typedNull(definition);
            else if (definition->type == ColumnType::DateTime)
                v = backend.boundValue(kept[index]);
            else
                v = kept[index];
        } else {
            v = backend.boundValue(v);
        }
        values << v;
    }

    QString error;
    if (m_mode == Mode::Appending) {
        const auto keyIndex = m_layout->index.constFind(m_keyColumn.toLower());
        const bool wantKey = !m_keyColumn.isEmpty() && keyIndex != m_layout->index.cend();
        QVariant id;
        if (!backend.insert(statement.text, values, wantKey, id, error))
            throw Failure(QStringLiteral("%1: %2").arg(m_name, error.trimmed()));
        if (wantKey) {
            // A row without its key would have its transaction row name another
            // ride; the failure rolls the packet's unit back instead.
            if (!id.isValid() || id.isNull())
                throw Failure(QStringLiteral("%1: the database gave no %2 for the new row").arg(m_name, m_keyColumn));
            kept[keyIndex.value()] = id.toInt();
        }
        m_rows.push_back(std::move(kept));
        m_current = static_cast<int>(m_rows.size()) - 1;
    } else {
        const QVariant key = currentValues().at(columnIndex(m_keyColumn));
        if (key.isNull())
            throw Failure(QStringLiteral("%1: the row has no %2").arg(m_name, m_keyColumn));
        values << key;
        StatementResult none;
        if (!backend.execute(statement.text, values, none, error))
            throw Failure(QStringLiteral("%1: %2").arg(m_name, error.trimmed()));
        m_rows[m_current] = std::move(kept);
    }
    giveBack.dismiss();
    m_mode = Mode::Browse;
    m_filling.clear();
    m_changed.clear();
    m_isChanged.clear();
    m_prepared = false;
}

Command::Command(Database &database, bool joinsUnit) : m_database(database), m_joinsUnit(joinsUnit) {}

void Command::execute(const QString &statement, const QVariantList &bindings)
{
    run(statement, bindings, false);
}

void Command::insertWithCommit(const QString &statement, const QVariantList &bindings)
{
    run(statement, bindings, m_joinsUnit);
}

void Command::run(const QString &statement, const QVariantList &bindings, bool mayWaitForCommit)
{
    if (!m_database.isOpen())
        m_database.open();
    if (m_joinsUnit)
        m_database.joinUnit();
    DatabaseBackend &backend = m_database.connection();
    const QString translated = backend.translate(statement);
    QVariantList values = boundValues(backend, bindings);
    if (mayWaitForCommit && m_database.keepRowForCommit(translated, values))
        return;
    StatementResult ignored;
    QString error;
    if (!backend.execute(translated, values, ignored, error))
        throw Failure(QStringLiteral("ADOCommand: %1").arg(error.trimmed()));
}

} // namespace velora
