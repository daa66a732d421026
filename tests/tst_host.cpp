// morvane-host end to end: real scripts run by the real runner against a
// real /bin/sh on a pseudo-terminal, plus the socket server's refusals and
// the host's clean-up of child processes.
#include "fake_app.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <iterator>
#include <memory>
#include <sys/resource.h>
#include <utility>
#include <vector>

#ifndef MORVANE_HOST_PATH
#error "tst_host needs the morvane-host target"
#endif

namespace {

// A shell with a fixed prompt and no start-up files.
const QString shellCommand = QStringLiteral("exec env PS1='$ ' ENV= /bin/sh");

struct HostRun {
    int exitCode = -1;
    bool finished = false;
    QString out;
    QString err;
};

// Processes whose whole command line is `commandLine`, arguments joined by
// spaces (not a shell or a host that only mentions it); sent `signal` when
// it is not 0.
int processesRunning(const QByteArray &commandLine, int signal = 0)
{
    int count = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().replace('\0', ' ').trimmed() == commandLine) {
            ++count;
            if (signal != 0)
                ::kill(static_cast<pid_t>(entry.toInt()), signal);
        }
    }
    return count;
}

// For tests that talk to the host's socket themselves: the script prints the
// socket and the token, waits until the test writes `done` into its
// directory, then runs `then`.
QByteArray endpointScript(const QByteArray &then)
{
    return QByteArray(R"lua(
print(os.getenv('MORVANE_SOCKET'))
print(os.getenv('MORVANE_TOKEN'))
io.stdout:flush()
local n = __morvane_native
local deadline = n.now() + 60
while not io.open(arg[1] .. '/done') and n.now() < deadline do n.sleep(50) end
)lua") + then;
}

// The socket and the token that script prints; empty when it did not.
std::pair<QString, QByteArray> readEndpoint(QProcess &host)
{
    QByteArray lines;
    while (lines.count('\n') < 2 && host.waitForReadyRead(10000))
        lines += host.readAllStandardOutput();
    const QList<QByteArray> parts = lines.split('\n');
    if (parts.size() < 3)
        return {};
    return {QString::fromUtf8(parts.at(0)), parts.at(1)};
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList withShell(const QStringList &hostArguments)
{
    if (hostArguments.contains(QStringLiteral("-c")))
        return hostArguments;
    return QStringList{QStringLiteral("-c"), shellCommand} + hostArguments;
}

// Put on the first line of a script run against the default shell: waits
// until the shell's first prompt has arrived. The runner is often up before
// the shell, and a command sent earlier is echoed before that prompt, which
// then lands in the middle of the command's output.
const QByteArray firstPrompt = "do local n, tab = __morvane_native, os.getenv('MORVANE_TAB'); local deadline = n.now() + 10; "
                               "while not n.rpc{ op = 'stream', tab = tab, position = 0 }.text:find('$ ', 1, true) "
                               "and n.now() < deadline do n.sleep(5) end end";

// Starts the host on `script` in `dir`; the script gets the directory as arg[1].
void startHost(QProcess &host, const QTemporaryDir &dir, const QByteArray &script, const QStringList &hostArguments,
               const QStringList &environment = {})
{
    // The first line of every script is empty: the wait goes there, so that
    // line numbers in messages stay as written.
    const bool defaultShell = !hostArguments.contains(QStringLiteral("-c"));
    writeFile(dir.filePath(QStringLiteral("script.lua")), defaultShell ? firstPrompt + script : script);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(dir.path());
    host.start(QStringLiteral(MORVANE_HOST_PATH),
               withShell(hostArguments) + QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH),
                                                      dir.filePath(QStringLiteral("script.lua")), dir.path()});
    host.closeWriteChannel();
}

HostRun runHost(const QTemporaryDir &dir, const QByteArray &script, const QStringList &hostArguments = {},
                const QStringList &environment = {}, int timeoutMs = 30000)
{
    QProcess host;
    startHost(host, dir, script, hostArguments, environment);
    HostRun run;
    run.finished = host.waitForFinished(timeoutMs);
    if (!run.finished) {
        host.kill();
        host.waitForFinished();
    }
    run.exitCode = host.exitStatus() == QProcess::NormalExit ? host.exitCode() : -1;
    run.out = QString::fromUtf8(host.readAllStandardOutput());
    run.err = QString::fromUtf8(host.readAllStandardError());
    return run;
}

// One request on its own connection, as the runner makes it; returns the
// reply line, or what came before the server closed.
QByteArray exchange(const QString &socketPath, const QByteArray &line)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(3000))
        return "(no connection)";
    socket.write(line);
    QByteArray reply;
    while (!reply.contains('\n') && socket.waitForReadyRead(5000))
        reply += socket.readAll();
    reply += socket.readAll();
    return reply.left(reply.indexOf('\n'));
}

} // namespace

class Host : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void scripts_data();
    void scripts();
    void hostileOutput_data();
    void hostileOutput();
    void randomOutput();
    void failingWrites_data();
    void failingWrites();
    void usage_data();
    void usage();
    void requestsRefused();
    void connectionFlood_data();
    void connectionFlood();
    void noProcessLeft_data();
    void noProcessLeft();
    void zmodemUpload();
};

