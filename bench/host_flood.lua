-- One prompt wait after a flood of output under morvane-host: `cat FILE`
-- and a prompt printed after it, waited for with one WaitForString. Prints
-- the milliseconds from the send to the match.
--
--   host_flood.lua FILE
local s = require('morvane').app.Screen
local now = __morvane_native.now
s:Send('\r')
assert(s:WaitForString('$ ', 5), 'no prompt')
local started = now()
s:Send('cat ' .. arg[1] .. '; echo PRO""MPT\r')
assert(s:WaitForString('PROMPT', 120), 'no prompt after the output')
print(string.format('%.3f', (now() - started) * 1000))
