#!/usr/bin/env bash
# Send-and-wait latency under morvane-host against Expect on the same shell:
# 200 rounds of a command sent and its output waited for.
source "$(dirname "$0")/common.sh"
here=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
rounds=200
command -v expect >/dev/null || { echo "| host: send and wait | - | expect not installed | - | - |"; exit 0; }
ours=() theirs=()
for _ in 1 2 3 4 5; do
  ours+=("$("$HOST" --runner "$RUNNER" -c "exec env PS1='\$ ' ENV= /bin/sh" "$here/host_latency.lua" $rounds)")
  theirs+=("$(expect "$here/host_latency.exp" $rounds)")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
o=$(median "${ours[@]}"); t=$(median "${theirs[@]}")
ratio=$(calc "$o / $t")
echo "| host: send and wait, $rounds rounds | median of 5 runs | ${o} ms vs Expect ${t} ms = ${ratio}x ($(calc "$o * 1000 / $rounds") us a round) | <= 3x | $(verdict "$ratio" '<=' 3) |"