void Host::scripts_data()
{
    QTest::addColumn<QStringList>("hostArguments");
    QTest::addColumn<QByteArray>("answers");   // --answers file content, when not empty
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");

    QTest::newRow("send, wait and ReadString") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local s = require('morvane').app.Screen
s:Send('seq 1 3; echo E""ND\r')
print(s:WaitForString('E""ND\r\n', 5))
print((s:ReadString('END', 5):gsub('\r', '')))
print(s:WaitForString('never', 0.2), s.MatchIndex)
)lua") << 0 << QString("true\n1\n2\n3\n\nfalse\t0\n");

    // The octal escapes keep the characters out of the shell's echo; the
    // emoji is two UTF-16 units, so positions after it must still line up.
    QTest::newRow("UTF-8 and characters outside the BMP") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local s = m.app.Screen
local id = m.app:GetScriptTab().id
s:Send("printf 'caf\\303\\251 \\360\\237\\230\\200 ok\\n'\r")
s:WaitForString("\\n'\r\n", 5)
print(s:ReadString('\u{1F600}', 5))
print('[' .. s:ReadString('ok', 5) .. ']')
s:WaitForString('$ ', 5)
local r = m.rpc('stream', id, { position = 0 })
local units = 0
for _, c in utf8.codes(r.text) do units = units + (c > 0xFFFF and 2 or 1) end
print(r['end'] - r.start == units, r.truncated)
for row = 1, s.Rows do
  local line = s:Get(row, 1, row, s.Columns)
  if line:find('ok') and not line:find('printf') then print((line:gsub('%s+$', ''))) end
end
)lua") << 0 << QString("café \n[ ]\ntrue\tfalse\ncafé \U0001F600 ok\n");

    // A lead byte at the end of one read that the next read does not finish
    // is one U+FFFD; the byte after it must not be lost with it.
    QTest::newRow("unfinished character across reads") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local s = require('morvane').app.Screen
s:Send("printf '\\303'; sleep 0.3; printf '\\101\\055\\102'\r")
print(s:WaitForString('\u{FFFD}A-B', 5))
)lua") << 0 << QString("true\n");

    // Positions far into a block of mixed text (one, two and four bytes a
    // character, a surrogate pair among them) are found from the block's marks.
    QTest::newRow("stream positions deep in mixed text") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local id = m.app:GetScriptTab().id
local s = m.app.Screen
s:Send("seq 1 400; for i in $(seq 600); do printf '\\303\\251\\360\\237\\230\\200a'; done; echo; echo D''ONE\r")
s:WaitForString('DONE', 10)
local whole = m.rpc('stream', id, { position = 0 }).text
local function units(text)
  local n = 0
  for _, c in utf8.codes(text) do n = n + (c > 0xFFFF and 2 or 1) end
  return n
end
-- where the run of 'é😀a' (four units each) begins
local run = units(whole:sub(1, whole:find('\u{E9}', 1, true) - 1))
local firsts = { [0] = '\u{E9}', '\u{1F600}', '\u{1F600}', 'a' }
local bad, probes = 0, 0
for k = 0, 2399, 7 do
  local r = m.rpc('stream', id, { position = run + k })
  local inside = k % 4 == 2   -- the low half of the pair: the slice starts at the pair
  if r.start ~= run + k - (inside and 1 or 0) or r.text:sub(1, #firsts[k % 4]) ~= firsts[k % 4] then bad = bad + 1 end
  probes = probes + 1
end
local number = m.rpc('stream', id, { position = units(whole:sub(1, whole:find('\n377\r', 1, true))) })
print(bad, probes, number.text:sub(1, 3))
)lua") << 0 << QString("0\t343\t377\n");

    // A reply larger than the socket takes at once goes out in chunks, whole.
    QTest::newRow("stream reply of several chunks") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local id = m.app:GetScriptTab().id
