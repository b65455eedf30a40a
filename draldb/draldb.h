/* Database client library: notifications, configuration, POS queue access. */
#ifndef DRALDB_H
#define DRALDB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DRALDB_API __attribute__((visibility("default")))

/* Every returned char* is the caller's, freed with draldb_free, never NULL. */
DRALDB_API void draldb_free(char *text);

#ifdef __cplusplus
}
#endif

#endif
