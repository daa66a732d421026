-- Bench: COUNT prompt waits whose prompt has already arrived ("wait"), or
-- COUNT bare stream requests that read the same stretches of text ("bare").
--
--   morvane_wait.lua MODE COUNT
--
-- The session must print nothing until it reads a line, then COUNT lines
-- ending in "ok>", then "END". Prints the seconds spent on the COUNT calls.
-- `version` requests bracket the timed calls, so that a request trace can be
-- counted between them.
local morvane = require('morvane')

local native = __morvane_native
local mode, count = arg[1], math.tointeger(tonumber(arg[2]))
assert((mode == 'wait' or mode == 'bare') and count and count > 0, 'usage: morvane_wait.lua wait|bare COUNT')

local PROMPT = 'ok>'
local app = morvane.app
local screen = app.Screen
local tab = app:GetScriptTab().id

-- Nothing arrives before "go", so this is also where the screen starts reading.
local origin = morvane.rpc('info', tab).streamEnd
screen:Send('go\r')

-- Wait until all of the output is in, without moving the screen's position.
local received
repeat
  native.sleep(25)
  received = morvane.rpc('stream', tab, { position = origin }).text
until received:find('END', 1, true)
assert(not received:find('[\128-\255]'), 'the bench output must be ASCII')

-- Where each of the COUNT waits reads from (ASCII: bytes equal UTF-16 units).
local positions, from = {}, 1
for i = 1, count do
  positions[i] = origin + from - 1
  local _, last = received:find(PROMPT, from, true)
  assert(last, 'fewer prompts than waits')
  from = last + 1
end

local rpc, now = native.rpc, native.now
morvane.rpc('version')
local started = now()
if mode == 'wait' then
  for _ = 1, count do
    if not screen:WaitForString(PROMPT, 1) then
      error('a prompt was missing')
    end
  end
else
  for i = 1, count do
    local reply, message = rpc({ op = 'stream', tab = tab, position = positions[i] })
    if not reply then
      error(message)
    end
  end
end
local seconds = now() - started
morvane.rpc('version')
io.write(string.format('%.4f\n', seconds))
