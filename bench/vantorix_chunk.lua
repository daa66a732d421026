-- Colored shell output for the vantorix benches: one chunk of about 64 KiB
-- made of SEGMENTS listings, each ended by a prompt that also sets the
-- window title, with a pause line near the end for a trigger.
--
-- Returns { segments, prompt (as it reads once stripped), make (a function) }.
local CHUNK = 64 * 1024
local SEGMENTS = 16
local PROMPT = 'user@host:~$ '
local RAW_PROMPT = '\27]0;user@host: ~\7\27[01;32muser@host\27[00m:\27[01;34m~\27[00m$ '

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

return { segments = SEGMENTS, prompt = PROMPT, make = make_chunk }
