// Starts a throwaway PostgreSQL server with the dispatch tables for a
// developer (scripts/pg.sh): runs the command given with ODBCSYSINI/ODBCINI
// naming its data source, or waits for Ctrl-C without one; stops and removes
// the server either way.
#include "support/PostgresCluster.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

using velora::test::PostgresCluster;

namespace {
int g_signalPipe[2];
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(g_signalPipe[1], &byte, 1);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    PostgresCluster::Options options;
    options.durable = true;
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("--fast")) {
        options.durable = false;
        arguments.removeFirst();
    }
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("--"))
        arguments.removeFirst();

    PostgresCluster cluster(options);
    if (!cluster.start()) {
        std::fprintf(stderr, "pg: %s\n", qPrintable(cluster.error()));
        return 1;
    }
    const QProcessEnvironment environment = cluster.environment();
    const auto say = [&](const QString &line) { std::fprintf(stderr, "pg: %s\n", qPrintable(line)); };
    say(QStringLiteral("server on 127.0.0.1:%1, database %2, user %3, password %4")
            .arg(cluster.port())
            .arg(options.database, options.user, options.password));
    say(QStringLiteral("ODBCSYSINI=%1 ODBCINI=%2 data source %3")
            .arg(environment.value(QStringLiteral("ODBCSYSINI")), environment.value(QStringLiteral("ODBCINI")),
                 options.dataSource));

    if (!arguments.isEmpty()) {
        QProcess command;
        QProcessEnvironment childEnvironment = environment;
        childEnvironment.insert(QStringLiteral("VELORA_PG_DSN"), options.dataSource);
        childEnvironment.insert(QStringLiteral("VELORA_PG_USER"), options.user);
        childEnvironment.insert(QStringLiteral("VELORA_PG_PASSWORD"), options.password);
        command.setProcessEnvironment(childEnvironment);
        command.setProcessChannelMode(QProcess::ForwardedChannels);
        command.setInputChannelMode(QProcess::ForwardedInputChannel);
        command.start(arguments.first(), arguments.mid(1));
        if (!command.waitForStarted()) {
            say(QStringLiteral("cannot run %1: %2").arg(arguments.first(), command.errorString()));
            return 1;
        }
        command.waitForFinished(-1);
        return command.exitStatus() == QProcess::NormalExit ? command.exitCode() : 1;
    }

    say(QStringLiteral("Ctrl-C stops and removes it"));
    if (::pipe(g_signalPipe) != 0)
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    return app.exec();
}
