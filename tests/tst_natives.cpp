// The text, regex, file, sleep, clock and Base64 natives, run as real scripts.
#include "fake_app.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class Natives : public QObject {
    Q_OBJECT

    // Runs `code` with `n` = __morvane_native and show() and returns stdout.
    static QByteArray run(const QByteArray &code, const QString &directory = QString())
    {
        RunOptions options;
        options.workingDirectory = directory;
        const RunResult result = runScript(nullptr, withShow("local n = __morvane_native " + code), options);
        if (result.exitCode != 0)
            qWarning("script failed: %s", result.err.constData());
        return result.out;
    }

private Q_SLOTS:
    void calls_data();
    void calls();
    void regexCache();
    void files_data();
    void files();
    void fileLimits();
    void fileFromDevice();
    void sleepTakesTime();
};

void Natives::calls_data()
{
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("find: accents count one unit") << QByteArray("n.find('héllo wörld', 'wörld')") << QByteArray("6, 11, \"h\\195\\169llo \"");
    QTest::newRow("find: outside the BMP counts two") << QByteArray("n.find('\\u{1F600} ok', 'ok')") << QByteArray("3, 5, \"\\240\\159\\152\\128 \"");
    QTest::newRow("find: empty pattern") << QByteArray("n.find('abc', '')") << QByteArray("0, 0, \"\"");
    QTest::newRow("find: empty pattern, empty text") << QByteArray("n.find('', '')") << QByteArray("0, 0, \"\"");
    QTest::newRow("find: empty text") << QByteArray("n.find('', 'x')") << QByteArray("-1, -1, \"\"");
    QTest::newRow("find: first occurrence") << QByteArray("n.find('banana', 'a')") << QByteArray("1, 2, \"b\"");
    QTest::newRow("find: case sensitive by default") << QByteArray("n.find('Login:', 'LOGIN:')") << QByteArray("-1, -1, \"\"");
    QTest::newRow("find: false is sensitive") << QByteArray("n.find('Login:', 'LOGIN:', false)") << QByteArray("-1, -1, \"\"");
    QTest::newRow("find: true is insensitive") << QByteArray("n.find('Login:', 'LOGIN:', true)") << QByteArray("0, 6, \"\"");
    QTest::newRow("find: 0 is insensitive") << QByteArray("n.find('Login:', 'LOGIN:', 0)") << QByteArray("0, 6, \"\"");
    QTest::newRow("find: invalid UTF-8 becomes U+FFFD") << QByteArray("n.find('\\255ab', 'b')") << QByteArray("2, 3, \"\\239\\191\\189a\"");
    QTest::newRow("find: number text refused") << QByteArray("n.find(12, '1')") << QByteArray("nil, \"Prompt matching requires UTF-8 strings.\"");
    QTest::newRow("find: missing pattern refused") << QByteArray("n.find('x')") << QByteArray("nil, \"Prompt matching requires UTF-8 strings.\"");
    QTest::newRow("find: zero byte is text") << QByteArray("n.find('a\\0b', 'b')") << QByteArray("2, 3, \"a\\0\"");

    QTest::newRow("strip: SGR") << QByteArray("n.strip('\\27[1;32mOK\\27[0m')") << QByteArray("\"OK\"");
    QTest::newRow("strip: private mode") << QByteArray("n.strip('\\27[?25h')") << QByteArray("\"\"");
    QTest::newRow("strip: intermediate byte") << QByteArray("n.strip('\\27[ q')") << QByteArray("\"\"");
    QTest::newRow("strip: OSC ended by BEL") << QByteArray("n.strip('\\27]0;title\\7prompt$ ')") << QByteArray("\"prompt$ \"");
    QTest::newRow("strip: unfinished CSI stays") << QByteArray("n.strip('abc\\27[12')") << QByteArray("\"abc\\27[12\"");
    QTest::newRow("strip: unfinished OSC stays") << QByteArray("n.strip('a\\27]2;t')") << QByteArray("\"a\\27]2;t\"");
    // An OSC sequence ends at its first terminator, so text between two
    // title updates survives.
    QTest::newRow("strip: text between two ST-ended OSC") << QByteArray("n.strip('x\\27]0;a\\27\\\\keep\\27]0;b\\27\\\\y')") << QByteArray("\"xkeepy\"");
    QTest::newRow("strip: ST before a later BEL") << QByteArray("n.strip('a\\27]2;t\\27\\\\b\\7c')") << QByteArray("\"ab\\7c\"");
    QTest::newRow("strip: ST alone") << QByteArray("n.strip('a\\27]2;t\\27\\\\b')") << QByteArray("\"ab\"");
    QTest::newRow("strip: ESC inside OSC that is not ST") << QByteArray("n.strip('a\\27]2;t\\27x\\7b')") << QByteArray("\"ab\"");
    QTest::newRow("strip: others stay") << QByteArray("n.strip('\\27(B\\27=\\7\\r\\n\\t')") << QByteArray("\"\\27(B\\27=\\7\\13\\10\\9\"");
    QTest::newRow("strip: invalid UTF-8") << QByteArray("n.strip('a\\255b')") << QByteArray("\"a\\239\\191\\189b\"");
    QTest::newRow("strip: number refused") << QByteArray("n.strip(12)") << QByteArray("nil, \"Capture must be text.\"");
    QTest::newRow("strip: nothing refused") << QByteArray("n.strip(n.strip())") << QByteArray("nil, \"Capture must be text.\"");

    QTest::newRow("regex_find: plain") << QByteArray("n.regex_find('hello world', 'o w')") << QByteArray("5, 7");
    QTest::newRow("regex_find: group that took no part") << QByteArray("n.regex_find('b', '(a)|(b)')") << QByteArray("1, 1, false, \"b\"");
    QTest::newRow("regex_find: empty group") << QByteArray("n.regex_find('xz', 'x(y?)z')") << QByteArray("1, 2, \"\"");
    QTest::newRow("regex_find: init 4") << QByteArray("n.regex_find('hello', 'l+', 4)") << QByteArray("4, 4");
    QTest::newRow("regex_find: init -1") << QByteArray("n.regex_find('hello', 'l+', -1)") << QByteArray("nil");
    QTest::newRow("regex_find: init len+1") << QByteArray("n.regex_find('hello', 'l+', 6)") << QByteArray("nil");
    QTest::newRow("regex_find: empty match at end") << QByteArray("n.regex_find('hello', '$', 6)") << QByteArray("6, 5");
    QTest::newRow("regex_find: init 0 is the end") << QByteArray("n.regex_find('hello', 'h', 0)") << QByteArray("nil");
    QTest::newRow("regex_find: init 0, empty pattern") << QByteArray("n.regex_find('hello', '', 0)") << QByteArray("6, 5");
    QTest::newRow("regex_find: init past the end") << QByteArray("n.regex_find('hello', 'h', 7)") << QByteArray("nil");
    QTest::newRow("regex_find: init far before the start") << QByteArray("n.regex_find('hello', 'h', -10)") << QByteArray("1, 1");
    QTest::newRow("regex_find: caret anchors at subject start") << QByteArray("n.regex_find('ab', '^b', 2)") << QByteArray("nil");
    QTest::newRow("regex_find: look-behind sees before init") << QByteArray("n.regex_find('ab', '(?<=a)b', 2)") << QByteArray("2, 2");
    QTest::newRow("regex_find: positions are bytes") << QByteArray("n.regex_find('\\195\\169!', '!')") << QByteArray("3, 3");
    QTest::newRow("regex_find: dot is one byte") << QByteArray("n.regex_find('\\195\\169!', '.')") << QByteArray("1, 1");
    QTest::newRow("regex_find: capture returns raw bytes") << QByteArray("n.regex_find('x\\255\\0y', 'x(..)y')") << QByteArray("1, 4, \"\\255\\0\"");
    QTest::newRow("regex_find: zero byte in subject") << QByteArray("n.regex_find('a\\0b', 'b')") << QByteArray("3, 3");
    QTest::newRow("regex_find: number subject") << QByteArray("n.regex_find(12345, '3')") << QByteArray("3, 3");
    QTest::newRow("regex_find: named group counts") << QByteArray("n.regex_find('ab', '(?<x>a)(b)')") << QByteArray("1, 2, \"a\", \"b\"");
    QTest::newRow("regex_find: bad pattern, past the end") << QByteArray("pcall(n.regex_find, 'hello', '(', 7)")
                                               << QByteArray("false, \"bad regex (: missing closing parenthesis\"");
    QTest::newRow("regex_find: bad init type") << QByteArray("pcall(n.regex_find, 'a', 'a', 1.5)")
                                   << QByteArray("false, \"bad argument #3 to '?' (number has no integer representation)\"");
    QTest::newRow("regex_find: bad subject type") << QByteArray("pcall(n.regex_find, {}, 'a')")
                                      << QByteArray("false, \"bad argument #1 to '?' (string expected, got table)\"");
    // PCRE2 giving up must not look like "no match".
    QTest::newRow("regex_find: resource limit is an error") << QByteArray("pcall(n.regex_find, ('a'):rep(40) .. '!', '^(a+)+$')")
                                                << QByteArray("false, \"regex match failed: ^(a+)+$\"");

    const QByteArray refused("nil, \"Sleep requires milliseconds between 0 and 2147483647.\"");
    QTest::newRow("sleep: zero") << QByteArray("n.sleep(0)") << QByteArray("true");
    QTest::newRow("sleep: negative zero") << QByteArray("n.sleep(-0.0)") << QByteArray("true");
    QTest::newRow("sleep: fraction") << QByteArray("n.sleep(0.2)") << QByteArray("true");
    QTest::newRow("sleep: numeric string") << QByteArray("n.sleep('5')") << QByteArray("true");
    QTest::newRow("sleep: negative") << QByteArray("n.sleep(-1)") << refused;
    QTest::newRow("sleep: NaN") << QByteArray("n.sleep(0/0)") << refused;
    QTest::newRow("sleep: infinity") << QByteArray("n.sleep(math.huge)") << refused;
    QTest::newRow("sleep: above the range") << QByteArray("n.sleep(2147483648)") << refused;
    QTest::newRow("sleep: nil") << QByteArray("n.sleep(nil)") << refused;
    QTest::newRow("sleep: word") << QByteArray("n.sleep('soon')") << refused;
    QTest::newRow("sleep: now is a growing float")
        << QByteArray("(function() local a = n.now() local b = n.now() return math.type(a), a >= 0, b >= a end)()")
        << QByteArray("\"float\", true, true");
}

