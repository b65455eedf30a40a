// The launcher's binding to the client library, driven through DraldbClient
// by the calls the launcher makes.
#include "config/vbDraldb.h"
#include "draldbtest.h"

#include <QDir>

using kv::DraldbClient;
using kv::DraldbLibrary;

namespace {

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
