#!/usr/bin/env bash
# Fetching under morvane-host: `cat` of 1 MiB of colored text through a tab,
# consumed with bare `stream` requests until a marker printed after it. A
# held request should be answered as soon as text arrives, and replies
# should come in large pieces, not a few KiB each.
source "$(dirname "$0")/common.sh"
here=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk 'BEGIN { while (n < 1048576) { line = sprintf("\033[0m\033[01;34mdirectory_%05d\033[0m  \033[38;5;208m%8d\033[0m bytes  \033[1;32mok\033[0m", i, i * 37); i++; print line; n += length(line) + 1 } }' \
  > "$work/colored"
shell="exec env PS1='\$ ' ENV= /bin/sh"
runs=()
for _ in 1 2 3 4 5; do
  runs+=("$("$HOST" --runner "$RUNNER" -c "$shell" "$here/host_stream.lua" "$work/colored")")
done
# the run with the median time
read -r ms requests mean longest < <(printf '%s\n' "${runs[@]}" | sort -g | sed -n 3p)
echo "| host: fetch 1 MiB of colored text with stream requests | median of 5 runs | ${ms} ms, ${requests} requests of $(calc "$mean / 1024") KiB on average, longest ${longest} ms | - | - |"
