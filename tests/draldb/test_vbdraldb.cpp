// The launcher's binding to the client library, and the fake that stands in
// for it: both driven through DraldbClient by the calls the launcher makes.
#include "config/vbDraldb.h"
#include "config/vbDraldbFake.h"
#include "draldbtest.h"

#include <QDir>

using kv::DraldbClient;
using kv::DraldbLibrary;
using kv::FakeDraldb;

namespace {

// One pass over the queue as the launcher makes it: every row of the
// station read (command|device) and deleted, the result set freed.
QStringList queuePass(DraldbClient &db, qint32 connection)
{
    const QString sql = "Select * from poscommands where stationid =" + db.config_getvalue("stationid") +
                        " AND ( 0 = 1 " + " OR device=1 OR device=2" + ") ORDER BY id ";
    qint32 rs = 0;
    db.VB_new_sql(connection, sql, rs, 0);
    QStringList seen;
    if (rs == 0)
        return seen;
    const qint32 rows = db.VB_numrecord(rs);
    for (qint32 i = 0; i < rows; ++i) {
        qint32 row = db.VB_moveto(rs, i);
        const QString command = db.VB_getvalue(rs, "", "command", row);
        seen << command + "|" + db.VB_getvalue(rs, "", "device", row);
        db.VB_delete(rs, "poscommands", row);
    }
    qint32 copy = rs;
    db.VB_free(copy);
    return seen;
}

QString waitForNotification(DraldbClient &db, qint32 connection)
{
    QString name;
    draldbtest::pollUntil([&] { return !(name = db.VB_notify_check(connection)).isEmpty(); },
                          std::chrono::seconds(10));
    return name;
}

} // namespace

TEST(VbDraldb, TheRealLibraryThroughTheBindingCarriesTextAsUtf8)
{
    testsupport::TempAppDir app;
    // The application directory's name is not ASCII: the path must reach
    // the library as UTF-8 to find the configuration.
    ASSERT_TRUE(QDir(app.path()).mkdir(QStringLiteral("Kasse Süd")));
    const QString dir = app.appPath() + QStringLiteral("Kasse Süd/");
    app.write(QStringLiteral("Kasse Süd/dralfrontend.conf"), draldbtest::clusterConf() + draldbtest::confLine("stationid", "Kasse-Ø"));

    DraldbLibrary library;
    DraldbClient &db = library;
    const qint32 connection = db.system_init(dir + "dralfrontend");
    ASSERT_NE(connection, 0);
    EXPECT_EQ(db.config_getvalue("stationid"), QStringLiteral("Kasse-Ø"));
    EXPECT_EQ(db.config_getvalue("no such key"), QString());

    EXPECT_EQ(db.VB_notify_listen(connection, QStringLiteral("Bon-Drucker ä")), 1);
    testenv::psql("NOTIFY \"Bon-Drucker ä\", 'ignored'");
    EXPECT_EQ(waitForNotification(db, connection), QStringLiteral("Bon-Drucker ä"));
    EXPECT_EQ(db.VB_notify_check(connection), QString());

    qint32 rs = 0;
    EXPECT_EQ(db.VB_new_sql(connection, QStringLiteral("SELECT 'Grüße 5 €' AS t, NULL AS n"), rs, 0), QString());
    ASSERT_NE(rs, 0);
    qint32 row = db.VB_moveto(rs, 0);
    EXPECT_EQ(db.VB_getvalue(rs, "", "t", row), QStringLiteral("Grüße 5 €"));
    EXPECT_EQ(db.VB_getvalue(rs, "", "n", row), QString());
    db.VB_free(rs);
    EXPECT_EQ(rs, 0);
    EXPECT_FALSE(db.VB_new_sql(connection, QStringLiteral("SELEC"), rs, 0).isEmpty());
    EXPECT_EQ(rs, 0);
}

TEST(VbDraldb, AQueuePassEmptiesTheStationsRowsInTheDatabase)
{
    testenv::psql("DELETE FROM poscommands");
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES "
                  "(8, 1, 'Bon Nr. 1'), (9, 1, 'not ours'), (8, 2, ''), (8, 3, 'left alone')");
    testsupport::TempAppDir app;
    app.write("dralfrontend.conf", draldbtest::clusterConf() + draldbtest::confLine("stationid", "8"));
    DraldbLibrary db;
    const qint32 connection = db.system_init(app.file("dralfrontend"));
    ASSERT_NE(connection, 0);

    EXPECT_EQ(queuePass(db, connection), (QStringList{"Bon Nr. 1|1", "|2"}));
    EXPECT_EQ(testenv::psql("SELECT stationid, device FROM poscommands ORDER BY id"), "9|1\n8|3\n");
    EXPECT_EQ(queuePass(db, connection), QStringList());
}

// The same pass against the fake: same reads, same deletions, and the call
// order a test of the POS queue can check.
TEST(FakeDraldb, AQueuePassSeesTheSameAsWithTheLibrary)
{
    FakeDraldb db;
    db.config["stationid"] = "8";
    db.tables["poscommands"] = {{{"id", "1"}, {"command", "Bon Nr. 1"}, {"device", "1"}},
                                {{"id", "2"}, {"command", ""}, {"device", "2"}},
                                {{"id", "3"}, {"command", "not read"}, {"device", "1"}}};
    QString askedFor;
    db.answer = [&](const QString &sql) -> std::optional<QList<FakeDraldb::Row>> {
        askedFor = sql;
        return db.tables["poscommands"].mid(0, 2);
    };
    const qint32 connection = db.system_init("/opt/till/dralfrontend");
    ASSERT_EQ(connection, 1);

    EXPECT_EQ(queuePass(db, connection), (QStringList{"Bon Nr. 1|1", "|2"}));
    EXPECT_EQ(askedFor, "Select * from poscommands where stationid =8 AND ( 0 = 1  OR device=1 OR device=2) ORDER BY id ");
    EXPECT_EQ(db.deleted, (QList<QPair<QString, QString>>{{"poscommands", "1"}, {"poscommands", "2"}}));
    ASSERT_EQ(db.tables["poscommands"].size(), 1);
    EXPECT_EQ(db.tables["poscommands"][0]["id"], "3");
    EXPECT_EQ(db.openResultSets(), 0);
    EXPECT_EQ(db.calls.mid(0, 5), (QStringList{"system_init(/opt/till/dralfrontend)", "config_getvalue(stationid)",
                                               "VB_new_sql(1, " + askedFor + ", 0)", "VB_numrecord(1)",
                                               "VB_moveto(1, 0)"}));
    EXPECT_EQ(db.calls.last(), "VB_free(1)");

    // Notifications: only listened channels, in order, one per check.
    db.VB_notify_listen(connection, "poscommands");
    db.VB_notify_listen(connection, "shutdown");
    for (const char *channel : {"test", "shutdown", "poscommands"})
        db.notify(channel);
    EXPECT_EQ(db.VB_notify_check(connection), "shutdown");
    EXPECT_EQ(db.VB_notify_check(connection), "poscommands");
    EXPECT_EQ(db.VB_notify_check(connection), "");
}
