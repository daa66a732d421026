-- Bench: readline() on lines that have already arrived.
--
--   vantorix_readline.lua COUNT
--
-- The session must print COUNT lines "line N" and then "END", and stay. The
-- script fetches all of it first (sleep fetches), then times COUNT readline
-- calls, each of which finds its line already pending. Prints the seconds.
local count = math.tointeger(tonumber(arg[1]))
assert(count and count > 0, 'usage: vantorix_readline.lua COUNT')

repeat
  sleep(0.05)
until buffer():find('END', 1, true)

local started = now()
for i = 1, count do
  local line = readline(5)
  if line ~= 'line ' .. i then
    error('line ' .. i .. ' came as ' .. tostring(line))
  end
end
io.write(string.format('%.4f\n', now() - started))
