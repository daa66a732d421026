-- Throughput under morvane-host: cat of a file through the tab, waiting for a
-- marker printed after it. Prints the wait in milliseconds and the host's
-- peak memory in KiB.
local m = require('morvane')
local native = __morvane_native
local screen = m.app.Screen

screen:Send('\r')
assert(screen:WaitForString('$ ', 5), 'no prompt')
local started = native.now()
screen:Send('cat ' .. arg[1] .. '; echo MA""RK\r')
assert(screen:WaitForString('MARK', 120), 'no marker')
local elapsed = (native.now() - started) * 1000

local function field(path, pattern)
  local file = assert(io.open(path))
  local text = file:read('a')
  file:close()
  return text:match(pattern)
end
local host = field('/proc/self/stat', '^%d+ %b() %S+ (%d+)')
print(string.format('%.3f %s', elapsed, field('/proc/' .. host .. '/status', 'VmHWM:%s*(%d+)')))
