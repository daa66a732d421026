#!/usr/bin/env bash
# Start-up and shut-down of morvane-host: `morvane-host -c true` on an empty
# script, from start to exit, against Expect's `spawn true; expect eof`. The
# two are timed in turns, a few runs each, so that a change in the machine's
# load falls on both alike.
source "$(dirname "$0")/common.sh"
here=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
name="host: start and exit, empty script"
command -v expect >/dev/null || { echo "| $name | - | expect not installed | - | - |"; exit 0; }
script=$(mktemp --suffix=.lua)
trap 'rm -f "$script"' EXIT
rounds=11
median_ms 3 "$HOST" --runner "$RUNNER" -c true "$script" >/dev/null   # warm the page cache
median_ms 3 expect "$here/host_empty.exp" >/dev/null
ours=() theirs=()
for _ in $(seq $rounds); do
  ours+=("$(median_ms 5 "$HOST" --runner "$RUNNER" -c true "$script")")
  theirs+=("$(median_ms 5 expect "$here/host_empty.exp")")
done
middle() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
o=$(middle "${ours[@]}"); t=$(middle "${theirs[@]}")
ratio=$(calc "$o / $t")
echo "| $name | median of $rounds medians of 5 runs | ${o} ms vs Expect ${t} ms = ${ratio}x | <= 1.5x Expect | $(verdict "$ratio" '<=' 1.5) |"