m.app.Screen:Send('seq 1 100000; echo D""ONE\r')
m.app.Screen:WaitForString('DONE\r\n', 20)
local r = m.rpc('stream', id, { position = 0 })
print(r.start, r['end'] == #r.text, select(2, r.text:gsub('\r\n', '')), r.text:find('\n99999\r\n100000\r\nDONE\r\n', 1, true) ~= nil)
)lua") << 0 << QString("0.0\ttrue\t100002\ttrue\n");

    QTest::newRow("screen and cursor after cursor movements") << QStringList{"--size", "60x20"} << QByteArray() << QStringList{} << QByteArray(R"lua(
local s = require('morvane').app.Screen
s:Send("clear; printf '\\033[5;10H\\170\\171\\033[8;3H'; sleep 2\r")
s:WaitForString('xy', 5)
__morvane_native.sleep(150)
print(s.CurrentRow, s.CurrentColumn, s.Rows, s.Columns)
print('[' .. s:Get(5, 9, 5, 12) .. ']')
local all = s:Get2(0, -5, 99, 999)
local rows = 0
for line in (all .. '\n'):gmatch('([^\n]*)\n') do rows = rows + 1 end
print(rows, #all:match('^[^\n]*'), s:Get2(3, 5, 2, 5) == '')
)lua") << 0 << QString("8.0\t3.0\t20.0\t60.0\n[ xy ]\n20\t60\ttrue\n");

    // Plain lines that scroll off at once are not given to the emulator; the
    // screen must still end as if they had been, with and without margins.
    QTest::newRow("screen after a flood of lines") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local s = require('morvane').app.Screen
local function rows(from, to)
  local out = {}
  for row = from, to do out[#out + 1] = (s:Get(row, 1, row, 80):gsub('%s+$', '')) end
  return table.concat(out, ',')
end
s:Send('seq 1 3000\r')
s:WaitForString('3000\r\n$ ', 10)
print(rows(21, 24), s.CurrentRow, s.CurrentColumn)
s:Send("clear; printf '\\033[5;10r'; seq 1 3000; printf '\\033[r'\r")
s:WaitForString('3000\r\n', 10)
s:WaitForString('$ ', 10)
print(rows(1, 10), s.CurrentRow)
)lua") << 0 << QString("2998,2999,3000,$\t24.0\t3.0\n$,2,3,4,2996,2997,2998,2999,3000,\t1.0\n");

    QTest::newRow("WaitForCursor") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local s = require('morvane').app.Screen
s:Send("sleep 0.3; printf '\\033[10;20H'; sleep 2\r")
s:WaitForString("sleep 2\r\n", 5)
print(s:WaitForCursor(3), s.CurrentRow, s.CurrentColumn)
print(s:WaitForCursor(0.2))
)lua") << 0 << QString("true\t10.0\t20.0\nfalse\n");

    // Each readline asks for more text before it uses a line it already
    // holds; with nothing new that request must be answered at once, not
    // held until the hold runs out (about 1 s for the 50 calls).
    QTest::newRow("readline on lines already received") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
sendln('seq 1 50; echo E""ND')
repeat sleep(0.05) until buffer():find('END\r\n', 1, true)
readline()  -- the prompt and the echoed command
local started, all = now(), true
for i = 1, 50 do all = all and readline(5) == tostring(i) end
print(all, now() - started < 0.5)
)lua") << 0 << QString("true true\n");

    // A wait right after a send is held and answered as the output comes:
    // one stream request a round, where without the hold the first reply
    // holds no output yet and a second request follows the module's pause.
    QTest::newRow("wait after a send held for its output") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local native = __morvane_native
local rpc, streams = native.rpc, 0
native.rpc = function(request) if request.op == 'stream' then streams = streams + 1 end return rpc(request) end
local s = require('morvane').app.Screen
s:Send('\r') s:WaitForString('$ ', 5)
streams = 0
local all = true
for round = 1, 10 do
  s:Send('sleep 0.01; echo R$((' .. round .. '*7))\r')
  all = all and s:WaitForString('R' .. round * 7, 5)
end
print(all, streams < 20)
)lua") << 0 << QString("true\ttrue\n");

    QTest::newRow("compatibility globals over colored output") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
sendln("printf '\\033]0;my title\\007\\033[31mred\\033[0m and \\033[1mbold\\033[0m\\n'")
print(expect('and bold', 5))
print('[' .. before:sub(-4) .. ']')
local w, h = screen_size()
for row = 1, h do
  if screen(row) == 'red and bold' then print('row', row == select(2, cursor()) - 1) end
end
print(require('morvane').app:GetScriptTab().Caption, w, h)
)lua") << 0 << QString("1 and bold\n[red ]\nrow true\nmy title 80 24\n");

    QTest::newRow("triggers during sleep") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local count, last = 0, nil
local id = on('tick (%d)', function(_, n) count = count + 1; last = n end, 'lua')
sendln("for i in 1 2 3; do echo ti''ck $i; sleep 0.1; done")
sleep(1.2)
print(count, last, off(id), off(id))
)lua") << 0 << QString("3 3 true false\n");

    QTest::newRow("clone, tabs and close") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
print(m.app:GetTabCount())
local copy = m.app:GetScriptTab():Clone()
print(m.app:GetTabCount(), copy.Index, copy.id ~= m.app:GetScriptTab().id)
copy.Screen:Send('echo in-cl""one\r')
print(copy.Screen:WaitForString('in-clone', 5))
copy:Close()
print(m.app:GetTabCount(), (pcall(function() return copy.Index end)))
)lua") << 0 << QString("1\n2\t2\ttrue\ntrue\n1\tfalse\n");

    QTest::newRow("logging to a file") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local s, session = m.app.Screen, m.app.Session
local function logged(path, append, raw)
  session.LogFileName = arg[1] .. '/' .. path
  assert(session:Log(true, append, raw) == true)
  s:Send("printf '\\033[32mgreen\\033[0m\\n'\r")
  s:WaitForString('\27[32mgreen\27[0m\r\n$ ', 5)
  session:Log(false)
  return m.read_file(arg[1] .. '/' .. path)
end
local plain = logged('plain.log')
plain = logged('plain.log', true)
local raw = logged('raw.log', false, true)
print(plain:find('\27', 1, true) == nil, select(2, plain:gsub('\ngreen\r', '')))
print(raw:find('\27[32mgreen', 1, true) ~= nil, session.Logging)
)lua") << 0 << QString("true\t2\ntrue\tfalse\n");

    // Regression: escape sequences split across reads of the terminal (a CSI
    // after its introducer, an OSC inside its text, a lone ESC at the end of a
    // read) are still removed from a plain log, the text around them kept; and
    // a log stopped right after a wait matched holds everything matched.
    QTest::newRow("plain log with sequences split across reads") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local s, session = m.app.Screen, m.app.Session
