#!/usr/bin/env bash
# Start-up: morvane-lua on an empty script against the plain interpreter.
source "$(dirname "$0")/common.sh"
script=$(mktemp --suffix=.lua)
trap 'rm -f "$script"' EXIT
runs=31
median_ms 3 "$RUNNER" "$script" >/dev/null   # warm the page cache
ours=$(median_ms $runs "$RUNNER" "$script")
plain=$(median_ms $runs lua5.4 "$script")
ratio=$(calc "$ours / $plain")
echo "| start-up, empty script | median of $runs runs | ${ours} ms vs lua5.4 ${plain} ms = ${ratio}x | <= 3x | $(verdict "$ratio" '<=' 3) |"
