// The real launcher, copied into a temporary application directory beside
// fake front-end and card-reader scripts, under a private X display with a
// tray host, against the test cluster and the private print server. What
// counts is what runs, what is printed and what a person sees.
#include "tempdir.h"
#include "testenv.h"
#include "testprinter.h"
#include "xsession.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <functional>
#include <memory>

namespace {

using namespace std::chrono_literals;

constexpr int kStation = 7;

class XEnvironment : public ::testing::Environment {
public:
    void SetUp() override { xsession::start(); }
    void TearDown() override { xsession::stop(); }
};
const auto *const g_x = ::testing::AddGlobalTestEnvironment(new XEnvironment);

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeout.count())
            return false;
        QThread::msleep(50);
    }
    return true;
}

QByteArray confLine(const QString &key, const QString &value)
{
    return (key + QStringLiteral(" = ") + value + QStringLiteral("\r\n")).toUtf8();
}

// Processes running `file` of the directory `dir`: as their executable, or
// named by path or (run from there) by name in their first two arguments.
QList<int> processesRunning(const QString &dir, const QString &file)
{
    QList<int> pids;
    const QString exePath = dir + QLatin1Char('/') + file;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        const QString base = QStringLiteral("/proc/") + entry;
        QFile cmdline(base + QStringLiteral("/cmdline"));
        if (!isPid || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const bool inDir = QFileInfo(base + QStringLiteral("/cwd")).symLinkTarget() == dir;
        QStringList names{QFileInfo(base + QStringLiteral("/exe")).symLinkTarget()};
        for (const QByteArray &a : cmdline.readAll().split('\0').mid(0, 2))
            names << QString::fromLocal8Bit(a);
        if (names.contains(exePath) || (inDir && (names.mid(1).contains(file) || names.mid(1).contains("./" + file))))
            pids << pid;
    }
    return pids;
}

class RealLauncher : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto db = testenv::database();
        testenv::psql("DELETE FROM managedprogram; DELETE FROM poscommands; DELETE FROM config; "
                      "INSERT INTO config (schemaversion, te_username, te_password) VALUES (90, 'te', 'pw')");
        testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, "
                      "machineid) VALUES ('Card reader', '" + app.path().toStdString() +
                      "', 'tallyward.exe', '', true, true, " + std::to_string(kStation) + ")");
        const QByteArray database = confLine("db_host", db.host) + confLine("db_name", db.name) +
                                    confLine("db_username", db.user) + confLine("db_password", db.password);
        const QByteArray station = confLine("stationid", QString::number(kStation));
        app.write("dralfrontend.conf", database + station);
        app.write("shell.conf", database + station + confLine("esc_printer", printer.name()) +
                                    confLine("launcher", "korvantis-launcher"));
        // The programs note how they were started and run until ended.
        const QByteArray script = "#!/bin/sh\necho \"$0 $*\" >> '" + app.file("ran.log").toUtf8() +
                                  "'\nwhile :; do sleep 1; done\n";
        for (const char *name : {"dralfrontend.exe", "tallyward.exe"}) {
            app.write(name, script);
            QFile::setPermissions(app.file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // The launcher finds its directory through /proc/self/exe, which
        // resolves links: it must be a copy.
        ASSERT_TRUE(QFile::copy(QStringLiteral(KV_LAUNCHER_EXE), launcherPath()));
    }

    void TearDown() override
    {
        for (auto &l : launchers) {
            if (l->state() != QProcess::NotRunning) {
                l->kill();
                l->waitForFinished(5000);
            }
        }
        for (const char *name : {"dralfrontend.exe", "tallyward.exe", "korvantis-launcher"}) {
            for (const int pid : processesRunning(app.path(), name))
                ::kill(pid, SIGKILL);
        }
    }

    QString launcherPath() const { return app.file("korvantis-launcher"); }

    QProcess &startLauncher()
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", xsession::display());
        env.remove("QT_QPA_PLATFORM");
        env.insert("XDG_RUNTIME_DIR", runtimeDir.path());
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(app.path());
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        p->start(launcherPath(), {});
        EXPECT_TRUE(p->waitForStarted(5000));
        launchers.push_back(std::move(p));
        return *launchers.back();
    }

    QString ranLog() const { return QString::fromUtf8(app.read("ran.log")); }

    // Starts the launcher and waits for its programs and its icon.
    QString startAndWaitForIcon()
    {
        startLauncher();
        const QString expected = QStringLiteral("-v stationid=%1").arg(kStation);
        EXPECT_TRUE(waitFor([&] { return ranLog().count(expected) == 2; }, 20s)) << ranLog().toStdString();
        QString icon;
        EXPECT_TRUE(waitFor(
            [&] {
                const QStringList windows = xsession::launcherWindows();
                icon = windows.isEmpty() ? QString() : windows.front();
                return !icon.isEmpty();
            },
            10s))
            << "no tray icon";
        return icon;
    }

    // Answers the message box titled "Korvantis Launcher" with its No button.
    void answerNo()
    {
        const QString box = xsession::waitForWindow(QStringLiteral("Korvantis Launcher"), 10s);
        ASSERT_FALSE(box.isEmpty()) << "no question came";
        xsession::xdotool({"windowfocus", "--sync", box});
        xsession::xdotool({"key", "--clearmodifiers", "alt+n"});
        ASSERT_TRUE(waitFor([&] { return xsession::waitForWindow("Korvantis Launcher", 100ms).isEmpty(); }, 5s))
            << "the question stayed open";
    }

    bool launcherEnds(QProcess &p, std::chrono::milliseconds timeout)
    {
        return p.waitForFinished(int(timeout.count())) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }

    testsupport::TempAppDir app;
    QTemporaryDir runtimeDir;
    testprinter::TestPrinter printer{testprinter::otherQueue()};
    std::vector<std::unique_ptr<QProcess>> launchers;
};

