-- A first script: no terminal needed. It shows what the runner adds to Lua.
-- Run it with: build/morvane-lua examples/hello.lua [words...]
local native = __morvane_native
local started = native.now()

print(('Script: %s'):format(arg[0]))
if #arg == 0 then
  print('No arguments given; try: build/morvane-lua examples/hello.lua one two')
end
for i = 1, #arg do
  print(('Argument %d: %s  (Base64 %s)'):format(i, arg[i], native.base64(arg[i])))
end

-- Received terminal text usually carries colors and a window title.
local received = '\27]0;user@host: ~\7\27[1;32muser@host\27[0m:~$ '
local plain = native.strip(received)
print(('Stripped %d bytes of escape sequences: %q'):format(#received - #plain, plain))

-- Prompt positions are counted in UTF-16 units, the way the terminal counts
-- its received text.
local text = 'Grüße 😀 login: '
local first, last, before = native.find(text, 'login:')
print(('Found "login:" at units %d to %d after %q'):format(first, last, before))

local elapsed = (native.now() - started) * 1000
print(('Done in %.3f ms'):format(elapsed))
