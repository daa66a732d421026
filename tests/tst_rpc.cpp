// The application channel: the value bridge in both directions through rpc,
// framing, limits, time-outs and every failure message, with hostile input at
// each: cyclic, deep and shared requests, broken and flooding replies and
// sockets nobody can use. After a refusal the runner must still send a sound
// request, in time and with bounded memory.
#include "fake_app.h"

#include <QJsonDocument>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// Metatables on the request and its parts whose every metamethod raises:
// conversion reads raw contents only.
static const QByteArray traps =
    "local trap = {} "
    "for _, event in ipairs{'__index', '__newindex', '__len', '__pairs', '__call', '__eq', '__lt', '__le', "
    "  '__concat', '__tostring', '__name', '__close', '__unm', '__add'} do "
    "  trap[event] = function() error('metamethod ' .. event) end end "
    "local function trapped(t) return setmetatable(t, trap) end ";

Q_DECLARE_METATYPE(Reply)

class Rpc : public QObject {
    Q_OBJECT

    // Runs `code` against `app` with `rpc` = __morvane_native.rpc in scope.
    static RunResult run(FakeApp &app, const QByteArray &code)
    {
        return runScript(&app, withShow("local rpc = __morvane_native.rpc " + code));
    }

private Q_SLOTS:
    void luaToJson_data();
    void luaToJson();
    void jsonToLua_data();
    void jsonToLua();
    void replyFraming_data();
    void replyFraming();
    void environmentAndOrder();
    void requestSizeLimit();
    void replySizeLimit();
    void connectFailure_data();
    void connectFailure();
    void budgets();
};

// A request that goes out as `line` (without its token member), or one
// refused with `message` before any connection.
static void sends(const char *name, const char *request, const char *line)
{
    QTest::newRow(name) << QByteArray(request) << QByteArray(line) << QByteArray();
}

static void refuses(const char *name, const char *request, const char *message)
{
    QTest::newRow(name) << QByteArray(request) << QByteArray() << QByteArray(message);
}

