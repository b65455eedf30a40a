#!/bin/sh
# The demo's card reader: a supporting program that only says it is alive,
# so the program manager has output to show.
echo "demo card reader: ready ($*)"
while :; do
  sleep 30
  echo "demo card reader: $(date +%T) no card"
done
