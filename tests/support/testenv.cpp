#include "testenv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>

#ifndef KV_TEST_ENV_DIR
#error KV_TEST_ENV_DIR must name the environment directory of the build tree
#endif

namespace testenv {

void loadAll()
{
    // A run outside ctest (bench/run) keeps its fixtures' files elsewhere.
    // Several directories, separated by ":", are read in turn: a later one's
    // settings win.
    const QString dirs = qEnvironmentVariableIsEmpty("KV_TEST_ENV_DIR") ? QStringLiteral(KV_TEST_ENV_DIR)
                                                                          : qEnvironmentVariable("KV_TEST_ENV_DIR");
    for (const QString &dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        for (const QFileInfo &env : QDir(dir).entryInfoList({QStringLiteral("*.env")}, QDir::Files)) {
            QFile in(env.filePath());
            in.open(QIODevice::ReadOnly);
            for (const QByteArray &line : in.readAll().split('\n')) {
                const qsizetype eq = line.indexOf('=');
                if (eq > 0 && !line.startsWith('#'))
                    qputenv(line.left(eq).constData(), line.mid(eq + 1));
            }
        }
    }
}

std::string require(const char *name)
{
    const char *v = std::getenv(name);
    if (!v || !*v) {
        ADD_FAILURE() << "environment variable " << name
                      << " is missing: this test needs the fixture that sets it "
                         "(run it through ctest, which starts the fixtures)";
        throw std::runtime_error(std::string("missing test environment: ") + name);
    }
    return v;
}

Db database()
{
    const auto get = [](const char *name) { return QString::fromStdString(require(name)); };
    return {get("KV_DB_HOST"), get("KV_DB_NAME"), get("KV_DB_USER"), get("KV_DB_PASSWORD"), get("PGPORT").toInt()};
}

QProcessEnvironment pgEnvironment()
{
    const Db db = database();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // PGPORT is the fixture's already
    env.insert("PGHOST", db.host);
    env.insert("PGDATABASE", db.name);
    env.insert("PGUSER", db.user);
    env.insert("PGPASSWORD", db.password);
    return env;
}

Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    const bool ended = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

void pgctl(const char *command)
{
    const std::string line = "'" + require("KV_PGCTL") + "' " + command + " '" + require("KV_ENV_DIR") + "' >/dev/null";
    if (std::system(line.c_str()) != 0)
        throw std::runtime_error(line + " failed");
}

int postmasterPid()
{
    QFile pidFile(QString::fromStdString(require("KV_PG_DATADIR") + "/postmaster.pid"));
    return pidFile.open(QIODevice::ReadOnly) ? pidFile.readLine().trimmed().toInt() : 0;
}

bool pollUntil(const std::function<bool()> &probe, std::chrono::milliseconds bound)
{
    for (const auto until = std::chrono::steady_clock::now() + bound; !probe();) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int sessionsSettledAt(int expected)
{
    const auto count = [] {
        // Not the pooler's idle connections an earlier test left (reset, as it leaves them).
        return std::stoi(psql("SELECT count(*) FROM pg_stat_activity WHERE usename = current_user AND datname = "
                              "current_database() AND pid <> pg_backend_pid() AND query <> 'DISCARD ALL'"));
    };
    int n = -1;
    pollUntil([&] { return (n = count()) == expected; }, std::chrono::seconds(5));
    return n;
}

ClusterStopped::ClusterStopped()
{
    pgctl("stop");
}

ClusterStopped::~ClusterStopped()
{
    try {
        pgctl("start");
    } catch (const std::exception &e) {
        ADD_FAILURE() << "the cluster did not start again: " << e.what();
    }
}

Frozen::Frozen(int pid) : m_pid(pid)
{
    EXPECT_EQ(::kill(pid, SIGSTOP), 0) << "pid " << pid;
}

Frozen::~Frozen()
{
    ::kill(m_pid, SIGCONT);
}

Session connect(const char *applicationName, const std::string &name, bool superuser)
{
    const Db db = database();
    const std::string port = std::to_string(db.port), dbname = name.empty() ? db.name.toStdString() : name;
    // The superuser logs in through the cluster's socket, where it is trusted.
    const std::string host = superuser ? require("KV_PG_SOCKDIR") : db.host.toStdString(),
                      user = superuser ? "postgres" : db.user.toStdString(), password = db.password.toStdString();
    // No connect timeout, as psql has none: a statement sent while a case
    // holds the server frozen waits for it.
    const char *keys[] = {"host", "port", "dbname", "user", "password", "application_name", nullptr};
    const char *values[] = {host.c_str(), port.c_str(), dbname.c_str(), user.c_str(), password.c_str(),
                            applicationName, nullptr};
    return {PQconnectdbParams(keys, values, 0), &PQfinish};
}

std::string psql(const std::string &sql)
{
    return psqlOn(std::string(), "-c", sql);
}

std::string psqlOn(const std::string &name, const char *option, const std::string &sqlOrFile, bool superuser)
{
    std::string sql = sqlOrFile;
    if (std::string_view(option) == "-f") {
        QFile file(QString::fromStdString(sqlOrFile));
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read " + sqlOrFile);
        sql = file.readAll().toStdString();
    }
    const Session session = connect("psql", name, superuser);
    // Every result's rows as psql -A -t prints them; the first error ends it.
    std::string text, error;
    if (PQstatus(session.get()) != CONNECTION_OK || !PQsendQuery(session.get(), sql.c_str()))
        error = PQerrorMessage(session.get());
    while (PGresult *result = PQgetResult(session.get())) {
        if (PQresultStatus(result) == PGRES_FATAL_ERROR)
            error = PQresultErrorMessage(result);
        for (int row = 0; row < PQntuples(result); ++row)
            for (int column = 0; column < PQnfields(result); ++column)
                text += std::string(PQgetvalue(result, row, column)) + (column + 1 < PQnfields(result) ? "|" : "\n");
        PQclear(result);
    }
    if (!error.empty())
        throw std::runtime_error(sqlOrFile.substr(0, 200) + " failed: " + error);
    return text;
}

} // namespace testenv
