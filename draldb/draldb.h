/* Database client library: notifications, configuration, POS queue access.
 *
 * Strings are UTF-8. Every returned char* belongs to the caller, is freed with
 * draldb_free and is never NULL. Handles are positive; 0 means "none". A freed
 * or unknown handle is harmless everywhere. */
#ifndef DRALDB_H
#define DRALDB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DRALDB_API __attribute__((visibility("default")))

/* Reads the configuration beside frontEndExecutable ("dralfrontend.conf", else
 * "korvantis.conf", keys they lack taken from "shell.conf") and connects.
 * Returns a connection handle, or 0 when there is no configuration, the
 * server cannot be reached within a few seconds, or PGSSLROOTCERT or PGSSLCRL
 * names a file that does not exist (said on stderr). Without PGSSLMODE the
 * connection is encrypted when the server offers it (libpq's "prefer"). */
DRALDB_API int32_t system_init(const char *frontEndExecutable);

/* Queues notifications on channel for the connection, also across reconnects.
 * Returns 1 when the server took the LISTEN now, 0 when it is only remembered.
 * "poscommands" also listens on "poscommands_N", N the stationid of the
 * configuration system_init read for the connection; what arrives there is
 * returned as "poscommands". */
DRALDB_API int32_t VB_notify_listen(int32_t connection, const char *channel);

/* One pending channel name (payload dropped) or "". Never waits; a broken
 * connection is re-established a little on every call. */
DRALDB_API char *VB_notify_check(int32_t connection);

/* How many times the connection has been re-established and its LISTENs
 * answered again since system_init; 0 for an unknown handle. Notifications
 * sent while it was down are gone, so a caller that counts on them looks at
 * what they would have announced whenever this grows. */
DRALDB_API int32_t draldb_relistens(int32_t connection);

/* 1 when a VB_notify_check now may return a name or has work to do (a
 * reconnect, answers to read); 0 when nothing has arrived since the last
 * check, so that an idle caller can leave it out. Never waits. */
DRALDB_API int32_t draldb_pending(int32_t connection);

/* The socket on which the connection's notifications arrive, for a caller
 * that waits for them (poll, an event loop) instead of asking now and then:
 * it becomes readable when something arrives. -1 while the connection is
 * being re-established; the socket may be another one afterwards, so ask
 * again after every call that may reconnect. Only to wait on: never read,
 * write or close it. Never waits. */
DRALDB_API int32_t draldb_socket(int32_t connection);

/* A value of the configuration system_init read last; "" when unknown. A
 * "stationid" that is not a whole number from 1 to 32767 in digits counts as
 * unknown in its file. */
DRALDB_API char *config_getvalue(const char *key);

/* Runs sql within a deadline. A statement returning rows sets *resultSet to a
 * new handle, otherwise to 0. Returns "" on success or the error message.
 * flags is reserved and should be 0. */
DRALDB_API char *VB_new_sql(int32_t connection, const char *sql, int32_t *resultSet, int32_t flags);

/* Number of rows, 0 for an unknown handle. */
DRALDB_API int32_t VB_numrecord(int32_t resultSet);

/* Makes rowIndex (from 0) the current row and returns its row handle, or 0
 * when there is no such row. */
DRALDB_API int32_t VB_moveto(int32_t resultSet, int32_t rowIndex);

/* The column's text in the row *row names (the current row when row is NULL
 * or *row is 0); "" for NULL, an unknown column or row. table is not used:
 * column names are looked up in the result as the server named them. */
DRALDB_API char *VB_getvalue(int32_t resultSet, const char *table, const char *column, int32_t *row);

/* Deletes that row from table by the row's "id" value. Returns "" on success
 * or the error message. */
DRALDB_API char *VB_delete(int32_t resultSet, const char *table, int32_t *row);

/* Releases the result set and sets *resultSet to 0. */
DRALDB_API void VB_free(int32_t *resultSet);

DRALDB_API void draldb_free(char *text);

#ifdef __cplusplus
}
#endif

#endif
