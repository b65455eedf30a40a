// The same calls, as the launcher makes them, on the binding to the client
// library and on the fake the launcher's tests use, with non-ASCII texts.
#include "config/vbDraldb.h"
#include "config/vbDraldbFake.h"
#include "draldbtest.h"

#include <functional>

#include <QDir>

using kv::DraldbClient;

namespace {

constexpr int kStation = 5;
const QString kStationRows = QStringLiteral("SELECT * FROM poscommands WHERE stationid = %1 ORDER BY id").arg(kStation);
const QString kChannel = QStringLiteral("Bon-Drucker ä");
const QString kReceipt = QStringLiteral("Grüße 5 €");

QString waitForNotification(DraldbClient &db, qint32 connection)
{
    QString name;
    draldbtest::pollUntil([&] { return !(name = db.VB_notify_check(connection)).isEmpty(); },
                          std::chrono::seconds(10));
    return name;
}

struct Subject {
    DraldbClient &db;
    qint32 connection;
    std::function<void(int device, const QString &command)> queue; // a null command is NULL
    std::function<void(const QStringList &channels)> notify;        // one transaction
    std::function<int()> queued;
};

void checkContract(const Subject &s)
{
    DraldbClient &db = s.db;
    const qint32 connection = s.connection;
    ASSERT_NE(connection, 0);
    EXPECT_EQ(db.config_getvalue(QStringLiteral("stationid")), QString::number(kStation));
    EXPECT_EQ(db.config_getvalue(QStringLiteral("till")), QStringLiteral("Kasse-Ø"));
    EXPECT_EQ(db.config_getvalue(QStringLiteral("no such key")), QString());

    // One notification per call, in order, only on listened channels.
    EXPECT_EQ(db.VB_notify_listen(connection, QStringLiteral("poscommands")), 1);
    EXPECT_EQ(db.VB_notify_listen(connection, kChannel), 1);
    EXPECT_EQ(db.VB_notify_check(connection), QString());
    s.notify({QStringLiteral("poscommands"), QStringLiteral("unheard"), kChannel});
    EXPECT_EQ(waitForNotification(db, connection), QStringLiteral("poscommands"));
    EXPECT_EQ(waitForNotification(db, connection), kChannel);
    EXPECT_EQ(db.VB_notify_check(connection), QString());
    EXPECT_EQ(db.VB_notify_check(0), QString());

    s.queue(1, kReceipt);
    s.queue(2, QString());
    qint32 rs = 0;
    EXPECT_EQ(db.VB_new_sql(connection, kStationRows, rs, 0), QString());
    ASSERT_NE(rs, 0);
    ASSERT_EQ(db.VB_numrecord(rs), 2);
    qint32 first = db.VB_moveto(rs, 0);
    qint32 second = db.VB_moveto(rs, 1);
    EXPECT_EQ(db.VB_moveto(rs, 2), 0);
    // Row handles name their rows whichever row is current.
    EXPECT_EQ(db.VB_getvalue(rs, "", QStringLiteral("command"), first), kReceipt);
    EXPECT_EQ(db.VB_getvalue(rs, "", QStringLiteral("device"), first), QStringLiteral("1"));
    EXPECT_EQ(db.VB_getvalue(rs, "", QStringLiteral("command"), second), QString());
    EXPECT_EQ(db.VB_getvalue(rs, "", QStringLiteral("device"), second), QStringLiteral("2"));
    // Deleting by handles after reading all rows deletes those rows.
    EXPECT_EQ(db.VB_delete(rs, QStringLiteral("poscommands"), first), QString());
    EXPECT_EQ(s.queued(), 1);
    EXPECT_EQ(db.VB_delete(rs, QStringLiteral("poscommands"), second), QString());
    EXPECT_EQ(s.queued(), 0);
    const qint32 freed = rs;
    db.VB_free(rs);
    EXPECT_EQ(rs, 0);
    EXPECT_EQ(db.VB_numrecord(freed), 0) << "a freed handle answers nothing";

    // A statement without rows leaves the handle 0, also on a bad connection.
    db.VB_new_sql(connection, QStringLiteral("SELEC"), rs, 0);
    EXPECT_EQ(rs, 0);
    db.VB_new_sql(0, kStationRows, rs, 0);
    EXPECT_EQ(rs, 0);
}

} // namespace

TEST(DraldbContract, Real)
{
    const std::string station = std::to_string(kStation);
    testenv::psql("DELETE FROM poscommands WHERE stationid = " + station);
    // The path must reach the library as UTF-8 to find the configuration.
    testsupport::TempAppDir app;
    ASSERT_TRUE(QDir(app.path()).mkdir(QStringLiteral("Kasse Süd")));
    app.write(QStringLiteral("Kasse Süd/dralfrontend.conf"), draldbtest::clusterConf() +
                                                                 draldbtest::confLine("stationid", station) +
                                                                 draldbtest::confLine("till", "Kasse-Ø"));
    kv::DraldbLibrary library;
    const qint32 connection = library.system_init(app.appPath() + QStringLiteral("Kasse Süd/dralfrontend"));
    checkContract({library, connection,
                   // Through the binding, so that the statement crosses as UTF-8 too.
                   [&](int device, const QString &command) {
                       const QString sql = QStringLiteral("INSERT INTO poscommands (stationid, device, command) "
                                                          "VALUES (%1, %2, %3)")
                                               .arg(kStation)
                                               .arg(device)
                                               .arg(command.isNull() ? QStringLiteral("NULL") : "'" + command + "'");
                       qint32 rs = 0;
                       EXPECT_EQ(library.VB_new_sql(connection, sql, rs, 0), QString());
                   },
                   [](const QStringList &channels) {
                       std::string sql = "BEGIN;";
                       for (const QString &c : channels)
                           sql += " NOTIFY \"" + c.toStdString() + "\", 'payload';";
                       testenv::psql(sql + " COMMIT");
                   },
                   [&] { return std::stoi(testenv::psql("SELECT count(*) FROM poscommands WHERE stationid = " + station)); }});
}

TEST(DraldbContract, Fake)
{
    kv::FakeDraldb fake;
    // The station's rows for that query, nothing for any other.
    fake.answer = [&](const QString &sql) -> std::optional<QList<kv::FakeDraldb::Row>> {
        if (sql != kStationRows)
            return std::nullopt;
        return fake.tables.value(QStringLiteral("poscommands"));
    };
    fake.config[QStringLiteral("stationid")] = QString::number(kStation);
    fake.config[QStringLiteral("till")] = QStringLiteral("Kasse-Ø");
    int lastId = 0;
    checkContract({fake, fake.system_init(QStringLiteral("ignored")),
                   [&](int device, const QString &command) {
                       kv::FakeDraldb::Row row{{QStringLiteral("id"), QString::number(++lastId)},
                                               {QStringLiteral("device"), QString::number(device)}};
                       if (!command.isNull())
                           row.insert(QStringLiteral("command"), command);
                       fake.tables[QStringLiteral("poscommands")].append(row);
                   },
                   [&](const QStringList &channels) {
                       for (const QString &c : channels)
                           fake.notify(c);
                   },
                   [&] { return int(fake.tables.value(QStringLiteral("poscommands")).size()); }});
}
