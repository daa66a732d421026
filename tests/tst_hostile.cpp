// Hostile input: servers that misbehave at the socket, and scripts that pass
// the natives cyclic, deep, huge or wrongly typed values or call them in long
// loops. Every case must end with the right message, in time, with bounded
// memory and no leaked descriptors.
#include "fake_app.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Lua helpers put in front of a script: the runner's own peak and current
// resident size in KB and its count of open descriptors (listed from outside
// through the process id, since /proc/self in `ls` would be ls itself; the
// least of three listings, since popen may not yet have closed the pipe end
// it handed to the shell).
const QByteArray probes =
    "local n = __morvane_native "
    "local function status(field) for line in io.lines('/proc/self/status') do "
    "  local value = line:match('^' .. field .. ':%s*(%d+)') if value then return tonumber(value) end end end "
    "local stat = io.open('/proc/self/stat') local pid = stat:read('n') stat:close() "
    "local function listed() local list = io.popen('ls /proc/' .. pid .. '/fd') local count = 0 "
    "  for _ in list:lines() do count = count + 1 end list:close() return count end "
    "local function fds() return math.min(listed(), listed(), listed()) end ";

// Under AddressSanitizer freed memory stays in quarantine and the resident
// size says nothing about leaks; the sanitizer reports those itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool residentSizeMeaningful = false;
#else
constexpr bool residentSizeMeaningful = true;
#endif

const QByteArray typeMessage("The API accepts strings, numbers, booleans, nil and tables.");
const QByteArray depthMessage("API tables are nested too deeply or contain a cycle.");
const QByteArray finiteMessage("API numbers must be finite.");
const QByteArray sizeMessage("API request exceeds 4 MB.");

// A socket file with nobody listening: bound, then closed without removing
// the file, as a crashed application leaves it.
bool makeStaleSocket(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    memcpy(address.sun_path, name.constData(), size_t(qMin<qsizetype>(name.size(), sizeof address.sun_path - 1)));
    const bool bound = listener >= 0 && bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(listener);
    return bound;
}

// Metatables on the request and its parts whose every metamethod raises:
// conversion reads raw contents only.
const QByteArray traps =
    "local trap = {} "
    "for _, event in ipairs{'__index', '__newindex', '__len', '__pairs', '__call', '__eq', '__lt', '__le', "
    "  '__concat', '__tostring', '__name', '__close', '__unm', '__add'} do "
    "  trap[event] = function() error('metamethod ' .. event) end end "
    "local function trapped(t) return setmetatable(t, trap) end ";

} // namespace

class Hostile : public QObject {
    Q_OBJECT

    // Runs `code` with n = __morvane_native, show() and the probes in scope.
    static RunResult run(FakeApp *app, const QByteArray &code, const QString &directory = QString(),
                         int timeoutMs = 30000)
    {
        RunOptions options;
        options.workingDirectory = directory;
        options.timeoutMs = timeoutMs;
        return runScript(app, withShow(probes + code), options);
    }

private Q_SLOTS:
    void unusableSocket_data();
    void unusableSocket();
    void hostileReply_data();
    void hostileReply();
    void floodMemory();
    void hostileRequest_data();
    void hostileRequest();
    void hugeStrings_data();
    void hugeStrings();
    void wrongTypes_data();
    void wrongTypes();
    void loopsStayFlat_data();
    void loopsStayFlat();
};

void Hostile::unusableSocket_data()
{
    // Missing paths, plain files and directories are in tst_rpc's connectFailure.
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"stale socket", "named pipe", "dangling link", "name longer than a socket address"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void Hostile::unusableSocket()
{
    QFETCH(QString, kind);
    QTemporaryDir directory;
    QString path = directory.filePath("app.sock");
    struct stat info;
    if (kind == QLatin1String("stale socket"))
        QVERIFY(makeStaleSocket(path) && stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode));
    else if (kind == QLatin1String("named pipe"))
        QVERIFY(mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    else if (kind == QLatin1String("dangling link"))
        QVERIFY(QFile::link(directory.filePath("gone.sock"), path));
    else
        path = directory.filePath(QString(200, QLatin1Char('s')));
    RunOptions options;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert("MORVANE_SOCKET", path);
    options.environment.insert("MORVANE_TOKEN", "t");
    const RunResult result = runScript(nullptr, withShow("local r, e = __morvane_native.rpc{op = 'x'} "
                                                         "show(r, e:sub(1, 17), #e > 17)"), options);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("nil, \"Application API: \", true\n"));
    QVERIFY2(result.elapsedMs < 10000, QByteArray::number(result.elapsedMs).constData());
}