void Rpc::luaToJson_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("message");
    sends("empty table", "{}", "{}");
    sends("own token replaced", "{token = 'mine', op = 'x'}", "{\"op\":\"x\"}");
    sends("arrays; an empty table is an object", "{a = {'a', 'b'}, b = {[1] = 'a', [2] = 'b'}, c = {[1.0] = 'a', [2] = 'b'}, e = {}}",
          "{\"a\":[\"a\",\"b\"],\"b\":[\"a\",\"b\"],\"c\":[\"a\",\"b\"],\"e\":{}}");
    sends("scalars", "{t = true, f = false, i = 3, x = 1.5, big = 2^53 + 1, n = math.tointeger(2^53) + 1, s = 'a\\0b', m = '\\239\\187\\191x'}",
          "{\"big\":9007199254740992,\"f\":false,\"i\":3,\"m\":\"\xEF\xBB\xBFx\",\"n\":9007199254740992,\"s\":\"a\\u0000b\",\"t\":true,\"x\":1.5}");
    sends("32 levels, last empty", "(function() local t = {} for i = 1, 32 do t = {x = t} end return t end)()",
          QByteArray(QByteArray("{\"x\":").repeated(32) + "{}" + QByteArray("}").repeated(32)).constData());
    // Shared subtables are written once per path; small sharing converts.
    sends("small shared table", "(function() local s = {1} return {a = s, b = s} end)()", "{\"a\":[1],\"b\":[1]}");
    // A million references to one table are 3 MB of text, sent; 2.25 million
    // are refused by the count of values before any text is made.
    sends("a million shared empty tables", "(function() local e, t, u = {}, {}, {} for i = 1, 1000 do t[i] = e u[i] = t end return {u = u} end)()",
          QByteArray("{\"u\":[" + QByteArray("[" + QByteArray("{},").repeated(999) + "{}],").repeated(999) + "["
                     + QByteArray("{},").repeated(999) + "{}]]}").constData());
    sends("metamethods never run", "trapped{op = 'x', list = trapped{1, trapped{}}, obj = trapped{k = trapped{v = true}}}",
          "{\"list\":[1,{}],\"obj\":{\"k\":{\"v\":true}},\"op\":\"x\"}");
    const char *depth = "API tables are nested too deeply or contain a cycle.";
    refuses("one level too many", "(function() local t = {y = 1} for i = 1, 32 do t = {x = t} end return t end)()", depth);
    refuses("cycle through an array", "(function() local t = {} t[1] = t return {t = t} end)()", depth);
    refuses("exponential sharing", "(function() local t = {} for i = 1, 30 do t = {t, t} end return {x = t} end)()",
            "API request exceeds 4 MB.");
    refuses("2.25 million shared empty tables",
            "(function() local e, t, u = {}, {}, {} for i = 1, 1500 do t[i] = e u[i] = t end return {u = u} end)()",
            "API request exceeds 4 MB.");
    // The request is level 0: a value at level 32 is checked, one at 33 is too deep.
    const char *finite = "API numbers must be finite.";
    refuses("infinity", "{n = math.huge}", finite);
    refuses("NaN at level 32", "(function() local t = {v = 0/0} for i = 1, 30 do t = {x = t} end return {t = t} end)()", finite);
    refuses("NaN at level 33", "(function() local t = {v = 0/0} for i = 1, 31 do t = {x = t} end return {t = t} end)()", depth);
    const char *utf8 = "API text must be UTF-8; use Screen:SendBytes for binary data.";
    refuses("invalid UTF-8 value", "{s = '\\255'}", utf8);
    refuses("invalid UTF-8 key", "{['\\255'] = 1}", utf8);
    refuses("encoded surrogate", "{s = '\\237\\160\\128'}", utf8);
    const char *keys = "API tables need string keys or dense one-based array indexes.";
    refuses("mixed keys", "{a = {1, 2, x = 3}}", keys);
    refuses("key 0", "{a = {[0] = 'a'}}", keys);
    refuses("hole, metamethods never run", "trapped{op = 'x', bad = trapped{1, nil, 3}}", keys);
    refuses("function", "{f = print}", "The API accepts strings, numbers, booleans, nil and tables.");
    refuses("function request", "print", "The API accepts strings, numbers, booleans, nil and tables.");
    refuses("string request", "'x'", "API request must be a table with string keys.");
    refuses("array request", "{1, 2}", "API request must be a table with string keys.");
}

void Rpc::luaToJson()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, message);
    // Each refusal comes back as nil and its message with nothing sent, and
    // a sound request then goes out: the stack stayed usable.
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(); });
    const RunResult result = run(app, traps + "show(rpc(" + request + ")) show(rpc{op = 'after'})");
    QCOMPARE(result.err, QByteArray());
    if (message.isEmpty()) {
        QCOMPARE(result.out, QByteArray("nil, nil\nnil, nil\n"));
        QCOMPARE(app.requests.size(), 2);
        // The line as the application saw it, token member removed.
        const QByteArray member = "\"token\":\"" + app.token().toUtf8() + "\"";
        QByteArray line = app.requests.first().raw;
        QVERIFY(line.contains(member));
        QCOMPARE(line.replace("," + member, "").replace(member + ",", "").replace(member, ""), sent);
    } else {
        QCOMPARE(result.out, "nil, \"" + message + "\"\nnil, nil\n");
        QCOMPARE(app.connections, 1);
    }
}

// A reply line, Lua code over r (result) and e (message), what it shows.
static void answers(const char *name, const QByteArray &reply, const char *expected, const char *check = "show(r, e)")
{
    QTest::newRow(name) << reply << QByteArray(check) << QByteArray(expected);
}

