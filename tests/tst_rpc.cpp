// The application channel: the value bridge in both directions through rpc,
// framing, limits, time-outs and every failure message.
#include "fake_app.h"

#include <QJsonDocument>
#include <QtTest>

Q_DECLARE_METATYPE(Reply)

class Rpc : public QObject {
    Q_OBJECT

    // Runs `code` against `app` with `rpc` = __morvane_native.rpc in scope.
    static RunResult run(FakeApp &app, const QByteArray &code, int timeoutMs = 30000)
    {
        RunOptions options;
        options.timeoutMs = timeoutMs;
        return runScript(&app, withShow("local rpc = __morvane_native.rpc " + code), options);
    }

    // The request line as the application saw it, token removed.
    static QByteArray sentWithoutToken(const FakeApp &app, const QString &token)
    {
        if (app.requests.isEmpty())
            return "no request";
        const QByteArray member = "\"token\":\"" + token.toUtf8() + "\"";
        QByteArray line = app.requests.last().raw;
        return line.replace("," + member, "").replace(member + ",", "").replace(member, "");
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
    void connectFailure();
    void budgets();
};

void Rpc::luaToJson_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("sent");     // the line without the token member
    QTest::addColumn<QByteArray>("message");  // rpc's message, empty when it was sent
    QTest::newRow("empty table") << QByteArray("{}") << QByteArray("{}") << QByteArray();
    QTest::newRow("own token replaced") << QByteArray("{token = 'mine', op = 'x'}") << QByteArray("{\"op\":\"x\"}") << QByteArray();
    QTest::newRow("arrays") << QByteArray("{a = {'a', 'b'}, b = {[1] = 'a', [2] = 'b'}, c = {[1.0] = 'a', [2] = 'b'}}")
                            << QByteArray("{\"a\":[\"a\",\"b\"],\"b\":[\"a\",\"b\"],\"c\":[\"a\",\"b\"]}") << QByteArray();
    QTest::newRow("empty table is an object") << QByteArray("{e = {}}") << QByteArray("{\"e\":{}}") << QByteArray();
    QTest::newRow("scalars") << QByteArray("{t = true, f = false, i = 3, x = 1.5, big = 2^53 + 1, s = 'a\\0b'}")
                             << QByteArray("{\"big\":9007199254740992,\"f\":false,\"i\":3,\"s\":\"a\\u0000b\",\"t\":true,\"x\":1.5}")
                             << QByteArray();
    QTest::newRow("integer beyond 2^53") << QByteArray("{n = math.tointeger(2^53) + 1}")
                                         << QByteArray("{\"n\":9007199254740992}") << QByteArray();
    QTest::newRow("byte-order mark kept") << QByteArray("{s = '\\239\\187\\191x'}") << QByteArray("{\"s\":\"\xEF\xBB\xBFx\"}")
                                          << QByteArray();
    QTest::newRow("proxy converts raw contents")
        << QByteArray("{p = setmetatable({}, {__index = function() return 1 end, __pairs = error}), q = setmetatable({k = 1}, {__len = error})}")
        << QByteArray("{\"p\":{},\"q\":{\"k\":1}}") << QByteArray();
    QTest::newRow("32 levels, last empty")
        << QByteArray("(function() local t = {} for i = 1, 32 do t = {x = t} end return t end)()")
        << QByteArray(QByteArray("{\"x\":").repeated(32) + "{}" + QByteArray("}").repeated(32)) << QByteArray();
    QTest::newRow("one level too many")
        << QByteArray("(function() local t = {y = 1} for i = 1, 32 do t = {x = t} end return t end)()")
        << QByteArray() << QByteArray("API tables are nested too deeply or contain a cycle.");
    QTest::newRow("cycle") << QByteArray("(function() local t = {} t.self = t return t end)()")
                           << QByteArray() << QByteArray("API tables are nested too deeply or contain a cycle.");
    // Shared subtables are written once per path; small sharing converts.
    QTest::newRow("small shared table") << QByteArray("(function() local s = {1} return {a = s, b = s} end)()")
                                        << QByteArray("{\"a\":[1],\"b\":[1]}") << QByteArray();
    QTest::newRow("exponential sharing")
        << QByteArray("(function() local t = {} for i = 1, 30 do t = {t, t} end return {x = t} end)()")
        << QByteArray() << QByteArray("API request exceeds 4 MB.");
    QTest::newRow("infinity") << QByteArray("{n = math.huge}") << QByteArray() << QByteArray("API numbers must be finite.");
    QTest::newRow("minus infinity") << QByteArray("{n = -math.huge}") << QByteArray() << QByteArray("API numbers must be finite.");
    QTest::newRow("NaN deep inside") << QByteArray("{a = {b = {0/0}}}") << QByteArray() << QByteArray("API numbers must be finite.");
    QTest::newRow("invalid UTF-8 value") << QByteArray("{s = '\\255'}") << QByteArray()
                                         << QByteArray("API text must be UTF-8; use Screen:SendBytes for binary data.");
    QTest::newRow("invalid UTF-8 key") << QByteArray("{['\\255'] = 1}") << QByteArray()
                                       << QByteArray("API text must be UTF-8; use Screen:SendBytes for binary data.");
    QTest::newRow("cut-off UTF-8 sequence") << QByteArray("{s = 'ab\\195'}") << QByteArray()
                                            << QByteArray("API text must be UTF-8; use Screen:SendBytes for binary data.");
    QTest::newRow("encoded surrogate") << QByteArray("{s = '\\237\\160\\128'}") << QByteArray()
                                       << QByteArray("API text must be UTF-8; use Screen:SendBytes for binary data.");
    const QByteArray keys("API tables need string keys or dense one-based array indexes.");
    QTest::newRow("mixed keys") << QByteArray("{a = {1, 2, x = 3}}") << QByteArray() << keys;
    QTest::newRow("starts at 2") << QByteArray("{a = {[2] = 'b'}}") << QByteArray() << keys;
    QTest::newRow("key 0") << QByteArray("{a = {[0] = 'a'}}") << QByteArray() << keys;
    QTest::newRow("hole") << QByteArray("{a = {[1] = 'a', [3] = 'c'}}") << QByteArray() << keys;
    QTest::newRow("float key") << QByteArray("{a = {[1.5] = 1}}") << QByteArray() << keys;
    QTest::newRow("boolean key") << QByteArray("{a = {[true] = 1}}") << QByteArray() << keys;
    const QByteArray types("The API accepts strings, numbers, booleans, nil and tables.");
    QTest::newRow("function") << QByteArray("{f = print}") << QByteArray() << types;
    QTest::newRow("thread") << QByteArray("{c = coroutine.create(print)}") << QByteArray() << types;
    QTest::newRow("userdata") << QByteArray("{u = io.stdout}") << QByteArray() << types;
    const QByteArray notObject("API request must be a table with string keys.");
    QTest::newRow("string request") << QByteArray("'x'") << QByteArray() << notObject;
    QTest::newRow("nil request") << QByteArray("nil") << QByteArray() << notObject;
    QTest::newRow("array request") << QByteArray("{1, 2}") << QByteArray() << notObject;
    QTest::newRow("no argument") << QByteArray("") << QByteArray() << types;
}

