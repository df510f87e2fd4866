// Appending and posting one ride through ADOINS on the embedded database (WAL,
// synchronous=FULL): new-row defaults, the travel-time hook with the distance
// service switched off, the insert, and the marker query that finds the ride.
#include "database/Database.h"
#include "net/DistanceClient.h"
#include "rides/Datasets.h"
#include "shell/DateTimes.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

using namespace velora;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rides = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 500;
    QTemporaryDir folder;
    Settings settings;
    settings.setChecked(Setting::GoogleV2, false);
    Log activityLog(QStringLiteral("RBSLog"));
    FailureHandler failures(activityLog);
    Database database(settings, folder.path());
    DistanceClient distance(settings, activityLog);
    Datasets sets(database, settings, activityLog, distance, failures);
    database.open();

    const QDateTime pickup = wallClock(QDate(2024, 5, 6), QTime(10, 0));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rides; ++i) {
        database.beginUnit();
        sets.ADOINS.close();
        sets.ADOINS.setStatement(QStringLiteral("select * from planning where 1=0"));
        sets.ADOINS.open();
        sets.ADOINS.append();
        sets.ADOINS.setValue(QStringLiteral("pla_extern"), 100000 + i);
        sets.ADOINS.setValue(QStringLiteral("pla_tijdstip"), pickup);
        sets.ADOINS.setValue(QStringLiteral("pla_tijdstip_locatie"), pickup);
        sets.ADOINS.setValue(QStringLiteral("pla_km_sqr"), 12.5);
        sets.ADOINS.setValue(QStringLiteral("pla_ophstad"), QStringLiteral("Utrecht"));
        sets.ADOINS.setValue(QStringLiteral("pla_beststad"), QStringLiteral("Zeist"));
        sets.ADOINS.setValue(QStringLiteral("pla_ophstraat"), QStringLiteral("Stationsplein"));
        sets.ADOINS.setValue(QStringLiteral("pla_besstraat"), QStringLiteral("Slotlaan"));
        const QString marker = sets.ADOINS.text(QStringLiteral("pla_temp"));
        sets.ADOINS.post();
        sets.ADOZoekLaatste.close();
        sets.ADOZoekLaatste.setStatement(QStringLiteral("select * from planning where pla_temp=?"), {marker});
        sets.ADOZoekLaatste.open();
        if (sets.ADOZoekLaatste.rowCount() < 1)
            return 1;
        database.endUnit(true);
        activityLog.clear();
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    QTextStream(stdout) << rides << " rides in " << seconds << " s: " << rides / seconds << " rides/s, "
                        << seconds * 1e6 / rides << " us per ride\n";
    return 0;
}
