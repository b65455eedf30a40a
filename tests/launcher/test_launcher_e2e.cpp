// The real launcher in a temporary application directory beside a fake
// front-end and card reader, on a private X display with a tray host, against
// the test cluster and print server: the executable wires in the real parts.
#include "tempdir.h"
#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", db.password);
    QProcess psql;
    psql.setProcessEnvironment(env);
    psql.start("psql", {"-X", "-A", "-t", "-h", QString::fromStdString(testenv::require("KV_BOUNCER_HOST")), "-p",
                        QString::number(db.port), "-U", db.user, "-d", "pgbouncer", "-c", "SHOW CLIENTS"});
    psql.waitForFinished(10000);
    int n = 0;
    for (const QByteArray &line : psql.readAllStandardOutput().split('\n'))
        n += line.split('|').value(2) == db.name.toUtf8();
    return n;
}

// Directly to the server, or with the launcher's own connections through a
// PgBouncer in transaction pooling while the client library, which listens,
// keeps going to the server: it takes the front-end's file, the launcher
// shell.conf.
class RealLauncher : public testing::TestWithParam<bool> {};

TEST_P(RealLauncher, StartsPrintsOpensItsWindowsFromTheTrayAndQuits)
{
    const bool throughBouncer = GetParam();
    testsupport::TempAppDir app;
    testprinter::TestPrinter printer{testprinter::otherQueue()};
    // The Exit item ends some programs by name, every user's: the programs
    // here have names no other run uses.
    const QString reader = QStringLiteral("kvreader%1").arg(::getpid());
    const auto db = testenv::database();
    testenv::psql("DELETE FROM managedprogram; DELETE FROM poscommands; DELETE FROM config; "
                  "INSERT INTO config (schemaversion, te_username, te_password) VALUES (90, 'te', 'pw'); "
                  "INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, "
                  "machineid) VALUES ('Card reader', '" + app.path().toStdString() + "', '" + reader.toStdString() +
                  "', '', true, true, 7); "
                  // Queued while no launcher listened: nobody was notified.
                  "INSERT INTO poscommands (stationid, device, command) VALUES (7, 1, 'Waited 2.00')");
    const auto beforeStart = printer.mark();
    const QString login = QStringLiteral("db_name = %1\r\ndb_username = %2\r\ndb_password = %3\r\n")
                              .arg(db.name, db.user, db.password);
    const QString launcherHost =
        throughBouncer ? QString::fromStdString(testenv::require("KV_BOUNCER_HOST")) : db.host;
    app.write("shell.conf", QStringLiteral("db_host = %1\r\n%2stationid = 7\r\nesc_printer = %3\r\n")
                                .arg(launcherHost, login, printer.name())
                                .toUtf8());
    if (throughBouncer)
        app.write("dralfrontend.conf", QStringLiteral("db_host = %1\r\n%2").arg(db.host, login).toUtf8());
    // The programs note how they were started and run until ended.
    for (const QString &name : {QStringLiteral("korvantis.exe"), reader}) {
        app.write(name, "#!/bin/sh\necho \"$0 $*\" >> ran.log\nwhile :; do sleep 1; done\n");
        QFile::setPermissions(app.file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // The launcher finds its directory through /proc/self/exe, which
    // resolves links: it must be a copy.
    ASSERT_TRUE(QFile::copy(QStringLiteral(KV_LAUNCHER_EXE), app.file("korvantis-launcher")));

    // Xvfb on a free display, a tray host and the launcher, all working in
    // the application directory: whatever the outcome, the clean-up finds
    // every one of them there.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.insert("XDG_RUNTIME_DIR", app.path());
    QProcess session;
    session.setProcessEnvironment(env);
    session.setWorkingDirectory(app.path());
    session.setProcessChannelMode(QProcess::ForwardedChannels);
    const std::shared_ptr<void> cleanup(nullptr, [&](void *) {
        for (const int pid : processesIn(app.path(), QString()))
            ::kill(pid, SIGKILL);
        session.waitForFinished(5000);
    });
    session.start("xvfb-run", {"-a", "-f", app.file("Xauthority"), "-s", "-screen 0 800x600x24 -nolisten tcp",
                               "sh", "-c",
                               "echo \"$DISPLAY\" > display; trayer --edge top --align right --widthtype request "
                               "--height 32 --SetDockType true & exec ./korvantis-launcher"});
    ASSERT_TRUE(qWaitFor([&] { return !app.read("display").trimmed().isEmpty(); }, 20000)) << "no X display";
    env.insert("DISPLAY", QString::fromUtf8(app.read("display").trimmed()));
    env.insert("XAUTHORITY", app.file("Xauthority"));
    const auto xdotool = [&](const QStringList &arguments) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("xdotool"), arguments);
        p.waitForFinished(10000);
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    };
    // Visible windows of the launcher (its X class is the executable's name).
    const auto windows = [&] { return xdotool({"search", "--onlyvisible", "--class", "korvantis-launcher"}); };

    // Start-up: both programs run from the application directory, and the icon comes.
    const auto ranLog = [&] { return QString::fromUtf8(app.read("ran.log")); };
    EXPECT_TRUE(qWaitFor([&] { return ranLog().contains("./korvantis.exe -v stationid=7\n") &&
                                      ranLog().contains(reader + " -v stationid=7\n"); }, 20000))
        << ranLog().toStdString();
    EXPECT_EQ(printer.bytesSince(beforeStart, 1, std::chrono::seconds(5)),
              QByteArray("\x1b\x63\x30\x02Waited 2.00\x1d\x56\x42\x00", 19));
    QString icon;
    ASSERT_TRUE(qWaitFor([&] { return !(icon = windows().section('\n', 0, 0)).isEmpty(); }, 10000)) << "no icon";
    // The watchdog's connection, kept from the start on.
    if (throughBouncer) {
        EXPECT_TRUE(qWaitFor([&] { return bouncerClients(db) >= 1; }, 10000))
            << "the launcher is no client of PgBouncer";
    }

    // A receipt and a drawer pulse, printed and taken off the queue.
    const auto mark = printer.mark();
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (7, 1, 'Total 4.50'), (7, 2, NULL); "
                  "NOTIFY poscommands");
    EXPECT_EQ(printer.bytesSince(mark, 1, std::chrono::seconds(5)),
              QByteArray("\x1b\x63\x30\x02Total 4.50\x1d\x56\x42\x00"
                         "\x1b\x63\x30\x02\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 32));
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands"), "0\n");

    // Clicks the icon with a button and chooses the item `fromEnd` places
    // from the menu's end (1: the last): from no item, Up selects the last.
    const auto chooseMenuItem = [&](int button, int fromEnd) {
        const int before = windows().count('\n');
        xdotool({"mousemove", "--window", icon, "10", "10", "click", QString::number(button)});
        EXPECT_TRUE(qWaitFor([&] { return windows().count('\n') > before; }, 5000)) << "no tray menu";
        QStringList keys{"key", "--delay", "50"};
        for (int i = 0; i < fromEnd; ++i)
            keys << "Up";
        xdotool(keys << "Return");
    };
    chooseMenuItem(1, 4); // Manage Programs
    // The display is this test's own: a window of that name is the launcher's.
    const QStringList manager{"search", "--onlyvisible", "--name", "^Korvantis Launcher$"};
    EXPECT_TRUE(qWaitFor([&] { return !xdotool(manager).isEmpty(); }, 10000)) << "no program manager";

    chooseMenuItem(3, 1); // Exit
    EXPECT_TRUE(session.waitForFinished(5000) && session.exitCode() == 0) << "the launcher's exit status";
    EXPECT_TRUE(qWaitFor([&] { return processesIn(app.path(), reader).isEmpty(); }, 3000)) << "card reader left";
}

// The office's view (korvantis-fleet) of a real launcher: a program that
// keeps crashing, receipts that wait, a printer out of paper, each within
// seconds, and the till down once the launcher is killed.
TEST(RealLauncherInTheFleet, ShowsCrashesWaitingReceiptsPaperOutAndTheTillDown)
{
    using namespace std::chrono_literals;
    testsupport::TempAppDir app;
    testprinter::TestPrinter printer{testprinter::otherQueue()};
    const auto db = testenv::database();
    testenv::psqlOn(db.name.toStdString(), "-f", KV_DATABASE_SQL);
    const QString reader = QStringLiteral("kvfleetreader%1").arg(::getpid());
    testenv::psql("DELETE FROM managedprogram; DELETE FROM poscommands; DELETE FROM config; "
                  "DELETE FROM launcherstatus; "
                  "INSERT INTO config (schemaversion, te_username, te_password) VALUES (90, 'te', 'pw'); "
                  "INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, "
                  "machineid) VALUES ('Card reader', '" + app.path().toStdString() + "', '" + reader.toStdString() +
                  "', '', true, true, 41)");
    app.write("shell.conf", QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\ndb_password = %4\r\n"
                                           "stationid = 41\r\nesc_printer = %5\r\n")
                                .arg(db.host, db.name, db.user, db.password, printer.name())
                                .toUtf8());
    // The front-end runs; the card reader dies as soon as it starts.
    app.write("korvantis.exe", "#!/bin/sh\nwhile :; do sleep 1; done\n");
    app.write(reader, "#!/bin/sh\nexit 3\n");
    for (const QString &name : {QStringLiteral("korvantis.exe"), reader})
        QFile::setPermissions(app.file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(QFile::copy(QStringLiteral(KV_LAUNCHER_EXE), app.file("korvantis-launcher")));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", app.path());
    QProcess launcher;
    launcher.setProcessEnvironment(env);
    launcher.setWorkingDirectory(app.path());
    launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const std::shared_ptr<void> cleanup(nullptr, [&](void *) {
        for (const int pid : processesIn(app.path(), QString()))
            ::kill(pid, SIGKILL);
        launcher.waitForFinished(5000);
        printer.order("paper-end 0");
    });
    launcher.start(app.file("korvantis-launcher"), {});
    ASSERT_TRUE(launcher.waitForStarted(5000));

    // A launcher writes at least every eleven seconds and so never looks down
    // to this bound; a dead one does within it and eleven seconds more.
    const QString bound = QStringLiteral("20");
    QProcessEnvironment office = QProcessEnvironment::systemEnvironment();
    office.insert("PGHOST", db.host);
    office.insert("PGPORT", QString::number(db.port));
    office.insert("PGDATABASE", db.name);
    office.insert("PGUSER", db.user);
    office.insert("PGPASSWORD", db.password);
    int lastExit = -1;
    const auto fleet = [&](const QStringList &args) {
        QProcess p;
        p.setProcessEnvironment(office);
        p.start(QStringLiteral(KV_FLEET_EXE), QStringList({"--bound", bound}) << args);
        p.waitForFinished(20000);
        lastExit = p.exitCode();
        return QString::fromUtf8(p.readAllStandardOutput());
    };
    QJsonObject till;
    const auto tillShows = [&](const QString &reason) {
        return testenv::pollUntil(
            [&] {
                till = {};
                for (const QJsonValue v : QJsonDocument::fromJson(fleet({"--json"}).toUtf8()).array())
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

    // Queued two minutes ago and not notified: it waits.
    testenv::psql("INSERT INTO poscommands (stationid, device, command, queued_at) "
                  "VALUES (41, 1, 'Waits', now() - interval '2 min')");
    EXPECT_TRUE(tillShows("1 receipts waiting, oldest 1")) << text();

    // Notified while the printer has no paper: the queue says so.
    printer.order("paper-end 1");
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (41, 1, 'No paper'); "
                  "NOTIFY poscommands");
    EXPECT_TRUE(tillShows("printer: media-empty-error")) << text();
    fleet({"--check"});
    EXPECT_EQ(lastExit, 1) << "a warning";

    // Restarted every eleven seconds, the card reader fails again and again.
    EXPECT_TRUE(tillShows("program \"Card reader\": crashing, ")) << text();

    ::kill(int(launcher.processId()), SIGKILL);
    QElapsedTimer sinceKill;
    sinceKill.start();
    EXPECT_TRUE(testenv::pollUntil(
        [&] {
            fleet({"--check"});
            return lastExit == 2;
        },
        std::chrono::seconds(bound.toInt() + 11 + 5)))
        << "the killed till is not down";
    EXPECT_TRUE(tillShows("heartbeat ")) << text();
    EXPECT_EQ(till.value("state").toString(), "down");
}

INSTANTIATE_TEST_SUITE_P(Server, RealLauncher, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &row) { return row.param ? "ThroughPgBouncer" : "Direct"; });

} // namespace
