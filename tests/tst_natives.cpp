// The text, regex, file, sleep, clock and Base64 natives, run as real scripts:
// results, wrong argument types, writes that run out of room, 16 MiB files,
// 5 MB texts, and long loops that must leave memory and descriptors where they were.
#include "fake_app.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

// Under AddressSanitizer freed memory stays in quarantine and the resident
// size says nothing about leaks; the sanitizer reports those itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool residentSizeMeaningful = false;
#else
constexpr bool residentSizeMeaningful = true;
#endif

class Natives : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void calls_data();
    void calls();
    void loopsStayFlat();
    void fullDisk_data();
    void fullDisk();
};

// One row per call: the row is named by the call, whose results show() prints.
// Where several calls share a row, all but the last show their first result.
static void call(const char *code, const char *expected)
{
    QTest::newRow(code) << QByteArray(code) << QByteArray(expected);
}

void Natives::calls_data()
{
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QByteArray>("expected");
    // find counts UTF-16 units: an accent is one, a character outside the BMP
    // two, and a zero byte does not end the text.
    call("n.find('\\195\\169\\0\\u{1F600} ok', 'ok')", "5, 7, \"\\195\\169\\0\\240\\159\\152\\128 \"");
    // An OSC sequence ends at its first terminator, so text between two
    // title updates survives; a BEL outside one is text.
    call("n.strip('\\27[1;32mOK\\27[0m \\27]0;t\\7x\\27]0;a\\27\\\\keep\\27]0;b\\27\\\\y\\7z')", "\"OK xkeepy\\7z\"");
    call("n.strip('a\\27]2;t\\27x\\7b\\27(B\\27[12')", "\"ab\\27(B\\27[12\"");
    // Regression: every ESC "]" with no terminator after it used to scan to
    // the end of the text, so 128 KB of them took 10 s and 2 MB hours.
    call("(function() local t = n.now() local text = ('\\27]'):rep(1048576) .. '\\27[1m' local r = n.strip(text) "
         "return #r, r == text:sub(1, -5), n.now() - t < 10 end)()", "2097152, true, true");

    call("n.regex_find('xz', '(a)|x(y?)z')", "1, 2, false, \"\"");
    // init counts from the end when negative and moves the start, not the
    // subject: ^ still anchors at byte 1.
    call("n.regex_find('hello', 'l+', -2), n.regex_find('hello', 'h', -10), n.regex_find('ab', '^b', 2), "
         "n.regex_find('hello', '', 7), n.regex_find('hello', '', 6)", "4, 1, nil, nil, 6, 5");
    call("n.regex_find('\\195\\169\\255\\0!', '(..)!')", "3, 5, \"\\255\\0\"");
    // A bad pattern raises at the caller's line; PCRE2 giving up must not
    // look like "no match".
    call("select(2, pcall(function() n.regex_find('x', '(') end)):match('[^/]*$')",
         "\"script.lua:1: bad regex (: missing closing parenthesis\"");
    call("pcall(n.regex_find, ('a'):rep(40) .. '!', '^(a+)+$')", "false, \"regex match failed: ^(a+)+$\"");

    // Unlike regex_find, the natives refuse a wrong value with nil and its message
    // rather than raising; sleep takes numbers and numeric text in range.
    call("n.sleep(0), n.sleep('5'), n.sleep(-1), n.sleep(0/0), n.sleep(2^31), n.sleep({})",
         "true, true, nil, nil, nil, nil, \"Sleep requires milliseconds between 0 and 2147483647.\"");
    call("n.base64(''), n.base64('\\0\\255\\254'), select(2, n.base64(false)), select(2, n.find({}, 'a')), "
         "n.find('a', print), n.strip(io.stdout)", "\"\", \"AP/+\", \"Binary data must be a Lua string.\", "
         "\"Prompt matching requires UTF-8 strings.\", nil, nil, \"Capture must be text.\"");
    call("(function() local t = n.now() n.sleep(120) return math.type(t), n.now() - t >= 0.119 end)()", "\"float\", true");

    // Files. A zero byte would make the file layer open another file; devices
    // and /proc files report size 0 and are still read, within the limit.
    call("n.write_file('b', 'old'), n.write_file('b', '\\0\\255\\r\\n'), n.read_file('b')", "true, true, \"\\0\\255\\13\\10\"");
    call("n.write_file('a', 'x'), n.read_file('a\\0junk'), n.read_file('\\255'), n.read_file(42)",
         "true, nil, nil, nil, \"File path must be UTF-8 text.\"");
    call("n.write_file('a\\0b', 'x'), io.open('a'), n.write_file('out', 1.5), io.open('out'), n.write_file({}, 'x')",
         "nil, nil, nil, nil, nil, \"write_file requires a UTF-8 path and a byte string.\"");
    call("#n.read_file('/proc/self/status') > 0, n.read_file('/dev/zero')",
         "true, nil, \"Lua file helpers are limited to 16 MB.\"");
    // Exactly 16 MiB works both ways; one byte more is refused and leaves an
    // existing target as it was.
    call("(function() local limit = 16777216 local w = n.write_file('big', ('x'):rep(limit)) local r = #n.read_file('big') "
         "return w, r, n.write_file('big', ('y'):rep(limit + 1)), n.read_file('big'):sub(1, 1) end)()",
         "true, 16777216, nil, \"x\"");
    // 5 MB texts through the natives that take text.
    call("(function() local big = ('a'):rep(5 * 2^20) return n.find(big .. 'END', 'END'), (n.find(big, big)), "
         "(n.regex_find(big, 'a+$', -3)), #n.base64(big), n.regex_find(big .. 'END', 'E(N)D') end)()",
         "5242880, 0, 5242878, 6990508, 5242881, 5242883, \"N\"");
}

