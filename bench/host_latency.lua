-- Send-and-wait latency under morvane-host: each round sends a command to
-- the shell and waits for its output (the echoed command line does not hold
-- it). Prints the total time in milliseconds.
local m = require('morvane')
local native = __morvane_native
local screen = m.app.Screen
local rounds = tonumber(arg[1]) or 200

screen:Send('\r')
assert(screen:WaitForString('$ ', 5), 'no prompt')
local started = native.now()
for round = 1, rounds do
  screen:Send('echo R$((' .. round .. '*7))\r')
  assert(screen:WaitForString('R' .. round * 7, 5), 'lost round ' .. round)
end
print(string.format('%.3f', (native.now() - started) * 1000))
