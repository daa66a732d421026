// The compatibility globals run as real scripts against the simulated
// terminal: where reading starts at load, then one table of scripts over the
// waits, triggers, sending, the screen, dialogs, output and the end of the
// connection.
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

} // namespace

class Vantorix : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // "old" was received before the script started; what the first fetch
    // brings shows where reading began.
    void loading_data()
    {
        QTest::addColumn<bool>("withTab");
        QTest::addColumn<QString>("streamStart");  // null: unset
        QTest::addColumn<QByteArray>("seen");
        QTest::newRow("tab from the environment") << true << QString() << QByteArray("new");
        QTest::newRow("active tab asked for") << false << QString() << QByteArray("new");
        QTest::newRow("stream start in the middle") << true << QStringLiteral("1") << QByteArray("ldnew");
        QTest::newRow("stream start not a number") << true << QStringLiteral("soon") << QByteArray("new");
    }

    void loading()
    {
        QFETCH(bool, withTab);
        QFETCH(QString, streamStart);
        QFETCH(QByteArray, seen);
        FakeApp app;
        SimTerminal sim(app);
        sim.tab().receive(QStringLiteral("old"));
        sim.tab().arriveAfter(0, QStringLiteral("new"));
        RunOptions options;
        options.environment = sim.environment(withTab);
        if (!streamStart.isNull())
            options.environment.insert(QStringLiteral("MORVANE_STREAM_START"), streamStart);
        const RunResult result = runScript(&app, "io.write(buffer())", options);
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.out, seen);
    }

    void scripts_data()
    {
        QTest::addColumn<QStringList>("arrivals");  // the i-th arrives at the (3i+1)-th fetch
        QTest::addColumn<int>("endsAt");            // at this `info` the session ends and the rest arrives; -1: never
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("expected");   // standard output
        QTest::addColumn<QByteArray>("sent");       // every send, joined by "|"
        const auto row = [](const char *name, const QStringList &arrivals, const char *script, const QByteArray &expected,
                            const QByteArray &sent = QByteArray(), int endsAt = -1) {
            QTest::newRow(name) << arrivals << endsAt << QByteArray(script) << expected << sent;
        };
        const auto no = QStringList();

        row("index of the string found", {"login: "}, "show(expect('pass', 'login:'))", R"(2, "login:")");
        row("earliest start, plain text, before and the rest", {"xx a+b second first"},
            "show(expect('first', 'a+b'), before, matched, buffer())", R"(2, "xx ", "a+b", " second first")");
        row("tie goes to the first listed", {"ab"}, "show(expect('a', 'ab'), buffer())", R"(1, "b")");
        row("one table of strings and a time-out", {"yes"}, "show(expect({'no', 'yes'}, 1))", R"(2, "yes")");
        row("a time-out keeps before and matched", {"one"}, "expect('o') show(expect('zz', 0.05)) show(before, matched, buffer())",
            "nil, \"timeout\"\n\"\", \"o\", \"ne\"");
        row("set_timeout is the default", no, "set_timeout(0.05) show(expect('zz'))", R"(nil, "timeout")");
        // The text comes after the default time-out of 0.01 s: these wait for it.
        row("time-out false has no deadline", {"", "x"}, "set_timeout(0.01) show(expect('x', false))", R"(1, "x")");
        row("negative time-out has no deadline", {"", "x"}, "set_timeout(0.01) show(expect('x', -1))", R"(1, "x")");
        row("time-out 0 and set_timeout(nil) have none", {"", "x", "y"},
            "set_timeout(0.01) set_timeout(nil) show(expect('x'), expect('y', 0))", R"(1, 1, "y")");
        row("no string to expect", no,
            "local function why(...) return select(2, pcall(expect, ...)):gsub('^%S+: ', '') end "
            "show(why(5), why(nil) == why(5), why({}, false) == why(5))", R"("expect needs at least one string", true, true)");
        row("a trailing nil adds no string", {"ab"}, "show(expect('b', nil))", R"(1, "b")");
        row("Lua pattern with captures", {"id 42-ab."}, "show(expect_pattern('(%d+)-(%a+)'))", R"(1, "42-ab", "42", "ab")");
        // After an earlier expect used part of the text, a pattern sees only the
        // rest: position captures count from there, "^" and a frontier match at its start.
        row("position capture after earlier use", {"abcd"}, "expect('a') show(expect_pattern('c()'))", R"(1, "c", 3)");
        row("anchor and frontier after earlier use", {"abc"}, "expect('a') show(expect_pattern('^%f[%a]b()'))", R"(1, "b", 2)");
        row("regex caret is the start of what is pending", {"xy"}, "expect('x') show(expect_regex('^y'))", R"(1, "y")");
        row("must_expect passes results, raises for the caller's line", {"ok"},
            "show(must_expect('ok')) show(pcall(function() must_expect('zz', 0.05) end))",
            "1, \"ok\"\nfalse, \"script.lua:1: must_expect: timeout\"");
        row("must_expect calls the current expect", no, "local _ = now expect = function() return nil, 7 end show(pcall(must_expect, 'x'))",
            R"(false, "must_expect: 7")");
        row("readline drops CR and waits for LF", {"one\r\n\r\ntwo\nthr", "ee\r\nrest"},
            "show(readline(), readline(), readline(), readline()) show(readline(0.05)) show(buffer())",
            "\"one\", \"\", \"two\", \"three\"\nnil, \"timeout\"\n\"rest\"");
        row("quiet after silence", no, "local t = now() show(quiet(0.2), now() - t >= 0.2)", "true, true");
        // Text at the 4th and 7th fetch restarts the quiet period each time, even
        // though stripping leaves nothing of it.
        row("text restarts the quiet period", {"", "\033[0m", "\033[0m"}, "local t = now() show(quiet(0.2), now() - t >= 0.3)",
            "true, true");
        row("quiet longer than its time-out", no, "show(quiet(5, 0.2))", R"(nil, "timeout")");
        // Only nil takes the default: false is no number of seconds.
        row("sleep keeps fetching, nil and NaN do not wait", {"", "during"},
            "local t = now() sleep() sleep(0/0) sleep(-1) local quick = now() - t sleep(0.15) "
            "show(quick < 0.1, buffer(), (pcall(sleep, false)), (pcall(quiet, false)))", R"(true, "during", false, false)");

        // The window is cut after each match and scanned again from the first trigger.
        row("matched text is not matched again", {"", "aaaa ping"}, "on('aa', note) on('ping', note) show(fired())",
            R"("aa|aa|ping")");
        row("first set wins, window cut", {"", "A B"}, "on('B', note) on('A', note) show(fired())", R"("B")");
        row("Lua captures, regex group that took no part", {"", "x=1 cat"},
            "on('(%a)=(%d+)', note, 'lua') on('(cat)|(dog)', note, 'regex') show(fired())", R"("x=1,x,1|cat,cat,false")");
        row("unknown mode is plain text", {"", "a.b axb"}, "on('a.b', note, 'glob') show(fired())", R"("a.b")");
        row("text before the first trigger never fires", {"ping early", "ping late"}, "buffer() on('ping', note) show(fired())",
            R"("ping")");
        row("off removes, ids count up", {"", "ping"}, "local id = on('ping', note) show(id, on('x', note), off(id), off(id), fired())",
            R"(1, 2, true, false, "")");
        // Empty matches never fire: the search goes on for one that uses text.
        row("empty matches never fire", {"", "abzxxcyy"},
            "on('^z*', note, 'lua') on('', note) on('x*', note, 'lua') on('y*', note, 'regex') show(fired())", R"("xx|yy")");
        row("window holds 4096 bytes", {"", "far" + QString(4094, QLatin1Char('.')) + "near"},
            "on('far', note) on('near', note) show(fired())", R"("near")");
        row("trigger error passes out of the wait", {"", "boom"},
            "on('boom', function(t) error('hit ' .. t, 0) end) show(pcall(sleep, 1))", R"(false, "hit boom")");

        // The tab uses CP437: sends still go out as given.
        row("send and sendln", no, "send() send('') send('a', 1, 'b') sendln() sendln('ls', ' -l') send('\\0\\255\\226\\148\\128')",
            "", QByteArray("a1b|\r|ls -l\r|\0\xff\xe2\x94\x80", 18));
        row("sendln goes through the current send, returns nothing", no,
            "local real = send send = function(s) real('<' .. s .. '>') return 1 end real(select('#', sendln('x')))", "", "<x\r>|0");
        row("screen rows, size and cursor", no,
            "show(screen(0), screen(25), screen('2'), screen(0/0), screen(2), screen(24)) show(screen_size()) show(cursor())",
            "nil, nil, nil, nil, \"  \\196menu\", \"\"\n80, 24\n7, 3");
        row("print is log", no,
            "log(true, nil) print(1, nil, 'x', 2.5) print() print(setmetatable({}, {__tostring = function() return 'T' end})) "
            "show(waitfor == expect, now == __morvane_native.now, before, matched)",
            "true nil\n1 nil x 2.5\n\nT\ntrue, true, nil, nil");
        row("bbs from the tab's settings", no, "show(bbs.name, bbs.address, bbs.port, bbs.user, bbs.conn_type, bbs.password) "
            "show(script_path == arg[0])", "\"Board\", \"bbs.example\", 2323, \"sysop\", \"telnet\", nil\ntrue");
        row("regex helpers", no,
            "show(regex.find('ab12', '([a-z]+)(\\\\d)')) show(regex.match('ab12', '\\\\d+'), regex.match('x1y2', '\\\\d', 3)) "
            "show(regex.match('k=v', '(\\\\w)=(\\\\w)')) show(regex.match(12345, '3.'), regex.match('abc', 'z'))",
            "1, 3, \"ab\", \"1\"\n\"12\", \"2\"\n\"k\", \"v\"\n\"34\", nil");

        row("pre-set answers, then the dialogs", no,
            "vantorix_answers = {input = {'', '', false, 'given'}, confirm = {1, false}} "
            "show(input('N', 'dflt'), input('N'), input('N'), input('N'), confirm('a'), confirm('b')) "
            "show(input(42), input('p', nil, 'yes'), input(''), confirm('c'))",
            "\"dflt\", \"\", nil, \"given\", true, false\n\"42\", \"***\", nil, true");
        // Answers added to the table after loading count; a replacement table does not.
        row("pre-set answers held by reference", no,
            "vantorix_answers = {confirm = {}} local answers = vantorix_answers local _ = now "
            "answers.confirm[1] = false answers.input = {false} vantorix_answers = {confirm = {false}} "
            "show(confirm('a'), input('b'), confirm('c'))", "false, nil, true");
        row("pre-set answers not read through _G's __index", no,
            "setmetatable(_G, {__index = function(_, k) if k == 'vantorix_answers' then return {confirm = {false}} end end}) "
            "require('vantorix') show(confirm('q'))", "true");

        // The session ends at the third `info`; the rest of the text comes with its end.
        row("wait reports the end, connected ends the script", no,
            "show(connected()) show(expect('never')) show(connected()) show('not reached')",
            "true\nnil, \"disconnected\"\nConnection closed - script stopped.", "", 2);
        row("last fetch completes the match", {"", "bye"}, "show(expect('bye')) show(connected()) show('not reached')",
            "1, \"bye\"\nConnection closed - script stopped.", "", 2);
        row("idle returns, then sleep ends the script", {"", "last words"}, "idle() show(buffer()) sleep(0) show('not reached')",
            "\"last words\"\nConnection closed - script stopped.", "", 2);
        row("readline and quiet report it", no, "show(readline()) show(quiet(10)) show('not reached')",
            "nil, \"disconnected\"\nConnection closed - script stopped.", "", 2);
        row("disconnect, then quit", no, "disconnect() show(connected()) quit() show('not reached')", "false");
    }

    void scripts()
    {
        QFETCH(QStringList, arrivals);
        QFETCH(int, endsAt);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, sent);
        FakeApp app;
        SimTerminal sim(app);
        SimTab &tab = sim.tab();
        for (qsizetype i = 0; i < arrivals.size(); ++i)
            tab.arriveAfter(3 * int(i), arrivals.at(i));
        if (endsAt >= 0) {
            tab.infoEvents.append({endsAt, [](SimTab &t) {
                                       t.active = false;
                                       while (!t.streamEvents.isEmpty())
                                           t.streamEvents.takeFirst().apply(t);
                                   }});
        }
        tab.rows[1] = QStringLiteral("  \u2500menu \t ");
        tab.row = 3;
        tab.column = 7;
        tab.options = QJsonObject{{"encoding", "CP437"}, {"name", "Board"},    {"host", "bbs.example"},
                                  {"username", "sysop"},  {"protocol", "telnet"}, {"port", "2323"}};
        RunOptions options;
        options.environment = sim.environment();
        options.timeoutMs = 20000;
        const RunResult result = runScript(&app, withShow(triggerHelpers + script), options);
        QVERIFY2(result.exitCode == 0, result.err.constData());
        // An error position names the script by its absolute path: keep the file name.
        QString out = result.outText();
        out.replace(QRegularExpression(QStringLiteral("\"[^\"]*/script\\.lua:")), QStringLiteral("\"script.lua:"));
        QCOMPARE(out, expected.isEmpty() ? QString() : QString::fromUtf8(expected + '\n'));
        QCOMPARE(tab.sent.join('|'), sent);
    }
};

QTEST_GUILESS_MAIN(Vantorix)
#include "tst_vantorix.moc"
