// The application channel: the value bridge in both directions through rpc,
// framing, limits, time-outs and connection failures, with hostile input at
// each: cyclic, deep and shared requests, broken and flooding replies and
// sockets nobody can use. After a refusal the runner must still send a sound
// request, in time and with bounded memory.
#include "fake_app.h"

#include <QJsonDocument>
#include <QtTest>

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
    void refusalsAndReplies_data();
    void refusalsAndReplies();
    void beforeAnyReply();
    void sizeLimits();
    void budgets();
};

// A request as it goes out (`sent`: the request line without its token
// member), a request refused before any connection with `message`, or a
// reply as it comes over the wire to {op = 'x'}, Lua code over r (result)
// and e (message), and what that code shows.
static void sends(const char *name, const QByteArray &request, const QByteArray &sent)
{
    QTest::newRow(name) << request << Reply::ok() << QByteArray("show(r, e)") << QByteArray("nil, nil") << sent;
}

static void refuses(const char *name, const char *request, const char *message)
{
    QTest::newRow(name) << QByteArray(request) << Reply() << QByteArray("show(r, e)") << "nil, \"" + QByteArray(message) + "\""
                        << QByteArray();
}

static void answers(const char *name, const Reply &reply, const char *expected, const char *check = "show(r, e)")
{
    QTest::newRow(name) << QByteArray("{op = 'x'}") << reply << QByteArray(check) << QByteArray(expected) << QByteArray();
}

static Reply line(const QByteArray &bytes)
{
    return Reply::raw(bytes + '\n');
}

void Rpc::refusalsAndReplies_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("sent");
    // Metamethods never run.
    sends("scalars, arrays, an empty table is an object, own token replaced",
          "trapped{token = 'mine', op = 'x', t = true, i = 3, x = 1.5, n = math.tointeger(2^53) + 1, "
          "s = 'a\\0b', m = '\\239\\187\\191x', a = trapped{'a', trapped{}}, e = trapped{}}",
          "{\"a\":[\"a\",{}],\"e\":{},\"i\":3,\"m\":\"\xEF\xBB\xBFx\",\"n\":9007199254740992,\"op\":\"x\","
          "\"s\":\"a\\u0000b\",\"t\":true,\"x\":1.5}");
    sends("32 levels, last empty", "(function() local t = {} for i = 1, 32 do t = {x = t} end return t end)()",
          QByteArray("{\"x\":").repeated(32) + "{}" + QByteArray("}").repeated(32));
    // Shared subtables are written once per path: a million references to
    // one table are 3 MB of text, sent.
    sends("a million shared empty tables",
          "(function() local e, t, u = {}, {}, {} for i = 1, 1000 do t[i] = e u[i] = t end return {u = u} end)()",
          "{\"u\":[" + QByteArray("[" + QByteArray("{},").repeated(999) + "{}],").repeated(999) + "["
              + QByteArray("{},").repeated(999) + "{}]]}");
    // Exponential sharing is refused by the count of values before any text is made.
    refuses("exponential sharing", "(function() local t = {} for i = 1, 30 do t = {t, t} end return {x = t} end)()",
            "API request exceeds 4 MB.");
    refuses("hole, metamethods never run", "trapped{op = 'x', bad = trapped{1, nil, 3}}",
            "API tables need string keys or dense one-based array indexes.");
    // The request is level 0: a value at level 32 is checked, one at 33 is too deep.
    const char *depth = "API tables are nested too deeply or contain a cycle.";
    refuses("one level too many", "(function() local t = {y = 1} for i = 1, 32 do t = {x = t} end return t end)()", depth);
    refuses("cycle through an array", "(function() local t = {} t[1] = t return {t = t} end)()", depth);
    refuses("NaN at level 32", "(function() local t = {v = 0/0} for i = 1, 30 do t = {x = t} end return {t = t} end)()",
            "API numbers must be finite.");
    refuses("invalid UTF-8 key", "{['\\255'] = 1}", "API text must be UTF-8; use Screen:SendBytes for binary data.");
    refuses("function", "{f = print}", "The API accepts strings, numbers, booleans, nil and tables.");
    const auto ok = [](const QByteArray &result) { return "{\"ok\":true,\"result\":" + result + "}"; };
    const auto nested = [&ok](int levels, const char *inner) {
        return line(ok(QByteArray("[").repeated(levels) + inner + QByteArray("]").repeated(levels)));
    };
    const char *tooDeep = "nil, \"Application reply is nested too deeply for Lua.\"";
    answers("numbers are floats, nulls are absent",
            line(ok("{\"n\":[1,null,3],\"z\":null,\"s\":\"\\u00e9\\u0000\",\"t\":true,\"f\":false}")),
            "4, 1.0, nil, 3.0, \"\\195\\169\\0\", true, false",
            "local k = 0 for _ in pairs(r) do k = k + 1 end show(k, r.n[1], r.n[2], r.n[3], r.s, r.t, r.f)");
    // Qt's parser takes a raw control character inside a string as it is;
    // the zero byte must not cut the text short.
    answers("raw zero byte inside a string", line(QByteArray("{\"ok\":true,\"result\":\"a\0b\"}", 26)), "\"a\\0b\", nil");
    // The line feed ends the reply, whatever follows and however it comes.
    Reply trickled = line(ok("\"x\""));
    trickled.chunk = 1;
    trickled.pauseMs = 2;
    answers("trickled a byte at a time", trickled, "\"x\", nil");
    answers("bytes after the line feed", line(ok("\"x\"") + "\n{\"garbage"), "\"x\", nil");
    Reply keptOpen = line(ok("\"x\""));
    keptOpen.close = false;
    answers("connection left open", keptOpen, "\"x\", nil");
    answers("no line feed before close", Reply::raw(ok("\"x\"")),
            "nil, \"Application API closed or timed out before replying.\"");
    // The result is level 0; an empty container at level 64 still converts.
    answers("down to level 64", nested(65, ""), "65, nil",
            "local d = 0 while type(r) == 'table' do d = d + 1 r = r[1] end show(d, e)");
    answers("a value at level 65", nested(65, "1"), tooDeep);
    // The partly built result must leave the stack.
    answers("objects 70 deep after a large sibling",
            line(ok("[\"" + QByteArray(1 << 20, 'x') + "\"," + QByteArray("{\"a\":").repeated(70) + "{}"
                    + QByteArray("}").repeated(70) + "]")),
            tooDeep);
    answers("ok is 1", line("{\"ok\":1,\"result\":5}"), "nil, \"Application request failed.\"");
    answers("100,000 open brackets", line(QByteArray("[").repeated(100000)), "nil, \"Invalid application API reply.\"");
}

