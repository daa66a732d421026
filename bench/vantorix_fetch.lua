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

local CHUNK = 64 * 1024
local SEGMENTS = 16   -- prompts per chunk
local PROMPT = 'user@host:~$ '
local RAW_PROMPT = '\27]0;user@host: ~\7\27[01;32muser@host\27[00m:\27[01;34m~\27[00m$ '

-- One chunk of about 64 KiB: SEGMENTS listings, each ended by a prompt that
-- also sets the window title, and one pause line for a trigger.
local function make_chunk()
  local parts, size, line = {}, 0, 0
  for segment = 1, SEGMENTS do
    local limit = segment * CHUNK // SEGMENTS - #RAW_PROMPT
    while size < limit - 100 do
      line = line + 1
      local text = string.format(
        '\27[0m\27[01;34mdirectory_%05d\27[0m  \27[38;5;208m%8d\27[0m bytes  \27[1;32mok\27[0m\r\n',
        line, line * 37)
      parts[#parts + 1] = text
      size = size + #text
    end
    if segment == SEGMENTS then
      -- Near the end: the triggers look at the last 4096 bytes of a fetch.
      parts[#parts + 1] = 'Press any key to continue\r\n'
    end
    parts[#parts + 1] = RAW_PROMPT
    size = size + #RAW_PROMPT
  end
  return table.concat(parts)
end

local chunk = make_chunk()
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