void Rpc::luaToJson()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, message);
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(); });
    const RunResult result = run(app, "show(rpc(" + request + "))");
    QCOMPARE(result.err, QByteArray());
    if (message.isEmpty()) {
        QCOMPARE(result.out, QByteArray("nil, nil\n"));
        QCOMPARE(app.requests.size(), 1);
        QVERIFY(app.requests.first().raw.contains("\"token\":\"" + app.token().toUtf8() + "\""));
        QCOMPARE(sentWithoutToken(app, app.token()), sent);
    } else {
        QCOMPARE(result.out, "nil, \"" + message + "\"\n");
        QCOMPARE(app.connections, 0);
    }
}

void Rpc::jsonToLua_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("check");    // Lua code over r (result) and e (message)
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ok without result") << QByteArray("{\"ok\":true}") << QByteArray("show(r, e)") << QByteArray("nil, nil");
    QTest::newRow("null result") << QByteArray("{\"ok\":true,\"result\":null}") << QByteArray("show(r, e)") << QByteArray("nil, nil");
    QTest::newRow("numbers are floats") << QByteArray("{\"ok\":true,\"result\":[1,2]}")
                                        << QByteArray("show(#r, r[1], r[2], math.type(r[1]), e)") << QByteArray("2, 1.0, 2.0, \"float\", nil");
    QTest::newRow("null member absent") << QByteArray("{\"ok\":true,\"result\":{\"a\":null,\"b\":1}}")
                                        << QByteArray("local n = 0 for _ in pairs(r) do n = n + 1 end show(n, r.b)") << QByteArray("1, 1.0");
    QTest::newRow("null element is a hole") << QByteArray("{\"ok\":true,\"result\":[1,null,3]}")
                                            << QByteArray("show(r[1], r[2], r[3])") << QByteArray("1.0, nil, 3.0");
    QTest::newRow("strings and booleans") << QByteArray("{\"ok\":true,\"result\":{\"s\":\"\\u00e9\\u0000\",\"t\":true,\"f\":false}}")
                                          << QByteArray("show(r.s, r.t, r.f)") << QByteArray("\"\\195\\169\\0\", true, false");
    // The result is level 0; an empty container at level 64 still converts.
    QTest::newRow("down to level 64")
        << QByteArray("{\"ok\":true,\"result\":" + QByteArray("[").repeated(65) + QByteArray("]").repeated(65) + "}")
        << QByteArray("local d = 0 while type(r) == 'table' do d = d + 1 r = r[1] end show(d, e)") << QByteArray("65, nil");
    QTest::newRow("a value at level 65")
        << QByteArray("{\"ok\":true,\"result\":" + QByteArray("[").repeated(65) + "1" + QByteArray("]").repeated(65) + "}")
        << QByteArray("show(r, e)") << QByteArray("nil, \"Application reply is nested too deeply for Lua.\"");
    QTest::newRow("level 65 container") << QByteArray("{\"ok\":true,\"result\":" + QByteArray("[").repeated(66) + QByteArray("]").repeated(66) + "}")
                               << QByteArray("show(r, e)") << QByteArray("nil, \"Application reply is nested too deeply for Lua.\"");
    QTest::newRow("1000 levels") << QByteArray("{\"ok\":true,\"result\":" + QByteArray("[").repeated(1000) + QByteArray("]").repeated(1000) + "}")
                                 << QByteArray("show(r, e, select('#', rpc{}))") << QByteArray("nil, \"Application reply is nested too deeply for Lua.\", 2");
    QTest::newRow("ok is 1") << QByteArray("{\"ok\":1,\"result\":5}") << QByteArray("show(r, e)") << QByteArray("nil, \"Application request failed.\"");
    QTest::newRow("empty error") << QByteArray("{\"ok\":false,\"error\":\"\"}") << QByteArray("show(r, e)") << QByteArray("nil, \"\"");
    QTest::newRow("error text") << QByteArray("{\"ok\":false,\"error\":\"No such tab\"}") << QByteArray("show(r, e)") << QByteArray("nil, \"No such tab\"");
    QTest::newRow("error not text") << QByteArray("{\"ok\":false,\"error\":3}") << QByteArray("show(r, e)") << QByteArray("nil, \"Application request failed.\"");
    QTest::newRow("array document") << QByteArray("[true]") << QByteArray("show(r, e)") << QByteArray("nil, \"Application request failed.\"");
    QTest::newRow("not JSON") << QByteArray("{\"ok\":tru") << QByteArray("show(r, e)") << QByteArray("nil, \"Invalid application API reply.\"");
    QTest::newRow("invalid UTF-8") << QByteArray("{\"ok\":true,\"result\":\"\xff\"}") << QByteArray("show(r, e)") << QByteArray("nil, \"Invalid application API reply.\"");
    QTest::newRow("lone surrogate escape") << QByteArray("{\"ok\":true,\"result\":\"a\\ud800b\"}")
                                           << QByteArray("show(r, e)") << QByteArray("\"a?b\", nil");
}

