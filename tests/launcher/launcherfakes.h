// Recording stand-ins for everything the launcher is built from, shared by
// the core tests and the tray tests.
#pragma once

#include "launcher/vbMain.h"

#include "config/vbDraldbFake.h"
#include "platform/fakes/process_fake.h"
#include "platform/fakes/recordingspooler.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace launcherfakes {

using kv::MsgResult;
using kv::Outcome;

// A silent child that runs until the test ends it or it is killed.
struct ChildState {
    std::vector<std::string> argv;
    bool running = true;
    bool killed = false;
};

class FakeChild final : public kv::platform::Child {
public:
    explicit FakeChild(std::shared_ptr<ChildState> s) : m_s(std::move(s)) {}
    ReadResult read(char *, std::size_t, std::size_t &got) override
    {
        got = 0;
        return m_s->running ? ReadResult::Nothing : ReadResult::Closed;
    }
    int pid() const override { return 4242; }
    bool kill() override
    {
        m_s->killed = m_s->running;
        m_s->running = false;
        return true;
    }
    bool reap() override { return !m_s->running; }

private:
    std::shared_ptr<ChildState> m_s;
};

class FakeSpawner final : public kv::platform::ChildSpawner {
public:
    std::vector<std::shared_ptr<ChildState>> started;
    std::unique_ptr<kv::platform::Child> spawn(const std::vector<std::string> &argv, const std::string &,
                                               kv::platform::Capture, kv::platform::SpawnError &) override
    {
        auto s = std::make_shared<ChildState>();
        s->argv = argv;
        started.push_back(s);
        return std::make_unique<FakeChild>(s);
    }
};

struct Program {
    QString executable;
    bool runOnStart = false;
};

class FakeDatabase final : public kv::StartupDatabase {
public:
    // Results of successive schema checks; the last one repeats.
    QList<qint32> schemaResults{0};
    QList<bool> schemaShowErrors;
    std::function<void()> onCheck;
    Outcome setupResult = Outcome::Continue;
    std::function<void()> loadThrows;
    // The station's programs besides the front-end.
    QList<Program> programs;

    qint32 checkSchemaVersion(const kv::LauncherSettings &, bool showErrors) override
    {
        schemaShowErrors << showErrors;
        if (onCheck)
            onCheck();
        return schemaResults.size() > 1 ? schemaResults.takeFirst() : schemaResults.first();
    }
    Outcome setupStation(kv::LauncherSettings &settings, const QString &) override
    {
        settings.stationid = QStringLiteral("3");
        return setupResult;
    }
    Outcome loadManagedPrograms(kv::ManagedPrograms &mp, const kv::LauncherSettings &) override
    {
        if (loadThrows)
            loadThrows();
        auto &list = mp.managedPrograms;
        list.clear();
        list.resize(std::size_t(programs.size()) + 1);
        list[0].executable = QStringLiteral("run.sh");
        list[0].path = QStringLiteral("/opt/kv/");
        for (int i = 0; i < programs.size(); ++i) {
            auto &e = list[std::size_t(i) + 1];
            e.executable = programs[i].executable;
            e.path = QStringLiteral("/opt/kv/");
            e.runOnStart = programs[i].runOnStart;
            e.restartOnFailure = true;
            if (e.runOnStart)
                mp.startProgram(i + 1);
        }
        mp.startProgram(0);
        return Outcome::Continue;
    }
};

// One check in flight at most, applied by the tick after its hand-over.
struct FakeWatchdog final : kv::DatabaseWatchdog {
    int tests = 0;
    bool inFlight = false;
    bool testDatabaseConnection(const kv::LauncherSettings &) override
    {
        if (inFlight)
            return false;
        inFlight = true;
        return ++tests, true;
    }
    qint32 applyDatabaseTest() override { return std::exchange(inFlight, false) ? 0 : -1; }
    void setDbConnectionUp(bool) override {}
};

struct FakeUpdate final : kv::UpdateProcedure {
    Outcome result = Outcome::Continue;
    int runs = 0, requests = 0;
    std::function<void()> onRun;
    Outcome runUpdate() override
    {
        if (onRun)
            onRun();
        return ++runs, result;
    }
    void requestUpdate() override { ++requests; }
};

struct FakeKiller final : kv::ImageKiller {
    QStringList killed;
    int killImage(const QString &name) override { return killed << name, 1; }
};

struct FakeTray final : kv::TrayIcon {
    int added = 0, removed = 0;
    bool exitAvailable = false;
    void addTrayIcon() override { ++added; }
    void removeTrayIcon() override { ++removed; }
    void setExitAvailable(bool a) override { exitAvailable = a; }
};

// Can also fail the way a broken layer does, with an exception.
struct TestPrompter final : testsupport::ScriptedPrompter {
    bool failNext = false;
    kv::MsgResult messageBox(const kv::MessageBox &box) override
    {
        if (failNext) {
            failNext = false;
            throw std::runtime_error("the display went away");
        }
        return ScriptedPrompter::messageBox(box);
    }
};

struct FakeDialog final : kv::SettingsDialog {
    int shown = 0;
    void showDialog() override { ++shown; }
    void unloadDialog() override {}
};

struct FakeWaitingWindow final : kv::WaitingWindow {
    bool shown = false;
    QString text;
    int keptShown = 0;
    std::function<void()> onKeepShown;
    void showWaiting(const QString &t) override { shown = true, text = t; }
    void keepShown() override
    {
        ++keptShown;
        if (onKeepShown)
            onKeepShown();
    }
    void hideWaiting() override { shown = false; }
};

struct FakeManager final : kv::ProgramManagerWindow {
    int shown = 0;
    // What each saveBeforeQuit was given.
    QList<bool> quitSaves;
    void showWindow() override { ++shown; }
    QString saveBeforeQuit(bool mayAsk) override { return quitSaves << mayAsk, QString(); }
};

// Everything a launcher is built from, as fakes in a directory of its own.
struct LauncherRig {
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    TestPrompter prompter;
    kv::FakeClock clock;
    FakeDatabase database;
    FakeWatchdog watchdog;
    FakeUpdate update;
    FakeKiller killer;
    kv::FakeDraldb draldb;
    kv::platform::RecordingSpooler spooler;
    kv::platform::FakeProcessTable processes{100, "/opt/kv/korvantis-launcher"};
    FakeSpawner spawner;
    kv::InlineWorker libraryWorker;
    testsupport::RecordingEventLog events;

    // `asked` stands in for the rig's prompter when given.
    kv::LauncherParts parts(bool previousInstance = false, kv::Prompter *asked = nullptr)
    {
        return kv::LauncherParts{ctx,     asked ? *asked : prompter, clock, database, watchdog, update, killer,
                                 draldb,  spooler, processes, spawner, libraryWorker, events,  previousInstance};
    }
};

} // namespace launcherfakes
