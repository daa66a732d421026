-- Bench: the compatibility globals end to end under morvane-host.
--
--   vantorix_host.lua MIB
--
-- The session must run `while read line; do cat vantorix_chunk.txt; done` in
-- the current directory. This script writes that file (colored shell output,
-- about 64 KiB), asks for it over and over with sendln and uses each copy up
-- prompt by prompt with expect. Prints the seconds spent, the bytes asked
-- for and the runner's own peak memory in KiB.
local chunks_module = require('vantorix_chunk')
local mib = math.tointeger(tonumber(arg[1]))
assert(mib and mib > 0, 'usage: vantorix_host.lua MIB')

local chunk = chunks_module.make()
local file = assert(io.open('vantorix_chunk.txt', 'wb'))
file:write(chunk)
file:close()
local chunks = mib * 1024 * 1024 // #chunk + 1

local pauses = 0
on('Press any key', function() pauses = pauses + 1 end)
clear()

local started = now()
for _ = 1, chunks do
  sendln()
  for _ = 1, chunks_module.segments do
    if not expect(chunks_module.prompt, 10) then
      error('a prompt was missing')
    end
  end
end
local elapsed = now() - started
assert(pauses == chunks, 'the trigger missed pauses')

local status = assert(io.open('/proc/self/status'))
local peak = status:read('a'):match('VmHWM:%s*(%d+)')
status:close()
io.write(string.format('%.4f %d %s\n', elapsed, chunks * #chunk, peak))
