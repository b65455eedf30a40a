// Recording stand-ins for all the launcher is built from but the client
// library and the print server, shared by the launcher tests and benches.
#pragma once

#include "launcher/vbMain.h"

#include "station/vbDraldb.h"
#include "platform/fakes/process_fake.h"
#include "platform/posix/cupsspooler.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tillscenario.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace launcherfakes {

// A silent child that runs until the test ends it or it is killed. A piped
// one gives the loop its pipe to wait on; the test ends it by closing the
// write end as well.
struct ChildState {
    bool running = true, killed = false;
    int pipe[2] = {-1, -1};
    ~ChildState()
    {
        for (const int fd : pipe)
            if (fd >= 0)
                ::close(fd);
    }
    void end()
    {
        running = false;
        ::close(std::exchange(pipe[1], -1));
    }
};

class FakeSpawner final : public kv::platform::ChildSpawner {
    struct Child final : kv::platform::Child {
        std::shared_ptr<ChildState> s;
        explicit Child(std::shared_ptr<ChildState> state) : s(std::move(state)) {}
        ReadResult read(char *, std::size_t, std::size_t &got) override
        {
            got = 0;
            return s->running ? ReadResult::Nothing : ReadResult::Closed;
        }
        int pid() const override { return 4242; }
        bool kill() override
        {
            s->killed = std::exchange(s->running, false);
            return true;
        }
        bool reap() override { return !s->running; }
        std::intptr_t newWaitHandle() const override
        {
            return s->pipe[0] < 0 ? kNoWaitHandle : ::fcntl(s->pipe[0], F_DUPFD_CLOEXEC, 0);
        }
    };

public:
    std::vector<std::shared_ptr<ChildState>> started;
    bool piped = false;
    // A program by this name has no file: its starts fail.
    std::string missing = "-";
    std::unique_ptr<kv::platform::Child> spawn(const std::vector<std::string> &argv, const std::string &,
                                               kv::platform::Capture, kv::platform::SpawnError &error) override
    {
        if (argv.front().ends_with(missing)) {
            error = {kv::platform::SpawnError::Stage::Start, ENOENT, "No such file or directory"};
            return nullptr;
        }
        started.push_back(std::make_shared<ChildState>());
        if (piped && ::pipe2(started.back()->pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe for a fake child");
        return std::make_unique<Child>(started.back());
    }
};

class FakeDatabase final : public kv::StartupDatabase {
public:
    // Error numbers of successive looks at the schema; the last one repeats.
    QList<qint32> schemaResults{0};
    qint32 schemaVersion = kv::database::kLowestSchemaVersion;
    int schemaLooks = 0;
    // Runs inside each look, on whatever thread the launcher takes it.
    std::function<void()> duringLook = [] {};
    std::function<void()> loadThrows;
    // The station's programs besides the front-end, all started with it.
    QStringList programs;

    kv::database::SchemaLook lookAtSchema(const kv::LauncherSettings &) override
    {
        ++schemaLooks;
        duringLook();
        kv::database::SchemaLook look;
        look.error = schemaResults.size() > 1 ? schemaResults.takeFirst() : schemaResults.first();
        look.description = QStringLiteral("no server");
        look.version = schemaVersion;
        return look;
    }
    // The reason set-up is refused for lack of rights; none: it is not.
    QString setupRefusal;
    kv::Outcome setupStation(kv::LauncherSettings &settings, const QString &, kv::Prompter &prompter) override
    {
        if (!setupRefusal.isEmpty())
            return kv::endForLackOfRights(prompter, QStringLiteral("No rights."), setupRefusal);
        settings.stationid = QStringLiteral("3");
        return kv::Outcome::Continue;
    }
    kv::Outcome loadManagedPrograms(kv::ManagedPrograms &mp, const kv::LauncherSettings &) override
    {
        if (loadThrows)
            loadThrows();
        mp.managedPrograms.clear();
        mp.managedPrograms.resize(std::size_t(programs.size()) + 1);
        for (int i = 0; i <= programs.size(); ++i) {
            auto &e = mp.managedPrograms[std::size_t(i)];
            e.executable = i ? programs[i - 1] : QStringLiteral("run.sh");
            e.path = QStringLiteral("/opt/kv/");
            e.runOnStart = i > 0;
            e.restartOnFailure = true;
        }
        for (int i = programs.size(); i >= 0; --i)
            mp.startProgram(i);
        return kv::Outcome::Continue;
    }
};

// One check in flight at most, applied by the tick after its hand-over.
struct FakeWatchdog final : kv::DatabaseWatchdog {
    int tests = 0;
    bool inFlight = false;
    bool testDatabaseConnection(const kv::LauncherSettings &) override
    {
        return !std::exchange(inFlight, true) && ++tests;
    }
    bool probeDatabaseConnection(const kv::LauncherSettings &) override
    {
        return !std::exchange(inFlight, true);
    }
    qint32 applyDatabaseTest() override { return std::exchange(inFlight, false) ? 0 : -1; }
    bool lookPending() const override { return inFlight; }
    void setDbConnectionUp(bool) override {}
    // The way out's last write runs there and then, when given a connection.
    kv::odbc::Connection *connection = nullptr;
    Last startLast(const std::function<void(kv::odbc::Connection &)> &work) override
    {
        return connection ? (work(*connection), Last::Started) : Last::NotRun;
    }
};

struct FakeUpdate final : kv::UpdateProcedure {
    kv::Outcome result = kv::Outcome::Continue;
    int runs = 0;
    std::function<void()> onRun;
    kv::Outcome runUpdate() override
    {
        if (onRun)
            onRun();
        return ++runs, result;
    }
    void requestUpdate() override {}
};

// Runs `onNextMessage` once, at the next box: a layer that fails with an
// exception.
struct TestPrompter final : testsupport::ScriptedPrompter {
    std::function<void()> onNextMessage = [] {};
    kv::MsgResult messageBox(const kv::MessageBox &box) override
    {
        std::exchange(onNextMessage, [] {})();
        return ScriptedPrompter::messageBox(box);
    }
    std::shared_ptr<kv::OpenBox> openBox(const kv::MessageBox &box) override
    {
        std::exchange(onNextMessage, [] {})();
        return ScriptedPrompter::openBox(box);
    }
};

// Everything a till's launcher is built from, as fakes but the client library
// (it reads the till's dralfrontend.conf) and CUPS_SERVER's print server.
struct LauncherRig : tilltest::Till {
    TestPrompter prompter;
    kv::FakeClock clock;
    FakeDatabase database;
    FakeWatchdog watchdog;
    FakeUpdate update;
    testsupport::RecordingKiller killer;
    kv::DraldbLibrary draldb;
    kv::platform::CupsSpooler spooler;
    kv::platform::FakeProcessTable processes{100, "/opt/kv/korvantis-launcher"};
    FakeSpawner spawner;
    kv::InlineWorker inlineWorker;
    kv::Worker *libraryWorker = &inlineWorker;
    testsupport::RecordingEventLog events;

    // With the fake database unless given another.
    kv::LauncherParts parts(bool previousInstance = false, kv::StartupDatabase *db = nullptr)
    {
        return kv::LauncherParts{ctx,    prompter, clock,     db ? *db : database, watchdog,       update, killer,
                                 draldb, spooler,  processes, spawner,             *libraryWorker, events, previousInstance};
    }
};

} // namespace launcherfakes
