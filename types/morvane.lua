---@meta morvane
-- Editor definitions for require('morvane'), the automation object model.
-- Definitions only: the module itself is built into morvane-lua. Every
-- property read and method call is a request to the terminal; docs/reference.md
-- has the details and the exact error messages.

---The application: tabs, arguments, clipboard, dialogs.
---@class morvane.App
---@field Version string The terminal's version.
---@field Arguments morvane.Arguments The script's arguments, counted from 0.
---@field Clipboard morvane.Clipboard The clipboard.
---@field Dialog morvane.Dialog Dialogs (call with a colon).
---@field Screen morvane.Screen The script tab's screen.
---@field Session morvane.Session The script tab's session.
local App = {}

---The tab that started the script; the same object on every call.
---@return morvane.Tab
function App:GetScriptTab() end

---A new tab object for the active tab.
---@return morvane.Tab
function App:GetActiveTab() end

---The number of tabs.
---@return integer
function App:GetTabCount() end

---A new tab object for the tab at `index`, from 1. Raises "Tab index is out of range (one-based)".
---@param index integer
---@return morvane.Tab
function App:GetTab(index) end

---The terminal's connection profiles.
---@return table[]
function App:GetProfiles() end

---Sleeps; nothing is fetched meanwhile.
---@param milliseconds? number Milliseconds, 0 to 2147483647.
function App:Sleep(milliseconds) end

---Asks the terminal to end the script.
function App:Quit() end

---One tab of the terminal.
---@class morvane.Tab
---@field id string The tab id.
---@field Screen morvane.Screen The tab's screen.
---@field Session morvane.Session The tab's session.
---@field Caption string The tab's title (writable).
---@field Index integer Place from 1 in tab order; raises "MorvaneError: Tab was closed".
local Tab = {}

---Makes the tab the active one.
function Tab:Activate() end

---Closes the tab and ends its program.
function Tab:Close() end

---Opens a new tab with the same connection.
---@return morvane.Tab
function Tab:Clone() end

---Opens a file-transfer tab for the connection.
---@return morvane.Tab
function Tab:ConnectSftp() end

---Gives the tab its default caption back.
function Tab:ResetCaption() end

---Queues a ZMODEM upload into the tab (the program there must be receiving).
---@param files string|string[] One path or a list of paths.
---@return integer queued The number of files queued.
function Tab:ZmodemUpload(files) end

---Cancels a running transfer.
function Tab:ZmodemCancel() end

---True while a transfer runs.
---@return boolean
function Tab:ZmodemActive() end

---Sending, prompt waits and reading the screen. Waits see only text that
---arrives after this object's first send or wait.
---@class morvane.Screen
---@field Rows integer Screen height.
---@field Columns integer Screen width.
---@field CurrentRow integer The cursor's row, from 1.
---@field CurrentColumn integer The cursor's column, from 1.
---@field Selection string The selected text.
---@field MatchIndex integer Index of the prompt the last wait matched, 0 after a time-out.
---@field IgnoreCase boolean Waits ignore case (default false).
---@field IgnoreEscape boolean ReadString removes escape sequences (default false).
---@field Synchronous boolean Always true.
local Screen = {}

---Sends UTF-8 text as typed ("\r" is Enter).
---@param text string
function Screen:Send(text) end

---Sends bytes unchanged.
---@param bytes string
function Screen:SendBytes(bytes) end

---Sends text with {ENTER}, {TAB}, {ESC}, {UP}, {DOWN}, {LEFT}, {RIGHT} replaced.
---@param keys string
function Screen:SendKeys(keys) end

---Asks the terminal for an action by name ("interrupt", "eof", ...).
---@param action string
function Screen:SendSpecial(action) end

---Waits for `text`; false on time-out.
---@param text string A literal, non-empty prompt.
---@param timeout? number Seconds (milliseconds when `milliseconds` is true); 0 or nil waits forever.
---@param insensitive? boolean Ignore case.
---@param milliseconds? boolean The time-out is in milliseconds.
---@return boolean
function Screen:WaitForString(text, timeout, insensitive, milliseconds) end

