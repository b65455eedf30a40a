// The real launcher, copied into a temporary application directory beside a
// fake front-end and card reader, under a private X display with a tray
// host, against the test cluster and the private print server: the one check
// that the executable wires in the real windows, printer and loop.
#include "tempdir.h"
#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <functional>

namespace {

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// Ends a helper process of the test, whatever state it is in.
void end(QProcess &p)
{
    p.kill();
    p.waitForFinished(5000);
}

// Xvfb on a free display with trayer on it, for the whole test.
class XSession {
public:
    XSession()
    {
        for (int n = 90; n < 140 && m_display.isEmpty(); ++n) {
            if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) ||
                QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                continue;
            m_xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(n), "-screen", "0", "800x600x24",
                                                  "-nolisten", "tcp"});
            const auto socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
            if (m_xvfb.waitForStarted(5000) &&
                waitFor([&] { return QFile::exists(socket) || m_xvfb.state() != QProcess::Running; }, 5000) &&
                m_xvfb.state() == QProcess::Running)
                m_display = QStringLiteral(":%1").arg(n);
        }
        m_env.insert(QStringLiteral("DISPLAY"), m_display);
        m_trayer.setProcessEnvironment(m_env);
        m_trayer.start(QStringLiteral("trayer"), {"--edge", "top", "--align", "right", "--widthtype", "request",
                                                  "--height", "32", "--SetDockType", "true"});
    }
    ~XSession()
    {
        end(m_trayer);
        end(m_xvfb);
    }
    bool up() { return !m_display.isEmpty() && m_trayer.waitForStarted(5000); }
    QProcessEnvironment environment() const { return m_env; }

    QString xdotool(const QStringList &arguments) const
    {
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.start(QStringLiteral("xdotool"), arguments);
        p.waitForFinished(10000);
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    }
    // Visible windows of the launcher (its X class is the executable's name).
    QStringList launcherWindows() const
    {
        return xdotool({"search", "--onlyvisible", "--class", "korvantis-launcher"}).split('\n', Qt::SkipEmptyParts);
    }
    bool windowAppears(const QString &title) const
    {
        return waitFor([&] {
            for (const QString &w : launcherWindows()) {
                if (xdotool({"getwindowname", w}) == title)
                    return true;
            }
            return false;
        }, 10000);
    }
    // Clicks the tray icon with a button and chooses the item `fromEnd` places from the
    // menu's end (1: the last): from no item, Up selects the last one.
    void chooseMenuItem(const QString &icon, int button, int fromEnd) const
    {
        const QStringList before = launcherWindows();
        xdotool({"mousemove", "--window", icon, "10", "10", "click", QString::number(button)});
        ASSERT_TRUE(waitFor([&] {
            for (const QString &w : launcherWindows()) {
                if (!before.contains(w))
                    return true;
            }
            return false;
        }, 5000)) << "no tray menu";
        QStringList keys{"key", "--delay", "50"};
        for (int i = 0; i < fromEnd; ++i)
            keys << "Up";
        xdotool(keys << "Return");
    }

private:
    QProcess m_xvfb, m_trayer;
    QString m_display;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
};

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

QByteArray confLine(const char *key, const QString &value) { return key + (" = " + value + "\r\n").toUtf8(); }

TEST(RealLauncher, StartsPrintsOpensItsWindowsFromTheTrayAndQuits)
{
    XSession x;
    ASSERT_TRUE(x.up()) << "no X display with a tray host";
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
                  "', '', true, true, 7)");
    app.write("shell.conf", confLine("db_host", db.host) + confLine("db_name", db.name) +
                                confLine("db_username", db.user) + confLine("db_password", db.password) +
                                confLine("stationid", "7") + confLine("esc_printer", printer.name()));
    // The programs note how they were started and run until ended.
    for (const QString &name : {QStringLiteral("korvantis.exe"), reader}) {
        app.write(name, "#!/bin/sh\necho \"$0 $*\" >> ran.log\nwhile :; do sleep 1; done\n");
        QFile::setPermissions(app.file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // The launcher finds its directory through /proc/self/exe, which
    // resolves links: it must be a copy.
    ASSERT_TRUE(QFile::copy(QStringLiteral(KV_LAUNCHER_EXE), app.file("korvantis-launcher")));
    QTemporaryDir runtimeDir;
    QProcess launcher;
    QProcessEnvironment env = x.environment();
    env.remove("QT_QPA_PLATFORM");
    env.insert("XDG_RUNTIME_DIR", runtimeDir.path());
    launcher.setProcessEnvironment(env);
    launcher.setWorkingDirectory(app.path());
    launcher.setProcessChannelMode(QProcess::ForwardedChannels);
    struct Cleanup {
        QProcess &launcher;
        QString dir;
        ~Cleanup()
        {
            end(launcher);
            for (const int pid : processesIn(dir, QString()))
                ::kill(pid, SIGKILL);
        }
    } cleanup{launcher, app.path()};
    launcher.start(app.file("korvantis-launcher"), {});

    // Start-up: both programs run from the application directory, and the icon comes.
    const auto ranLog = [&] { return QString::fromUtf8(app.read("ran.log")); };
    EXPECT_TRUE(waitFor([&] { return ranLog().count(QStringLiteral("-v stationid=7")) == 2; }, 20000))
        << ranLog().toStdString();
    EXPECT_TRUE(ranLog().contains(QStringLiteral("./korvantis.exe -v stationid=7"))) << ranLog().toStdString();
    QString icon;
    ASSERT_TRUE(waitFor([&] { return !(icon = x.launcherWindows().value(0)).isEmpty(); }, 10000)) << "no tray icon";

    // A receipt and a drawer pulse, printed and taken off the queue.
    const auto mark = printer.mark();
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (7, 1, 'Total 4.50'), (7, 2, NULL); "
                  "NOTIFY poscommands");
    EXPECT_EQ(printer.bytesSince(mark, 1, std::chrono::seconds(5)),
              QByteArray("\x1b\x63\x30\x02Total 4.50\x1d\x56\x42\x00"
                         "\x1b\x63\x30\x02\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 32));
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands"), "0\n");

    x.chooseMenuItem(icon, 1, 4); // Manage Programs
    EXPECT_TRUE(x.windowAppears(QStringLiteral("Korvantis Launcher")));

    x.chooseMenuItem(icon, 3, 1); // Exit
    EXPECT_TRUE(launcher.waitForFinished(5000) && launcher.exitStatus() == QProcess::NormalExit &&
                launcher.exitCode() == 0);
    EXPECT_TRUE(waitFor([&] { return processesIn(app.path(), reader).isEmpty(); }, 3000)) << "card reader left";
}

} // namespace
