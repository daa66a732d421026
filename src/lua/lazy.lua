
-- Loads the compatibility module the first time a script reads one of its
-- globals while that global is still absent; then steps out of the way.
local require, rawget, setmetatable = require, rawget, setmetatable

local names = {}
for name in ([[
  expect expect_pattern expect_regex must_expect waitfor readline quiet
  sleep idle set_timeout on off send sendln screen screen_size cursor
  buffer clear raw connected disconnect quit now message input confirm
  log bbs script_path regex before matched
]]):gmatch('%S+') do
  names[name] = true
end

setmetatable(_G, {
  __index = function(globals, key)
    if not names[key] then
      return
    end
    setmetatable(globals, nil)
    require('vantorix')
    return rawget(globals, key)
  end,
})
