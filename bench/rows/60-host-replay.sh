#!/usr/bin/env bash
# The demo replayed from its recording against the same demo run live on a
# shell: one recording, then 11 runs of each, both writing to /dev/null.
source "$(dirname "$0")/common.sh"
here=$(cd "$(dirname "$0")/../.." && pwd)
HOST=$BUILD_DIR/morvane-host
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
shell="exec env PS1='\$ ' ENV= /bin/sh"
"$HOST" --runner "$RUNNER" -c "$shell" --record "$work/demo.cast" "$here/examples/demo.lua" >/dev/null || {
  echo "| host: demo replayed | recording failed | - | - | - |"; exit 0; }
runs=11
quiet() { median_ms $runs bash -c '"$@" >/dev/null' quiet "$@"; }
live=$(quiet "$HOST" --runner "$RUNNER" -c "$shell" "$here/examples/demo.lua")
replay=$(quiet "$HOST" --runner "$RUNNER" --replay "$work/demo.cast" "$here/examples/demo.lua")
echo "| host: examples/demo.lua replayed | median of $runs runs | ${replay} ms vs live ${live} ms = $(calc "$replay / $live")x | none | - |"
