#include "support/TestDatabase.h"

#include "database/Schema.h"
#include "shell/Settings.h"
#include "support/PostgresCluster.h"

#include <QDateTime>
#include <QSqlError>

namespace velora::test {

bool testsOnServer()
{
    static const bool server =
        qEnvironmentVariable("VELORA_TEST_DATABASE").compare(QLatin1String("postgres"), Qt::CaseInsensitive) == 0;
    return server;
}

void useTestDatabase(Settings &settings)
{
    if (!testsOnServer())
        return;
    PostgresCluster &cluster = PostgresCluster::shared();
    QString error;
    if (!cluster.resetTables(&error))
        qFatal("emptying the tables of the test server failed: %s", qPrintable(error));
    settings.setText(Setting::xLoginServer, QStringLiteral("dsn:") + cluster.options().dataSource);
    settings.setText(Setting::xLoginSQL, cluster.options().user);
    settings.setText(Setting::xPaswoordSQL, cluster.options().password);
}

QSqlDatabase suiteConnection(const QString &name, const QString &sqlitePath)
{
    if (testsOnServer())
        return PostgresCluster::shared().connection(name);
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(sqlitePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        qWarning("%s: %s", qPrintable(sqlitePath), qPrintable(db.lastError().text()));
    return db;
}

QVariant suiteValue(const QVariant &value)
{
    if (!testsOnServer() && value.typeId() == QMetaType::QDateTime)
        return dateTimeToStoredText(value.toDateTime());
    return value;
}

} // namespace velora::test