void Natives::calls()
{
    QFETCH(QByteArray, call);
    QFETCH(QByteArray, expected);
    QCOMPARE(run("show(" + call + ")"), expected + '\n');
}




void Natives::regexCache()
{
    // The position of a bad pattern error is the caller's line; a second try
    // raises again (nothing was cached). 600 distinct patterns exercise the
    // wholesale reset; results stay right across it.
    const QByteArray out = run(
        "local ok, e = pcall(function() n.regex_find('x', '(') end) show(e:match('[^/]*$'))\n"
        "ok, e = pcall(function() n.regex_find('x', '(') end) show(e:match('[^/]*$'))\n"
        "for round = 1, 2 do for i = 1, 600 do\n"
        "  local first, last = n.regex_find('k' .. i .. ';', 'k' .. i .. ';')\n"
        "  assert(first == 1 and last == #('k' .. i .. ';'), i)\n"
        "end end show('done')\n");
    QCOMPARE(out, QByteArray("\"script.lua:1: bad regex (: missing closing parenthesis\"\n"
                             "\"script.lua:2: bad regex (: missing closing parenthesis\"\n"
                             "\"done\"\n"));
}

void Natives::files_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("round trip of binary bytes")
        << QByteArray("show(n.write_file('b.bin', '\\0\\255\\r\\n')) show(n.read_file('b.bin'))")
        << QByteArray("true\n\"\\0\\255\\13\\10\"\n");
    QTest::newRow("empty file")
        << QByteArray("show(n.write_file('e', '')) show(n.read_file('e'))") << QByteArray("true\n\"\"\n");
    QTest::newRow("replaces the target")
        << QByteArray("n.write_file('t', 'old') n.write_file('t', 'new') show(n.read_file('t'))") << QByteArray("\"new\"\n");
    QTest::newRow("read_file number path") << QByteArray("show(n.read_file(123))") << QByteArray("nil, \"File path must be UTF-8 text.\"\n");
    QTest::newRow("read_file nil path") << QByteArray("show(n.read_file(nil))") << QByteArray("nil, \"File path must be UTF-8 text.\"\n");
    QTest::newRow("read_file invalid UTF-8 path") << QByteArray("show(n.read_file('\\255'))") << QByteArray("nil, \"File path must be UTF-8 text.\"\n");
    QTest::newRow("read_file zero byte in path")
        << QByteArray("n.write_file('a.txt', 'x') show(n.read_file('a.txt\\0junk'))") << QByteArray("nil, \"File path must be UTF-8 text.\"\n");
    QTest::newRow("write_file number data")
        << QByteArray("show(n.write_file('w', 123)) show(io.open('w') == nil)")
        << QByteArray("nil, \"write_file requires a UTF-8 path and a byte string.\"\ntrue\n");
    QTest::newRow("write_file zero byte in path")
        << QByteArray("show(n.write_file('z\\0y', 'x')) show(io.open('z') == nil)")
        << QByteArray("nil, \"write_file requires a UTF-8 path and a byte string.\"\ntrue\n");
    QTest::newRow("read_file missing file")
        << QByteArray("local v, e = n.read_file('missing') show(v, type(e), #e > 0)") << QByteArray("nil, \"string\", true\n");
    QTest::newRow("write_file into a missing directory")
        << QByteArray("local v, e = n.write_file('no/such/dir/f', 'x') show(v, type(e), io.open('no') == nil)")
        << QByteArray("nil, \"string\", true\n");
    QTest::newRow("base64")
        << QByteArray("show(n.base64(''), n.base64('a'), n.base64('\\0\\255\\254'))") << QByteArray("\"\", \"YQ==\", \"AP/+\"\n");
    QTest::newRow("base64 of a number") << QByteArray("show(n.base64(1))") << QByteArray("nil, \"Binary data must be a Lua string.\"\n");
}