void Hostile::hostileReply_data()
{
    // Arrays 66 and 1,000 deep, invalid UTF-8 and lone surrogates are in tst_rpc's jsonToLua.
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray tooDeep("nil, \"Application reply is nested too deeply for Lua.\"");
    const QByteArray invalid("nil, \"Invalid application API reply.\"");
    auto ok = [](const QByteArray &result) { return "{\"ok\":true,\"result\":" + result + "}\n"; };
    // The partly built result must leave the stack.
    QTest::newRow("objects 70 deep after a large sibling")
        << ok("[\"" + QByteArray(1 << 20, 'x') + "\"," + QByteArray("{\"a\":").repeated(70) + "{}" + QByteArray("}").repeated(70) + "]")
        << tooDeep;
    QTest::newRow("100,000 open brackets") << QByteArray("[").repeated(100000) + '\n' << invalid;
    // Qt's parser takes a raw control character inside a string as it is;
    // the zero byte must not cut the text short.
    QTest::newRow("raw zero byte inside a string") << QByteArray("{\"ok\":true,\"result\":\"a\0b\"}\n", 27)
                                                   << QByteArray("\"a\\0b\", nil");
    QTest::newRow("carriage return before the line feed") << ok("\"x\"").replace("\n", "\r\n") << QByteArray("\"x\", nil");
    QTest::newRow("surrogate pair escape") << ok("\"\\ud83d\\ude00\"") << QByteArray("\"\\240\\159\\152\\128\", nil");
    QTest::newRow("empty line") << QByteArray("\n") << invalid;
    QTest::newRow("number out of range") << ok("1e999") << invalid;
}

void Hostile::hostileReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, expected);
    FakeApp app;
    app.reply("x", Reply::raw(reply));
    app.answer("y", QStringLiteral("after"));
    // A second request after the first shows the runner is still sound.
    const RunResult result = run(&app, "show(n.rpc{op = 'x'}) show(n.rpc{op = 'y'})");
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + "\n\"after\", nil\n");
}

void Hostile::floodMemory()
{
    // A reply that never ends is refused at 16 MB with the runner's peak
    // resident size well under 100 MB.
    FakeApp app;
    Reply flood = Reply::raw(QByteArray(65536, '['));
    flood.repeatTo = qint64(1) << 40;
    app.reply("flood", flood);
    const RunResult result = run(&app, "show(n.rpc{op = 'flood'}) io.stderr:write(status('VmHWM'), '\\n')");
    QCOMPARE(result.out, QByteArray("nil, \"Application API reply exceeds 16 MB.\"\n"));
    const int peakKb = result.err.trimmed().toInt();
    QVERIFY2(peakKb > 0 && (!residentSizeMeaningful || peakKb < 100 * 1024), result.err.constData());
}

void Hostile::hostileRequest_data()
{
    // Self-cycles, the 32-level boundary, exponential sharing and the exact
    // 4 MB line are in tst_rpc's luaToJson and requestSizeLimit.
    QTest::addColumn<QByteArray>("build");    // Lua code that sets `request`
    QTest::addColumn<QByteArray>("message");  // empty: sent
    QTest::newRow("cycle through an array") << QByteArray("local t = {} t[1] = t request = {op = 'x', t = t}") << depthMessage;
    QTest::newRow("200,000 deep objects")
        << QByteArray("local t = {} for i = 1, 200000 do t = {x = t} end request = {op = 'x', t = t}") << depthMessage;
    QTest::newRow("200,000 deep arrays, NaN at the bottom")
        << QByteArray("local t = {0/0} for i = 1, 200000 do t = {t} end request = {op = 'x', t = t}") << depthMessage;
    // The request is level 0, so a value at level 32 is the deepest allowed.
    QTest::newRow("NaN at level 32")
        << QByteArray("local t = {v = 0/0} for i = 1, 30 do t = {x = t} end request = {op = 'x', t = t}") << finiteMessage;
    QTest::newRow("NaN at level 33")
        << QByteArray("local t = {v = 0/0} for i = 1, 31 do t = {x = t} end request = {op = 'x', t = t}") << depthMessage;
    // One table shared a million times: 3 MB of text, sent. Shared 2.25
    // million times it is refused by the count of values before any text.
    QTest::newRow("a million shared empty tables")
        << QByteArray("local e, t, u = {}, {}, {} for i = 1, 1000 do t[i] = e u[i] = t end request = {op = 'x', u = u}")
        << QByteArray();
    QTest::newRow("2.25 million shared empty tables")
        << QByteArray("local e, t, u = {}, {}, {} for i = 1, 1500 do t[i] = e u[i] = t end request = {op = 'x', u = u}")
        << sizeMessage;
    QTest::newRow("metamethods never run")
        << traps + "request = trapped{op = 'x', list = trapped{1, 2, trapped{}}, obj = trapped{k = trapped{v = true}}}" << QByteArray();
    QTest::newRow("metamethods never run on a refused array")
        << traps + "request = trapped{op = 'x', bad = trapped{1, nil, 3}}"
        << QByteArray("API tables need string keys or dense one-based array indexes.");
}

