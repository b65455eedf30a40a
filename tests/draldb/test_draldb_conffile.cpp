// The library reads the front-end's file and shell.conf as the launcher does:
// any line end, Windows-1252 when not UTF-8, and only regular files of at
// most 1 MiB.
#include "draldbtest.h"

#include <gtest/gtest.h>

#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

using namespace draldbtest;

namespace {

TEST(DraldbConfigFile, LfLinesWindows1252AndNoHangOnWhatIsNotAFile)
{
    testsupport::TempAppDir dir;
    QByteArray conf = clusterConf() + "note = caf\xe9\r\n";
    conf.replace("\r\n", "\n");
    dir.write(QStringLiteral("dralfrontend.conf"), conf);
    const std::string shell = dir.file(QStringLiteral("shell.conf")).toStdString();
    for (const char *what : {"a FIFO", "a link to /dev/zero"}) {
        std::remove(shell.c_str());
        ASSERT_EQ(std::string(what) == "a FIFO" ? ::mkfifo(shell.c_str(), 0600) : ::symlink("/dev/zero", shell.c_str()),
                  0);
        // Connecting shows the file's lines were told apart.
        EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0) << what;
        EXPECT_EQ(take(config_getvalue("note")), "caf\xc3\xa9") << what;
        EXPECT_EQ(take(config_getvalue("stationid")), "") << what;
    }

    // A shell.conf over 1 MiB is not read.
    std::remove(shell.c_str());
    dir.write(QStringLiteral("shell.conf"), "stationid = 5\r\n" + QByteArray(1024 * 1024, '#'));
    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "");
}

} // namespace
