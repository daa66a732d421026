#!/usr/bin/env bash
# One WaitForString whose prompt follows 8 MiB of output, under morvane-host
# with its default settings, against Expect doing the same on the same shell.
source "$(dirname "$0")/common.sh"
here=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
name="host: one wait after 8 MiB of output"
command -v expect >/dev/null || { echo "| $name | - | expect not installed | - | - |"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk 'BEGIN { srand(11); while (n < 8388608) { line = ""; while (length(line) < 72) line = line sprintf("%x ", int(rand() * 1e9)); print line; n += length(line) + 1 } }' \
  | head -c 8388608 > "$work/text"
shell="exec env PS1='\$ ' ENV= /bin/sh"
ours=() theirs=()
for _ in 1 2 3; do
  t=$("$HOST" --runner "$RUNNER" -c "$shell" "$here/host_flood.lua" "$work/text" 2> "$work/err") \
    || { echo "| $name | median of 3 runs | failed: $(head -1 "$work/err") | <= 1.5x Expect | missed |"; exit 0; }
  ours+=("$t")
  theirs+=("$(expect "$here/host_flood.exp" "$work/text")")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
o=$(median "${ours[@]}"); t=$(median "${theirs[@]}")
ratio=$(calc "$o / $t")
echo "| $name | median of 3 runs, host defaults | ${o} ms vs Expect ${t} ms = ${ratio}x | <= 1.5x Expect | $(verdict "$ratio" '<=' 1.5) |"