session.LogFileName = arg[1] .. '/split.log'
assert(session:Log(true))
s:Send("printf 'be\\033[3'; sleep 0.2; printf '2mfore\\033]0;ti'; sleep 0.2; printf 'tle\\007after\\033'; sleep 0.2; printf '[0mend\\n'\r")
s:WaitForString('end\r\n$ ', 5)
session:Log(false)
local log = m.read_file(arg[1] .. '/split.log')
-- after the echoed command line; CR shown as \r
print((log:gsub('^.-\r\n', ''):gsub('\r', '\\r')))
)lua") << 0 << QString("beforeafterend\\r\n$ \n");

    QTest::newRow("disconnection seen by a waiting script")
        << QStringList{"--profile", "sleeper=exec sleep 4711.5"} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local s = m.app.Screen
s:Send('exit\r')
local ok, message = pcall(s.WaitForString, s, 'never-printed', 10)
print(ok, message:match('MorvaneError: .*'), m.app.Session.Connected)
print(pcall(s.Send, s, 'x'))
print(m.app:GetProfiles()[1].id)
local tab = m.app.Session:Connect('sleeper')
print(tab.Session.Connected, tab.Session.Path)
tab.Session:Disconnect()
ok, message = pcall(tab.Screen.WaitForString, tab.Screen, 'never-printed', 10)
print(ok, message:match('MorvaneError: .*'))
)lua") << 0 << QString("false\tMorvaneError: Session disconnected while waiting for a prompt\tfalse\n"
                       "false\tMorvaneError: Session is not connected\n"
                       "sleeper\ntrue\tsleeper\nfalse\tMorvaneError: Session disconnected while waiting for a prompt\n");

    // Regression: a hang-up that reached a new child before its exec ran the
    // host's own signal handler there and ended the host.
    QTest::newRow("hang-up right after connect") << QStringList{"--profile", "sleeper=exec sleep 4712.5"} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
for _ = 1, 20 do m.app.Session:Connect('sleeper').Session:Disconnect() end
print(m.app:GetTabCount(), m.app.Session.Connected)
)lua") << 0 << QString("21\ttrue\n");

    QTest::newRow("unattended dialogs") << QStringList{}
        << QByteArray(R"({"dialog.prompt":["joe",{"cancelled":true}],"dialog.confirm":[true],"dialog.file":["/tmp/x"]})")
        << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
print(m.app.Dialog:Prompt('Name?'))
print(m.app.Dialog:Prompt('Again?'))
print(confirm('Sure?'))
print(m.app.Dialog:FileOpenDialog())
local ok, message = pcall(m.app.Dialog.MessageBox, m.app.Dialog, 'hi')
print(ok, message:match('No answer queued for dialog.message') ~= nil)
)lua") << 0 << QString("joe\tfalse\n\ttrue\ntrue\n/tmp/x\nfalse true\n");

    // Regression: a reply may never exceed what the runner accepts, and text
    // no longer held is reported instead of silently skipped.
    QTest::newRow("received text beyond --keep") << QStringList{"--keep", "0.01"} << QByteArray() << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local id = m.app:GetScriptTab().id
m.app.Screen:Send('seq 1 30000; echo D""ONE\r')
repeat __morvane_native.sleep(50) until m.rpc('screen.region', id, {}).text:find('\nDONE ')
local r = m.rpc('stream', id, { position = 0 })
print(r.truncated, r.start > 0, r['end'] - r.start < 100000, r.text:find('DONE') ~= nil)
local tail = m.rpc('stream', id, { position = r['end'] - 4 })
print(tail.truncated, tail.start == r['end'] - 4)
print(pcall(m.app.Screen.WaitForString, m.app.Screen, 'never', 1))
)lua") << 0 << QString("true\ttrue\ttrue\ttrue\nfalse\ttrue\nfalse\tMorvaneError: Incoming data exceeded the automation capture buffer\n");

    QTest::newRow("missing sz") << QStringList{"-c", "/bin/sleep 5"} << QByteArray() << QStringList{"PATH=/nonexistent"} << QByteArray(R"lua(
local ok, message = pcall(function() return require('morvane').app:GetScriptTab():ZmodemUpload('/etc/hostname') end)
print(ok, message:match('needs the program sz') ~= nil)
)lua") << 0 << QString("false\ttrue\n");

    QTest::newRow("exit status of the script") << QStringList{} << QByteArray() << QStringList{} << QByteArray(R"lua(
print(require('morvane').app.Version)
os.exit(7)
)lua") << 7 << QString("morvane-host 0.5.0\n");
}