TEST_F(RealLauncher, PrintsWhatIsQueuedAndEndsOnShutdownLeavingTheFrontEnd)
{
    startAndWaitForIcon();
    // Both programs were started from the application directory ("$0 $*").
    EXPECT_TRUE(ranLog().contains(app.file("tallyward.exe") + QStringLiteral(" -v stationid=7")))
        << ranLog().toStdString();
    EXPECT_TRUE(ranLog().contains(QStringLiteral("./dralfrontend.exe -v stationid=7"))) << ranLog().toStdString();

    const auto mark = printer.mark();
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(kStation) +
                  ", 1, 'Total 4.50'), (" + std::to_string(kStation) + ", 2, NULL); NOTIFY poscommands");
    const QByteArray bytes = printer.bytesSince(mark, 1, 2s);
    EXPECT_EQ(bytes, QByteArray("\x1b\x63\x30\x02Total 4.50\x1d\x56\x42\x00"
                                "\x1b\x63\x30\x02\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa",
                                32));
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands"), "0\n");

    testenv::psql("NOTIFY shutdown");
    // Escape is no answer (No would end the card reader): the question stays.
    const QString question = xsession::waitForWindow(QStringLiteral("Korvantis Launcher"), 10s);
    ASSERT_FALSE(question.isEmpty()) << "no question came";
    xsession::xdotool({"windowfocus", "--sync", question});
    xsession::xdotool({"key", "--clearmodifiers", "Escape"});
    QThread::msleep(1500);
    EXPECT_EQ(xsession::waitForWindow(QStringLiteral("Korvantis Launcher"), 100ms), question);
    EXPECT_EQ(launchers.front()->state(), QProcess::Running);
    EXPECT_FALSE(processesRunning(app.path(), "tallyward.exe").isEmpty());
    answerNo();
    EXPECT_TRUE(launcherEnds(*launchers.front(), 5s));
    EXPECT_EQ(processesRunning(app.path(), "dralfrontend.exe").size(), 1);
    EXPECT_TRUE(processesRunning(app.path(), "tallyward.exe").isEmpty());
}

TEST_F(RealLauncher, FrontEndEndsKeptThenTrayExitEndsEverything)
{
    const QString icon = startAndWaitForIcon();
    const QList<int> frontEnd = processesRunning(app.path(), "dralfrontend.exe");
    ASSERT_EQ(frontEnd.size(), 1);
    ::kill(frontEnd.front(), SIGTERM);
    answerNo();
    // Nothing more is asked, and the launcher stays.
    EXPECT_TRUE(xsession::waitForWindow(QStringLiteral("Korvantis Launcher"), 3s).isEmpty());
    EXPECT_EQ(launchers.front()->state(), QProcess::Running);
    ASSERT_FALSE(processesRunning(app.path(), "tallyward.exe").isEmpty());

    xsession::chooseMenuItem(icon, 3, 1);  // Exit
    EXPECT_TRUE(launcherEnds(*launchers.front(), 5s));
    EXPECT_TRUE(waitFor([&] { return processesRunning(app.path(), "tallyward.exe").isEmpty(); }, 3s));
}