void Rpc::refusalsAndReplies()
{
    QFETCH(QByteArray, request);
    QFETCH(Reply, reply);
    QFETCH(QByteArray, check);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, sent);
    // A refused request makes no connection. A second request after the
    // first shows the runner is still sound: the stack stayed usable.
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(); });
    app.reply("x", reply);
    app.answer("y", QStringLiteral("after"));
    const RunResult result = run(app, traps + "local r, e = rpc(" + request + ") " + check + " show(rpc{op = 'y'})");
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + "\n\"after\", nil\n");
    QCOMPARE(app.connections, reply.bytes.isEmpty() ? 1 : 2);
    if (sent.isNull())
        return;
    // The line as the application saw it, token member removed.
    const QByteArray member = "\"token\":\"" + app.token().toUtf8() + "\"";
    QByteArray line = app.requests.first().raw;
    QVERIFY(line.contains(member));
    QCOMPARE(line.replace("," + member, "").replace(member + ",", "").replace(member, ""), sent);
}

void Rpc::beforeAnyReply()
{
    // The argument is checked before the environment, and without socket or
    // token no connection is made. A socket nobody serves fails at once with
    // the runner's prefix and the system's reason.
    FakeApp app;
    QTemporaryDir directory;
    const auto runWith = [&app](const QString &socket, const QString &token, const QByteArray &code) {
        RunOptions options;
        options.environment = app.environment();
        options.environment.insert("MORVANE_SOCKET", socket);
        options.environment.insert("MORVANE_TOKEN", token);
        return runScript(&app, withShow("local rpc = __morvane_native.rpc " + code), options).out;
    };
    const QByteArray menu("nil, \"Run scripts from Morvane Terminal's Script menu.\"\n");
    QCOMPARE(runWith(app.environment().value("MORVANE_SOCKET"), "", "show(rpc('x')) show(rpc{})"),
             "nil, \"API request must be a table with string keys.\"\n" + menu);
    QCOMPARE(runWith("", "t", "show(rpc{})"), menu);
    QCOMPARE(app.connections, 0);
    QCOMPARE(runWith(directory.filePath("gone.sock"), "t", "local r, e = rpc{} show(r, e:sub(1, 17), #e > 17)"),
             QByteArray("nil, \"Application API: \", true\n"));
}

