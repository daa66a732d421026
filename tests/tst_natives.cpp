// The text, regex, file, sleep, clock and Base64 natives, run as real scripts:
// results, wrong argument types, a full disk, 5 MB texts, and long loops that must leave
// memory and descriptors where they were.
#include "fake_app.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

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
    void hugeStrings();
    void loopsStayFlat_data();
    void loopsStayFlat();
    void files_data();
    void files();
    void fileLimits();
    void fullDisk_data();
    void fullDisk();
};

// One row per call: the row is named by the call, whose results show() prints.
static void call(const char *code, const char *expected)
{
    QTest::newRow(code) << QByteArray(code) << QByteArray(expected);
}

void Natives::calls_data()
{
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QByteArray>("expected");
    // find counts UTF-16 units: an accent is one, a character outside the BMP two.
    call("n.find('héllo wörld', 'wörld')", "6, 11, \"h\\195\\169llo \"");
    call("n.find('\\u{1F600} ok', 'ok')", "3, 5, \"\\240\\159\\152\\128 \"");
    call("n.find('abc', '')", "0, 0, \"\"");
    call("n.find('', 'x')", "-1, -1, \"\"");
    call("n.find('Login:', 'LOGIN:')", "-1, -1, \"\"");
    call("n.find('Login:', 'LOGIN:', true)", "0, 6, \"\"");
    call("n.find('Login:', 'LOGIN:', 0)", "0, 6, \"\"");
    call("n.find('\\255ab', 'b')", "2, 3, \"\\239\\191\\189a\"");
    call("n.find('a\\0b', 'b')", "2, 3, \"a\\0\"");

    call("n.strip('\\27[1;32mOK\\27[0m')", "\"OK\"");
    call("n.strip('\\27[ q')", "\"\"");
    call("n.strip('\\27]0;title\\7prompt$ ')", "\"prompt$ \"");
    call("n.strip('abc\\27[12')", "\"abc\\27[12\"");
    call("n.strip('a\\27]2;t')", "\"a\\27]2;t\"");
    // An OSC sequence ends at its first terminator, so text between two
    // title updates survives.
    call("n.strip('x\\27]0;a\\27\\\\keep\\27]0;b\\27\\\\y')", "\"xkeepy\"");
    call("n.strip('a\\27]2;t\\27\\\\b\\7c')", "\"ab\\7c\"");
    call("n.strip('a\\27]2;t\\27x\\7b')", "\"ab\"");
    call("n.strip('\\27(B\\27=\\7\\r\\n\\t')", "\"\\27(B\\27=\\7\\13\\10\\9\"");
    call("n.strip('a\\255b')", "\"a\\239\\191\\189b\"");

    call("n.regex_find('hello world', 'o w')", "5, 7");
    call("n.regex_find('b', '(a)|(b)')", "1, 1, false, \"b\"");
    call("n.regex_find('xz', 'x(y?)z')", "1, 2, \"\"");
    call("n.regex_find('hello', 'l+', 4)", "4, 4");
    call("n.regex_find('hello', 'l+', -1)", "nil");
    call("n.regex_find('hello', 'l+', 6)", "nil");
    call("n.regex_find('hello', '', 0)", "6, 5");
    call("n.regex_find('hello', 'h', -10)", "1, 1");
    // init moves the start, not the subject: ^ still anchors at byte 1 and
    // look-behind sees the bytes before init.
    call("n.regex_find('ab', '^b', 2)", "nil");
    call("n.regex_find('ab', '(?<=a)b', 2)", "2, 2");
    call("n.regex_find('\\195\\169!', '!')", "3, 3");
    call("n.regex_find('x\\255\\0y', 'x(..)y')", "1, 4, \"\\255\\0\"");
    call("n.regex_find('ab', '(?<x>a)(b)')", "1, 2, \"a\", \"b\"");
    call("pcall(n.regex_find, 'hello', '(', 7)", "false, \"bad regex (: missing closing parenthesis\"");
    // PCRE2 giving up must not look like "no match".
    call("pcall(n.regex_find, ('a'):rep(40) .. '!', '^(a+)+$')", "false, \"regex match failed: ^(a+)+$\"");

    // Regression: every ESC "]" with no terminator after it used to scan to
    // the end of the text, so 128 KB of them took 10 s and 2 MB hours.
    call("(function() local t = n.now() local text = ('\\27]'):rep(1048576) .. '\\27[1m' local r = n.strip(text) "
         "return #r, r == text:sub(1, -5), n.now() - t < 10 end)()", "2097152, true, true");
    call("n.strip('\\27]0;a\\7' .. ('\\27]'):rep(3) .. '\\27[1mb')", "\"\\27]\\27]\\27]b\"");
    // The caller's line is the position of a bad pattern.
    call("select(2, pcall(function() n.regex_find('x', '(') end)):match('[^/]*$')",
         "\"script.lua:1: bad regex (: missing closing parenthesis\"");

    // Sleep takes numbers and numeric strings in range; every other value
    // is refused with its message, not raised.
    const char *refused = "true, nil, \"Sleep requires milliseconds between 0 and 2147483647.\"";
    call("n.sleep(0)", "true");
    call("n.sleep(-0.0)", "true");
    call("n.sleep(0.2)", "true");
    call("n.sleep('5')", "true");
    call("pcall(n.sleep)", refused);
    call("pcall(n.sleep, -1)", refused);
    call("pcall(n.sleep, 0/0)", refused);
    call("pcall(n.sleep, 2147483648)", refused);
    call("pcall(n.sleep, 'soon')", refused);
    call("pcall(n.sleep, false)", refused);
    call("pcall(n.sleep, {})", refused);
    // Each native's own check of a wrong type; regex_find leaves it to Lua,
    // which takes numbers as text.
    call("pcall(n.read_file, 42)", "true, nil, \"File path must be UTF-8 text.\"");
    call("pcall(n.write_file, {}, 'x')", "true, nil, \"write_file requires a UTF-8 path and a byte string.\"");
    call("(function() local ok, r, e = pcall(n.write_file, 'out.txt', 1.5) return ok, r, e, io.open('out.txt') == nil end)()",
         "true, nil, \"write_file requires a UTF-8 path and a byte string.\", true");
    call("pcall(n.base64, false)", "true, nil, \"Binary data must be a Lua string.\"");
    call("pcall(n.find, {}, 'a')", "true, nil, \"Prompt matching requires UTF-8 strings.\"");
    call("pcall(n.find, 'a', print)", "true, nil, \"Prompt matching requires UTF-8 strings.\"");
    call("pcall(n.strip, io.stdout)", "true, nil, \"Capture must be text.\"");
    call("pcall(n.rpc, coroutine.create(print))", "true, nil, \"The API accepts strings, numbers, booleans, nil and tables.\"");
    call("pcall(n.regex_find, {}, 'a')", "false, \"bad argument #1 to '?' (string expected, got table)\"");
    call("pcall(n.regex_find, 'a', nil)", "false, \"bad argument #2 to '?' (string expected, got nil)\"");
    call("pcall(n.regex_find, 'abc', 'c', false)", "false, \"bad argument #3 to '?' (number expected, got boolean)\"");
    call("pcall(n.regex_find, 'abc', 'c', 1.5)", "false, \"bad argument #3 to '?' (number has no integer representation)\"");
    call("n.regex_find(142, 42), n.regex_find('abc', 'c', '2')", "2, 3, 3");
    call("(function() local a = n.now() local b = n.now() return math.type(a), a >= 0, b >= a end)()",
         "\"float\", true, true");
    call("(function() local t = n.now() n.sleep(120) return n.now() - t >= 0.119 end)()", "true");
    call("n.base64(''), n.base64('a'), n.base64('\\0\\255\\254')", "\"\", \"YQ==\", \"AP/+\"");
}

