// The real launcher in a temporary application directory beside a fake
// front-end and card reader, on a private X display with a tray host, against
// the test cluster and print server: the executable wires in the real parts.
#include "testprinter.h"
#include "tillscenario.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

using QTest::qWaitFor;

// Processes working in `dir` whose command line mentions `word`.
QList<int> processesIn(const QString &dir, const QString &word)
{
    QList<int> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (QFileInfo(QStringLiteral("/proc/%1/cwd").arg(entry)).symLinkTarget() == dir &&
            cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(word.toUtf8()))
            pids << entry.toInt();
    }
    return pids;
}

// Clients of the test database that the fixture's PgBouncer serves now.
int bouncerClients(const testenv::Db &db)
{
    QProcessEnvironment env = testenv::pgEnvironment();
    env.insert("PGHOST", QString::fromStdString(testenv::require("KV_BOUNCER_HOST")));
    // Lines "type|user|database|...".
    const QString clients = testenv::run("psql", {"-XAt", "-d", "pgbouncer", "-c", "SHOW CLIENTS"}, env).out;
    return int(clients.count(QStringLiteral("|%1|%2|").arg(db.user, db.name)));
}

enum class Login { Direct, ThroughPgBouncer, Confined };

// One till: the application directory with a copy of the launcher and
// programs that note how they were started and run until ended, Xvfb on a
// free display with a tray host, and launchers started there one after
// another. Everything works in the application directory, so whatever the
// outcome the clean-up finds every one of them there.
class Till : public testing::Test, protected tilltest::Till {
protected:
    const testenv::Db db = testenv::database();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Against the TLS-only cluster (test_launcher_e2e_tls), as
    // /etc/default/korvantis-launcher would set it.
    const QString tlsRoot = qEnvironmentVariable("KV_TLS_ROOT_CERT");
    QProcess session;
    std::unique_ptr<QProcess> launcher;
    int launchers = 0;

    ~Till() override
    {
        for (const int pid : processesIn(dir.path(), QString()))
            ::kill(pid, SIGKILL);
        session.waitForFinished(5000);
        if (launcher)
            launcher->waitForFinished(5000);
    }