void Hostile::hostileRequest()
{
    // Each refusal comes back as nil and its message, nothing is sent, and
    // the runner then sends a sound request: the stack stayed usable.
    QFETCH(QByteArray, build);
    QFETCH(QByteArray, message);
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(QStringLiteral("sent")); });
    const RunResult result = run(&app, build + " local t = n.now() show(n.rpc(request)) show(n.rpc{op = 'after'}, n.now() - t < 5)");
    QCOMPARE(result.err, QByteArray());
    const QByteArray first = message.isEmpty() ? QByteArray("\"sent\", nil") : "nil, \"" + message + "\"";
    QCOMPARE(result.out, first + "\n\"sent\", true\n");
    QCOMPARE(app.requests.size(), message.isEmpty() ? 2 : 1);
}

void Hostile::hugeStrings_data()
{
    // 5 MB = 5,242,880 bytes, through every native that takes text.
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("find, match at the end")
        << QByteArray("local p, e, b = n.find(big .. 'END', 'END') show(p, e, #b)") << QByteArray("5242880, 5242883, 5242880");
    QTest::newRow("find, 5 MB pattern") << QByteArray("local p, e, b = n.find(big, big) show(p, e, #b)") << QByteArray("0, 5242880, 0");
    QTest::newRow("strip, a million sequences")
        << QByteArray("local r = n.strip(('\\27[1mx'):rep(1048576)) show(#r, r:sub(1, 3))") << QByteArray("1048576, \"xxx\"");
    QTest::newRow("strip, one OSC of 5 MB") << QByteArray("show(n.strip('a\\27]0;' .. big .. '\\7b'))") << QByteArray("\"ab\"");
    // Regression: every ESC "]" with no terminator after it used to scan to
    // the end of the text, so 128 KB of them took 10 s and 2 MB hours.
    QTest::newRow("strip, a million unterminated OSC starts")
        << QByteArray("local text = ('\\27]'):rep(1048576) .. '\\27[1m' local r = n.strip(text) show(#r, r == text:sub(1, -5)) "
                      "show(n.strip('\\27]0;a\\7' .. ('\\27]'):rep(3) .. '\\27[1mb'))")
        << QByteArray("2097152, true\n\"\\27]\\27]\\27]b\"");
    QTest::newRow("strip, invalid bytes") << QByteArray("show(#n.strip(('\\255'):rep(5242880)))") << QByteArray("15728640");
    QTest::newRow("regex_find, match at the end")
        << QByteArray("show(n.regex_find(big .. 'END', 'E(N)D'))") << QByteArray("5242881, 5242883, \"N\"");
    QTest::newRow("regex_find, init near the end") << QByteArray("show(n.regex_find(big, 'a+$', -3))") << QByteArray("5242878, 5242880");
    QTest::newRow("regex_find, long alternation match or error, never nil")
        << QByteArray("local ok, s, e = pcall(n.regex_find, big .. 'c', '(a|b)*c') "
                      "show(ok and s == 1 and e == 5242881 or not ok and s == 'regex match failed: (a|b)*c')")
        << QByteArray("true");
    QTest::newRow("base64") << QByteArray("local r = n.base64(big) show(#r, r:sub(1, 8), r:sub(-4))")
                            << QByteArray("6990508, \"YWFhYWFh\", \"YWE=\"");
    QTest::newRow("write_file and read_file")
        << QByteArray("show(n.write_file('big.bin', big .. '\\0\\255')) local r = n.read_file('big.bin') show(#r, r == big .. '\\0\\255')")
        << QByteArray("true\n5242882, true");
    QTest::newRow("5 MB path") << QByteArray("show(n.read_file(big)) show(n.write_file(big, 'x'))")
                               << QByteArray("nil, \"File name too long\"\nnil, \"File name too long\"");
    QTest::newRow("rpc") << QByteArray("show(n.rpc{op = 'x', text = big})") << "nil, \"" + sizeMessage + "\"";
}

void Hostile::hugeStrings()
{
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, expected);
    FakeApp app;
    QTemporaryDir directory;
    const RunResult result = run(&app, "local big = ('a'):rep(5 * 2^20) local t = n.now() " + code
                                           + " io.stderr:write(n.now() - t < 10 and '' or 'slow')", directory.path());
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + '\n');
    QCOMPARE(app.connections, 0);
}

