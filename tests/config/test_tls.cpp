// A till against a server that takes TLS connections only (the pgtls
// fixture). With the standard libpq variables in its environment, as
// /etc/default/korvantis-launcher sets them, every connection is encrypted and
// the server checked; a server it cannot verify gets no session, and the
// start-up and the connection test say why; a client certificate stands in
// for a password.
#include "station/odbc.h"
#include "station/vbDatabase.h"

#include "clustersettings.h"
#include "draldb.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>

#include <map>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

using Variables = std::map<std::string, std::string>;

// Exactly these libpq variables, read by the connections that follow; the
// fixture sets none of them.
void setOnly(const Variables &values)
{
    for (const char *name : {"PGSSLMODE", "PGSSLROOTCERT", "PGSSLCERT", "PGSSLKEY", "PGSSLCRL", "PGHOSTADDR"})
        ::unsetenv(name);
    for (const auto &[name, value] : values)
        ::setenv(name.c_str(), value.c_str(), 1);
}

Variables verified(const char *root = "KV_TLS_ROOT_CERT")
{
    return {{"PGSSLMODE", "verify-full"}, {"PGSSLROOTCERT", testenv::require(root)}};
}

// Sessions of the test roles but the asking one, by whether they are encrypted.
std::string sessionsByEncryption()
{
    return testenv::psqlOn("postgres", "-c",
                           "SELECT s.ssl, count(*) FROM pg_stat_activity a JOIN pg_stat_ssl s USING (pid) WHERE "
                           "a.usename IN ('kvtest', 'kvcert') AND a.pid <> pg_backend_pid() GROUP BY s.ssl",
                           true);
}

// Keepalive and user-timeout settings of this process's connections to the
// server: the driver drops a keyword it does not know silently.
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
        int v[5] = {};
        socklen_t n = sizeof(int);
        ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v[0], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &v[1], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &v[2], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &v[3], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &v[4], &n);
        out << QStringLiteral("keepalive %1 after %2 s every %3 s, %4 probes, user timeout %5 ms")
                   .arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]).arg(v[4]);
    }
    out.sort();
    return out;
}

class TlsServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (90)");
        writeLibraryConf();
    }
    void TearDown() override { setOnly({}); }
    void writeLibraryConf()
    {
        const kv::LauncherSettings &s = m_settings;
        m_app.write("dralfrontend.conf", QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\n"
                                                        "db_password = %4\r\n")
                                             .arg(s.db_host, s.db_name, s.db_username, s.db_password)
                                             .toUtf8());
    }
    std::int32_t openLibrary() const { return system_init(m_app.file("dralfrontend").toStdString().c_str()); }
    // The error opening a connection gave; none when it opened.
    QString openError() const
    {
        try {
            kv::odbc::Connection c;
            c.open(kv::database::buildConnectionText(m_settings));
        } catch (const kv::odbc::Error &e) {
            m_error = e;
            return e.description();
        }
        return QString();
    }

    kv::LauncherSettings m_settings = testsupport::clusterSettings();
    testsupport::TempAppDir m_app;
    mutable std::optional<kv::odbc::Error> m_error;
};

// With the package's defaults (no variable set: TLS when the server offers
// it, as libpq's own default) the launcher's connections and the library's
// reach a server that refuses plain ones, encrypted, with keepalives and
// timeouts. verify-full's are the launcher's whole run in test_launcher_e2e.
TEST_F(TlsServer, EveryConnectionIsEncryptedWhereTheServerOffersIt)
{
    const auto look = kv::database::lookAtSchema(m_settings);
    EXPECT_EQ(look.error, 0) << look.description.toStdString();
    kv::odbc::Connection kept;
    kept.setStatementDeadlineMs(5500);
    kept.setServerTimeoutMs(8000);
    kept.open(kv::database::buildConnectionText(m_settings));
    ASSERT_NE(openLibrary(), 0);
    EXPECT_TRUE(testenv::pollUntil([] { return sessionsByEncryption() == "t|2\n"; }, std::chrono::seconds(5)))
        << sessionsByEncryption() << "the kept ODBC connection and the library's, both encrypted";
    // The user timeouts lie below the deadlines; a server timeout outlives opening anew.
    EXPECT_EQ(socketSettings(), QStringList({"keepalive 1 after 5 s every 2 s, 3 probes, user timeout 11000 ms",
                                             "keepalive 1 after 5 s every 2 s, 3 probes, user timeout 4500 ms"}));
    kv::odbc::Recordset rs;
    rs.open(QStringLiteral("SHOW statement_timeout"), kept);
    EXPECT_EQ(rs.field(QStringLiteral("statement_timeout")).toString(), "7s");
}

// No session for any connection, and why, at start-up and in the settings
// dialog's connection test. Either a certificate from another
// authority, or one of the right authority for another name (the till
// reaches 127.0.0.1 under a name the certificate does not carry), or a file
// of the check that is not there, which libpq alone would skip.
TEST_F(TlsServer, AServerItCannotVerifyGetsNoSessionAndTheReasonIsGiven)
{
    struct Case {
        const char *what;
        Variables variables;
        QString host;
        const char *says;
    };
    Variables otherName = verified();
    otherName.emplace("PGHOSTADDR", "127.0.0.1");
    Variables missingList = verified();
    missingList.emplace("PGSSLCRL", "/nonexistent/root.crl");
    const Case cases[] = {
        {"an impostor's certificate", verified("KV_TLS_IMPOSTOR_ROOT_CERT"), m_settings.db_host,
         "certificate verify failed"},
        {"a certificate for another name", otherName, QStringLiteral("kv-other-name.invalid"),
         "does not match host name"},
        {"a root certificate that is not there", {{"PGSSLROOTCERT", "/nonexistent/root.crt"}}, m_settings.db_host,
         "root certificate file \"/nonexistent/root.crt\" (PGSSLROOTCERT) does not exist"},
        {"a revocation list that is not there", missingList, m_settings.db_host,
         "certificate revocation list \"/nonexistent/root.crl\" (PGSSLCRL) does not exist"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_settings.db_host = c.host;
        writeLibraryConf();
        setOnly(c.variables);
        const auto look = kv::database::lookAtSchema(m_settings);
        EXPECT_TRUE(look.error != 0 && look.description.startsWith(QLatin1String(kv::odbc::kUntrustedServer)) &&
                    look.description.contains(QLatin1String(c.says)))
            << look.description.toStdString();
        EXPECT_TRUE(openError().startsWith(QLatin1String(kv::odbc::kUntrustedServer)));
        EXPECT_EQ(kv::database::connectionFailureStatus(*m_error), m_error->description());
        EXPECT_EQ(openLibrary(), 0);
    }
}

// The role kvcert has no password: its certificate logs it in, and without
// one it is refused as a wrong password would be.
TEST_F(TlsServer, AClientCertificateTakesThePlaceOfThePassword)
{
    m_settings.db_username = QString::fromStdString(testenv::require("KV_TLS_CERT_USER"));
    m_settings.db_password.clear();
    Variables variables = verified();
    setOnly(variables);
    EXPECT_FALSE(openError().isEmpty());
    EXPECT_EQ(kv::database::classifyConnectionError(*m_error), kv::database::ConnectionFailure::BadUserPass)
        << m_error->description().toStdString();
    variables["PGSSLCERT"] = testenv::require("KV_TLS_CLIENT_CERT");
    variables["PGSSLKEY"] = testenv::require("KV_TLS_CLIENT_KEY");
    setOnly(variables);
    const auto look = kv::database::lookAtSchema(m_settings);
    EXPECT_EQ(look.error, 0) << look.description.toStdString();
}

} // namespace