void Natives::calls()
{
    QFETCH(QByteArray, call);
    QFETCH(QByteArray, expected);
    // Files are written in the fresh directory the script runs in.
    const RunResult result = runScript(nullptr, withShow("local n = __morvane_native show(" + call + ")"));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + '\n');
}

void Natives::loopsStayFlat()
{
    // After a warm-up, 5,000 more calls leave Lua's memory, the open
    // descriptors and the resident size where they were. A leak per call
    // shows as thousands; a few descriptors of slack absorb the listing's
    // own pipe lingering under load. Descriptors are listed from outside
    // through the process id (/proc/self in `ls` would be ls itself), the
    // least of three listings since popen may not yet have closed the pipe
    // end it handed to the shell.
    FakeApp app;
    app.answer("x", QStringLiteral("r"));
    app.fail("fail", QStringLiteral("no"));
    app.reply("deep", Reply::ok(QJsonDocument::fromJson(QByteArray("[").repeated(70) + QByteArray("]").repeated(70)).array()));
    RunOptions options;
    options.timeoutMs = 120000;
    const QByteArray code =
        "local n = __morvane_native "
        "local function resident() for line in io.lines('/proc/self/status') do "
        "  local value = line:match('^VmRSS:%s*(%d+)') if value then return tonumber(value) end end end "
        "local stat = io.open('/proc/self/stat') local pid = stat:read('n') stat:close() "
        "local function listed() local list = io.popen('ls /proc/' .. pid .. '/fd') local count = 0 "
        "  for _ in list:lines() do count = count + 1 end list:close() return count end "
        "local function fds() return math.min(listed(), listed(), listed()) end "
        "local cyclic = {op = 'x'} cyclic.self = cyclic "
        "n.write_file('small.txt', 'abc') "
        // Hostile requests and replies; 1,500 distinct patterns turn the regex
        // cache over, results stay right across its reset, and a bad pattern
        // raises every time (nothing was cached), past the native's C++ locals,
        // as does a match PCRE2 gives up.
        "local function call(i) "
        "  assert(n.rpc{op = 'x', i = i} == 'r') assert(select(2, n.rpc{op = 'fail'}) == 'no') "
        "  assert(not n.rpc(cyclic)) assert(not n.rpc{op = 'deep'}) "
        "  assert(n.read_file('small.txt') == 'abc') assert(not n.read_file('missing.txt')) "
        "  assert(n.write_file('out.txt', 'data' .. i)) assert(not n.write_file('none/out.txt', 'x')) "
        "  assert(#n.base64(('x'):rep(300) .. i) > 400) assert(n.find('hello world ' .. i, 'world') == 6) "
        "  assert(n.strip('\\27[1m' .. i .. '\\27]0;t\\7') == tostring(i)) "
        "  local k = 'k' .. i % 1500 .. ';' local first, last = n.regex_find(k, k) "
        "  assert(first == 1 and last == #k) assert(not pcall(n.regex_find, 'x', '(' .. i % 7)) "
        "  assert(i % 50 > 0 or not pcall(n.regex_find, ('a'):rep(25) .. '!', '^(a+)+$')) "
        "end "
        "for i = 1, 200 do call(i) end "
        "collectgarbage() collectgarbage() "
        "local memory, descriptors, rss = collectgarbage('count'), fds(), resident() "
        "for i = 1, 5000 do call(i) end "
        "collectgarbage() collectgarbage() "
        "show(math.floor((collectgarbage('count') - memory) * 1024), fds() - descriptors, resident() - rss)";
    const RunResult result = runScript(&app, withShow(code), options);
    QVERIFY(result.finished);
    QCOMPARE(result.err, QByteArray());
    const QByteArrayList figures = result.out.trimmed().split(',');
    QVERIFY2(figures.size() == 3 && figures.at(0).trimmed().toInt() < 32 * 1024 && figures.at(1).trimmed().toInt() < 8
                 && (!residentSizeMeaningful || figures.at(2).trimmed().toInt() < 4096),
             result.out.constData());
}