void Rpc::jsonToLua_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QByteArray>("expected");
    const auto ok = [](const QByteArray &result) { return "{\"ok\":true,\"result\":" + result + "}"; };
    const auto nested = [&ok](int levels, const char *inner) {
        return ok(QByteArray("[").repeated(levels) + inner + QByteArray("]").repeated(levels));
    };
    const char *tooDeep = "nil, \"Application reply is nested too deeply for Lua.\"";
    const char *invalid = "nil, \"Invalid application API reply.\"";
    answers("ok without result", "{\"ok\":true}", "nil, nil");
    answers("null result", ok("null"), "nil, nil");
    answers("numbers are floats", ok("[1,2]"), "2, 1.0, 2.0, \"float\", nil", "show(#r, r[1], r[2], math.type(r[1]), e)");
    answers("null member absent", ok("{\"a\":null,\"b\":1}"), "1, 1.0", "local n = 0 for _ in pairs(r) do n = n + 1 end show(n, r.b)");
    answers("null element is a hole", ok("[1,null,3]"), "1.0, nil, 3.0", "show(r[1], r[2], r[3])");
    answers("strings and booleans", ok("{\"s\":\"\\u00e9\\u0000\",\"t\":true,\"f\":false}"), "\"\\195\\169\\0\", true, false",
            "show(r.s, r.t, r.f)");
    // Qt's parser takes a raw control character inside a string as it is;
    // the zero byte must not cut the text short.
    answers("raw zero byte inside a string", QByteArray("{\"ok\":true,\"result\":\"a\0b\"}", 26), "\"a\\0b\", nil");
    answers("surrogate pair escape", ok("\"\\ud83d\\ude00\""), "\"\\240\\159\\152\\128\", nil");
    answers("lone surrogate escape", ok("\"a\\ud800b\""), "\"a?b\", nil");
    answers("carriage return before the line feed", ok("\"x\"") + '\r', "\"x\", nil");
    // The result is level 0; an empty container at level 64 still converts.
    answers("down to level 64", nested(65, ""), "65, nil",
            "local d = 0 while type(r) == 'table' do d = d + 1 r = r[1] end show(d, e)");
    answers("a value at level 65", nested(65, "1"), tooDeep);
    answers("1000 levels", nested(1000, ""), "nil, \"Application reply is nested too deeply for Lua.\", 2",
            "show(r, e, select('#', rpc{op = 'x'}))");
    // The partly built result must leave the stack.
    answers("objects 70 deep after a large sibling",
            ok("[\"" + QByteArray(1 << 20, 'x') + "\"," + QByteArray("{\"a\":").repeated(70) + "{}" + QByteArray("}").repeated(70) + "]"),
            tooDeep);
    answers("ok is 1", "{\"ok\":1,\"result\":5}", "nil, \"Application request failed.\"");
    answers("empty error", "{\"ok\":false,\"error\":\"\"}", "nil, \"\"");
    answers("error text", "{\"ok\":false,\"error\":\"No such tab\"}", "nil, \"No such tab\"");
    answers("error not text", "{\"ok\":false,\"error\":3}", "nil, \"Application request failed.\"");
    answers("array document", "[true]", "nil, \"Application request failed.\"");
    answers("not JSON", "{\"ok\":tru", invalid);
    answers("100,000 open brackets", QByteArray("[").repeated(100000), invalid);
    answers("empty line", "", invalid);
    answers("number out of range", ok("1e999"), invalid);
    answers("invalid UTF-8", ok("\"\xff\""), invalid);
}

void Rpc::jsonToLua()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, check);
    QFETCH(QByteArray, expected);
    // A second request after the first shows the runner is still sound.
    FakeApp app;
    app.reply("x", Reply::raw(reply + '\n'));
    app.answer("y", QStringLiteral("after"));
    const RunResult result = run(app, "local r, e = rpc{op = 'x'} " + check + " show(rpc{op = 'y'})");
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + "\n\"after\", nil\n");
}

