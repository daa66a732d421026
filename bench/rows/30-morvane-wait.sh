#!/usr/bin/env bash
# Prompt waits whose prompt has already arrived: 1,000 Screen:WaitForString
# calls against 1,000 bare stream requests that read the same stretches of
# text, both served by the headless host over a real pseudo-terminal.
source "$(dirname "$0")/common.sh"
bench=$(cd "$(dirname "$0")/.." && pwd)
HOST=$BUILD_DIR/morvane-host
[ -x "$HOST" ] || HOST=$BUILD_DIR/host/morvane-host
count=1000
rounds=5
name="morvane prompt wait"
if [ ! -x "$HOST" ] || [ ! -x "$RUNNER" ]; then
  echo "| $name | $count waits, prompt already received | not run: $HOST or $RUNNER is missing | 1 request/wait, <= 1.3x | - |"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Prints nothing until it reads a line, then the prompts, then END.
command="read go; i=1; while [ \$i -le $count ]; do echo \"line \$i ok>\"; i=\$((i+1)); done; echo END; sleep 60"

# run MODE [TRACE]: seconds spent on the COUNT calls
run() {
  local trace=()
  [ -n "${2:-}" ] && trace=(--trace "$2")
  "$HOST" --runner "$RUNNER" "${trace[@]}" -c "$command" "$bench/morvane_wait.lua" "$1" "$count" 2> "$work/$1.err" \
    || { echo "morvane_wait.lua $1 failed: $(head -3 "$work/$1.err")" >&2; return 1; }
}

# middle: the median of the numbers on standard input
middle() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# arith EXPRESSION: floating-point arithmetic, FORMAT digits after the point
arith() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

# Requests between the two `version` requests that bracket the timed calls.
requests_between_markers() {
  awk '/^> / { if (index($0, "\"op\":\"version\"")) { inside = !inside; next } if (inside) n++ } END { print n + 0 }' "$1"
}

waits=() bares=()
for _ in $(seq $rounds); do
  waits+=("$(run wait)") || exit 1
  bares+=("$(run bare)") || exit 1
done
wait_s=$(printf '%s\n' "${waits[@]}" | middle)
bare_s=$(printf '%s\n' "${bares[@]}" | middle)
run wait "$work/wait.trace" > /dev/null || exit 1
per_wait=$(arith "$(requests_between_markers "$work/wait.trace") / $count")
ratio=$(arith "$wait_s / $bare_s")
wait_us=$(arith "$wait_s * 1000000 / $count" 1)
bare_us=$(arith "$bare_s * 1000000 / $count" 1)
echo "| $name | requests per wait ($count waits, prompt already received) | $per_wait | 1 | $(verdict "$per_wait" '==' 1) |"
echo "| $name | time per wait vs bare stream request (median of $rounds) | ${wait_us} us vs ${bare_us} us = ${ratio}x | <= 1.3x | $(verdict "$ratio" '<=' 1.3) |"