// The bytes a program prints reach the screen through a guard; each row
// is output that crashed or hung the host before it, and must now show as a
// terminal shows it.
void Host::hostileOutput_data()
{
    QTest::addColumn<QByteArray>("output"); // printf format the program prints before READY
    QTest::addColumn<QString>("screen");    // cursor row, column and the first rows after READY
    QTest::newRow("C1 control then a tab stop (heap corruption)") << QByteArray(R"(\302\222\033H)") << "2.0 1.0 [READY||]";
    QTest::newRow("C1 controls at the left margin") << QByteArray(R"(\302\200\302\237x\302\205)") << "2.0 1.0 [xREADY||]";
    QTest::newRow("repeat before any character (endless loop)") << QByteArray(R"(\033[5b)") << "2.0 1.0 [READY||]";
    QTest::newRow("repeat of a wide character at the margin (overflow)")
        << QByteArray(R"(\033[78G\344\270\255\033[b\r\n)") << "4.0 1.0 [                                                                             \u4e2d|\u4e2d|READY]";
    QTest::newRow("repeat of a plain character") << QByteArray(R"(ab\033[3b\r\n)") << "3.0 1.0 [abbbb|READY|]";
    // The lines that scroll off at once are not shown to the emulator, yet
    // the character before them is what a later repeat repeats.
    QTest::newRow("repeat after lines that scroll off unseen (endless loop)")
        << QByteArray(R"(x\r\n)").append(QByteArray(R"(\r\n)").repeated(30)).append(R"('; sleep 0.3; printf '\033[H\033[2J\033[3b\r\n)")
        << "3.0 1.0 [xxx|READY|]";
    // libvterm leaves an escape open across a byte from 0x80 on, where the
    // scroll tracker sees plain lines after it: skipping those lines put
    // libvterm back in text while the guard still read a string, and the
    // guard then let through what it keeps from text.
    QTest::newRow("lines skipped after an escape left open (heap corruption)")
        << QByteArray(R"(x\033\200\r\n]\r\n)").append(QByteArray(R"(y\r\n)").repeated(30)).append(R"('; sleep 0.3; printf '\302\222\033H\033[H)")
        << "2.0 1.0 [READY||]";
    QTest::newRow("17 parameters (callback overwritten)")
        << QByteArray(R"(\033[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17mX)") << "2.0 1.0 [XREADY||]";
    QTest::newRow("huge parameters (overflow)") << QByteArray(R"(\033[99999999999999999999C\033[4294967295@x\r\n)") << "3.0 1.0 [                                                                               x|READY|]";
    QTest::newRow("UTF-8 and sequences split anywhere stay as they were")
        << QByteArray(R"(\303\251\033[1m\344\270\255\033[0mo\314\201)") << "2.0 1.0 [\u00e9\u4e2do\u0301READY||]";
}

void Host::hostileOutput()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, screen);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = QStringLiteral("printf '%1'; echo READY; sleep 1000").arg(QString::fromLatin1(output));
    const HostRun run = runHost(dir, QByteArray(R"lua(
local m = require('morvane')
local s, n = m.app.Screen, __morvane_native
-- READY may have come before the script started: the screen tells.
local deadline = n.now() + 10
while not s:Get(1, 1, 3, 80):find('READY', 1, true) and n.now() < deadline do n.sleep(20) end
local rows = {}
for row = 1, 3 do rows[row] = (s:Get(row, 1, row, 80):gsub('%s+$', '')) end
print(s.CurrentRow .. ' ' .. s.CurrentColumn .. ' [' .. table.concat(rows, '|') .. ']')
m.app:Quit()
)lua"), {QStringLiteral("-c"), program}, {}, 15000);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.out, screen + QLatin1Char('\n'));
    QCOMPARE(run.exitCode, 0);
}

// Random terminal output, the same each run: random bytes mixed with the
// pieces that lead libvterm astray (C1 controls in UTF-8, tab stops, control
// sequences with many or huge parameters, REP, wide and combining
// characters, double-width lines, margins), so that a few megabytes reach
// every such path many times over. No queries: nothing reads the answers.
static QByteArray randomTerminalOutput(quint32 seed, qsizetype size)
{
    QRandomGenerator random(seed);
    static const char *const pieces[] = {"\r", "\r\n", "\x1bH", "\x1b[b", "\x1b[3g", "\xe4\xb8\xad", "\xcc\x81",
                                         "\x1b#6", "\x1b#3", "\x1b[?6h", "\x1b[?69h", "\x1b[2;5r", "\x1b[4h", "\x1bN", "\t"};
    static const char finals[] = "@ABCDEFGHIJKLMPSTXZ`abdefghlmqrstu";
    QByteArray out;
    while (out.size() < size) {
        switch (random.bounded(4)) {
        case 0:
            out += char(random.bounded(256));
            break;
        case 1:
            out += "\xc2";
            out += char(0x80 + random.bounded(32));
            break;
        case 2:
            out += pieces[random.bounded(int(std::size(pieces)))];
            break;
        default: {
            out += "\x1b[";
            for (int i = 0, count = random.bounded(20); i < count; ++i)
                out += QByteArray::number(random.bounded(i % 5 == 4 ? 100000000 : 100)) + ';';
            out += finals[random.bounded(int(sizeof finals - 1))];
        }
        }
    }
    return out;
}