void Natives::calls()
{
    QFETCH(QByteArray, call);
    QFETCH(QByteArray, expected);
    QTemporaryDir directory;
    QCOMPARE(run("show(" + call + ")", directory.path()), expected + '\n');
}

void Natives::files_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray path("nil, \"File path must be UTF-8 text.\"\n");
    const QByteArray write("nil, \"write_file requires a UTF-8 path and a byte string.\"\ntrue\n");
    QTest::newRow("round trip of binary bytes")
        << QByteArray("show(n.write_file('b.bin', '\\0\\255\\r\\n')) show(n.read_file('b.bin'))")
        << QByteArray("true\n\"\\0\\255\\13\\10\"\n");
    QTest::newRow("empty file") << QByteArray("show(n.write_file('e', '')) show(n.read_file('e'))") << QByteArray("true\n\"\"\n");
    QTest::newRow("replaces the target")
        << QByteArray("n.write_file('t', 'old') n.write_file('t', 'new') show(n.read_file('t'))") << QByteArray("\"new\"\n");
    QTest::newRow("read_file invalid UTF-8 path") << QByteArray("show(n.read_file('\\255'))") << path;
    // The file layer would stop at the zero byte and open another file.
    QTest::newRow("read_file zero byte in path")
        << QByteArray("n.write_file('a.txt', 'x') show(n.read_file('a.txt\\0junk'))") << path;
    QTest::newRow("write_file zero byte in path")
        << QByteArray("show(n.write_file('z\\0y', 'x')) show(io.open('z') == nil)") << write;
    QTest::newRow("read_file missing file")
        << QByteArray("local v, e = n.read_file('missing') show(v, type(e), #e > 0)") << QByteArray("nil, \"string\", true\n");
    QTest::newRow("write_file into a missing directory")
        << QByteArray("local v, e = n.write_file('no/such/dir/f', 'x') show(v, type(e), io.open('no') == nil)")
        << QByteArray("nil, \"string\", true\n");
    // Devices report size 0; the read is still bounded.
    QTest::newRow("read_file of an endless device")
        << QByteArray("show(n.read_file('/dev/zero'))") << QByteArray("nil, \"Lua file helpers are limited to 16 MB.\"\n");
    QTest::newRow("read_file of a size-0 proc file")
        << QByteArray("show(#n.read_file('/proc/self/status') > 0)") << QByteArray("true\n");
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

