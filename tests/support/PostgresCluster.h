#pragma once

#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace velora::test {

// A throwaway PostgreSQL server on a free loopback port: a cluster made by
// initdb in a temporary folder, reached through ODBC (psqlODBC's Unicode
// driver) by a data source in an odbc.ini of its own, with the five dispatch
// tables created from the schema description. The server runs as an
// unprivileged user when this process is root (PostgreSQL refuses root).
// Stopped and removed with the object.
class PostgresCluster {
public:
    struct Options {
        // Without fsync the tests do not wait for the disk; a measurement
        // wants the server as it runs in production.
        bool durable = false;
        QString dataSource = QStringLiteral("velora_pg");
        QString database = QStringLiteral("dispatch");
        QString user = QStringLiteral("velora");
        QString password = QStringLiteral("pg;pass}word");
    };

    PostgresCluster();
    explicit PostgresCluster(Options options);
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // initdb, start, the data source and the tables. False with the reason
    // in error(): a missing server binary or ODBC driver is such a reason.
    bool start();
    void stop();
    // The server stopped as a crash or a power cut stops it (pg_ctl stop -m
    // immediate), its data kept; startServer() starts it again on its port.
    bool stopServer();
    bool startServer();
    bool isRunning() const { return m_running; }
    const QString &error() const { return m_error; }

    quint16 port() const { return m_port; }
    const Options &options() const { return m_options; }
    // The folder with odbc.ini and odbcinst.ini.
    QString odbcFolder() const;
    // ODBCSYSINI and ODBCINI of the data source, for a child process.
    QProcessEnvironment environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;
    // Sets them in this process, so that its own ODBC connections (and the
    // children it starts) find the data source.
    void exportEnvironment() const;

    // The five tables dropped and created empty (identities from 1 again).
    bool resetTables(QString *error = nullptr);
    // A QODBC connection of its own to the data source, opened.
    QSqlDatabase connection(const QString &name) const;
    // Runs statements through psql as the cluster's owner; false with psql's output in `output`.
    bool psql(const QString &statements, QString *output = nullptr) const;

    // One server for the whole test program, started at the first call and
    // stopped when the program ends. Fails the program with the reason when
    // it cannot start: a test that was asked to run on the server must not
    // pass without it.
    static PostgresCluster &shared();

    // The folder of the server binaries (VELORA_PG_BIN, else PostgreSQL 15's).
    static QString binaryFolder();
    // psqlodbcw.so (VELORA_PG_ODBC_DRIVER, else where Debian puts it); empty when missing.
    static QString odbcDriver();

private:
    bool run(const QString &program, const QStringList &arguments, QString *output = nullptr,
             int timeoutMs = 60000) const;
    bool runIn(const QString &folder, const QString &program, const QStringList &arguments, QString *output,
               int timeoutMs) const;
    void removeStaleClusters() const;

    Options m_options;
    std::unique_ptr<QTemporaryDir> m_folder;
    quint16 m_port = 0;
    bool m_running = false;
    QString m_error;
    int m_uid = -1; // the server's user when this process is root
    int m_gid = -1;
};

} // namespace velora::test
