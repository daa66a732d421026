#!/usr/bin/env bash
# Start-up: morvane-lua on an empty script against its floor, a program that
# links Qt Core and Qt Network and constructs the application object
# (morvane-bench-empty), and against the plain interpreter. The three are
# timed in turns, a few runs each, so that a change in the machine's load
# falls on all of them alike.
source "$(dirname "$0")/common.sh"
FLOOR=$BUILD_DIR/morvane-bench-empty
name="start-up, empty script"
if [ ! -x "$RUNNER" ] || [ ! -x "$FLOOR" ]; then
  echo "| $name | median | not run: $RUNNER or $FLOOR is missing | <= 1.1x the Qt floor | - |"
  exit 0
fi
script=$(mktemp --suffix=.lua)
trap 'rm -f "$script"' EXIT
rounds=15
median_ms 3 "$RUNNER" "$script" >/dev/null   # warm the page cache
median_ms 3 "$FLOOR" >/dev/null
ours=() floor=() plain=()
for _ in $(seq $rounds); do
  ours+=("$(median_ms 5 "$RUNNER" "$script")")
  floor+=("$(median_ms 5 "$FLOOR")")
  plain+=("$(median_ms 5 lua5.4 "$script")")
done
middle() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
o=$(middle "${ours[@]}"); f=$(middle "${floor[@]}"); p=$(middle "${plain[@]}")
ratio=$(calc "$o / $f")
echo "| $name | median of $rounds medians of 5 runs | ${o} ms vs Qt Core + Network floor ${f} ms = ${ratio}x (lua5.4 ${p} ms: $(calc "$o / $p")x) | <= 1.1x the floor | $(verdict "$ratio" '<=' 1.1) |"
