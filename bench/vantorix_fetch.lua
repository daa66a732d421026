-- Bench: fetch processing of the compatibility globals, in process.
--
--   vantorix_fetch.lua MIB
--
-- The request channel is replaced by a stand-in application that receives
-- colored shell output, one 64 KiB chunk each time the script asks for more,
-- so that only the module's own work is measured: hold-back, stripping,
-- appending to pending, the trigger scan and repeated `expect` calls that use
-- the text up prompt by prompt. Prints the seconds spent and the bytes
-- received.
local native = __morvane_native
local mib = math.tointeger(tonumber(arg[1]))
assert(mib and mib > 0, 'usage: vantorix_fetch.lua MIB')

local chunks_module = require('vantorix_chunk')
local SEGMENTS, PROMPT = chunks_module.segments, chunks_module.prompt

local chunk = chunks_module.make()
local chunks = mib * 1024 * 1024 // #chunk + 1

-- The stand-in application holds only what the script has not fetched yet.
local held, held_from = '', 0   -- text and the stream position of its start
local wanted = false            -- the script asked for one more chunk
native.rpc = function(request)
  local op = request.op
  if op == 'info' then
    return { id = 'bench', streamEnd = 0, active = true }
  elseif op == 'config.get' then
    return { value = nil }
  elseif op == 'stream' then
    local unread = held:sub(request.position - held_from + 1)
    held_from = request.position
    held = wanted and unread .. chunk or unread
    wanted = false
    return { text = held, start = held_from, ['end'] = held_from + #held }
  end
  error('unexpected request ' .. tostring(op))
end

require('vantorix')

local pauses = 0
on('Press any key', function() pauses = pauses + 1 end)

local started = now()
for _ = 1, chunks do
  wanted = true
  for _ = 1, SEGMENTS do
    if not expect(PROMPT, 5) then
      error('a prompt was missing')
    end
  end
end
local elapsed = now() - started

assert(pauses == chunks, 'the trigger missed pauses')
assert(before:find('ok\r\nPress any key to continue\r\n$') and not before:find('[\0-\8\27]'), 'escape sequences reached pending')
io.write(string.format('%.4f %d\n', elapsed, chunks * #chunk))
