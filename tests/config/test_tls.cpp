// A till against a server that takes TLS connections only (the pgtls
// fixture). With the standard libpq variables in its environment, as
// /etc/default/korvantis-launcher sets them, every connection is encrypted and
// the server checked; a server it cannot verify gets no session and the log
// and the connection test say why; a client certificate stands in for a
// password.
#include "config/odbc.h"
#include "config/vbDatabase.h"

#include "clustersettings.h"
#include "draldb.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <map>

namespace {

// The variables set for a scope, and put back as they were however it ends.
// Nothing else runs meanwhile: the connections read them on this thread.
class Environment {
public:
    explicit Environment(const std::map<std::string, std::string> &values)
    {
        for (const char *name : {"PGSSLMODE", "PGSSLROOTCERT", "PGSSLCERT", "PGSSLKEY", "PGSSLCRL"}) {
            const char *old = std::getenv(name);
            m_old[name] = old ? std::optional<std::string>(old) : std::nullopt;
            ::unsetenv(name);
        }
        for (const auto &[name, value] : values)
            ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~Environment()
    {
        for (const auto &[name, value] : m_old) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> m_old;
};

std::map<std::string, std::string> verified(const char *root = "KV_TLS_ROOT_CERT")
{
    return {{"PGSSLMODE", "verify-full"}, {"PGSSLROOTCERT", testenv::require(root)}};
}

// Sessions of the test roles but the asking one, by whether they are encrypted.
std::string sessionsByEncryption()
{
    return testenv::psqlOn("postgres", "-c",
                           "SELECT s.ssl, count(*) FROM pg_stat_activity a JOIN pg_stat_ssl s USING (pid) "
                           "WHERE a.usename IN ('kvtest', 'kvcert') AND a.pid <> pg_backend_pid() "
                           "GROUP BY s.ssl ORDER BY s.ssl",
                           true);
}

// Keepalive and user-timeout settings of this process's connections to the
// server, one line each: the driver drops a keyword it does not know silently.
QStringList socketSettings()
{
    QStringList out;
    for (const QString &entry : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const int fd = entry.toInt();
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != testenv::database().port)
            continue;
        int on = 0, idle = 0, interval = 0, count = 0;
        unsigned userTimeout = 0;
        socklen_t n = sizeof(int);
        ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, &n);
        out << QStringLiteral("keepalive %1 after %2 s every %3 s, %4 probes, user timeout %5 ms")
                   .arg(on).arg(idle).arg(interval).arg(count).arg(userTimeout);
    }
    out.sort();
    return out;
}

QByteArray serverLog()
{
    QFile log(QString::fromStdString(testenv::require("KV_PG_STATEDIR")) + QStringLiteral("/server.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

class TlsServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (90)");
        m_app.write("dralfrontend.conf",
                    QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\ndb_password = %4\r\n")
                        .arg(m_settings.db_host, m_settings.db_name, m_settings.db_username, m_settings.db_password)
                        .toUtf8());
    }
    std::int32_t openLibrary() const { return system_init(m_app.file("dralfrontend").toStdString().c_str()); }

    kv::LauncherSettings m_settings = testsupport::clusterSettings();
    testsupport::TempAppDir m_app;
};

// The plain connection text reaches no server that refuses plain
// connections; the variables make the launcher's connections and the
// library's encrypted and checked, and nothing goes in clear.
TEST_F(TlsServer, WithVerifyFullEveryConnectionIsEncrypted)
{
    {
        Environment none({});
        const auto look = kv::database::lookAtSchema(m_settings);
        EXPECT_NE(look.error, 0);
        EXPECT_TRUE(look.description.contains(QLatin1String("no encryption"))) << look.description.toStdString();
    }
    kv::odbc::Connection kept;
    std::int32_t library = 0;
    {
        Environment env(verified());
        const auto look = kv::database::lookAtSchema(m_settings);
        EXPECT_EQ(look.error, 0) << look.description.toStdString();
        EXPECT_EQ(look.version, 90);
        kept.setStatementDeadlineMs(5500);
        kept.open(kv::database::buildConnectionText(m_settings));
        EXPECT_EQ(kv::database::readSchemaVersion(kept), 90);
        library = openLibrary();
        ASSERT_NE(library, 0);
        VB_notify_listen(library, "poscommands");
    }
    EXPECT_TRUE(testenv::pollUntil([] { return sessionsByEncryption() == "t|2\n"; }, std::chrono::seconds(5)))
        << sessionsByEncryption() << "the kept ODBC connection and the library's, both encrypted";
    // A network that vanishes ends both in the kernel: the watchdog's within
    // its deadline less a second.
    EXPECT_EQ(socketSettings(), QStringList({"keepalive 1 after 5 s every 2 s, 3 probes, user timeout 11000 ms",
                                             "keepalive 1 after 5 s every 2 s, 3 probes, user timeout 4500 ms"}));
    // The launcher's statements carry a statement_timeout below their deadline.
    kv::odbc::Recordset rs;
    rs.open(QStringLiteral("SHOW statement_timeout"), kept);
    EXPECT_EQ(rs.field(QStringLiteral("statement_timeout")).toString(), "5s");
}

// An untrusted server: no session for any connection, the words in the log
// at start-up and in the settings dialog's connection test.
TEST_F(TlsServer, AServerItCannotVerifyGetsNoSessionAndTheLogSaysWhy)
{
    const qsizetype logBefore = serverLog().size();
    Environment env(verified("KV_TLS_IMPOSTOR_ROOT_CERT"));
    const auto look = kv::database::lookAtSchema(m_settings);
    EXPECT_NE(look.error, 0);
    EXPECT_TRUE(look.description.startsWith(QLatin1String(kv::odbc::kUntrustedServer)))
        << look.description.toStdString();
    testsupport::ScriptedPrompter prompter;
    testsupport::RecordingEventLog log;
    kv::database::tellSchemaLook(look, false, prompter, log);
    EXPECT_EQ(log.lines, QStringList{QStringLiteral("<4>database not usable yet: ") + look.description});
    try {
        kv::odbc::Connection c;
        c.open(kv::database::buildConnectionText(m_settings));
        ADD_FAILURE() << "connected to a server it cannot verify";
    } catch (const kv::odbc::Error &e) {
        EXPECT_EQ(kv::database::connectionFailureStatus(e), e.description());
        EXPECT_TRUE(e.description().startsWith(QLatin1String(kv::odbc::kUntrustedServer)));
    }
    EXPECT_EQ(openLibrary(), 0);
    // The server saw the attempts, and none got as far as a session.
    EXPECT_TRUE(testenv::pollUntil([&] { return serverLog().mid(logBefore).count("could not accept SSL connection") >= 3; },
                                   std::chrono::seconds(5)))
        << serverLog().mid(logBefore).toStdString();
    EXPECT_FALSE(serverLog().mid(logBefore).contains("connection authorized"));
}

// The role kvcert has no password: its certificate logs it in, and without
// one it is refused as a wrong password would be.
TEST_F(TlsServer, AClientCertificateTakesThePlaceOfThePassword)
{
    m_settings.db_username = QString::fromStdString(testenv::require("KV_TLS_CERT_USER"));
    m_settings.db_password.clear();
    auto withCertificate = verified();
    {
        Environment env(withCertificate);
        kv::odbc::Connection c;
        try {
            c.open(kv::database::buildConnectionText(m_settings));
            ADD_FAILURE() << "logged in without a certificate";
        } catch (const kv::odbc::Error &e) {
            EXPECT_EQ(kv::database::classifyConnectionError(e), kv::database::ConnectionFailure::BadUserPass)
                << e.description().toStdString();
        }
    }
    withCertificate["PGSSLCERT"] = testenv::require("KV_TLS_CLIENT_CERT");
    withCertificate["PGSSLKEY"] = testenv::require("KV_TLS_CLIENT_KEY");
    Environment env(withCertificate);
    const auto look = kv::database::lookAtSchema(m_settings);
    EXPECT_EQ(look.error, 0) << look.description.toStdString();
    EXPECT_EQ(look.version, 90);
}

} // namespace