void Rpc::jsonToLua()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, check);
    QFETCH(QByteArray, expected);
    FakeApp app;
    app.setFallback([reply](const QJsonObject &) { return Reply::raw(reply + '\n'); });
    const RunResult result = run(app, "local r, e = rpc{op = 'x'} " + check);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected + '\n');
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
    Reply midLine = Reply::raw("{\"ok\":tr");
    Reply keptOpen = Reply::raw(line + '\n');
    keptOpen.close = false;
    QTest::newRow("trickled a byte at a time") << trickled << QByteArray("\"fine\", nil");
    QTest::newRow("bytes after the line feed") << trailing << QByteArray("\"fine\", nil");
    QTest::newRow("no line feed before close") << noLineFeed
                                               << QByteArray("nil, \"Application API closed or timed out before replying.\"");
    QTest::newRow("closed mid-line") << midLine << QByteArray("nil, \"Application API closed or timed out before replying.\"");
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
    FakeApp app;
    app.setFallback([](const QJsonObject &) { return Reply::ok(); });
    RunOptions options;
    QProcessEnvironment environment = app.environment();
    environment.insert("MORVANE_TOKEN", "");
    options.environment = environment;
    // The argument is checked before the environment; no connection is made.
    RunResult result = runScript(&app, withShow("show(__morvane_native.rpc('x')) show(__morvane_native.rpc{})"), options);
    QCOMPARE(result.out, QByteArray("nil, \"API request must be a table with string keys.\"\n"
                                    "nil, \"Run scripts from Morvane Terminal's Script menu.\"\n"));
    environment.remove("MORVANE_TOKEN");
    environment.insert("MORVANE_TOKEN", "t");
    environment.remove("MORVANE_SOCKET");
    options.environment = environment;
    result = runScript(&app, withShow("show(__morvane_native.rpc{})"), options);
    QCOMPARE(result.out, QByteArray("nil, \"Run scripts from Morvane Terminal's Script menu.\"\n"));
    QCOMPARE(app.connections, 0);

    // A wrong token is the application's business: its message comes back.
    environment.insert("MORVANE_SOCKET", app.serverName());
    environment.insert("MORVANE_TOKEN", "wrong");
    options.environment = environment;
    result = runScript(&app, withShow("show(__morvane_native.rpc{op = 'version'})"), options);
    QCOMPARE(result.out, QByteArray("nil, \"Invalid token.\"\n"));
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