    // Who the till logs in as: the test's role unless a test says otherwise.
    QString user = db.user;
    QString password = db.password;
    // The station's rows, shell.conf for server `host` and the programs.
    void setUpTill(const QString &host, const QString &printer, const QStringList &programs)
    {
        testenv::psql("DELETE FROM managedprogram; DELETE FROM poscommands; DELETE FROM config; "
                      "INSERT INTO config (schemaversion, te_username, te_password) VALUES (90, 'te', 'pw')");
        writeShellConf(QStringLiteral("stationid = %1\r\nesc_printer = %2\r\n").arg(station).arg(printer).toUtf8(),
                       databaseKeys(host, {}, user, password));
        for (const QString &name : programs) {
            dir.write(name, "#!/bin/sh\necho \"$0 $*\" >> ran.log\nwhile :; do sleep 1; done\n");
            QFile::setPermissions(dir.file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // The launcher finds its directory through /proc/self/exe, which
        // resolves links: it must be a copy.
        ASSERT_TRUE(QFile::copy(QStringLiteral(KV_LAUNCHER_EXE), dir.file("korvantis-launcher")));
    }

    void startDisplay()
    {
        env.remove("QT_QPA_PLATFORM");
        env.insert("XDG_RUNTIME_DIR", dir.path());
        if (!tlsRoot.isEmpty()) {
            env.insert("PGSSLMODE", "verify-full");
            env.insert("PGSSLROOTCERT", tlsRoot);
        }
        session.setProcessEnvironment(env);
        session.setWorkingDirectory(dir.path());
        session.setProcessChannelMode(QProcess::ForwardedChannels);
        session.start("xvfb-run", {"-a", "-f", dir.file("Xauthority"), "-s", "-screen 0 800x600x24 -nolisten tcp",
                                   "sh", "-c",
                                   "echo \"$DISPLAY\" > display; exec trayer --edge top --align right --widthtype "
                                   "request --height 32 --SetDockType true"});
        ASSERT_TRUE(qWaitFor([&] { return !dir.read("display").trimmed().isEmpty(); }, 20000)) << "no X display";
        env.insert("DISPLAY", QString::fromUtf8(dir.read("display").trimmed()));
        env.insert("XAUTHORITY", dir.file("Xauthority"));
    }

    // A launcher on the display; its log goes to launcher-N.log.
    void startLauncher()
    {
        launcher = std::make_unique<QProcess>();
        launcher->setProcessEnvironment(env);
        launcher->setWorkingDirectory(dir.path());
        launcher->setStandardOutputFile(QProcess::nullDevice());
        launcher->setStandardErrorFile(dir.file(QStringLiteral("launcher-%1.log").arg(++launchers)));
        launcher->start(dir.file("korvantis-launcher"), {});
        ASSERT_TRUE(launcher->waitForStarted(5000));
    }
    QString log() const { return QString::fromUtf8(dir.read(QStringLiteral("launcher-%1.log").arg(launchers))); }
    bool logSays(const QString &text, int ms = 20000)
    {
        const bool said = qWaitFor([&] { return log().contains(text); }, ms);
        EXPECT_TRUE(said) << "no \"" << text.toStdString() << "\" in:\n" << log().toStdString();
        return said;
    }
    bool launcherEnded()
    {
        return launcher->waitForFinished(10000) && launcher->exitStatus() == QProcess::NormalExit &&
               launcher->exitCode() == 0;
    }

    QString xdotool(const QStringList &arguments) { return testenv::run("xdotool", arguments, env).out.trimmed(); }
    // Visible windows of the launcher (its X class is the executable's name).
    QString windows() { return xdotool({"search", "--onlyvisible", "--class", "korvantis-launcher"}); }
    QString icon()
    {
        QString first;
        EXPECT_TRUE(qWaitFor([&] { return !(first = windows().section('\n', 0, 0)).isEmpty(); }, 10000)) << "no icon";
        return first;
    }
    // Clicks the icon with a button and chooses the item `fromEnd` places
    // from the menu's end (1: the last): from no item, Up selects the last.
    void chooseMenuItem(const QString &iconWindow, int button, int fromEnd)
    {
        const int before = windows().count('\n');
        xdotool({"mousemove", "--window", iconWindow, "10", "10", "click", QString::number(button)});
        EXPECT_TRUE(qWaitFor([&] { return windows().count('\n') > before; }, 5000)) << "no tray menu";
        QStringList keys{"key", "--delay", "50"};
        for (int i = 0; i < fromEnd; ++i)
            keys << "Up";
        xdotool(keys << "Return");
    }
};

// Directly to the server; with the launcher's own connections through a
// PgBouncer in transaction pooling while the client library, which listens,
// keeps going to the server (it takes the front-end's file, the launcher
// shell.conf); or with a till's role confined to its own station.
class RealLauncher : public Till, public testing::WithParamInterface<Login> {};

TEST_P(RealLauncher, StartsPrintsOpensItsWindowsFromTheTrayAndQuits)
{
    const bool throughBouncer = GetParam() == Login::ThroughPgBouncer, confined = GetParam() == Login::Confined;
    // A till role of the shipped confinement, for station 7. The cluster's
    // roles outlive the database: it goes however the test ends.
    std::shared_ptr<void> dropRole;
    if (confined) {
        user = QStringLiteral("kvtill%1").arg(::getpid());
        const std::string database = db.name.toStdString(), role = user.toStdString();
        // What the package's SQL adds to the tests' tables (the status row's), then the confinement.
        testenv::psqlOn(database, "-f", KV_DATABASE_SQL);
        testenv::psqlOn(database, "-f", KV_CONFINED_SQL, true);
        testenv::psqlOn(database, "-c", "SELECT korvantis_add_till('" + role + "', 'pw', 7)", true);
        password = QStringLiteral("pw");
        dropRole.reset(static_cast<void *>(nullptr), [=](void *) {
            try {
                testenv::psqlOn(database, "-c",
                                "DELETE FROM korvantis_till WHERE role = '" + role + "'; DROP ROLE " + role, true);
            } catch (const std::exception &e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    testprinter::TestPrinter printer{testprinter::otherQueue()};
    // The Exit item ends some programs by name, every user's: the programs
    // here have names no other run uses.
    const QString reader = QStringLiteral("kvreader%1").arg(::getpid());
    const QString launcherHost =
        throughBouncer ? QString::fromStdString(testenv::require("KV_BOUNCER_HOST")) : db.host;
    ASSERT_NO_FATAL_FAILURE(setUpTill(launcherHost, printer.name(), {QStringLiteral("korvantis.exe"), reader}));
    // The template a new station copies, beside the launcher.
    testenv::psql("INSERT INTO managedprogram (name, executable, arguments) VALUES ('Card reader', '" +
                  reader.toStdString() + "', '')");
    queue(1, "Waited 2.00"); // while no launcher listened: nobody was notified
    const auto beforeStart = printer.mark();
    if (throughBouncer)
        writeFrontEndConf(databaseKeys({}, {}, user, password));
    ASSERT_NO_FATAL_FAILURE(startDisplay());
    ASSERT_NO_FATAL_FAILURE(startLauncher());

    // Start-up: both programs run from the application directory, and the icon comes.
    const auto ranLog = [&] { return QString::fromUtf8(dir.read("ran.log")); };
    EXPECT_TRUE(qWaitFor([&] { return ranLog().contains("./korvantis.exe -v stationid=7\n") &&
                                      ranLog().contains(reader + " -v stationid=7\n"); }, 20000))
        << ranLog().toStdString();
    EXPECT_EQ(printer.bytesSince(beforeStart, 1, std::chrono::seconds(5)),
              QByteArray("\x1b\x63\x30\x02Waited 2.00\x1d\x56\x42\x00", 19));
    const QString trayIcon = icon();
    ASSERT_FALSE(trayIcon.isEmpty());
    // The watchdog's connection and the client library's, as the till.
    if (confined) {
        const std::string sessions =
            "SELECT count(*) >= 2 FROM pg_stat_activity WHERE usename = '" + user.toStdString() + "'";
        EXPECT_TRUE(qWaitFor([&] { return testenv::psql(sessions) == "t\n"; }, 10000)) << "no sessions as the till";
    }
    // The watchdog's connection, kept from the start on.
    if (throughBouncer) {
        EXPECT_TRUE(qWaitFor([&] { return bouncerClients(db) >= 1; }, 10000))
            << "the launcher is no client of PgBouncer";
    }

    // A receipt and a drawer pulse, printed and taken off the queue while
    // the shutdown question waits for the cashier.
    testenv::psql("NOTIFY shutdown");
    const QString keep = QStringLiteral("Do you want to keep all supporting programs open?");
    ASSERT_TRUE(logSays(keep));
    const auto mark = printer.mark();
    queue(1, "Total 4.50");
    queue(2, {}, true);
    EXPECT_EQ(printer.bytesSince(mark, 1, std::chrono::seconds(5)),
              QByteArray("\x1b\x63\x30\x02Total 4.50\x1d\x56\x42\x00"
                         "\x1b\x63\x30\x02\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 32));
    // The rows leave the queue once the print server reports the job done.
    EXPECT_TRUE(qWaitFor([] { return testenv::psql("SELECT count(*) FROM poscommands") == "0\n"; }, 10000));
    if (!tlsRoot.isEmpty()) {
        // The library's connection and the watchdog's at least, none in clear.
        EXPECT_EQ(testenv::psql("SELECT count(*) >= 2, bool_and(s.ssl) FROM pg_stat_activity a JOIN pg_stat_ssl s "
                                "USING (pid) WHERE a.usename = current_user AND a.pid <> pg_backend_pid()"),
                  "t|t\n");
    }

    // The display is this test's own: a window of that name is the launcher's.
    const QStringList manager{"search", "--onlyvisible", "--name", "^Korvantis Launcher$"};
    // Yes, its default, keeps the programs, and is acted on after it.
    xdotool({"windowfocus", "--sync", xdotool(manager).section('\n', 0, 0)});
    xdotool({"key", "Return"});
    ASSERT_TRUE(logSays(QStringLiteral("the person answered \"%1\": Yes").arg(keep)));
    chooseMenuItem(trayIcon, 1, 4); // Manage Programs
    EXPECT_TRUE(qWaitFor([&] { return !xdotool(manager).isEmpty(); }, 10000)) << "no program manager";
    // Add, then the card reader's title typed anew (the window's layout is fixed).
    const QString window = xdotool(manager).section('\n', 0, 0);
    const auto click = [&](int x, int y) {
        xdotool({"mousemove", "--window", window, QString::number(x), QString::number(y), "click", "1"});
    };
    const auto station7 = [] {
        return testenv::psql("SELECT name FROM managedprogram WHERE machineid = 7 ORDER BY id");
    };
    click(40, 24);
    EXPECT_TRUE(qWaitFor([&] { return station7() == "Card reader\nNew Program\n"; }, 10000)) << station7();
    click(20, 55);
    xdotool({"windowfocus", "--sync", window});
    xdotool({"key", "Down"});
    click(70, 210);
    xdotool({"key", "ctrl+a"});
    xdotool({"type", "--delay", "20", "Till reader"});
    EXPECT_TRUE(qWaitFor([&] { return station7() == "Till reader\nNew Program\n"; }, 10000)) << station7();

    chooseMenuItem(trayIcon, 3, 1); // Exit
    EXPECT_TRUE(launcherEnded()) << "the launcher's exit status";
    EXPECT_TRUE(qWaitFor([&] { return processesIn(dir.path(), reader).isEmpty(); }, 3000)) << "card reader left";
}

INSTANTIATE_TEST_SUITE_P(Server, RealLauncher, testing::Values(Login::Direct, Login::ThroughPgBouncer, Login::Confined),
                         [](const testing::TestParamInfo<Login> &row) {
                             return row.param == Login::Direct ? "Direct"
                                    : row.param == Login::Confined ? "Confined" : "ThroughPgBouncer";
                         });

// Ended by the system, killed, or quit through Exit (which leaves the
// front-end running), the launcher is started again: the new one takes over
// the front-end still running instead of starting a second.
TEST_F(Till, EveryRestartTakesOverTheRunningFrontEndSoExactlyOneRuns)
{
    ASSERT_NO_FATAL_FAILURE(setUpTill(db.host, QStringLiteral("none"), {QStringLiteral("korvantis.exe")}));
    ASSERT_NO_FATAL_FAILURE(startDisplay());
    ASSERT_NO_FATAL_FAILURE(startLauncher());
    ASSERT_TRUE(logSays(QStringLiteral("started \"Korvantis\" (run.sh)")));
    for (const QString kind : {"SIGTERM", "SIGKILL", "Exit"}) {
        SCOPED_TRACE(kind.toStdString());
        if (kind == "SIGTERM") {
            launcher->terminate();
            EXPECT_TRUE(launcherEnded());
        } else if (kind == "SIGKILL") {
            launcher->kill();
            launcher->waitForFinished(10000);
        } else {
            chooseMenuItem(icon(), 3, 1);
            EXPECT_TRUE(launcherEnded());
        }
        ASSERT_NO_FATAL_FAILURE(startLauncher());
        ASSERT_TRUE(logSays(QStringLiteral("the front-end an earlier launcher started still runs: took over "
                                           "process ")));
        EXPECT_EQ(processesIn(dir.path(), QStringLiteral("korvantis.exe")).size(), 1);
    }
    EXPECT_EQ(QString::fromUtf8(dir.read("ran.log")).count('\n'), 1) << "the front-end was started once";

    // The taken-over front-end's end is the front-end's end.
    for (const int pid : processesIn(dir.path(), QStringLiteral("korvantis.exe")))
        ::kill(pid, SIGKILL);
    EXPECT_TRUE(logSays(QStringLiteral("\"Korvantis\" (run.sh) ended (taken over from an earlier launcher")));
}

// The office's view (korvantis-fleet) of a real launcher: a program that
// keeps crashing, receipts that wait, a printer out of paper, each within
// seconds.
TEST_F(Till, ShowsCrashesWaitingReceiptsPaperOutAndTheTillDownInTheFleet)
{
    using namespace std::chrono_literals;
    testprinter::TestPrinter printer{testprinter::otherQueue()};
    testenv::psqlOn(db.name.toStdString(), "-f", KV_DATABASE_SQL);
    const QString reader = QStringLiteral("kvfleetreader%1").arg(::getpid());
    station = 41;
    ASSERT_NO_FATAL_FAILURE(setUpTill(db.host, printer.name(), {QStringLiteral("korvantis.exe"), reader}));
    testenv::psql("DELETE FROM launcherstatus");
    addProgram(QStringLiteral("Card reader"), dir.path(), reader, {}, true, true, QStringLiteral("41"));
    // The card reader dies as soon as it starts.
    dir.write(reader, "#!/bin/sh\nexit 3\n");
    const std::shared_ptr<void> paperBack(nullptr, [&](void *) { printer.order("paper-end 0"); });
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", dir.path());
    ASSERT_NO_FATAL_FAILURE(startLauncher());

    const auto fleet = [&](const QStringList &args) { return testenv::run(QStringLiteral(KV_FLEET_EXE), args); };
    QJsonObject till;
    const auto tillShows = [&](const QString &reason) {
        return testenv::pollUntil(
            [&] {
                till = {};
                for (const QJsonValue v : QJsonDocument::fromJson(fleet({"--json"}).out.toUtf8()).array())
                    if (v.toObject().value("station").toInt() == 41)
                        till = v.toObject();
                for (const QJsonValue r : till.value("reasons").toArray())
                    if (r.toString().startsWith(reason))
                        return true;
                return false;
            },
            15s);
    };
    const auto text = [&] { return QJsonDocument(till).toJson().toStdString(); };

    EXPECT_TRUE(tillShows("program \"Card reader\": down (exited with status 3)")) << text();
    EXPECT_EQ(till.value("host").toString(), QSysInfo::machineHostName());
    EXPECT_EQ(till.value("state").toString(), "warning") << text();
    EXPECT_EQ(till.value("database_ok").toBool(), true) << text();
    EXPECT_EQ(till.value("printer").toString(), printer.name()) << text();

    // Queued two minutes ago and not notified: it waits. A drawer pulse older still is no receipt.
    testenv::psql("INSERT INTO poscommands (stationid, device, command, queued_at) "
                  "VALUES (41, 1, 'Waits', now() - interval '2 min'), (41, 2, NULL, now() - interval '5 min')");
    EXPECT_TRUE(tillShows("1 receipts waiting, oldest 1")) << text();

    // Notified while the printer has no paper: the queue says so.
    printer.order("paper-end 1");
    queue(1, "No paper", true);
    EXPECT_TRUE(tillShows("printer: media-empty-error")) << text();
    // A row for a device no launcher handles stays queued: the office is told.
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (41, 3, 'Pole display')");
    EXPECT_TRUE(tillShows("1 queued rows for devices the launcher does not handle")) << text();

    // Restarted every eleven seconds, the card reader fails again and again.
    EXPECT_TRUE(tillShows("program \"Card reader\": crashing, ")) << text();
}

} // namespace
