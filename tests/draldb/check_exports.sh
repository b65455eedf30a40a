#!/bin/sh
# The library's dynamic symbol table holds the C interface and nothing else.
set -eu
lib=${1:?library}
expected="VB_delete VB_free VB_getvalue VB_moveto VB_new_sql VB_notify_check VB_notify_listen VB_numrecord config_getvalue draldb_free draldb_pending draldb_relistens draldb_socket system_init"
actual=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports: $actual"
