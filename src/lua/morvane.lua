-- Automation object model: the application, its tabs, their screens and
-- sessions, the script's arguments, the clipboard and dialogs, all over the
-- terminal application's request channel. The module keeps no data of the
-- application: every property read and every action is a request. The only
-- state it holds is, per screen object, where the next prompt wait reads on.
local native = assert(__morvane_native, "Use Morvane Terminal's bundled Lua runner")

local error, getenv, ipairs, math_huge, math_type, setmetatable, tostring, type =
  error, os.getenv, ipairs, math.huge, math.type, setmetatable, tostring, type
local native_rpc, native_find, native_strip = native.rpc, native.find, native.strip
local native_now, native_sleep, native_base64 = native.now, native.sleep, native.base64
local native_read_file, native_write_file = native.read_file, native.write_file

local POLL_MILLISECONDS = 25

local KEYS = {
  ENTER = '\r',
  TAB = '\t',
  ESC = '\27',
  UP = '\27[A',
  DOWN = '\27[B',
  LEFT = '\27[D',
  RIGHT = '\27[C',
}

-- Sends one request and returns the reply's result. `values` (the caller's
-- own table, when given) receives `op` and `tab`; a nil `tab` leaves the
-- field out. A failed request names the caller's line.
local function rpc(op, tab, values)
  values = values or {}
  values.op = op
  values.tab = tab
  local result, message = native_rpc(values)
  if message ~= nil then
    error('MorvaneError: ' .. message, 2)
  end
  return result
end

local function read_file(path)
  local data, message = native_read_file(path)
  if message ~= nil then
    error('MorvaneError: ' .. message, 2)
  end
  return data
end

local function write_file(path, bytes)
  local done, message = native_write_file(path, bytes)
  if message ~= nil then
    error('MorvaneError: ' .. message, 2)
  end
  return done
end

-- A field of a reply; a reply that is not an object has no fields.
local function field(reply, key)
  if type(reply) == 'table' then
    return reply[key]
  end
end

-- Argument and session checks report the line that called the function
-- that checks: for a method or a property setter, the script's own line.
local function checked(value, message)
  if not value then
    error(message, 3)
  end
  return value
end

-- A time-out as a number: nil and false mean none (0). Raises for the line
-- that called the caller, like `checked`.
local function duration(value)
  if not value then
    return 0
  end
  if type(value) ~= 'number' or not (value >= 0 and value < math_huge) then
    error('Timeout must be finite and nonnegative', 3)
  end
  return value
end

local function sleep(milliseconds)
  local done, message = native_sleep(milliseconds)
  if not done then
    error(message, 2)
  end
end

-- An empty table whose reads call `getters` (else give `methods`) and whose
-- writes call `setters`; any other write is refused, so the table never
-- holds a field of its own.
local function proxy(getters, setters, methods)
  return setmetatable({}, {
    __index = function(_, key)
      local getter = getters[key]
      if getter then
        return getter()
      end
      return methods[key]
    end,
    __newindex = function(_, key, value)
      local setter = setters[key]
      if setter then
        return setter(value)
      end
      error('Unknown or read-only property: ' .. tostring(key), 2)
    end,
  })
end

local function info_field(tab, key)
  return function()
    return field(rpc('info', tab), key)
  end
end

local make_tab

-- Prompt waits ------------------------------------------------------------

-- Fixes where the waits of a screen start reading: the end of the stream
-- at the first send or wait, so earlier text is never matched.
local function mark(state, tab)
  if state.position == nil then
    state.position = field(rpc('info', tab), 'streamEnd')
  end
end

local function prompt_list(patterns)
  if type(patterns) == 'string' then
    patterns = { patterns }
  end
  if type(patterns) ~= 'table' or patterns[1] == nil then
    return nil, 'Provide one or more prompt strings'
  end
  for _, prompt in ipairs(patterns) do
    if type(prompt) ~= 'string' or prompt == '' then
      return nil, 'Prompt strings must not be empty'
    end
  end
  return patterns
end

