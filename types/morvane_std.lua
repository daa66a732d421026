-- A luacheck standard for morvane-lua scripts: the compatibility globals,
-- the native table and the global a script sets for pre-set dialog answers.
-- In a project's .luacheckrc:
--   stds.morvane = dofile('/path/to/types/morvane_std.lua')
--   std = 'lua54+morvane'
-- luacheck then flags a misspelt global (`sendl`, `expect_regexp`) as an
-- undefined variable, and an assignment to one of these as read-only.
return {
  read_globals = {
    -- Waits on received text.
    'expect', 'expect_pattern', 'expect_regex', 'waitfor', 'must_expect',
    'readline', 'quiet', 'sleep', 'idle', 'set_timeout',
    -- Triggers.
    'on', 'off',
    -- Sending, screen and session.
    'send', 'sendln', 'screen', 'screen_size', 'cursor', 'buffer', 'clear',
    'raw', 'connected', 'disconnect', 'quit', 'now',
    -- Dialogs and output.
    'message', 'input', 'confirm', 'log',
    -- Values.
    'bbs', 'script_path', 'before', 'matched',
    regex = { fields = { 'find', 'match' } },
    __morvane_native = {
      fields = {
        'read_file', 'write_file', 'rpc', 'sleep', 'now', 'base64', 'find',
        'strip', 'regex_find',
      },
    },
  },
  globals = {
    -- Read by the compatibility globals when they load.
    'vantorix_answers',
  },
}
