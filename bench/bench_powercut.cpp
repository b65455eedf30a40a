// The till loses power while a job of 60 receipts prints: the print server
// (with CUPS's default DirtyCleanInterval, as installed), the backend it
// runs and the launcher die together, the printer keeps its power. The next
// start of the launcher finishes the work. Counted on paper: receipts lost,
// receipts printed twice, and whether the print server still had the job.
//
//   bench_powercut                   10 cuts at random moments of the jobs
//   KV_CUTS=20 bench_powercut        another number of cuts
//   KV_PRINT_MS=50 bench_powercut    how long the printer takes a receipt
//   KV_CUT_SEED=7 bench_powercut     the same moments again
#include "station/vbDraldb.h"
#include "escpos/vbPosCommands.h"
#include "platform/posix/cupsspooler.h"
#include "tempdir.h"
#include "testenv.h"
#include "testprinter.h"

#include <QDir>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStation = 3;
constexpr int kReceipts = 60;

int envInt(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

QByteArray confLine(const QString &key, const QString &value) { return (key + " = " + value + "\r\n").toUtf8(); }

// Every process of the print server's session: cupsd and the backends it
// runs.
std::vector<int> printServerSession()
{
    const int cupsd = testprinter::printServerPid();
    std::vector<int> session;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const int pid = entry.toInt(&number);
        std::ifstream stat("/proc/" + entry.toStdString() + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        std::istringstream rest(close == std::string::npos ? std::string() : line.substr(close + 2));
        std::string state;
        int ppid = 0, pgrp = 0, sid = 0;
        if (number && rest >> state >> ppid >> pgrp >> sid && sid == cupsd && state != "Z")
            session.push_back(pid);
    }
    return session;
}

bool gone(const std::vector<int> &pids)
{
    for (const int pid : pids) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field;
        if (stat >> field >> field >> field && field != "Z")
            return false;
    }
    return true;
}

// The launcher as a till runs it, on a directory that outlives it.
struct Launcher {
    explicit Launcher(testsupport::TempAppDir &app)
    {
        connection = library.system_init(app.file("dralfrontend"));
    }
    kv::DraldbLibrary library;
    qint32 connection = 0;
    kv::platform::CupsSpooler spooler;
    kv::PosCommandQueue queue{library, connection, spooler};
};

std::string count(const std::string &where)
{
    const std::string out = testenv::psql("SELECT count(*) FROM poscommands" + where);
    return out.substr(0, out.find('\n'));
}

} // namespace

int main()
{
    testenv::loadAll();
    const int cuts = envInt("KV_CUTS", 10), printMs = envInt("KV_PRINT_MS", 50);
    std::mt19937 random(unsigned(envInt("KV_CUT_SEED", int(std::random_device{}()))));
    // A job lasts about kReceipts * printMs: the cut falls anywhere in it.
    std::uniform_int_distribution<int> moment(0, kReceipts * printMs);

    testprinter::TestPrinter printer(testprinter::defaultQueue());
    testsupport::TempAppDir app;
    const auto db = testenv::database();
    app.write("dralfrontend.conf", confLine("db_host", db.host) + confLine("db_name", db.name) +
                                       confLine("db_username", db.user) + confLine("db_password", db.password) +
                                       confLine("stationid", QString::number(kStation)));
    testenv::psql("DELETE FROM poscommands");
    printer.order("print-ms " + std::to_string(printMs));

    std::printf("bench_powercut: %d cuts during jobs of %d receipts, %d ms a receipt, CUPS's default "
                "DirtyCleanInterval\n", cuts, kReceipts, printMs);
    int lostAll = 0, twiceAll = 0, maxTwice = 0, kept = 0, failed = 0;
    for (int cut = 1; cut <= cuts; ++cut) {
        const std::string tag = "cut" + std::to_string(cut);
        testenv::psql("INSERT INTO poscommands (stationid, device, command) SELECT " + std::to_string(kStation) +
                      ", 1, '" + tag + " receipt ' || n || E'\\n' FROM generate_series(1, " +
                      std::to_string(kReceipts) + ") AS n");
        const auto mark = printer.mark();
        const int atMs = moment(random);
        int reprinted = -1;
        std::string problem;
        {
            auto launcher = std::make_unique<Launcher>(app);
            const kv::PosPassReport handedOver = launcher->queue.processPosCommands(printer.name());
            if (!handedOver.jobAccepted)
                problem = "job not taken: " + handedOver.failure.toStdString();
            std::this_thread::sleep_for(std::chrono::milliseconds(atMs));
            // The cut: the print server's session at once, then the launcher
            // (dropped without another step).
            const std::vector<int> session = printServerSession();
            for (const int pid : session)
                ::kill(pid, SIGKILL);
            for (const auto until = Clock::now() + 5s; !gone(session) && Clock::now() < until;)
                std::this_thread::sleep_for(10ms);
            launcher.reset();
        }
        const std::string restart = "'" + testenv::require("KV_CUPSCTL") + "' start-cupsd '" +
                                    testenv::require("KV_CUPS_ENVDIR") + "' >/dev/null 2>&1";
        if (std::system(restart.c_str()) != 0)
            problem = "the print server did not come back";
        // The next start: held jobs cancelled, then passes until every row
        // has left the queue.
        {
            Launcher launcher(app);
            launcher.queue.cancelHeldLeftovers(printer.name());
            const auto until = Clock::now() + 120s;
            for (bool first = true; count("") != "0" && Clock::now() < until; first = false) {
                const kv::PosPassReport pass = launcher.queue.processPosCommands(printer.name());
                if (first)
                    reprinted = pass.receipts;
                std::this_thread::sleep_for(200ms);
            }
            if (count("") != "0")
                problem = "rows still queued after 120 s";
        }
        std::this_thread::sleep_for(500ms);
        const testprinter::Paper paper = testprinter::readPaper(printer.printedSince(mark), tag, kReceipts);
        lostAll += paper.lost;
        twiceAll += paper.twice;
        maxTwice = std::max(maxTwice, paper.twice);
        kept += reprinted == 0;
        failed += !problem.empty();
        std::printf("cut %2d at %5d ms: lost=%2d twice=%2d in_order=%s server_had_job=%s reprinted=%d %s\n", cut, atMs,
                    paper.lost, paper.twice, paper.inOrder ? "yes" : "NO", reprinted == 0 ? "yes" : "no", reprinted,
                    problem.c_str());
        std::fflush(stdout);
    }
    printer.order("print-ms 0");
    std::printf("bench_powercut: %d cuts: lost=%d twice=%d (at most %d in one cut), the print server kept the job "
                "in %d, failures %d\n", cuts, lostAll, twiceAll, maxTwice, kept, failed);
    return failed == 0 && lostAll == 0 ? 0 : 1;
}
