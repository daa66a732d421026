#!/usr/bin/env bash
# Request round trip: 1,000 rpc({op='version'}) against 1,000 plain
# connect/write/read/close exchanges with the same server.
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
socket=$work/server
"$BUILD_DIR/morvane-bench" serve "$socket" > "$work/ready" &
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/ready" ] && break; sleep 0.1; done
count=1000
cat > "$work/rpc.lua" <<LUA
local rpc, now = __morvane_native.rpc, __morvane_native.now
local started = now()
for _ = 1, $count do
  local result, message = rpc({op = 'version'})
  assert(result, message)
end
io.write(string.format('%.3f', now() - started))
LUA
# best of three runs each, alternating, so that neither side pays the warm-up
best() { sort -g | head -1; }
ours=$(for _ in 1 2 3; do MORVANE_SOCKET=$socket MORVANE_TOKEN=bench "$RUNNER" "$work/rpc.lua"; echo; done | best)
plain=$(for _ in 1 2 3; do "$BUILD_DIR/morvane-bench" client "$socket" $count; done | best)
ratio=$(calc "$ours / $plain")
per=$(calc "$ours * 1000000 / $count")
echo "| rpc round trip | $count sequential calls | ${ours} s (${per} us/call) vs plain socket ${plain} s = ${ratio}x | <= 1.5x | $(verdict "$ratio" '<=' 1.5) |"
