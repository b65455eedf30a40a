/* A plain C caller that knows the library only by its documented prototypes
 * and loads it at run time, as a non-C++ front-end would.
 *   c_client LIBRARY ENVFILE   (ENVFILE: the pg fixture's KEY=VALUE file) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The interface as its documentation gives it. */
static int32_t (*system_init)(const char *frontEndExecutable);
static int32_t (*VB_notify_listen)(int32_t connection, const char *channel);
static char *(*VB_notify_check)(int32_t connection);
static char *(*config_getvalue)(const char *key);
static char *(*VB_new_sql)(int32_t connection, const char *sql, int32_t *resultSet, int32_t flags);
static int32_t (*VB_numrecord)(int32_t resultSet);
static int32_t (*VB_moveto)(int32_t resultSet, int32_t rowIndex);
static char *(*VB_getvalue)(int32_t resultSet, const char *table, const char *column, int32_t *row);
static char *(*VB_delete)(int32_t resultSet, const char *table, int32_t *row);
static void (*VB_free)(int32_t *resultSet);
static void (*draldb_free)(char *text);

static void *lib;
static int failures;

static void fail(const char *what)
{
    fprintf(stderr, "c_client: %s\n", what);
    exit(1);
}

/* dlsym gives an object pointer; POSIX allows reading it into a function
 * pointer through its storage, which ISO C's cast rules do not. */
#define LOAD(name)                                                                                                     \
    do {                                                                                                               \
        if (!(*(void **)(&(name)) = dlsym(lib, #name)))                                                                \
            fail(#name " is not exported");                                                                            \
    } while (0)

/* Compares a returned text with the expected one and frees it. */
static void expect_text(const char *what, char *got, const char *want)
{
    if (!got || strcmp(got, want) != 0) {
        fprintf(stderr, "c_client: %s gave \"%s\", expected \"%s\"\n", what, got ? got : "(NULL)", want);
        ++failures;
    }
    if (got)
        draldb_free(got);
}

static void expect_int(const char *what, long got, long want)
{
    if (got != want) {
        fprintf(stderr, "c_client: %s gave %ld, expected %ld\n", what, got, want);
        ++failures;
    }
}

static const char *env(const char *name)
{
    const char *v = getenv(name);
    if (!v || !*v)
        fail("a KV_DB_ variable is missing from the fixture's environment");
    return v;
}

int main(int argc, char **argv)
{
    char dir[] = "/tmp/draldb-c.XXXXXX", conf[128], exe[128], line[1024];
    int32_t connection, rs = 0, row;
    FILE *f;

    if (argc != 3)
        fail("usage: c_client LIBRARY ENVFILE");
    if (!(f = fopen(argv[2], "r")))
        fail("no fixture environment: run through ctest, which starts the pg fixture");
    while (fgets(line, sizeof line, f)) {
        char *eq = strchr(line, '=');
        line[strcspn(line, "\r\n")] = '\0';
        if (eq && line[0] != '#') {
            *eq = '\0';
            setenv(line, eq + 1, 1);
        }
    }
    fclose(f);
    if (!(lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL)))
        fail(dlerror());
    LOAD(system_init);
    LOAD(VB_notify_listen);
    LOAD(VB_notify_check);
    LOAD(config_getvalue);
    LOAD(VB_new_sql);
    LOAD(VB_numrecord);
    LOAD(VB_moveto);
    LOAD(VB_getvalue);
    LOAD(VB_delete);
    LOAD(VB_free);
    LOAD(draldb_free);

    /* Nothing read yet: every key is unknown. */
    expect_text("config_getvalue before system_init", config_getvalue("stationid"), "");

    if (!mkdtemp(dir))
        fail("mkdtemp");
    snprintf(conf, sizeof conf, "%s/dralfrontend.conf", dir);
    snprintf(exe, sizeof exe, "%s/dralfrontend", dir);
    if (!(f = fopen(conf, "w")))
        fail("cannot write dralfrontend.conf");
    fprintf(f, "db_host = %s\r\ndb_name = %s\r\ndb_username = %s\r\ndb_password = %s\r\nstationid = 21\r\n",
            env("KV_DB_HOST"), env("KV_DB_NAME"), env("KV_DB_USER"), env("KV_DB_PASSWORD"));
    fclose(f);
    connection = system_init(exe);
    unlink(conf);
    rmdir(dir);
    if (connection == 0)
        fail("system_init could not connect");
    expect_text("config_getvalue stationid", config_getvalue("stationid"), "21");
    expect_int("VB_notify_listen", VB_notify_listen(connection, "poscommands"), 1);

    expect_text("VB_new_sql insert",
                VB_new_sql(connection,
                           "INSERT INTO poscommands (stationid, device, command) VALUES (21, 1, 'from C');"
                           "NOTIFY poscommands, 'payload'",
                           &rs, 0),
                "");
    expect_int("result set of an insert", rs, 0);
    expect_text("VB_notify_check", VB_notify_check(connection), "poscommands");

    expect_text("VB_new_sql select",
                VB_new_sql(connection, "Select * from poscommands where stationid =21 ORDER BY id ", &rs, 0), "");
    if (rs == 0)
        fail("the query gave no result set");
    expect_int("VB_numrecord", VB_numrecord(rs), 1);
    row = VB_moveto(rs, 0);
    expect_text("VB_getvalue command", VB_getvalue(rs, "", "command", &row), "from C");
    expect_text("VB_delete", VB_delete(rs, "poscommands", &row), "");
    VB_free(&rs);
    expect_int("handle after VB_free", rs, 0);

    dlclose(lib);
    if (failures)
        fprintf(stderr, "c_client: %d failures\n", failures);
    return failures ? 1 : 0;
}