void Rpc::sizeLimits()
{
    // A request of exactly 4,194,304 bytes with the line feed goes out, one
    // more does not. A reply that never ends is refused at 16 MB with the
    // runner's peak resident size well under 100 MB; exactly 16,777,216
    // bytes then a line feed are read.
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(); });
    Reply flood = Reply::raw(QByteArray(65536, '['));
    flood.repeatTo = qint64(1) << 40;
    app.reply("flood", flood);
    QByteArray exact = "{\"ok\":true,\"result\":\"";
    exact += QByteArray(16777216 - exact.size() - 2, 'x') + "\"}\n";
    app.reply("exact", Reply::raw(exact));
    const int frame = int(QByteArray("{\"op\":\"x\",\"p\":\"\",\"token\":\"\"}\n").size() + app.token().size());
    const RunResult result = run(app, "show(rpc{op = 'flood'}) show(#rpc{op = 'exact'}) "
        "for line in io.lines('/proc/self/status') do io.stderr:write(line:match('^VmHWM:%s*(%d+)') or '') end "
        "local pad = 4194304 - " + QByteArray::number(frame) + " "
        "show(rpc{op = 'x', p = ('a'):rep(pad)}) show(rpc{op = 'x', p = ('a'):rep(pad + 1)})");
    QCOMPARE(result.out, QByteArray("nil, \"Application API reply exceeds 16 MB.\"\n16777193\n"
                                    "nil, nil\nnil, \"API request exceeds 4 MB.\"\n"));
    // flood, exact and the request that fits; the one too large never went out.
    QCOMPARE(app.requests.size(), 3);
    QCOMPARE(app.requests.last().raw.size() + 1, 4194304);
    // Under AddressSanitizer freed memory stays in quarantine and the
    // resident size says nothing; the sanitizer reports leaks itself.
#if !defined(__SANITIZE_ADDRESS__)
    QVERIFY2(result.err.toInt() > 0 && result.err.toInt() < 100 * 1024, result.err.constData());
#endif
}

void Rpc::budgets()
{
    // One 60-second budget per call, except for dialog operations (an op
    // that starts "dialog."), which wait without a limit. An application
    // that never reads cannot take a large request. The runs share the minute.
    FakeApp app;
    FakeApp deaf;
    Reply silent;
    silent.never = true;
    app.setFallback([silent](const QJsonObject &) { return silent; });
    deaf.unread = silent;
    QTemporaryDir directory;
    const QString script = directory.filePath("s.lua");
    writeFile(script, withShow("local n, op, pad = __morvane_native, ... local t = n.now() "
                               "local r, e = n.rpc{op = op, pad = ('x'):rep(pad)} show(r, e, math.floor(n.now() - t))"));
    const QList<QStringList> calls{{"x", "0"}, {"Dialog.prompt", "0"}, {"dialog", "0"}, {"large", "4000000"}, {"dialog.prompt", "0"}};
    QProcess runs[5];
    for (int i = 0; i < 5; ++i) {
        runs[i].setProcessEnvironment((i == 3 ? deaf : app).environment());
        runs[i].start(runnerPath(), QStringList{script} + calls[i]);
    }
    // The limited calls end within a generous bound past the minute; the
    // dialog still waits then.
    const auto limitedRunning = [&runs] { return std::any_of(runs, runs + 4, [](QProcess &run) { return run.state() != QProcess::NotRunning; }); };
    QTRY_VERIFY_WITH_TIMEOUT(!limitedRunning(), 90000);
    const QByteArray timedOut("nil, \"Application API closed or timed out before replying.\", 60\n");
    for (int i = 0; i < 3; ++i)
        QCOMPARE(runs[i].readAllStandardOutput(), timedOut);
    QCOMPARE(runs[3].readAllStandardOutput(), QByteArray("nil, \"Application API write timed out.\", 60\n"));
    QCOMPARE(runs[4].state(), QProcess::Running);
    runs[4].kill();
    runs[4].waitForFinished();
}

QTEST_GUILESS_MAIN(Rpc)
#include "tst_rpc.moc"