-- The earliest match in `text`; among matches at the same start the prompt
-- listed first. Returns its index, its end (UTF-16 units) and the text
-- before it.
local function earliest(text, prompts, insensitive)
  local best, best_start, best_finish, best_before
  for index, prompt in ipairs(prompts) do
    local start, finish, before = native_find(text, prompt, insensitive)
    if start and start >= 0 and (best == nil or start < best_start) then
      best, best_start, best_finish, best_before = index, start, finish, before
    end
  end
  return best, best_finish, best_before
end

-- What a wait gives back, by mode: 'index' the prompt's index (0 on
-- time-out), 'found' a boolean, 'capture' the text before the match.
local function wait_result(mode, index, before)
  if mode == 'capture' then
    return before or ''
  end
  if mode == 'found' then
    return index ~= 0
  end
  return index
end

-- The prompt wait. The methods call it as a tail call, so that its checks
-- report the script's line.
local function wait(state, tab, patterns, timeout, insensitive, milliseconds, mode)
  local prompts, problem = prompt_list(patterns)
  checked(prompts, problem)
  local seconds = duration(timeout)
  if milliseconds then
    seconds = seconds / 1000
  end
  local deadline = seconds > 0 and native_now() + seconds or nil
  local caseless = (insensitive ~= nil and insensitive ~= false) or state.IgnoreCase
  mark(state, tab)
  -- A session that ends right after its last output may already be gone when
  -- `info` is asked: one more fetch after it is seen inactive finds that
  -- output, and only when that fetch matches nothing does the wait raise.
  local ended = false
  while true do
    local reply = rpc('stream', tab, { position = state.position })
    checked(field(reply, 'truncated') ~= true,
      'MorvaneError: Incoming data exceeded the automation capture buffer')
    local index, finish, before = earliest(field(reply, 'text') or '', prompts, caseless)
    if index then
      state.position = (field(reply, 'start') or state.position) + finish
      state.MatchIndex = index
      if mode == 'capture' and state.IgnoreEscape then
        before = native_strip(before)
      end
      return wait_result(mode, index, before)
    end
    checked(not ended, 'MorvaneError: Session disconnected while waiting for a prompt')
    if deadline and native_now() >= deadline then
      state.MatchIndex = 0
      return wait_result(mode, 0, '')
    end
    ended = not field(rpc('info', tab), 'active')
    if not ended then
      sleep(POLL_MILLISECONDS)
    end
  end
end

-- True once the cursor has left where it stood at the call.
local function wait_for_cursor(tab, timeout)
  local seconds = duration(timeout)
  local first = rpc('info', tab)
  local deadline = seconds > 0 and native_now() + seconds or nil
  checked(field(first, 'locked') ~= true, 'MorvaneError: Session is locked')
  -- As in the prompt wait: a session seen inactive is asked once more, so
  -- that a move the application took in as the session ended still counts.
  local ended = false
  while true do
    local now = rpc('info', tab)
    checked(field(now, 'locked') ~= true, 'MorvaneError: Session is locked')
    if field(now, 'row') ~= field(first, 'row') or field(now, 'column') ~= field(first, 'column') then
      return true
    end
    checked(not ended, 'MorvaneError: Session disconnected')
    if deadline and native_now() >= deadline then
      return false
    end
    ended = not field(now, 'active')
    if not ended then
      sleep(POLL_MILLISECONDS)
    end
  end
end

-- Screen, session, configuration, tab -------------------------------------