void Natives::hugeStrings()
{
    // 5 MB = 5,242,880 bytes through every native that takes text, each
    // quickly and with no connection made.
    FakeApp app;
    QTemporaryDir directory;
    RunOptions options;
    options.workingDirectory = directory.path();
    const RunResult result = runScript(&app, withShow(
        "local n = __morvane_native local big = ('a'):rep(5 * 2^20) local t = n.now()\n"
        "local p, e, b = n.find(big .. 'END', 'END') show(p, e, #b)\n"
        "p, e, b = n.find(big, big) show(p, e, #b)\n"
        "local r = n.strip(('\\27[1mx'):rep(1048576)) show(#r, r:sub(1, 3))\n"
        "show(n.strip('a\\27]0;' .. big .. '\\7b'), #n.strip(('\\255'):rep(5242880)))\n"
        "show(n.regex_find(big .. 'END', 'E(N)D')) show(n.regex_find(big, 'a+$', -3))\n"
        "r = n.base64(big) show(#r, r:sub(1, 8), r:sub(-4))\n"
        "show(n.write_file('big.bin', big .. '\\0\\255')) r = n.read_file('big.bin') show(#r, r == big .. '\\0\\255')\n"
        "show(n.rpc{op = 'x', text = big}) show(n.now() - t < 20)\n"), options);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("5242880, 5242883, 5242880\n0, 5242880, 0\n1048576, \"xxx\"\n\"ab\", 15728640\n"
                                    "5242881, 5242883, \"N\"\n5242878, 5242880\n6990508, \"YWFhYWFh\", \"YWE=\"\n"
                                    "true\n5242882, true\nnil, \"API request exceeds 4 MB.\"\ntrue\n"));
    QCOMPARE(app.connections, 0);
}

void Natives::loopsStayFlat_data()
{
    QTest::addColumn<QByteArray>("call");   // the body of call(i)
    QTest::addColumn<int>("count");
    QTest::newRow("files") << QByteArray("assert(n.read_file('small.txt') == 'abc') assert(not n.read_file('missing.txt')) "
                                         "assert(n.write_file('out.txt', 'data' .. i)) assert(not n.write_file('none/out.txt', 'x'))")
                           << 5000;
    QTest::newRow("rpc") << QByteArray("assert(n.rpc{op = 'x', i = i} == 'r') assert(select(2, n.rpc{op = 'fail'}) == 'no') "
                                       "assert(not n.rpc(cyclic)) assert(not n.rpc{op = 'deep'})")
                         << 5000;
    QTest::newRow("text") << QByteArray("assert(#n.base64(('x'):rep(300) .. i) > 400) assert(n.find('hello world ' .. i, 'world') == 6) "
                                        "assert(n.strip('\\27[1m' .. i .. '\\27]0;t\\7') == tostring(i)) "
                                        "assert(n.regex_find('abc' .. i, 'b(c)([0-9]+)') == 2)")
                          << 10000;
    // 1,500 distinct patterns turn the cache over; results stay right across
    // its reset, and a bad pattern raises every time (nothing was cached),
    // past the native's C++ locals.
    QTest::newRow("regex cache") << QByteArray("local k = 'k' .. i % 1500 .. ';' local first, last = n.regex_find(k, k) "
                                               "assert(first == 1 and last == #k) assert(not pcall(n.regex_find, 'x', '(' .. i % 7))")
                                 << 10000;
    QTest::newRow("regex resource limit")
        << QByteArray("assert(not pcall(n.regex_find, ('a'):rep(25) .. '!', '^(a+)+$'))") << 300;
}

