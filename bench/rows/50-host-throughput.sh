#!/usr/bin/env bash
# Throughput under morvane-host against tmux: cat of a 4 MiB text file
# through a tab until a marker printed after it, and the host's peak memory.
source "$(dirname "$0")/common.sh"
here=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
command -v tmux >/dev/null || { echo "| host: cat 4 MiB | - | tmux not installed | - | - |"; exit 0; }
work=$(mktemp -d)
socket=morvane-bench-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null; rm -rf "$work"' EXIT
awk 'BEGIN { srand(7); while (n < 4194304) { line = ""; while (length(line) < 72) line = line sprintf("%x ", int(rand() * 1e9)); print line; n += length(line) + 1 } }' \
  | head -c 4194304 > "$work/text"
shell="exec env PS1='\$ ' ENV= /bin/sh"
ours=() memory=() theirs=()
idle=$("$HOST" --runner "$RUNNER" -c "$shell" "$here/host_throughput.lua" /dev/null | awk '{ print $2 }')
for _ in 1 2 3; do
  # The text grows by a CR a line on its way through the terminal: hold 8 MiB
  # so that one wait over all of it is not cut short.
  read -r t m < <("$HOST" --keep 8 --runner "$RUNNER" -c "$shell" "$here/host_throughput.lua" "$work/text")
  ours+=("$t"); memory+=("$m")
  start=$(date +%s%N)
  tmux -L "$socket" -f /dev/null new-session -d -x 80 -y 24 "cat $work/text; tmux -L $socket wait-for -S done"
  tmux -L "$socket" wait-for done
  theirs+=("$(calc "($(date +%s%N) - $start) / 1000000")")
  tmux -L "$socket" kill-server 2>/dev/null
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
o=$(median "${ours[@]}"); t=$(median "${theirs[@]}"); peak=$(median "${memory[@]}")
ratio=$(calc "$o / $t")
growth=$(calc "($peak - $idle) / 4096")
echo "| host: cat 4 MiB until a marker | median of 3 runs | ${o} ms vs tmux ${t} ms = ${ratio}x | <= 2x | $(verdict "$ratio" '<=' 2) |"
echo "| host: peak memory during that cat | VmHWM above the idle host (${idle} KiB) | $(calc "$peak / 1024") MiB peak, ${growth}x the file | <= 4x the file | $(verdict "$growth" '<=' 4) |"