local function make_screen(tab)
  local state = { IgnoreCase = false, IgnoreEscape = false, MatchIndex = 0, position = nil }

  local function boolean_setter(name)
    return function(value)
      checked(type(value) == 'boolean', name .. ' requires a boolean')
      state[name] = value
    end
  end

  local getters = {
    Rows = info_field(tab, 'rows'),
    Columns = info_field(tab, 'columns'),
    CurrentRow = info_field(tab, 'row'),
    CurrentColumn = info_field(tab, 'column'),
    Selection = function() return field(rpc('selection', tab), 'text') end,
    MatchIndex = function() return state.MatchIndex end,
    IgnoreCase = function() return state.IgnoreCase end,
    IgnoreEscape = function() return state.IgnoreEscape end,
    Synchronous = function() return true end,
  }
  local setters = {
    IgnoreCase = boolean_setter('IgnoreCase'),
    IgnoreEscape = boolean_setter('IgnoreEscape'),
    Synchronous = function(value)
      checked(value == true, 'Lua prompt waits always use synchronous buffered capture')
    end,
  }
  local methods = {}

  function methods.Send(_, text)
    checked(type(text) == 'string', 'Send requires a UTF-8 string')
    mark(state, tab)
    local reply = rpc('send', tab, { text = text })
    checked(field(reply, 'sent'), 'MorvaneError: Session is not connected')
  end

  function methods.SendBytes(_, bytes)
    checked(type(bytes) == 'string', 'SendBytes requires a byte string')
    mark(state, tab)
    local reply = rpc('send.bytes', tab, { base64 = native_base64(bytes) })
    checked(field(reply, 'sent'), 'MorvaneError: Session is not connected')
  end

  function methods.SendKeys(self, keys)
    if type(keys) == 'string' then
      keys = keys:gsub('{(%u+)}', KEYS)
    end
    return self:Send(keys)
  end

  function methods.SendSpecial(_, action)
    rpc('action', tab, { action = action })
  end

  -- `text` is one prompt, never a list: a nil leaves the list empty, and
  -- anything else that is not a string is refused as a prompt.
  function methods.WaitForString(_, text, timeout, insensitive, milliseconds)
    return wait(state, tab, { text }, timeout, insensitive, milliseconds, 'found')
  end

  function methods.WaitForStrings(_, patterns, timeout, insensitive, milliseconds)
    return wait(state, tab, patterns, timeout, insensitive, milliseconds, 'index')
  end

  function methods.ReadString(_, patterns, timeout, insensitive)
    return wait(state, tab, patterns, timeout, insensitive, nil, 'capture')
  end

  function methods.WaitForCursor(_, timeout)
    return wait_for_cursor(tab, timeout)
  end

  function methods.Get2(_, top, left, bottom, right)
    local reply = rpc('screen.region', tab, { top = top, left = left, bottom = bottom, right = right })
    return field(reply, 'text')
  end

  function methods.Get(self, top, left, bottom, right)
    local text = self:Get2(top, left, bottom, right)
    if type(text) ~= 'string' then
      return text
    end
    return (text:gsub('\n', ''))
  end

  function methods.Clear()
    rpc('clear', tab)
  end

  return proxy(getters, setters, methods)
end

local function make_config(tab)
  local methods = {}

  function methods.GetOption(_, name)
    return field(rpc('config.get', tab, { key = name }), 'value')
  end

  function methods.SetOption(_, name, value)
    rpc('config.set', tab, { key = name, value = value })
  end

  function methods.Save()
    rpc('profile.save', tab)
  end

  function methods.ConnectInTab()
    return make_tab(field(rpc('clone', tab), 'id'))
  end

  return proxy({}, {}, methods)
end

-- A connection profile goes by name when it is a string, else as it is.
local function connect(profile)
  local values = {}
  if type(profile) == 'string' then
    values.profileId = profile
  else
    values.profile = profile
  end
  return make_tab(field(rpc('connect', nil, values), 'id'))
end

local function make_session(tab)
  local config = make_config(tab)

  local function set_option(name, value)
    rpc('config.set', tab, { key = name, value = value })
  end

  local getters = {
    Connected = info_field(tab, 'connected'),
    Status = info_field(tab, 'status'),
    Logging = info_field(tab, 'logging'),
    Path = function() return field(rpc('info', tab), 'profileId') or '' end,
    LogFileName = function() return config:GetOption('logPath') end,
    Config = function() return config end,
  }
  local setters = {
    LogFileName = function(value) set_option('logPath', value) end,
  }
  local methods = {}

  function methods.Disconnect()
    rpc('disconnect', tab)
  end

  function methods.Connect(_, profile)
    return connect(profile)
  end
  methods.ConnectInTab = methods.Connect

  function methods.Log(_, enabled, append, raw)
    if not enabled then
      rpc('log.stop', tab)
      return false
    end
    if append == nil then append = false end
    if raw == nil then raw = false end
    set_option('logAppend', append)
    set_option('logRaw', raw)
    return field(rpc('log.start', tab), 'logging')
  end

  return proxy(getters, setters, methods)
end

local function tab_list()
  return field(rpc('tabs'), 'tabs') or {}
end

-- The place (from 1) of `id` in the application's tab order, or nil.
local function tab_place(id)
  for place, entry in ipairs(tab_list()) do
    if field(entry, 'id') == id then
      return place
    end
  end