void Hostile::wrongTypes_data()
{
    // A call is: prefix arguments, the value under test, suffix arguments.
    // The values: none (nothing from the value's position on), nil, false,
    // 42, 1.5, {}, print, io.stdout, a thread.
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("suffix");
    QTest::addColumn<QByteArrayList>("expected");   // one per value, shown after pcall
    const auto fail = [](const QByteArray &message) { return "true, nil, \"" + message + "\""; };
    const auto all = [&fail](const char *message) { return QByteArrayList(9, fail(message)); };
    const auto argError = [](int position, const char *expected, const char *got) {
        return "false, \"bad argument #" + QByteArray::number(position) + " to '?' (" + expected + " expected, got " + got + ")\"";
    };
    const auto textErrors = [&argError](int position) {
        QByteArrayList errors;
        for (const char *got : {"no value", "nil", "boolean", "", "", "table", "function", "FILE*", "thread"})
            errors.append(argError(position, "string", got));
        return errors;
    };
    const QByteArray sleep = fail("Sleep requires milliseconds between 0 and 2147483647.");
    const QByteArray notObject = fail("API request must be a table with string keys.");
    const QByteArray types = fail(typeMessage);
    const QByteArray write("write_file requires a UTF-8 path and a byte string.");
    QTest::newRow("read_file path") << QByteArray("n.read_file") << QByteArray() << all("File path must be UTF-8 text.");
    QTest::newRow("write_file path") << QByteArray("n.write_file") << QByteArray("'data'") << all(write);
    QTest::newRow("write_file data") << QByteArray("n.write_file, 'out.txt'") << QByteArray() << all(write);
    QTest::newRow("rpc") << QByteArray("n.rpc") << QByteArray()
                         << QByteArrayList{types, notObject, notObject, notObject, notObject,
                                           fail("Run scripts from Morvane Terminal's Script menu."), types, types, types};
    QTest::newRow("sleep") << QByteArray("n.sleep") << QByteArray()
                           << QByteArrayList{sleep, sleep, sleep, "true, true", "true, true", sleep, sleep, sleep, sleep};
    QTest::newRow("base64") << QByteArray("n.base64") << QByteArray() << all("Binary data must be a Lua string.");
    QTest::newRow("find text") << QByteArray("n.find") << QByteArray("'a'") << all("Prompt matching requires UTF-8 strings.");
    QTest::newRow("find pattern") << QByteArray("n.find, 'a'") << QByteArray() << all("Prompt matching requires UTF-8 strings.");
    QTest::newRow("strip") << QByteArray("n.strip") << QByteArray() << all("Capture must be text.");
    // Numbers are text to regex_find, as to Lua's string functions.
    QByteArrayList subject = textErrors(1), pattern = textErrors(2), init;
    subject[3] = "true, 2, 2";
    subject[4] = "true, 3, 3";
    pattern[3] = "true, 2, 3";
    pattern[4] = "true, nil";
    for (const char *got : {"", "", "boolean", "", "", "table", "function", "FILE*", "thread"})
        init.append(argError(3, "number", got));
    init[0] = init[1] = "true, 3, 3";
    init[3] = "true, nil";
    init[4] = "false, \"bad argument #3 to '?' (number has no integer representation)\"";
    QTest::newRow("regex_find subject") << QByteArray("n.regex_find") << QByteArray("'[25]'") << subject;
    QTest::newRow("regex_find pattern") << QByteArray("n.regex_find, '142'") << QByteArray() << pattern;
    QTest::newRow("regex_find init") << QByteArray("n.regex_find, 'abc', 'c'") << QByteArray() << init;
}

void Hostile::wrongTypes()
{
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, suffix);
    QFETCH(QByteArrayList, expected);
    const QByteArrayList values{"", "nil", "false", "42", "1.5", "{}", "print", "io.stdout", "coroutine.create(print)"};
    QByteArray code;
    for (const QByteArray &value : values) {
        QByteArray arguments = prefix;
        if (!value.isEmpty())
            arguments += ", " + value + (suffix.isEmpty() ? QByteArray() : ", " + suffix);
        code += "show(pcall(" + arguments + ")) ";
    }
    RunOptions options;
    QTemporaryDir directory;
    options.workingDirectory = directory.path();
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.remove("MORVANE_SOCKET");
    options.environment.remove("MORVANE_TOKEN");
    const RunResult result = runScript(nullptr, withShow("local n = __morvane_native " + code), options);
    QCOMPARE(result.err, QByteArray());
    QByteArrayList lines = result.out.split('\n');
    QCOMPARE(lines.takeLast(), QByteArray());
    QCOMPARE(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i) == expected.at(i),
                 (values.at(i) + ": " + lines.at(i) + " instead of " + expected.at(i)).constData());
    }
    // Nothing was written under a wrong argument.
    QVERIFY(QDir(directory.path()).entryList(QDir::Files).filter("out").isEmpty());
}