void Natives::loopsStayFlat()
{
    // After a warm-up, `count` more calls leave Lua's memory, the open
    // descriptors and the resident size where they were. A leak per call
    // shows as thousands; a few descriptors of slack absorb the listing's
    // own pipe lingering under load. Descriptors are listed from outside
    // through the process id (/proc/self in `ls` would be ls itself), the
    // least of three listings since popen may not yet have closed the pipe
    // end it handed to the shell.
    QFETCH(QByteArray, call);
    QFETCH(int, count);
    FakeApp app;
    app.answer("x", QStringLiteral("r"));
    app.fail("fail", QStringLiteral("no"));
    app.reply("deep", Reply::ok(QJsonDocument::fromJson(QByteArray("[").repeated(70) + QByteArray("]").repeated(70)).array()));
    QTemporaryDir directory;
    RunOptions options;
    options.workingDirectory = directory.path();
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
        "local function call(i) " + call + " end "
        "for i = 1, 200 do call(i) end "
        "collectgarbage() collectgarbage() "
        "local memory, descriptors, rss = collectgarbage('count'), fds(), resident() "
        "for i = 1, " + QByteArray::number(count) + " do call(i) end "
        "collectgarbage() collectgarbage() "
        "show(math.floor((collectgarbage('count') - memory) * 1024), fds() - descriptors, resident() - rss)";
    options.environment = app.environment();
    const RunResult result = runScript(&app, withShow(code), options);
    QVERIFY(result.finished);
    QCOMPARE(result.err, QByteArray());
    const QByteArrayList figures = result.out.trimmed().split(',');
    QVERIFY2(figures.size() == 3 && figures.at(0).trimmed().toInt() < 32 * 1024 && figures.at(1).trimmed().toInt() < 8
                 && (!residentSizeMeaningful || figures.at(2).trimmed().toInt() < 4096),
             result.out.constData());
}

// A 64 KiB file system mounted for one test and filled to leave a chosen
// number of free pages; unmounted again when it goes.
class SmallDisk {
public:
    SmallDisk() : mountPoint(directory.path() + QStringLiteral("/disk"))
    {
        QDir().mkpath(mountPoint);
        if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=64k") != 0)
            failure = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallDisk()
    {
        if (failure.isEmpty())
            ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
    }
    // Fills the disk, then gives back `pages` pages of it.
    bool leaveFree(int pages)
    {
        QFile filler(mountPoint + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size()) {
        }
        const qint64 filled = filler.size() / 4096 * 4096;
        return filled >= pages * 4096 && filler.resize(filled - pages * 4096);
    }
    QTemporaryDir directory;
    const QString mountPoint;
    QString failure; // why mounting failed, empty when mounted
};

void Natives::fullDisk_data()
{
    QTest::addColumn<int>("freePages");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fits");
    // Rows straddle the 16 KiB write buffer: a short write used to fail only
    // when the buffer was flushed at commit, after which the temporary file
    // was renamed over the target anyway.
    QTest::newRow("18 bytes, disk full") << 0 << 18 << false;
    QTest::newRow("4 KiB, 8 KiB free") << 2 << 4096 << true;
    QTest::newRow("8 KiB, 8 KiB free") << 2 << 8192 << true;
    QTest::newRow("12000 bytes, 8 KiB free") << 2 << 12000 << false;
    QTest::newRow("16383 bytes, 8 KiB free") << 2 << 16383 << false;
    QTest::newRow("16384 bytes, 8 KiB free") << 2 << 16384 << false;
    QTest::newRow("16385 bytes, 8 KiB free") << 2 << 16385 << false;
    QTest::newRow("40000 bytes, 8 KiB free") << 2 << 40000 << false;
    QTest::newRow("16384 bytes, 20 KiB free") << 5 << 16384 << true;
}

void Natives::fullDisk()
{
    QFETCH(int, freePages);
    QFETCH(int, size);
    QFETCH(bool, fits);
    SmallDisk disk;
    if (!disk.failure.isEmpty())
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (needs root): ") + disk.failure));
    const QString target = disk.mountPoint + QStringLiteral("/target");
    const QByteArray old("old contents\n");
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(old), old.size());
    }
    QVERIFY(disk.leaveFree(freePages));
    const QByteArray out = run("show(n.write_file('" + target.toUtf8() + "', ('n'):rep(" + QByteArray::number(size) + ")))");
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray contents = file.readAll();
    if (fits) {
        QCOMPARE(out, QByteArray("true\n"));
        QCOMPARE(contents, QByteArray(size, 'n'));
    } else {
        QCOMPARE(out, QByteArray("nil, \"No space left on device\"\n"));
        QCOMPARE(contents, old);
    }
    // No temporary file is left behind either way.
    QCOMPARE(QDir(disk.mountPoint).entryList(QDir::Files), QStringList({"filler", "target"}));
}

QTEST_GUILESS_MAIN(Natives)
#include "tst_natives.moc"