// Seconds of random terminal output, then a reset and READY.
void Host::randomOutput()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray bytes = randomTerminalOutput(20261207, 16 << 20);
    writeFile(dir.filePath(QStringLiteral("random.bin")), bytes);
    const QString program = QStringLiteral("cat random.bin; printf '\\030\\033c'; echo READY; sleep 1000");
    const HostRun run = runHost(dir, QByteArray(R"lua(
local m = require('morvane')
local s, n = m.app.Screen, __morvane_native
-- More than the capture buffer arrives: the screen tells when it is over.
local deadline = n.now() + 60
while s:Get(1, 1, 1, 5) ~= 'READY' and n.now() < deadline do n.sleep(50) end
print(s.CurrentRow, s.CurrentColumn, (s:Get(1, 1, 1, 80):gsub('%s+$', '')))
m.app:Quit()
)lua"), {QStringLiteral("--size"), QStringLiteral("100x30"), QStringLiteral("-c"), program}, {}, 90000);
    QVERIFY2(run.finished, qPrintable(run.err));
    QVERIFY2(run.out == QString("2.0\t1.0\tREADY\n"), qPrintable(run.out + run.err));
    QCOMPARE(run.exitCode, 0);
}

void Host::scripts()
{
    QFETCH(QStringList, hostArguments);
    QFETCH(QByteArray, answers);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, script);
    QFETCH(int, status);
    QFETCH(QString, out);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!answers.isEmpty()) {
        writeFile(dir.filePath(QStringLiteral("answers.json")), answers);
        hostArguments << QStringLiteral("--answers") << dir.filePath(QStringLiteral("answers.json"));
    }
    const HostRun run = runHost(dir, script, hostArguments, environment);
    QVERIFY2(run.finished, qPrintable(run.out + run.err));
    QVERIFY2(run.out == out, qPrintable(QStringLiteral("stdout:\n%1\nexpected:\n%2\nstderr:\n%3").arg(run.out, out, run.err)));
    QVERIFY2(run.exitCode == status, qPrintable(QStringLiteral("status %1: %2").arg(run.exitCode).arg(run.err)));
}

// A trace or session log the system cannot write: said once on stderr, and
// the script goes on.
void Host::failingWrites_data()
{
    QTest::addColumn<QStringList>("hostArguments");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("trace to a full device") << QStringList{"--trace", "/dev/full"} << QByteArray(R"lua(
local s = require('morvane').app.Screen
s:Send('echo o""ne\r')
print(s:WaitForString('one', 5), s:WaitForString('$ ', 5))
)lua") << "true\ttrue\n" << "Cannot write the trace file /dev/full: No space left on device; tracing stopped.\n";
    QTest::newRow("session log on a full device") << QStringList{} << QByteArray(R"lua(
local m = require('morvane')
local s, session = m.app.Screen, m.app.Session
session.LogFileName = '/dev/full'
print(session:Log(true), session.Logging)
s:Send('echo o""ne\r')
s:WaitForString('one\r\n$ ', 5)
s:Send('echo t""wo\r')
s:WaitForString('two\r\n$ ', 5)
print(session.Logging)
)lua") << "true\ttrue\nfalse\n" << "Cannot write the session log /dev/full: No space left on device; logging stopped.\n";
}

void Host::failingWrites()
{
    QFETCH(QStringList, hostArguments);
    QFETCH(QByteArray, script);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const HostRun run = runHost(dir, script, hostArguments);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, err);
    QCOMPARE(run.exitCode, 0);
}

void Host::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no script") << QStringList{} << QString("Give the script to run.");
    QTest::newRow("bad size") << QStringList{"--size", "80by24", "x.lua"} << QString("--size must be COLSxROWS");
    QTest::newRow("zero size") << QStringList{"--size", "0x24", "x.lua"} << QString("--size must be between");
    QTest::newRow("bad profile") << QStringList{"--profile", "nameonly", "x.lua"} << QString("--profile must be NAME=CMD");
    QTest::newRow("bad keep") << QStringList{"--keep", "-1", "x.lua"} << QString("--keep must be a number of MiB from 0.01 to 1024.");
    QTest::newRow("keep of 1e-300 (read as one byte)") << QStringList{"--keep", "1e-300", "x.lua"} << QString("--keep must be a number of MiB from 0.01 to 1024.");
    QTest::newRow("keep just below the minimum") << QStringList{"--keep", "0.0099", "x.lua"} << QString("--keep must be a number of MiB from 0.01 to 1024.");
    QTest::newRow("unknown option") << QStringList{"--frobnicate", "x.lua"} << QString("frobnicate");
    QTest::newRow("missing answers") << QStringList{"--answers", "/nonexistent/a.json", "x.lua"} << QString("Cannot read the answers file");
}

void Host::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QProcess host;
    host.start(QStringLiteral(MORVANE_HOST_PATH), arguments);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), 2);
    const QString err = QString::fromUtf8(host.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
}

