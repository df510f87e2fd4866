#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariant>

namespace velora {
class Settings;
}

namespace velora::test {

// The database-facing tests run on the embedded SQLite file, and with
// VELORA_TEST_DATABASE=postgres on a live PostgreSQL server through ODBC
// (ctest runs each such program both ways).
bool testsOnServer();

// Points the settings at the database of this run: nothing to do for the
// embedded file; the live server's data source with its five tables emptied
// otherwise (the server starts with the first call).
void useTestDatabase(Settings &settings);

// A connection of the dispatch suite's side to the database of this run: the
// SQLite file at `sqlitePath`, or the live server.
QSqlDatabase suiteConnection(const QString &name, const QString &sqlitePath);

// A date-time as the suite's side binds it: the embedded file holds them as
// text, the server as date-times.
QVariant suiteValue(const QVariant &value);

} // namespace velora::test

// For a test of what only a SQLite file has (its pragmas, replacing the file).
#define VELORA_SQLITE_ONLY()                                                                                           \
    do {                                                                                                               \
        if (::velora::test::testsOnServer())                                                                           \
            QSKIP("a SQLite file only");                                                                               \
    } while (false)