void Hostile::loopsStayFlat_data()
{
    QTest::addColumn<QByteArray>("call");   // the body of call(i)
    QTest::addColumn<int>("count");
    QTest::newRow("read_file") << QByteArray("assert(n.read_file('small.txt') == 'abc')") << 10000;
    QTest::newRow("read_file, missing") << QByteArray("assert(not n.read_file('missing.txt'))") << 10000;
    QTest::newRow("write_file") << QByteArray("assert(n.write_file('out.txt', 'data' .. i))") << 10000;
    QTest::newRow("write_file, no directory") << QByteArray("assert(not n.write_file('none/out.txt', 'x'))") << 10000;
    QTest::newRow("rpc") << QByteArray("assert(n.rpc{op = 'x', i = i} == 'r')") << 10000;
    QTest::newRow("rpc, application error") << QByteArray("assert(select(2, n.rpc{op = 'fail'}) == 'no')") << 10000;
    QTest::newRow("rpc, refused cycle") << QByteArray("assert(not n.rpc(cyclic))") << 10000;
    QTest::newRow("rpc, reply too deep") << QByteArray("assert(not n.rpc{op = 'deep'})") << 10000;
    QTest::newRow("base64") << QByteArray("assert(#n.base64(('x'):rep(300) .. i) > 400)") << 10000;
    QTest::newRow("find") << QByteArray("assert(n.find('hello world ' .. i, 'world') == 6)") << 10000;
    QTest::newRow("strip") << QByteArray("assert(n.strip('\\27[1m' .. i .. '\\27]0;t\\7') == tostring(i))") << 10000;
    QTest::newRow("regex_find") << QByteArray("assert(n.regex_find('abc' .. i, 'b(c)([0-9]+)') == 2)") << 10000;
    QTest::newRow("regex_find, cache turnover") << QByteArray("n.regex_find('abc', 'b' .. i % 1500)") << 10000;
    // The errors are raised past the native's C++ locals.
    QTest::newRow("regex_find, bad pattern") << QByteArray("assert(not pcall(n.regex_find, 'x', '(' .. i))") << 10000;
    QTest::newRow("regex_find, resource limit")
        << QByteArray("assert(not pcall(n.regex_find, ('a'):rep(25) .. '!', '^(a+)+$'))") << 300;
}

void Hostile::loopsStayFlat()
{
    // After a warm-up, `count` more calls leave Lua's memory, the open
    // descriptors and the resident size where they were. A leak per call
    // shows as thousands; a few descriptors of slack absorb the listing's
    // own pipe lingering under load.
    QFETCH(QByteArray, call);
    QFETCH(int, count);
    FakeApp app;
    app.answer("x", QStringLiteral("r"));
    app.fail("fail", QStringLiteral("no"));
    app.reply("deep", Reply::ok(QJsonDocument::fromJson(QByteArray("[").repeated(70) + QByteArray("]").repeated(70)).array()));
    QTemporaryDir directory;
    const QByteArray code =
        "local cyclic = {op = 'x'} cyclic.self = cyclic "
        "n.write_file('small.txt', 'abc') "
        "local function call(i) " + call + " end "
        "for i = 1, 200 do call(i) end "
        "collectgarbage() collectgarbage() "
        "local memory, descriptors, resident = collectgarbage('count'), fds(), status('VmRSS') "
        "for i = 1, " + QByteArray::number(count) + " do call(i) end "
        "collectgarbage() collectgarbage() "
        "show(math.floor((collectgarbage('count') - memory) * 1024), fds() - descriptors, status('VmRSS') - resident)";
    const RunResult result = run(&app, code, directory.path(), 120000);
    QVERIFY(result.finished);
    QCOMPARE(result.err, QByteArray());
    const QByteArrayList figures = result.out.trimmed().split(',');
    QVERIFY2(figures.size() == 3 && figures.at(0).trimmed().toInt() < 32 * 1024 && figures.at(1).trimmed().toInt() < 8
                 && (!residentSizeMeaningful || figures.at(2).trimmed().toInt() < 4096),
             result.out.constData());
}

QTEST_GUILESS_MAIN(Hostile)
#include "tst_hostile.moc"