---Waits for one of `patterns`; the index (from 1) of the one that matched, 0 on time-out.
---@param patterns string|string[]
---@param timeout? number Seconds (milliseconds when `milliseconds` is true); 0 or nil waits forever.
---@param insensitive? boolean Ignore case.
---@param milliseconds? boolean The time-out is in milliseconds.
---@return integer
function Screen:WaitForStrings(patterns, timeout, insensitive, milliseconds) end

---Waits for one of `patterns`; the text received before the match, "" on time-out.
---@param patterns string|string[]
---@param timeout? number Seconds; 0 or nil waits forever.
---@param insensitive? boolean Ignore case.
---@return string
function Screen:ReadString(patterns, timeout, insensitive) end

---Waits until the cursor moves; false on time-out.
---@param timeout? number Seconds; 0 or nil waits forever.
---@return boolean
function Screen:WaitForCursor(timeout) end

---A screen region's text, rows joined with no separator.
---@param top integer
---@param left integer
---@param bottom integer
---@param right integer
---@return string
function Screen:Get(top, left, bottom, right) end

---A screen region's text, rows joined by "\n".
---@param top integer
---@param left integer
---@param bottom integer
---@param right integer
---@return string
function Screen:Get2(top, left, bottom, right) end

---Clears the screen.
function Screen:Clear() end

---The connection behind a tab.
---@class morvane.Session
---@field Connected boolean The program runs.
---@field Status string How the session stands; after the program ended, how it ended.
---@field Logging boolean A log is being written.
---@field Path string The profile name, "" when none.
---@field LogFileName string The log file's path (writable).
---@field Config morvane.Config The tab's options.
local Session = {}

---Ends the connection.
function Session:Disconnect() end

---Opens a new tab for a profile name or a profile table ({command = 'CMD'} under morvane-host).
---@param profile string|table
---@return morvane.Tab
function Session:Connect(profile) end

---The same as Connect.
---@param profile string|table
---@return morvane.Tab
function Session:ConnectInTab(profile) end

---Starts (enabled true) or stops logging to LogFileName.
---@param enabled boolean
---@param append? boolean Append to the file.
---@param raw? boolean Log raw bytes with escape sequences.
---@return boolean logging
function Session:Log(enabled, append, raw) end

---A tab's options.
---@class morvane.Config
local Config = {}

---An option's value, nil when unset.
---@param name string
---@return any
function Config:GetOption(name) end

---Sets an option; nil removes it.
---@param name string
---@param value any
function Config:SetOption(name, value) end

---Saves the options into the tab's profile.
function Config:Save() end

---Opens a new tab with the same connection.
---@return morvane.Tab
function Config:ConnectInTab() end

---The script's arguments.
---@class morvane.Arguments
---@field Count integer The number of arguments.
local Arguments = {}

---Argument `index`, counted from 0. Raises "Script argument index is out of range (zero-based)".
---@param index integer
---@return string
function Arguments:GetArg(index) end

---@class morvane.Clipboard
---@field Text string The clipboard's text (writable).

---Dialogs, called with a colon.
---@class morvane.Dialog
local Dialog = {}

---Shows a message; returns the button pressed.
---@param message any
---@param title? string Default "Morvane script".
---@return string
function Dialog:MessageBox(message, title) end

---Asks for text; returns the text ("" when none) and whether the user cancelled.
---@param message string
---@param title? string Default "Morvane script".
---@param default? string
---@param password? boolean Hide the text.
---@return string text
---@return boolean cancelled
function Dialog:Prompt(message, title, default, password) end

---Asks for a file; "" when cancelled.
---@param title? string Default "Open file".
---@return string
function Dialog:FileOpenDialog(title) end

---The module table.
---@class morvane
---@field app morvane.App The application object.
local morvane = {}

---Sends one request; raises "MorvaneError: ..." when it fails.
---@param op string Operation name.
---@param tab? string Tab id; nil for application-wide operations.
---@param values? table Other request fields (op and tab are written into it).
---@return any result
function morvane.rpc(op, tab, values) end

---A whole file (at most 16 MiB); raises "MorvaneError: ..." when it fails.
---@param path string
---@return string
function morvane.read_file(path) end

---Replaces a file atomically; raises "MorvaneError: ..." when it fails.
---@param path string
---@param bytes string
---@return true
function morvane.write_file(path, bytes) end

return morvane
