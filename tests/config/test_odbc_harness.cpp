// The test cluster answers through psqlODBC with the connection text the
// launcher uses, its port coming from PGPORT alone.
#include "testenv.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <string>

namespace {

std::string diag(SQLSMALLINT type, SQLHANDLE h)
{
    SQLCHAR state[6] = {}, msg[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (SQL_SUCCEEDED(SQLGetDiagRecA(type, h, 1, state, &native, msg, sizeof msg, &len)))
        return std::string(reinterpret_cast<char *>(state)) + " " + reinterpret_cast<char *>(msg);
    return "no diagnostics";
}

TEST(OdbcHarness, ConnectionTextReadsFromTheCluster)
{
    const auto db = testenv::database();
    testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (90)");

    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)));
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)));

    const std::string text = "DRIVER={PostgreSQL Unicode};SERVER=" + db.host.toStdString() +
                             ";DATABASE=" + db.name.toStdString() + ";UID=" + db.user.toStdString() +
                             ";PWD=" + db.password.toStdString();
    const SQLRETURN rc = SQLDriverConnectA(dbc, nullptr, (SQLCHAR *)text.c_str(), SQL_NTS, nullptr, 0,
                                           nullptr, SQL_DRIVER_NOPROMPT);
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << diag(SQL_HANDLE_DBC, dbc);

    ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)));
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirectA(stmt, (SQLCHAR *)"SELECT schemaversion FROM config", SQL_NTS)))
        << diag(SQL_HANDLE_STMT, stmt);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt)));
    SQLINTEGER version = 0;
    SQLLEN ind = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_SLONG, &version, 0, &ind)));
    EXPECT_EQ(version, 90);
    EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA);

    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

} // namespace
