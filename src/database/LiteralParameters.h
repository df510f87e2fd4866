#pragma once

#include <QString>
#include <QVariantList>

namespace velora {

// A statement with the values for its "?" placeholders, in the order the
// placeholders stand in the text.
struct StatementWithValues {
    QString text;
    QVariantList bindings;
};

// Turns the literal values of a statement into "?" placeholders, the way a
// database server parameterises a statement it is sent, so that statements
// that differ only in a ride number or a marker share one prepared form.
//
// Taken out are single-quoted strings ('' for a quote) and plain decimal
// integers (with an optional leading "-") that are a whole operand of a
// comparison (=, ==, <, >, <=, >=, <>, !=, either side), a bound of BETWEEN
// (or the value tested by it), the value of a SET assignment, or an item of a
// VALUES list. A string binds as text and an integer as a 64-bit integer, so
// SQLite applies the same column affinity to them as to the literal.
//
// Left as they stand: a comparison of two literals ("where 1=0" stays a
// constant the planner sees), LIMIT/OFFSET counts, IN lists, numbers in names
// or quoted identifiers, other numbers (1.5, 1e3, 0x1F, one beyond 64 bits),
// literals in arithmetic or with COLLATE, and everything in comments. A
// statement with numbered or named parameters, or whose "?" count does not
// match `bindings`, comes back unchanged.
StatementWithValues parameteriseLiterals(const QString &statement, const QVariantList &bindings);

} // namespace velora