void Natives::fullDisk_data()
{
    QTest::addColumn<int>("limit");   // the largest file the runner may write, in 512-byte blocks
    QTest::addColumn<int>("size");
    // Rows straddle the 16 KiB write buffer: a short write used to fail only
    // when the buffer was flushed at commit, after which the temporary file
    // was renamed over the target anyway.
    QTest::newRow("18 bytes, no room") << 0 << 18;
    QTest::newRow("12000 bytes, room for 8 KiB") << 16 << 12000;
    QTest::newRow("16 KiB, room for 16 KiB") << 32 << 16384;
}

void Natives::fullDisk()
{
    // The file size limit stands in for a full disk: writes past it fail
    // with the system's reason (the signal it would raise is ignored).
    QFETCH(int, limit);
    QFETCH(int, size);
    QTemporaryDir directory;
    writeFile(directory.filePath("script.lua"),
              withShow("show(__morvane_native.write_file('target', ('n'):rep(" + QByteArray::number(size) + ")))"));
    QProcess runner;
    runner.setWorkingDirectory(directory.path());
    // The target exists before the limit: a refused write must leave it whole.
    runner.start("/bin/sh", {"-c", "echo old > target; trap '' XFSZ; ulimit -f \"$1\"; exec \"$0\" script.lua", runnerPath(),
                             QString::number(limit)});
    QVERIFY(runner.waitForFinished(30000));
    const bool fits = size <= limit * 512;
    QCOMPARE(runner.readAllStandardOutput(), fits ? QByteArray("true\n") : "nil, \"" + QByteArray(std::strerror(EFBIG)) + "\"\n");
    QFile target(directory.filePath("target"));
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), fits ? QByteArray(size, 'n') : QByteArray("old\n"));
    // No temporary file is left behind either way.
    QCOMPARE(QDir(directory.path()).entryList(QDir::Files), QStringList({"script.lua", "target"}));
}

QTEST_GUILESS_MAIN(Natives)
#include "tst_natives.moc"