void Natives::files()
{
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, expected);
    QTemporaryDir directory;
    QCOMPARE(run(code, directory.path()), expected);
}

void Natives::fileLimits()
{
    // Exactly 16 MiB works both ways; one byte more is refused and leaves an
    // existing target as it was.
    QTemporaryDir directory;
    const QByteArray out = run(
        "local limit = 16777216\n"
        "show(n.write_file('big', ('x'):rep(limit)))\n"
        "show(#n.read_file('big'))\n"
        "show(n.write_file('big', ('y'):rep(limit + 1)))\n"
        "show(n.read_file('big'):sub(1, 1))\n"
        "local f = io.open('bigger', 'wb') f:write(('z'):rep(limit + 1)) f:close()\n"
        "show(n.read_file('bigger'))\n",
        directory.path());
    QCOMPARE(out, QByteArray("true\n16777216\nnil, \"Lua file helpers are limited to 16 MB.\"\n\"x\"\n"
                             "nil, \"Lua file helpers are limited to 16 MB.\"\n"));
}

void Natives::fileFromDevice()
{
    // Devices report size 0; the read is still bounded.
    QCOMPARE(run("show(n.read_file('/dev/zero'))"), QByteArray("nil, \"Lua file helpers are limited to 16 MB.\"\n"));
    QCOMPARE(run("show(#n.read_file('/proc/self/status') > 0)"), QByteArray("true\n"));
}


void Natives::sleepTakesTime()
{
    // 0.2 rounds up to 1 ms; 120 ms is measured by the run clock.
    QCOMPARE(run("local t = n.now() n.sleep(120) show(n.now() - t >= 0.119)"), QByteArray("true\n"));
}

QTEST_GUILESS_MAIN(Natives)
#include "tst_natives.moc"