void Rpc::replyFraming_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray line("{\"ok\":true,\"result\":\"fine\"}");
    Reply trickled = Reply::raw(line + '\n');
    trickled.chunk = 1;
    trickled.pauseMs = 2;
    Reply trailing = Reply::raw(line + "\n{\"garbage");
    Reply noLineFeed = Reply::raw(line);
    Reply keptOpen = Reply::raw(line + '\n');
    keptOpen.close = false;
    QTest::newRow("trickled a byte at a time") << trickled << QByteArray("\"fine\", nil");
    QTest::newRow("bytes after the line feed") << trailing << QByteArray("\"fine\", nil");
    QTest::newRow("no line feed before close") << noLineFeed
                                               << QByteArray("nil, \"Application API closed or timed out before replying.\"");
    QTest::newRow("connection left open") << keptOpen << QByteArray("\"fine\", nil");
}

void Rpc::replyFraming()
{
    QFETCH(Reply, reply);
    QFETCH(QByteArray, expected);
    FakeApp app;
    app.reply("x", reply);
    const RunResult result = run(app, "show(rpc{op = 'x'})");
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + '\n');
}

void Rpc::environmentAndOrder()
{
    // The argument is checked before the environment, and without socket or
    // token no connection is made. A wrong token is the application's
    // business: its message comes back.
    FakeApp app;
    const auto runWith = [&app](bool withSocket, const QString &token, const QByteArray &code) {
        RunOptions options;
        options.environment = app.environment();
        if (!withSocket)
            options.environment.remove("MORVANE_SOCKET");
        options.environment.insert("MORVANE_TOKEN", token);
        return runScript(&app, withShow(code), options).out;
    };
    const QByteArray menu("nil, \"Run scripts from Morvane Terminal's Script menu.\"\n");
    QCOMPARE(runWith(true, "", "show(__morvane_native.rpc('x')) show(__morvane_native.rpc{})"),
             "nil, \"API request must be a table with string keys.\"\n" + menu);
    QCOMPARE(runWith(false, "t", "show(__morvane_native.rpc{})"), menu);
    QCOMPARE(app.connections, 0);
    QCOMPARE(runWith(true, "wrong", "show(__morvane_native.rpc{op = 'version'})"), QByteArray("nil, \"Invalid token.\"\n"));
}

void Rpc::requestSizeLimit()
{
    // Exactly 4,194,304 bytes with the line feed go out; one more does not.
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(); });
    const int frame = int(QByteArray("{\"op\":\"x\",\"p\":\"\",\"token\":\"\"}\n").size() + app.token().size());
    const QByteArray code = "local pad = 4194304 - " + QByteArray::number(frame) + "\n"
                            "show(rpc{op = 'x', p = ('a'):rep(pad)})\n"
                            "show(rpc{op = 'x', p = ('a'):rep(pad + 1)})\n";
    const RunResult result = run(app, code);
    QCOMPARE(result.out, QByteArray("nil, nil\nnil, \"API request exceeds 4 MB.\"\n"));
    QCOMPARE(app.requests.size(), 1);
    QCOMPARE(app.requests.first().raw.size() + 1, 4194304);
    QCOMPARE(app.connections, 1);
}

// Under AddressSanitizer freed memory stays in quarantine and the resident
// size says nothing about leaks; the sanitizer reports those itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool residentSizeMeaningful = false;
#else
constexpr bool residentSizeMeaningful = true;
#endif

void Rpc::replySizeLimit()
{
    // A reply that never ends is refused at 16 MB with the runner's peak
    // resident size well under 100 MB; exactly 16,777,216 bytes then a line
    // feed is read.
    FakeApp app;
    Reply flood = Reply::raw(QByteArray(65536, '['));
    flood.repeatTo = qint64(1) << 40;
    app.reply("flood", flood);
    QByteArray exact = "{\"ok\":true,\"result\":\"";
    exact += QByteArray(16777216 - exact.size() - 2, 'x') + "\"}";
    app.reply("exact", Reply::raw(exact + '\n'));
    const RunResult result = run(app, "show(rpc{op = 'flood'}) local r = rpc{op = 'exact'} show(#r) "
        "for line in io.lines('/proc/self/status') do io.stderr:write(line:match('^VmHWM:%s*(%d+)') or '') end");
    QCOMPARE(result.out, QByteArray("nil, \"Application API reply exceeds 16 MB.\"\n16777193\n"));
    const int peakKb = result.err.toInt();
    QVERIFY2(peakKb > 0 && (!residentSizeMeaningful || peakKb < 100 * 1024), result.err.constData());
}

