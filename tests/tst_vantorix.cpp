// The compatibility globals run as real scripts against the simulated
// terminal, one table of scripts: where reading starts at load, the waits,
// fetching, triggers, sending, the screen, dialogs, output and the end of
// the connection. Then the real captures in tests/data split at every
// offset: escape sequences cut off at the end of a fetch are held back until
// they are whole, so where the text was split never changes what the script
// gets.
#include "sim_terminal.h"

#include <QtTest>

namespace {

// Before each script of the table: `note` records a trigger's arguments and
// `fired` lets the triggers run for a while, then tells what they saw.
const QByteArray triggerHelpers =
    "local seen = {} "
    "local function note(...) local t = table.pack(...) for i = 1, t.n do t[i] = tostring(t[i]) end "
    "seen[#seen + 1] = table.concat(t, ',', 1, t.n) end "
    "local function fired() sleep(0.2) return table.concat(seen, '|') end ";

// Splits a real capture at every character boundary into two fetches and
// compares the pending text with that of one fetch; prints the first offsets
// where they differ. The `stream` request is answered inside the script, so
// one run covers every split: each split reloads the module for a fresh state.
const char splitScript[] = R"lua(
local native = __morvane_native
local capture = assert(native.read_file(arg[1]))
-- With no character beyond the BMP, a stream position counts characters.
assert(not capture:find('[\240-\247]'), 'a character beyond the BMP')
local units = assert(utf8.len(capture))
local delivered
native.rpc = function(request)
  if request.op == 'info' then return {id = 'sim', streamEnd = 0, active = true} end
  if request.op == 'config.get' then return {} end  -- no option set: UTF-8
  if request.op == 'stream' then
    local text = capture:sub(utf8.offset(capture, request.position + 1), utf8.offset(capture, delivered + 1) - 1)
    return {text = text, start = request.position, ['end'] = delivered}
  end
  error('unexpected request ' .. tostring(request.op))
end
-- What is pending once the capture came in two fetches, split at `at`.
local function pending_after(at)
  package.loaded.vantorix = nil
  require('vantorix')
  delivered = at
  buffer()
  delivered = units
  return buffer()
end
local whole = pending_after(units)
assert(units > 100 and #whole > 0, 'too short a capture')
assert(not whole:find('[\0-\7\11\12\14-\31]'), 'control characters left')
local differ = {}
for at = 1, units - 1 do
  if pending_after(at) ~= whole then
    differ[#differ + 1] = at
  end
end
io.write(table.concat(differ, ',', 1, math.min(#differ, 10)))
)lua";

} // namespace

class Vantorix : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void scripts_data()
    {
        QTest::addColumn<QStringList>("arrivals");  // the i-th arrives at the (3i+1)-th fetch
        QTest::addColumn<int>("endsAt");            // at this `info` the session ends and the rest arrives; -1: never
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("expected");   // standard output
        QTest::addColumn<QByteArray>("sent");       // every send, joined by "|"
        QTest::addColumn<QStringList>("environment");  // NAME=value to set, NAME to unset
        const auto row = [](const char *name, const QStringList &arrivals, const QByteArray &script, const QByteArray &expected,
                            const QByteArray &sent = QByteArray(), int endsAt = -1, const QStringList &environment = {}) {
            QTest::newRow(name) << arrivals << endsAt << script << expected << sent << environment;
        };

        // "old" was received before the script started: what the first fetch
        // brings shows where reading began (at the end, unless told).
        row("the active tab without a tab, stream start in the middle", {"new"}, "print(buffer())", "ldnew", "", -1,
            {"MORVANE_TAB", "MORVANE_STREAM_START=1"});

        // The last expect shows where the earlier ones left off.
        row("index found, a table of strings, ties to the first listed, earliest start, plain text",
            {"login: yes ab xx a+b second first"},
            "show(expect('pass', 'login:')) show(expect({'no', 'yes'}, 1)) show(expect('a', 'ab')) "
            "show(expect('first', 'a+b'), before, matched, buffer())",
            "2, \"login:\"\n2, \"yes\"\n1, \"a\"\n2, \"b xx \", \"a+b\", \" second first\"");
        row("set_timeout is the default, a time-out keeps before and matched", {"one"},
            "set_timeout(0.05) expect('o') show(expect('zz')) show(before, matched, buffer())", "nil, \"timeout\"\n\"\", \"o\", \"ne\"");
        // The text comes after the default time-out of 0.01 s: these wait for it.
        row("time-outs false, negative, 0 and set_timeout(nil) have no deadline", {"", "x", "y", "z", "w"},
            "set_timeout(0.01) show(expect('x', false), expect('y', -1)) set_timeout(nil) show(expect('z'), expect('w', 0))",
            "1, 1, \"y\"\n1, 1, \"w\"");
        row("no string to expect; a trailing nil adds none", {"ab"},
            "local function why(...) return select(2, pcall(expect, ...)):gsub('^%S+: ', '') end show(expect('b', nil)) "
            "show(why(5), why(nil) == why(5), why({}, false) == why(5))", "1, \"b\"\n\"expect needs at least one string\", true, true");
        // After an earlier expect used part of the text, a pattern sees only the
        // rest: position captures count from there, "^" (a regex's too) and a
        // frontier match at its start.
        row("Lua captures; anchor, frontier and position captures after earlier use", {"id 42-ab.abcdxy"},
            "show(expect_pattern('(%d+)-(%a+)')) expect('a') show(expect_pattern('^%f[%a]b()')) "
            "show(expect_pattern('d()')) expect('x') show(expect_regex('^y'))",
            "1, \"42-ab\", \"42\", \"ab\"\n1, \"b\", 2\n1, \"d\", 3\n1, \"y\"");
        row("must_expect passes results, raises for the caller's line, calls the current expect", {"ok"},
            "show(must_expect('ok')) show((select(2, pcall(function() must_expect('zz', 0.05) end)):gsub('^.*/', ''))) "
            "expect = function() return nil, 7 end show(pcall(must_expect, 'x'))",
            "1, \"ok\"\n\"script.lua:1: must_expect: timeout\"\nfalse, \"must_expect: 7\"");
        row("readline drops CR and waits for LF", {"one\r\n\r\ntwo\nthr", "ee\r\nrest"},
            "show(readline(), readline(), readline(), readline()) show(readline(0.05)) show(buffer())",
            "\"one\", \"\", \"two\", \"three\"\nnil, \"timeout\"\n\"rest\"");
        // Text at the 4th and 7th fetch restarts the quiet period each time, even
        // though stripping leaves nothing of it.
        row("text restarts the quiet period, quiet longer than its time-out", {"", "\033[0m", "\033[0m"},
            "local t = now() show(quiet(0.2), now() - t >= 0.3, quiet(5, 0.2))", R"(true, true, nil, "timeout")");
        // Only nil takes the default: false is no number of seconds.
        row("sleep keeps fetching, nil and NaN do not wait", {"", "during"},
            "local t = now() sleep() sleep(0/0) sleep(-1) local quick = now() - t sleep(0.15) "
            "show(quick < 0.1, buffer(), (pcall(sleep, false)), (pcall(quiet, false)))", R"(true, "during", false, false)");

        // The window is cut after each match and scanned again from the first
        // trigger: text before a match is gone, matched text is not matched again.
        row("first set wins, window cut, scan restarts", {"", "B A aaaa"}, "on('aa', note) on('A', note) on('B', note) show(fired())",
            R"("aa|aa")");
        row("Lua captures, regex group that took no part", {"", "x=1 cat"},
            "on('(%a)=(%d+)', note, 'lua') on('(cat)|(dog)', note, 'regex') show(fired())", R"("x=1,x,1|cat,cat,false")");
        row("text before the trigger never fires, off removes", {"ping early", "ping late"},
            "buffer() local id = on('ping', note) show(on('x', note), fired(), off(id), off(id))", R"(2, "ping", true, false)");
        // Empty matches never fire: the search goes on for one that uses text.
        row("empty matches never fire", {"", "abzxxcyy"},
            "on('^z*', note, 'lua') on('', note) on('x*', note, 'lua') on('y*', note, 'regex') show(fired())", R"("xx|yy")");
        row("window holds 4096 bytes", {"", "far" + QString(4094, QLatin1Char('.')) + "near"},
            "on('far', note) on('near', note) show(fired())", R"("near")");
        row("trigger error passes out of the wait", {"", "boom"},
            "on('boom', function(t) error('hit ' .. t, 0) end) show(pcall(sleep, 1))", R"(false, "hit boom")");

        // The tab uses CP437: sends still go out as given.
        // sendln goes through the current send and returns nothing.
        row("send and sendln", {},
            "send() send('') send('a', 1, 'b') sendln() sendln('ls', ' -l') send('\\0\\255\\226\\148\\128') "
            "local real = send send = function(s) real('<' .. s .. '>') return 1 end real(select('#', sendln('x')))",
            "", QByteArray("a1b|\r|ls -l\r|\0\xff\xe2\x94\x80|<x\r>|0", 25));
        row("screen rows, size and cursor", {},
            "show(screen(0), screen(25), screen('2'), screen(0/0), screen(2), screen(24)) show(screen_size()) show(cursor())",
            "nil, nil, nil, nil, \"  \\196menu\", \"\"\n80, 24\n7, 3");
        row("print is log", {}, "log(true, nil) print(1, 'x', 2.5) print() show(waitfor == expect, now == __morvane_native.now)",
            "true nil\n1 x 2.5\n\ntrue, true");
        row("bbs from the tab's settings", {}, "show(bbs.name, bbs.address, bbs.port, bbs.user, bbs.conn_type, script_path == arg[0])",
            R"("Board", "bbs.example", 2323, "sysop", "telnet", true)");
        // regex.match gives the whole match when there are no groups, else the groups.
        row("regex helpers", {}, "show(regex.match('x1y22', '\\\\d+', 3), regex.match('abc', 'z')) show(regex.match('k=v', '(\\\\w)=(\\\\w)'))",
            "\"22\", nil\n\"k\", \"v\"");

        // Answers added to the table after loading count, a replacement table does
        // not; once they are used up the dialogs are shown.
        row("pre-set answers held by reference, then the dialogs", {},
            "vantorix_answers = {input = {'', '', false}, confirm = {1}} local answers = vantorix_answers local _ = now "
            "answers.input[4] = 'given' answers.confirm[2] = false vantorix_answers = {confirm = {false}} "
            "show(input('N', 'dflt'), input('N'), input('N'), input('N'), confirm('a'), confirm('b')) "
            "show(input(42), input('p', nil, 'yes'), input(''), confirm('c'))",
            "\"dflt\", \"\", nil, \"given\", true, false\n\"42\", \"***\", nil, true");

        // Escape sequences cut off at the end of a fetch are held back. clear()
        // does not fetch: what was held back comes with the next fetch.
        const char *twoFetches = "io.write(buffer(), '|') clear() sleep(0.2) print(buffer())";
        const QString ones = QString(61, QLatin1Char('1'));   // ESC [ and these: 63 bytes
        row("63-byte CSI tail held back", {"a\033[" + ones, "mb"}, twoFetches, "a|b");
        row("64-byte CSI tail passed on", {"a\033[1" + ones, "mb"}, twoFetches, "a[1" + ones.toLatin1() + "|mb");
        // Regression: only the final ESC used to be held, and "]0;title" leaked.
        row("OSC split between ESC and backslash", {"a\033]0;title\033", "\\b"}, twoFetches, "a|b");
        row("OSC with another escape inside", {"a\033]0;t\033[1m", "x\007b"}, twoFetches, "a|b");
        row("ended OSC is not held", {"a\033]0;t\007b\033", "[1mc"}, twoFetches, "ab|c");
        // The held tail is measured in UTF-16 units: an accented letter counts
        // one, an emoji two. A wrong count would fetch "a" again or lose "b".
        row("OSC title with non-ASCII text", {"a\033]0;h\u00e9llo \U0001F600", "\007b"}, twoFetches, "a|b");
        row("controls and short escapes removed, BS TAB LF CR DEL kept",
            {QString::fromLatin1("a\0\001\007\010\011\012\013\014\015\016\037\177z\0337\033(B\033)0\033=\033>\033<\033Mb", 31)},
            twoFetches, "a\010\011\012\015\177zb|");
        row("raw mode keeps everything", {"a\033[1", "mb\007"}, QByteArray("raw(1) ") + twoFetches, "a\033[1|mb\007");
        row("CP437 letters and box drawing", {"\u250c\u2500 \u00e9\u00df\u2591\u00a0 \u20ac\U0001F600x\u00c0"}, twoFetches,
            "\332\304 \202\341\260\377 ??x?|");
        row("pending at its cap kept whole, over it cut to its end", {QString(1000000, QLatin1Char('a')), "b$"},
            "show(#buffer()) sleep(0.2) local b = buffer() show(#b, b:sub(-1))", "1000000\n500000, \"$\"");
        row("text used up does not count towards the cap",
            {QString(300000, QLatin1Char('a')) + "|" + QString(299999, QLatin1Char('a')), QString(500000, QLatin1Char('b'))},
            "expect('|') sleep(0.2) show(#buffer())", "799999");

        // The session ends at the third `info`; the rest of the text comes with its end.
        row("wait reports the end, connected ends the script", {},
            "show(connected()) show(expect('never')) show(connected()) show('not reached')",
            "true\nnil, \"disconnected\"\nConnection closed - script stopped.", "", 2);
        row("last fetch completes the match", {"", "bye"}, "show(expect('bye')) show(connected()) show('not reached')",
            "1, \"bye\"\nConnection closed - script stopped.", "", 2);
        row("idle returns, then sleep ends the script", {"", "last words"}, "idle() show(buffer()) sleep(0) show('not reached')",
            "\"last words\"\nConnection closed - script stopped.", "", 2);
        row("disconnect, then quit", {}, "disconnect() show(connected()) quit() show('not reached')", "false");
    }

    void scripts()
    {
        QFETCH(QStringList, arrivals);
        QFETCH(int, endsAt);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, sent);
        QFETCH(QStringList, environment);
        FakeApp app;
        SimTerminal sim(app);
        SimTab &tab = sim.tab();
        tab.receive(QStringLiteral("old"));
        for (qsizetype i = 0; i < arrivals.size(); ++i)
            tab.arriveAfter(3 * int(i), arrivals.at(i));
        if (endsAt >= 0)
            tab.endAfter(endsAt);
        tab.rows[1] = QStringLiteral("  \u2500menu \t ");
        tab.options = QJsonObject{{"encoding", "CP437"}, {"name", "Board"},    {"host", "bbs.example"},
                                  {"username", "sysop"},  {"protocol", "telnet"}, {"port", "2323"}};
        const RunResult result = sim.run(withShow(triggerHelpers + script), environment);
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QCOMPARE(result.out, expected.isEmpty() ? QByteArray() : expected + '\n');
        QCOMPARE(tab.sent.join('|'), sent);
    }

    void capturesSplitAnywhere_data()
    {
        QTest::addColumn<QString>("capture");
        for (const char *name : {"bash-prompt-title", "less-page-quit", "ls-color", "top-two-frames", "vim-start-quit"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void capturesSplitAnywhere()
    {
        QFETCH(QString, capture);
        // The captures are valid UTF-8, so the text the application hands over
        // is the file as it is.
        RunOptions options;
        options.arguments = QStringList{QStringLiteral(MORVANE_SOURCE_DIR "/tests/data/") + capture + QStringLiteral(".raw")};
        const RunResult result = runScript(nullptr, splitScript, options);
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QVERIFY2(result.out.isEmpty(), ("splits that changed the pending text at offsets " + result.out).constData());
    }
};

QTEST_GUILESS_MAIN(Vantorix)
#include "tst_vantorix.moc"