end

function make_tab(id)
  local screen = make_screen(id)
  local session = make_session(id)

  local getters = {
    id = function() return id end,
    Screen = function() return screen end,
    Session = function() return session end,
    Caption = info_field(id, 'caption'),
    Index = function()
      local place = tab_place(id)
      if place == nil then
        error('MorvaneError: Tab was closed', 1)
      end
      return place
    end,
  }
  local setters = {
    Caption = function(value) rpc('caption', id, { value = value }) end,
  }
  local methods = {}

  function methods.Activate()
    rpc('activate', id)
  end

  function methods.Close()
    rpc('close', id)
  end

  function methods.Clone()
    return make_tab(field(rpc('clone', id), 'id'))
  end

  function methods.ConnectSftp()
    return make_tab(field(rpc('sftp', id), 'id'))
  end

  function methods.ResetCaption()
    rpc('caption', id, { value = '' })
  end

  function methods.ZmodemUpload(_, files)
    if type(files) == 'string' then
      files = { files }
    end
    return field(rpc('zmodem.upload', id, { files = files }), 'queued')
  end

  function methods.ZmodemCancel()
    rpc('zmodem.cancel', id)
  end

  function methods.ZmodemActive()
    return field(rpc('zmodem.status', id), 'active')
  end

  return proxy(getters, setters, methods)
end

-- Arguments, clipboard, dialogs, application --------------------------------

local function script_arguments()
  local args = arg
  if type(args) ~= 'table' then
    return {}
  end
  return args
end

local arguments = proxy({
  Count = function() return #script_arguments() end,
}, {}, {
  GetArg = function(_, index)
    local args = script_arguments()
    checked(math_type(index) == 'integer' and index >= 0 and args[index + 1] ~= nil,
      'Script argument index is out of range (zero-based)')
    return args[index + 1]
  end,
})

local clipboard = proxy({
  Text = function() return field(rpc('clipboard.get'), 'text') end,
}, {
  Text = function(value) rpc('clipboard.set', nil, { text = value }) end,
}, {})

local dialog = {}

function dialog.MessageBox(_, message, title)
  local reply = rpc('dialog.message', nil, {
    message = tostring(message),
    title = title or 'Morvane script',
  })
  return field(reply, 'button')
end

function dialog.Prompt(_, message, title, default, password)
  local reply = rpc('dialog.prompt', nil, {
    message = message,
    title = title or 'Morvane script',
    default = default or '',
    password = password or false,
  })
  return field(reply, 'text') or '', field(reply, 'cancelled')
end

function dialog.FileOpenDialog(_, title)
  return field(rpc('dialog.file', nil, { title = title or 'Open file' }), 'path') or ''
end

-- The tab that started the script, resolved on first use and kept.
local the_script_tab

local function script_tab()
  if the_script_tab then
    return the_script_tab
  end
  local id = getenv('MORVANE_TAB')
  if id == nil then
    id = field(rpc('info', 'active'), 'id')
  end
  the_script_tab = make_tab(id)
  return the_script_tab
end

local app = proxy({
  Version = function() return field(rpc('version'), 'version') end,
  Arguments = function() return arguments end,
  Clipboard = function() return clipboard end,
  Dialog = function() return dialog end,
  Screen = function() return script_tab().Screen end,
  Session = function() return script_tab().Session end,
}, {}, {
  GetScriptTab = function()
    return script_tab()
  end,
  GetActiveTab = function()
    return make_tab(field(rpc('info', 'active'), 'id'))
  end,
  GetTabCount = function()
    return #tab_list()
  end,
  GetTab = function(_, index)
    local tabs = tab_list()
    checked(math_type(index) == 'integer' and index >= 1 and tabs[index] ~= nil,
      'Tab index is out of range (one-based)')
    return make_tab(field(tabs[index], 'id'))
  end,
  GetProfiles = function()
    return field(rpc('profiles'), 'sessions')
  end,
  Sleep = function(_, milliseconds)
    return sleep(duration(milliseconds))
  end,
  Quit = function()
    rpc('quit')
  end,
})

return {
  rpc = rpc,
  read_file = read_file,
  write_file = write_file,
  app = app,
}
