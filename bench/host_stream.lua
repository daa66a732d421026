-- Fetch speed under morvane-host: `cat` of a file of colored text through the
-- tab, consumed with bare `stream` requests until a marker printed after it.
--
--   host_stream.lua FILE
--
-- Prints the milliseconds spent, the number of requests, the mean bytes a
-- request brought and the longest a request took, in milliseconds.
local native = __morvane_native
local tab = os.getenv('MORVANE_TAB')
local rpc = native.rpc

local function stream(position)
  return rpc{ op = 'stream', tab = tab, position = position }
end

-- The shell's first prompt, so that the command is not echoed before it.
local position = 0
repeat
  local reply = stream(position)
  position = reply['end']
until reply.text:find('$ ', 1, true)

rpc{ op = 'send', tab = tab, text = 'cat ' .. arg[1] .. '; echo MA""RK\r' }
local started = native.now()
local requests, bytes, tail, longest = 0, 0, '', 0
while true do
  local asked = native.now()
  local reply = stream(position)
  longest = math.max(longest, native.now() - asked)
  requests = requests + 1
  bytes = bytes + #reply.text
  position = reply['end']
  -- The marker may straddle two replies.
  tail = tail:sub(-8) .. reply.text:sub(-16)
  if tail:find('MARK', 1, true) then break end
end
local elapsed = (native.now() - started) * 1000
print(string.format('%.1f %d %.0f %.1f', elapsed, requests, bytes / requests, longest * 1000))