// A socket file with nobody listening: bound, then closed without removing
// the file, as a crashed application leaves it.
static bool makeStaleSocket(const QString &path)
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

void Rpc::connectFailure_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"missing", "plain file", "directory", "stale socket", "named pipe", "dangling link",
                             "name longer than a socket address"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void Rpc::connectFailure()
{
    // Each fails at once with the runner's prefix and the system's reason.
    QFETCH(QString, kind);
    QTemporaryDir directory;
    QString path = directory.filePath("app.sock");
    const QByteArray name = QFile::encodeName(path);
    if (kind == QLatin1String("plain file"))
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    else if (kind == QLatin1String("directory"))
        path = directory.path();
    else if (kind == QLatin1String("stale socket"))
        QVERIFY(makeStaleSocket(path));
    else if (kind == QLatin1String("named pipe"))
        QVERIFY(mkfifo(name.constData(), 0600) == 0);
    else if (kind == QLatin1String("dangling link"))
        QVERIFY(QFile::link(directory.filePath("gone.sock"), path));
    else if (kind != QLatin1String("missing"))
        path = directory.filePath(QString(200, QLatin1Char('s')));
    RunOptions options;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert("MORVANE_SOCKET", path);
    options.environment.insert("MORVANE_TOKEN", "t");
    const RunResult result = runScript(nullptr, withShow("local r, e = __morvane_native.rpc{} show(r, e:sub(1, 17), #e > 17)"), options);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("nil, \"Application API: \", true\n"));
    QVERIFY(result.elapsedMs < 10000);
}

void Rpc::budgets()
{
    // One 60-second budget per call, except for dialog operations, which
    // wait without a limit. Three runs share the minute.
    FakeApp app;
    Reply silent;
    silent.never = true;
    app.reply("x", silent);
    app.reply("Dialog.prompt", silent);
    app.reply("dialog", silent);
    app.reply("dialog.prompt", silent);
    // An application that never reads: a large request cannot be written.
    FakeApp deaf;
    deaf.unread = silent;

    QList<QProcess *> runs;
    QTemporaryDir directory;
    const QStringList ops{"x", "Dialog.prompt", "dialog", "large", "dialog.prompt"};
    for (const QString &op : ops) {
        const QString path = directory.filePath(op + ".lua");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(withShow("local t = __morvane_native.now() local r, e = __morvane_native.rpc{op = '" + op.toUtf8()
                            + "', pad = ('x'):rep(" + (op == QLatin1String("large") ? "4000000" : "0")
                            + ")} show(r, e, math.floor(__morvane_native.now() - t))"));
        file.close();
        auto *process = new QProcess(this);
        process->setProcessEnvironment(op == QLatin1String("large") ? deaf.environment() : app.environment());
        process->start(runnerPath(), {path});
        runs.append(process);
    }
    QElapsedTimer clock;
    clock.start();
    // After 64 s the limited calls are over and the dialog still waits.
    while (clock.elapsed() < 64000)
        QTest::qWait(200);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(runs.at(i)->state(), QProcess::NotRunning);
        const QByteArray out = runs.at(i)->readAllStandardOutput();
        const QByteArray expected = i == 3 ? "nil, \"Application API write timed out.\", 60\n"
                                           : "nil, \"Application API closed or timed out before replying.\", 60\n";
        QVERIFY2(out == expected, out.constData());
    }
    QCOMPARE(runs.at(4)->state(), QProcess::Running);
    runs.at(4)->kill();
    runs.at(4)->waitForFinished();
    qDeleteAll(runs);
}

QTEST_GUILESS_MAIN(Rpc)
#include "tst_rpc.moc"
