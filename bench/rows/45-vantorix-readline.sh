#!/usr/bin/env bash
# readline() on lines already received, under morvane-host: each call finds
# its line pending and asks the host for more text first (the module's fetch
# order), which must not hold it.
source "$(dirname "$0")/common.sh"
bench=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
count=50
name="vantorix readline, $count lines already received"
if [ ! -x "$HOST" ] || [ ! -x "$RUNNER" ]; then
  echo "| $name | total time | not run: $HOST or $RUNNER is missing | <= 50 ms | - |"
  exit 0
fi
command="stty -echo; i=1; while [ \$i -le $count ]; do echo \"line \$i\"; i=\$((i+1)); done; echo END; sleep 60"
runs=()
for _ in 1 2 3 4 5; do
  seconds=$("$HOST" --runner "$RUNNER" -c "$command" "$bench/vantorix_readline.lua" $count) \
    || { echo "| $name | total time | failed | <= 50 ms | - |"; exit 0; }
  runs+=("$(calc "$seconds * 1000")")
done
ms=$(printf '%s\n' "${runs[@]}" | sort -g | sed -n 3p)
echo "| $name | total time of the $count calls, median of 5 runs | ${ms} ms | <= 50 ms | $(verdict "$ms" '<=' 50) |"