void Rpc::replySizeLimit()
{
    // A reply of 16,777,217 bytes without a line feed is refused as soon as
    // that much arrived; exactly 16,777,216 bytes then a line feed is read.
    FakeApp app;
    Reply endless = Reply::raw(QByteArray(65536, ' '));
    endless.repeatTo = 16777217;
    app.reply("endless", endless);
    Reply never = Reply::raw(QByteArray(65536, ' '));
    never.repeatTo = qint64(1) << 40;
    app.reply("flood", never);
    QByteArray exact = "{\"ok\":true,\"result\":\"";
    exact += QByteArray(16777216 - exact.size() - 2, 'x') + "\"}";
    QCOMPARE(exact.size(), 16777216);
    app.reply("exact", Reply::raw(exact + '\n'));
    const RunResult result = run(app, "show(rpc{op = 'endless'}) show(rpc{op = 'flood'}) local r = rpc{op = 'exact'} show(#r)");
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("nil, \"Application API reply exceeds 16 MB.\"\n"
                                    "nil, \"Application API reply exceeds 16 MB.\"\n"
                                    "16777193\n"));
}

void Rpc::connectFailure()
{
    QTemporaryDir directory;
    QFile plain(directory.filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    for (const QString &name : {directory.filePath("missing"), directory.filePath("plain"), directory.path()}) {
        RunOptions options;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("MORVANE_SOCKET", name);
        environment.insert("MORVANE_TOKEN", "t");
        options.environment = environment;
        const RunResult result = runScript(nullptr, withShow("local r, e = __morvane_native.rpc{} show(r, e:sub(1, 17), #e > 17)"), options);
        QCOMPARE(result.out, QByteArray("nil, \"Application API: \", true\n"));
        QVERIFY(result.elapsedMs < 10000);
    }
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
