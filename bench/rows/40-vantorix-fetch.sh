#!/usr/bin/env bash
# Fetch processing of the compatibility globals: colored shell output in
# 64 KiB chunks used up by repeated `expect` calls, 1 MiB against 16 MiB,
# and the peak memory of the 16 MiB run. Measured in process (the request
# channel is replaced inside the script), so only the module's own work
# counts and no terminal host is needed. When the headless host is built, one
# more row shows 1 MiB end to end through a real pseudo-terminal (no target:
# most of that time is the host's).
source "$(dirname "$0")/common.sh"
bench=$(cd "$(dirname "$0")/.." && pwd)
name="vantorix fetch"
rounds=5
if [ ! -x "$RUNNER" ] || [ ! -x /usr/bin/time ]; then
  echo "| $name | 1 MiB vs 16 MiB of colored text | not run: $RUNNER or /usr/bin/time is missing | <= 20x, < 64 MiB | - |"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run MIB: prints "SECONDS BYTES PEAK_KIB" for one run
run() {
  ( cd "$work" && /usr/bin/time -o "$work/time" -f %M "$RUNNER" "$bench/vantorix_fetch.lua" "$1" > "$work/out" 2> "$work/err" ) \
    || { echo "vantorix_fetch.lua $1 failed: $(head -3 "$work/err")" >&2; return 1; }
  echo "$(cat "$work/out") $(tail -1 "$work/time")"
}

# middle: the median of the first field of the lines on standard input
middle() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

small=() large=() peak=0
for _ in $(seq $rounds); do
  small+=("$(run 1)") || exit 1
  line=$(run 16) || exit 1
  large+=("$line")
  kib=$(echo "$line" | awk '{ print $3 }')
  [ "$kib" -gt "$peak" ] && peak=$kib
done
small_s=$(printf '%s\n' "${small[@]}" | middle)
large_s=$(printf '%s\n' "${large[@]}" | middle)
large_bytes=$(echo "${large[0]}" | awk '{ print $2 }')
ratio=$(calc "$large_s / $small_s")
peak_mib=$(calc "$peak / 1024")
rate=$(calc "$large_bytes / 1048576 / $large_s")
echo "| $name | time for 16 MiB vs 1 MiB, 64 KiB chunks, expect per prompt (median of $rounds) | ${large_s} s vs ${small_s} s = ${ratio}x (${rate} MiB/s) | <= 20x | $(verdict "$ratio" '<=' 20) |"
echo "| $name | peak memory of the 16 MiB run | ${peak_mib} MiB | < 64 MiB | $(verdict "$peak_mib" '<' 64) |"

HOST=$BUILD_DIR/host/morvane-host
[ -x "$HOST" ] || HOST=$BUILD_DIR/morvane-host
if [ ! -x "$HOST" ]; then
  echo "| $name | 1 MiB end to end under the host | not run: $HOST is missing | - | - |"
  exit 0
fi
if ! line=$(cd "$work" && "$HOST" --runner "$RUNNER" -c 'stty -echo; while read line; do cat vantorix_chunk.txt; done' \
              "$bench/vantorix_host.lua" 1 2> "$work/host.err"); then
  echo "| $name | 1 MiB end to end under the host | failed: $(head -1 "$work/host.err") | - | - |"
  exit 0
fi
read -r host_s host_bytes host_kib <<< "$line"
echo "| $name | 1 MiB end to end under the host, runner's peak memory | $(calc "$host_s") s ($(calc "$host_bytes / 1048576 / $host_s") MiB/s), $(calc "$host_kib / 1024") MiB | - | - |"
