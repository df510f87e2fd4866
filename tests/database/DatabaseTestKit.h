#pragma once

#include "database/Database.h"
#include "net/DistanceClient.h"
#include "rides/Datasets.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "support/TestDatabase.h"

#include <QTemporaryDir>

#include <memory>

namespace velora::test {

// Everything the database layer needs, on an embedded database in a fresh
// temporary program folder (or the test server's emptied tables).
struct DatabaseKit {
    QTemporaryDir folder;
    Settings settings;
    Log activityLog{QStringLiteral("RBSLog")};
    FailureHandler failures{activityLog};
    std::unique_ptr<Database> database;
    std::unique_ptr<DistanceClient> distance;
    std::unique_ptr<Datasets> datasets;

    DatabaseKit()
    {
        useTestDatabase(settings);
        database = std::make_unique<Database>(settings, folder.path());
        DatabaseTimeouts timeouts;
        timeouts.sqliteBusyMs = 300; // a locked file fails fast in tests
        database->setTimeouts(timeouts);
        distance = std::make_unique<DistanceClient>(settings, activityLog);
        datasets = std::make_unique<Datasets>(*database, settings, activityLog, *distance, failures);
    }
    ~DatabaseKit()
    {
        datasets.reset();
        database->close();
    }
    QString databasePath() const { return folder.filePath(QStringLiteral("VeloraRBS.db")); }

    // Log lines without their leading "hh:mm:ss" stamp.
    QStringList unstampedLines() const
    {
        QStringList lines;
        for (const QString &line : activityLog.lines())
            lines << line.mid(8);
        return lines;
    }
};

} // namespace velora::test