TEST_F(RealLauncher, MenuOpensTheProgramManagerAndTheSettingsDialog)
{
    const QString icon = startAndWaitForIcon();
    xsession::chooseMenuItem(icon, 1, 4);  // Manage Programs
    EXPECT_FALSE(xsession::waitForWindow(QStringLiteral("Korvantis Launcher"), 5s).isEmpty());
    xsession::chooseMenuItem(icon, 3, 3);  // Launcher Settings
    EXPECT_FALSE(xsession::waitForWindow(QStringLiteral("Korvantis Launcher Configuration"), 5s).isEmpty());
    EXPECT_EQ(launchers.front()->state(), QProcess::Running);
}

TEST_F(RealLauncher, IncompleteSettingsOpenTheSettingsDialogAndStartNothing)
{
    app.write("shell.conf", confLine("db_name", "pos") + confLine("stationid", QString::number(kStation)));
    QFile::remove(app.file("dralfrontend.conf"));
    startLauncher();
    EXPECT_FALSE(xsession::waitForWindow(QStringLiteral("Korvantis Launcher Configuration"), 10s).isEmpty());
    EXPECT_TRUE(xsession::launcherWindows().size() == 1) << "a window besides the dialog";
    EXPECT_TRUE(ranLog().isEmpty()) << ranLog().toStdString();
}

// A till whose panel starts after the launcher still gets the icon, and so
// the menu.
TEST_F(RealLauncher, IconComesWhenATrayHostStartsLater)
{
    xsession::stopTray();
    struct Restart {
        ~Restart() { xsession::startTray(); }
    } restart;
    startLauncher();
    EXPECT_TRUE(waitFor([&] { return ranLog().count(QStringLiteral("-v stationid=7")) == 2; }, 20s));
    EXPECT_TRUE(xsession::launcherWindows().isEmpty()) << "a window without a tray";
    xsession::startTray();
    QString icon;
    ASSERT_TRUE(waitFor([&] { return !(icon = xsession::launcherWindows().value(0)).isEmpty(); }, 10s))
        << "no icon after the tray came";
    xsession::chooseMenuItem(icon, 3, 3); // Launcher Settings
    EXPECT_FALSE(xsession::waitForWindow(QStringLiteral("Korvantis Launcher Configuration"), 5s).isEmpty());
}

TEST_F(RealLauncher, SecondCopyLeavesExactlyOneLauncher)
{
    startAndWaitForIcon();
    startLauncher();
    EXPECT_TRUE(waitFor([&] { return processesRunning(app.path(), "korvantis-launcher").size() == 1; }, 20s));
    // And it stays one: the survivor does not end itself.
    QThread::msleep(1500);
    EXPECT_EQ(processesRunning(app.path(), "korvantis-launcher").size(), 1);
}

TEST_F(RealLauncher, TermStopsTheProgramsButNotTheFrontEnd)
{
    startAndWaitForIcon();
    launchers.front()->terminate();
    EXPECT_TRUE(launcherEnds(*launchers.front(), 5s));
    EXPECT_TRUE(waitFor([&] { return processesRunning(app.path(), "tallyward.exe").isEmpty(); }, 3s));
    EXPECT_EQ(processesRunning(app.path(), "dralfrontend.exe").size(), 1);
}

TEST(LauncherExecutable, VersionAndHelpNeedNoDisplay)
{
    for (const char *option : {"--version", "--help"}) {
        QProcess p;
        QProcessEnvironment env;
        env.insert("PATH", "/usr/bin:/bin");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KV_LAUNCHER_EXE), {QString::fromLatin1(option)});
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), 0) << option;
        EXPECT_TRUE(p.readAllStandardOutput().startsWith(option == std::string("--help") ? "Usage: korvantis-launcher"
                                                                                           : "korvantis-launcher "))
            << option;
    }
}

} // namespace