// The script hands the socket and token to the test, which then talks to the
// server directly; the script checks afterwards that nothing reached the shell.
void Host::requestsRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess host;
    startHost(host, dir, endpointScript(R"lua(
n.sleep(300)
local r = n.rpc{ op = 'stream', tab = os.getenv('MORVANE_TAB'), position = 0 }
print(r.text:find('BAD', 1, true) == nil)
)lua"), {});
    const auto [socketPath, token] = readEndpoint(host);
    QVERIFY2(!socketPath.isEmpty(), "the script did not print the socket and the token");
    QCOMPARE(token.size(), 64);

    const QByteArray send = R"("op":"send","tab":"tab-1","text":"echo BAD\r")";
    struct Case { const char *name; QByteArray line; QByteArray reply; };
    QByteArray exact = "{\"op\":\"version\",\"token\":\"" + token + "\"";
    exact += QByteArray(4194304 - exact.size() - 2, ' ') + "}\n";
    const QList<Case> cases{
        {"no token", "{" + send + "}\n", R"({"error":"Invalid token.","ok":false})"},
        {"wrong token", "{" + send + R"(,"token":"00"})" + "\n", R"({"error":"Invalid token.","ok":false})"},
        {"token of another type", "{" + send + R"(,"token":5})" + "\n", R"({"error":"Invalid token.","ok":false})"},
        {"invalid JSON", "{\"op\":\n", R"({"error":"Invalid JSON request.","ok":false})"},
        {"not an object", "[1,2]\n", R"({"error":"Invalid JSON request.","ok":false})"},
        {"unknown operation", "{\"op\":\"nope\",\"token\":\"" + token + "\"}\n", R"({"error":"Unknown operation: nope","ok":false})"},
        {"unknown tab", "{\"op\":\"info\",\"tab\":\"tab-9\",\"token\":\"" + token + "\"}\n", R"({"error":"No such tab: tab-9","ok":false})"},
        {"line over 4 MB", "{" + QByteArray(4194304, ' '), R"({"error":"API request exceeds 4 MB.","ok":false})"},
        {"line of exactly 4 MB", exact, R"({"ok":true,"result":{"version":"morvane-host 0.5.0"}})"},
    };
    for (const Case &c : cases)
        QVERIFY2(exchange(socketPath, c.line) == c.reply, c.name);

    writeFile(dir.filePath(QStringLiteral("done")), "");
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitCode(), 0);
    QCOMPARE(host.readAllStandardOutput(), QByteArray("true\n"));
    QVERIFY2(!QFile::exists(socketPath), "the socket outlived the host");
    QVERIFY2(!QFileInfo::exists(QFileInfo(socketPath).path()), "the socket directory outlived the host");
}

// Many connections that send nothing, or most of a line and no more: the
// server keeps serving and its descriptors and memory stay bounded.
void Host::connectionFlood_data()
{
    QTest::addColumn<int>("descriptorLimit"); // 0: as inherited
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("bytesEach");      // after "{", of an unfinished request line
    QTest::newRow("80 idle connections, 64 descriptors (server closed)") << 64 << 80 << 0;
    QTest::newRow("400 idle connections") << 0 << 400 << 0;
    QTest::newRow("100 connections holding 4 MB but a byte each") << 0 << 100 << 4194302;
}

void Host::connectionFlood()
{
    QFETCH(int, descriptorLimit);
    QFETCH(int, connections);
    QFETCH(int, bytesEach);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess host;
    if (descriptorLimit > 0) {
        host.setChildProcessModifier([descriptorLimit] {
            const rlimit limit{rlim_t(descriptorLimit), rlim_t(descriptorLimit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        });
    }
    startHost(host, dir, endpointScript("print(n.rpc{ op = 'version' }.version)\n"), {QStringLiteral("-c"), QStringLiteral("exec sleep 1000")},
              // Under AddressSanitizer freed memory stays resident in its
              // quarantine; keep that small so the peak measures what is held.
              {QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":quarantine_size_mb=8")});
    const auto [socketPath, token] = readEndpoint(host);
    QVERIFY2(!socketPath.isEmpty(), "the script did not print the socket and the token");
    const QByteArray version = "{\"op\":\"version\",\"token\":\"" + token + "\"}\n";

    std::vector<std::unique_ptr<QLocalSocket>> flood;
    const QByteArray unfinished(bytesEach, ' ');
    for (int i = 0; i < connections; ++i) {
        flood.push_back(std::make_unique<QLocalSocket>());
        flood.back()->connectToServer(socketPath);
        if (bytesEach > 0 && flood.back()->waitForConnected(1000)) {
            flood.back()->write("{" + unfinished);
            while (flood.back()->bytesToWrite() > 0 && flood.back()->waitForBytesWritten(2000)) {
            }
        }
    }
    QCoreApplication::processEvents();
    int served = 0;
    for (int i = 0; i < 40; ++i)
        served += exchange(socketPath, version) == R"({"ok":true,"result":{"version":"morvane-host 0.5.0"}})";
    const QString pid = QString::number(host.processId());
    const qsizetype descriptors = QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QRegularExpressionMatch rss = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB")).match(QString::fromLatin1(status.readAll()));
    QVERIFY(rss.hasMatch());
    const qint64 rssMiB = rss.captured(1).toLongLong() / 1024;
    qInfo("%d connections of %d bytes: %d of 40 requests served, %lld descriptors open, %lld MiB resident at most",
          connections, bytesEach, served, qint64(descriptors), rssMiB);
    QCOMPARE(served, 40);
    QVERIFY2(descriptors < 48 + 30, qPrintable(QString::number(descriptors)));
    QVERIFY2(rssMiB < 256, qPrintable(QString::number(rssMiB)));

    flood.clear();
    writeFile(dir.filePath(QStringLiteral("done")), "");
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.readAllStandardOutput(), QByteArray("morvane-host 0.5.0\n"));
    QCOMPARE(host.exitCode(), 0);
}

