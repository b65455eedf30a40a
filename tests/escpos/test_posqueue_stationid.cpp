// The station id in the library's configuration goes into the queue's query
// as it is, so a pass must never run that query with anything but a whole
// number: "3 OR 1=1" would print and delete every station's receipts.
#include "escpos/vbPosCommands.h"

#include "draldbtest.h"
#include "platform/fakes/recordingspooler.h"
#include "scriptedprompter.h"

#include <gtest/gtest.h>

namespace {

constexpr int kStation = 3;
constexpr int kOtherStation = 4;

void queue(int station, int device, const std::string &command)
{
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(station) + ", " +
                  std::to_string(device) + ", '" + command + "')");
}

int queued(int station)
{
    return std::stoi(testenv::psql("SELECT count(*) FROM poscommands WHERE stationid = " + std::to_string(station)));
}

TEST(PosQueueStationId, OnlyAWholeNumberReadsTheQueue)
{
    const struct {
        const char *stationId;
        bool readsOwnQueue;
    } cases[] = {
        {"3 OR 1=1", false},
        {"3) OR (1=1", false},
        {"0 OR stationid=4", false},
        {"3; DELETE FROM poscommands", false},
        {"abc", false},
        {"", false},
        // The same set-up with a plain id prints this station's receipt only.
        {"3", true},
    };
    for (const auto &c : cases) {
        testenv::psql("DELETE FROM poscommands");
        queue(kStation, 1, "mine");
        queue(kOtherStation, 1, "not mine");
        queue(kOtherStation, 2, "");

        testsupport::TempAppDir app;
        app.write(QStringLiteral("dralfrontend.conf"),
                  draldbtest::clusterConf() + draldbtest::confLine("stationid", c.stationId));
        kv::DraldbLibrary library;
        const qint32 libraryConnection = library.system_init(app.file(QStringLiteral("dralfrontend")));
        ASSERT_NE(libraryConnection, 0);
        ASSERT_EQ(library.config_getvalue(QStringLiteral("stationid")), QString::fromUtf8(c.stationId));
        kv::platform::RecordingSpooler spooler;
        spooler.setPrinters({"TM"}, "TM");
        kv::EscposChannel channel{spooler};
        kv::LauncherSettings shellConf;
        shellConf.esc_printer = QStringLiteral("TM");
        testsupport::ScriptedPrompter prompter;
        kv::PosCommandQueue posQueue{library, libraryConnection, channel, shellConf, prompter};

        posQueue.processPosCommands();

        EXPECT_EQ(queued(kOtherStation), 2) << c.stationId;
        EXPECT_EQ(queued(kStation), c.readsOwnQueue ? 0 : 1) << c.stationId;
        const std::string printed = spooler.bytes();
        EXPECT_EQ(printed.find("not mine"), std::string::npos) << c.stationId;
        EXPECT_EQ(printed.find("mine") != std::string::npos, c.readsOwnQueue) << c.stationId;
    }
}

} // namespace
