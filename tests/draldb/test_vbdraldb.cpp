// The launcher's binding to the client library, driven through DraldbClient
// by the calls the launcher makes.
#include "config/vbDraldb.h"
#include "config/vbDraldbFake.h"
#include "draldbtest.h"

#include <memory>

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

// The fake that the launcher's own tests use stands for the real library:
// the same cases, as the launcher makes its calls, run on both.
namespace {

constexpr int kContractStation = 5;
const QString kStationRows =
    QStringLiteral("SELECT * FROM poscommands WHERE stationid = %1 ORDER BY id").arg(kContractStation);

class Subject {
public:
    virtual ~Subject() = default;
    virtual DraldbClient &client() = 0;
    // A library connection whose configuration names the station.
    virtual qint32 connect() = 0;
    // Queues a row (a null command when command is null).
    virtual void queue(int device, const QString &command) = 0;
    // Another program's NOTIFY, all in one transaction.
    virtual void notify(const QStringList &channels) = 0;
    virtual int queued() = 0;
};

class RealSubject final : public Subject {
public:
    RealSubject()
    {
        testenv::psql("DELETE FROM poscommands WHERE stationid = " + std::to_string(kContractStation));
    }
    DraldbClient &client() override { return m_library; }
    qint32 connect() override
    {
        m_app.write(QStringLiteral("dralfrontend.conf"),
                    draldbtest::clusterConf() + draldbtest::confLine("stationid", std::to_string(kContractStation)));
        return m_library.system_init(m_app.file(QStringLiteral("dralfrontend")));
    }
    void queue(int device, const QString &command) override
    {
        const std::string value = command.isNull() ? "NULL" : "'" + command.toStdString() + "'";
        testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" +
                      std::to_string(kContractStation) + ", " + std::to_string(device) + ", " + value + ")");
    }
    void notify(const QStringList &channels) override
    {
        std::string sql = "BEGIN;";
        for (const QString &c : channels)
            sql += " NOTIFY " + c.toStdString() + ";";
        testenv::psql(sql + " COMMIT");
    }
    int queued() override
    {
        return std::stoi(testenv::psql("SELECT count(*) FROM poscommands WHERE stationid = " +
                                       std::to_string(kContractStation)));
    }

private:
    testsupport::TempAppDir m_app;
    DraldbLibrary m_library;
};

class FakeSubject final : public Subject {
public:
    FakeSubject()
    {
        // A fake statement: the station's rows for that query, nothing for
        // any other.
        m_fake.answer = [this](const QString &sql) -> std::optional<QList<kv::FakeDraldb::Row>> {
            if (sql != kStationRows)
                return std::nullopt;
            return m_fake.tables.value(QStringLiteral("poscommands"));
        };
    }
    DraldbClient &client() override { return m_fake; }
    qint32 connect() override
    {
        m_fake.config[QStringLiteral("stationid")] = QString::number(kContractStation);
        return m_fake.system_init(QStringLiteral("ignored"));
    }
    void queue(int device, const QString &command) override
    {
        kv::FakeDraldb::Row row{{QStringLiteral("id"), QString::number(++m_lastId)},
                                {QStringLiteral("device"), QString::number(device)}};
        if (!command.isNull())
            row.insert(QStringLiteral("command"), command);
        m_fake.tables[QStringLiteral("poscommands")].append(row);
    }
    void notify(const QStringList &channels) override
    {
        for (const QString &c : channels)
            m_fake.notify(c);
    }
    int queued() override { return int(m_fake.tables.value(QStringLiteral("poscommands")).size()); }

private:
    kv::FakeDraldb m_fake;
    int m_lastId = 0;
};

using MakeSubject = std::unique_ptr<Subject> (*)();

class DraldbContract : public ::testing::TestWithParam<MakeSubject> {
protected:
    std::unique_ptr<Subject> subject = GetParam()();
    DraldbClient &db = subject->client();
};

} // namespace

TEST_P(DraldbContract, StationIdNotificationsAndTheQueueAsTheLauncherUsesThem)
{
    const qint32 connection = subject->connect();
    ASSERT_NE(connection, 0);
    EXPECT_EQ(db.config_getvalue(QStringLiteral("stationid")), QString::number(kContractStation));
    EXPECT_EQ(db.config_getvalue(QStringLiteral("no such key")), QString());

    // One notification per call, in order, only on listened channels.
    db.VB_notify_listen(connection, QStringLiteral("poscommands"));
    db.VB_notify_listen(connection, QStringLiteral("test"));
    EXPECT_EQ(db.VB_notify_check(connection), QString());
    subject->notify({QStringLiteral("poscommands"), QStringLiteral("unheard"), QStringLiteral("test")});
    EXPECT_EQ(waitForNotification(db, connection), QStringLiteral("poscommands"));
    EXPECT_EQ(waitForNotification(db, connection), QStringLiteral("test"));
    EXPECT_EQ(db.VB_notify_check(connection), QString());
    EXPECT_EQ(db.VB_notify_check(0), QString());

    subject->queue(1, QStringLiteral("Bon 1"));
    subject->queue(2, QString());
    qint32 rs = 0;
    db.VB_new_sql(connection, kStationRows, rs, 0);
    ASSERT_NE(rs, 0);
    ASSERT_EQ(db.VB_numrecord(rs), 2);
    qint32 first = db.VB_moveto(rs, 0);
    qint32 second = db.VB_moveto(rs, 1);
    EXPECT_NE(first, 0);
    EXPECT_NE(second, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(db.VB_moveto(rs, 2), 0);
    // Row handles name their rows whichever row is current.
    EXPECT_EQ(db.VB_getvalue(rs, QString(""), QStringLiteral("command"), first), QStringLiteral("Bon 1"));
    EXPECT_EQ(db.VB_getvalue(rs, QString(""), QStringLiteral("device"), first), QStringLiteral("1"));
    EXPECT_EQ(db.VB_getvalue(rs, QString(""), QStringLiteral("command"), second), QString());
    EXPECT_EQ(db.VB_getvalue(rs, QString(""), QStringLiteral("device"), second), QStringLiteral("2"));
    // Deleting by handles after reading all rows deletes those rows.
    EXPECT_EQ(db.VB_delete(rs, QStringLiteral("poscommands"), first), QString());
    EXPECT_EQ(subject->queued(), 1);
    EXPECT_EQ(db.VB_delete(rs, QStringLiteral("poscommands"), second), QString());
    EXPECT_EQ(subject->queued(), 0);
    const qint32 freed = rs;
    db.VB_free(rs);
    EXPECT_EQ(rs, 0);
    EXPECT_EQ(db.VB_numrecord(freed), 0) << "a freed handle answers nothing";

    // A statement without rows leaves the handle 0, also on a bad connection.
    rs = 0;
    db.VB_new_sql(connection, QStringLiteral("SELEC"), rs, 0);
    EXPECT_EQ(rs, 0);
    db.VB_new_sql(0, kStationRows, rs, 0);
    EXPECT_EQ(rs, 0);
}

static std::unique_ptr<Subject> makeReal() { return std::make_unique<RealSubject>(); }
static std::unique_ptr<Subject> makeFake() { return std::make_unique<FakeSubject>(); }
static std::string subjectName(const ::testing::TestParamInfo<MakeSubject> &param)
{
    return param.param == &makeReal ? "Real" : "Fake";
}

INSTANTIATE_TEST_SUITE_P(RealAndFake, DraldbContract, ::testing::Values(&makeReal, &makeFake), subjectName);