// Every process the host started, or that came back to it as an orphan,
// ends with the host, however it ends. MARK stands for a marker unique to
// the run, so that other tests' processes never count.
void Host::noProcessLeft_data()
{
    QTest::addColumn<QStringList>("hostArguments");
    QTest::addColumn<QByteArray>("start"); // Lua run by the script to start the processes
    QTest::addColumn<int>("processes");
    QTest::addColumn<int>("signal");       // 0: the script asks to quit
    const QByteArray tabPrograms = R"lua(
local s = m.app.Screen
s:Send('sleep MARK &\r')
s:WaitForString('$ ', 5)
s:Send('sleep MARK\r')
s:WaitForString('\r\n', 5)
local clone = m.app:GetScriptTab():Clone()
clone.Screen:Send('sleep MARK\r')
clone.Screen:WaitForString('\r\n', 5)
)lua";
    QTest::newRow("tab programs, SIGTERM") << QStringList{} << tabPrograms << 3 << int(SIGTERM);
    QTest::newRow("tab programs, SIGINT") << QStringList{} << tabPrograms << 3 << int(SIGINT);
    QTest::newRow("tab programs, quit") << QStringList{} << tabPrograms << 3 << 0;
    const QStringList sleeper{"-c", "exec sleep 1000"};
    QTest::newRow("script's background command") << sleeper << QByteArray("os.execute('sleep MARK &')") << 1 << 0;
    QTest::newRow("script's pipe never closed") << sleeper << QByteArray("pipe = io.popen('sleep MARK')") << 1 << 0;
    QTest::newRow("script's pipe never closed, SIGTERM") << sleeper << QByteArray("pipe = io.popen('sleep MARK')") << 1 << int(SIGTERM);
    const QStringList daemon{"-c", "setsid -f sleep MARK; exec sleep 1000"};
    QTest::newRow("tab program's daemon in a session of its own") << daemon << QByteArray() << 1 << 0;
    QTest::newRow("tab program's daemon, SIGINT") << daemon << QByteArray() << 1 << int(SIGINT);
}

void Host::noProcessLeft()
{
    QFETCH(QStringList, hostArguments);
    QFETCH(QByteArray, start);
    QFETCH(int, processes);
    QFETCH(int, signal);
    const QByteArray marker = QByteArray::number(4000 + QRandomGenerator::global()->bounded(5000)) + ".75";
    hostArguments.replaceInStrings(QStringLiteral("MARK"), QString::fromLatin1(marker));
    // A failing run must not leave its processes behind either.
    const auto cleanUp = qScopeGuard([&] { processesRunning("sleep " + marker, SIGKILL); });
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess host;
    startHost(host, dir, R"lua(
local m = require('morvane')
local _ = m.app.Screen.Rows  -- addresses the tab, which starts its program
)lua" + QByteArray(start).replace("MARK", marker) + R"lua(
print('ready')
io.stdout:flush()
-- The test counts the processes, then says how the host is to end.
local n = __morvane_native
local go
repeat n.sleep(20); go = io.open(arg[1] .. '/go') until go
if go:read('a') == 'quit' then m.app:Quit() end
n.sleep(20000)
)lua", hostArguments);
    QByteArray out;
    while (!out.contains("ready") && host.waitForReadyRead(10000))
        out += host.readAllStandardOutput();
    QVERIFY2(out.contains("ready"), out.constData());
    // The shells may still be starting their commands.
    QTRY_COMPARE_WITH_TIMEOUT(processesRunning("sleep " + marker), processes, 10000);
    // Renamed into place, so that the script never reads it half written.
    writeFile(dir.filePath(QStringLiteral("go.tmp")), signal == 0 ? "quit" : "stay");
    QVERIFY(QFile::rename(dir.filePath(QStringLiteral("go.tmp")), dir.filePath(QStringLiteral("go"))));
    if (signal != 0)
        ::kill(static_cast<pid_t>(host.processId()), signal);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), signal == 0 ? 0 : 128 + signal);
    QCOMPARE(processesRunning("sleep " + marker), 0);
}

void Host::zmodemUpload()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("recv")));
    QByteArray payload;
    for (int i = 0; i < 200000; ++i)
        payload.append(static_cast<char>(QRandomGenerator::global()->bounded(256)));
    writeFile(dir.filePath(QStringLiteral("upload.bin")), payload);
    const HostRun run = runHost(dir, QByteArray(R"lua(
local m = require('morvane')
local s, tab = m.app.Screen, m.app:GetScriptTab()
s:Send('cd ' .. arg[1] .. '/recv && rz -b\r')
print(s:WaitForString('rz waiting to receive', 5))
print(tab:ZmodemUpload(arg[1] .. '/upload.bin'), tab:ZmodemActive())
local n = __morvane_native
local deadline = n.now() + 20
while tab:ZmodemActive() and n.now() < deadline do n.sleep(50) end
print(tab:ZmodemActive())
s:Send('echo fin""ished\r')
print(s:WaitForString('finished', 10))
)lua"));
    QVERIFY2(run.finished, qPrintable(run.out + run.err));
    QCOMPARE(run.out, QString("true\n1.0\ttrue\nfalse\ntrue\n"));
    QFile received(dir.filePath(QStringLiteral("recv/upload.bin")));
    QVERIFY(received.open(QIODevice::ReadOnly));
    QVERIFY(received.readAll() == payload);
}

QTEST_GUILESS_MAIN(Host)
#include "tst_host.moc"
