// The morvane module, run by the real runner against a simulated terminal:
// the requests each kind of property and method sends, the checks and their
// positions, prompt and cursor waits, key expansion, and the login example
// against a real shell under morvane-host.
#include "sim_terminal.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct MorvaneRun {
    FakeApp app;
    SimTerminal sim{app};
    QString workingDirectory;

    RunResult run(const QByteArray &script, const QStringList &arguments = {},
                  const QProcessEnvironment &environment = QProcessEnvironment())
    {
        RunOptions options;
        options.environment = environment.isEmpty() ? sim.environment() : environment;
        options.arguments = arguments;
        options.workingDirectory = workingDirectory;
        options.timeoutMs = 20000;
        return runScript(&app, script, options);
    }

    // Every request as compact JSON (keys sorted), without the run's token.
    QStringList wire() const
    {
        QStringList lines;
        for (const FakeApp::Request &request : app.requests) {
            QJsonObject json = request.json;
            json.remove(QStringLiteral("token"));
            lines.append(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)));
        }
        return lines;
    }

    QStringList ops() const
    {
        QStringList names;
        for (const FakeApp::Request &request : app.requests)
            names.append(request.op());
        return names;
    }

    QList<double> streamPositions() const
    {
        QList<double> positions;
        for (const FakeApp::Request &request : app.requestsFor(QStringLiteral("stream")))
            positions.append(request.json.value(QStringLiteral("position")).toDouble(-1));
        return positions;
    }
};

// Lines 1-6 of most test scripts. The script tab comes from MORVANE_TAB, so
// none of it sends a request. `show` prints its arguments through tostring,
// with the script's directory and the module's line numbers left out.
const QByteArray preamble =
    "local m = require('morvane')\n"
    "local app = m.app\n"
    "local tab = app:GetScriptTab()\n"
    "local screen, session = tab.Screen, tab.Session\n"
    "local config = session.Config\n"
    "local function show(...) local t = table.pack(...) for i = 1, t.n do t[i] = tostring(t[i])"
    ":gsub('^%S*/script%.lua:', 'script.lua:'):gsub('morvane%.lua:%d+:', 'morvane.lua:N:') end"
    " print(table.concat(t, ' ')) end\n";

// A statement on line 7 run under pcall; prints "false <message>" when it raised.
QByteArray guarded(const QByteArray &statement)
{
    return preamble + "show(pcall(function() " + statement + " end))\n";
}

// What `guarded` prints for an error raised for line `line` of the script.
QString raisedAt(int line, const QString &message)
{
    return QStringLiteral("false script.lua:%1: %2\n").arg(line).arg(message);
}

} // namespace

#define EXPECT_CLEAN_EXIT(result)                                          \
    do {                                                                   \
        QVERIFY2((result).finished, "the runner did not finish");          \
        QVERIFY2((result).exitCode == 0, qPrintable((result).errText()));  \
    } while (false)

class TestMorvane : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Loading, the file wrappers, proxy reads and writes and the arguments of a
    // run without any: none of it talks to the application.
    void moduleWithoutRequests()
    {
        QTemporaryDir directory;
        MorvaneRun t;
        t.workingDirectory = directory.path();
        RunResult result = t.run(preamble +
            "local keys = {} for k in pairs(m) do keys[#keys + 1] = k end table.sort(keys) show(table.concat(keys, ','), rawequal(require('morvane'), m))\n"
            "show(m.write_file('out.bin', 'a\\0\\255z'), m.read_file('out.bin') == 'a\\0\\255z')\n"
            "show(pcall(function() m.read_file('missing.txt') end))\n"
            "show(pcall(function() m.write_file('out.bin', 12) end))\n"
            "show(app.Nothing, tab.nothing, screen.Foo, config.Bar, app.Dialog.Nope)\n"
            "screen.Synchronous = true screen.IgnoreCase = true\n"
            "show(screen.Synchronous, screen.IgnoreCase, screen.IgnoreEscape, screen.MatchIndex, rawget(screen, 'IgnoreCase'), next(screen), next(app))\n"
            "app.Dialog.Extra = 1 show(app.Dialog.Extra, rawequal(app.Dialog, app.Dialog), rawequal(tab.Screen, screen))\n"
            "show(app.Arguments.Count, pcall(app.Arguments.GetArg, app.Arguments, 0))\n");
        EXPECT_CLEAN_EXIT(result);
        QString out = result.outText();
        out.replace(QRegularExpression(QStringLiteral("(:9: MorvaneError: ).+")), QStringLiteral("\\1(reason)"));
        QCOMPARE(out, QStringLiteral(
            "app,read_file,rpc,write_file true\ntrue true\n"
            "false script.lua:9: MorvaneError: (reason)\n"
            "false script.lua:10: MorvaneError: write_file requires a UTF-8 path and a byte string.\n"
            "nil nil nil nil nil\ntrue true false 0 nil nil nil\n1 true true\n"
            "0 false Script argument index is out of range (zero-based)\n"));
        QFile written(directory.filePath(QStringLiteral("out.bin")));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("a\0\xffz", 4));
        QCOMPARE(t.app.connections, 0);

        result = t.run("__morvane_native = nil\nrequire('morvane')\n");
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.errText().contains(QStringLiteral("Use Morvane Terminal's bundled Lua runner")), qPrintable(result.errText()));
    }

    void rpcWrapper()
    {
        MorvaneRun t;
        t.app.answer(QStringLiteral("echo"), QJsonObject{{QStringLiteral("n"), 5}});
        t.app.fail(QStringLiteral("broken"), QStringLiteral("Tab is gone"));
        t.app.fail(QStringLiteral("close"), QStringLiteral("No such tab"));
        const RunResult result = t.run(preamble +
            "local values = {x = 1, tab = 'stale'}\n"
            "show(pcall(function() m.rpc('broken', 'tab-1') end))\n"
            "show(pcall(function() tab:Close() end))\n"  // names the module's line that asked
            "local reply = m.rpc('echo', nil, values)\n"
            "show(reply.n, values.op, values.tab, values.x, m.rpc('echo', 'tab-7').n)\n");
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), raisedAt(8, QStringLiteral("MorvaneError: Tab is gone")) +
                 QStringLiteral("false morvane.lua:N: MorvaneError: No such tab\n5.0 echo nil 1 5.0\n"));
        QCOMPARE(t.wire(), (QStringList{R"({"op":"broken","tab":"tab-1"})", R"({"op":"close","tab":"tab-1"})",
                                        R"({"op":"echo","x":1})", R"({"op":"echo","tab":"tab-7"})"}));
    }

    void checks_data()
    {
        QTest::addColumn<QByteArray>("statement");
        QTest::addColumn<QString>("message");

        const QString empty = QStringLiteral("Prompt strings must not be empty");
        const QString none = QStringLiteral("Provide one or more prompt strings");
        const QString timeout = QStringLiteral("Timeout must be finite and nonnegative");
        const QString argument = QStringLiteral("Script argument index is out of range (zero-based)");
        const QString tabIndex = QStringLiteral("Tab index is out of range (one-based)");

        QTest::newRow("empty prompt") << QByteArray("screen:WaitForString('')") << empty;
        QTest::newRow("nil prompt") << QByteArray("screen:WaitForString(nil)") << none;
        QTest::newRow("empty list") << QByteArray("screen:WaitForStrings({})") << none;
        QTest::newRow("non-string in list") << QByteArray("screen:WaitForStrings({'a', 5})") << empty;
        QTest::newRow("negative timeout") << QByteArray("screen:WaitForString('x', -1)") << timeout;
        QTest::newRow("infinite timeout") << QByteArray("screen:WaitForString('x', math.huge)") << timeout;
        QTest::newRow("NaN timeout") << QByteArray("screen:WaitForStrings('x', 0/0)") << timeout;
        QTest::newRow("string timeout") << QByteArray("screen:ReadString('x', '5')") << timeout;
        QTest::newRow("cursor timeout") << QByteArray("screen:WaitForCursor(-0.5)") << timeout;
        QTest::newRow("Sleep negative") << QByteArray("app:Sleep(-1)") << timeout;
        QTest::newRow("Sleep too long") << QByteArray("app:Sleep(2147483648)")
                                        << QStringLiteral("Sleep requires milliseconds between 0 and 2147483647.");
        QTest::newRow("Send number") << QByteArray("screen:Send(5)") << QStringLiteral("Send requires a UTF-8 string");
        QTest::newRow("SendBytes nil") << QByteArray("screen:SendBytes(nil)") << QStringLiteral("SendBytes requires a byte string");
        QTest::newRow("SendKeys table") << QByteArray("screen:SendKeys({})") << QStringLiteral("Send requires a UTF-8 string");
        QTest::newRow("IgnoreCase number") << QByteArray("screen.IgnoreCase = 1") << QStringLiteral("IgnoreCase requires a boolean");
        QTest::newRow("Synchronous false") << QByteArray("screen.Synchronous = false")
                                           << QStringLiteral("Lua prompt waits always use synchronous buffered capture");
        QTest::newRow("tab id") << QByteArray("tab.id = 'tab-9'") << QStringLiteral("Unknown or read-only property: id");
        QTest::newRow("GetArg negative") << QByteArray("app.Arguments:GetArg(-1)") << argument;
        QTest::newRow("GetArg float") << QByteArray("app.Arguments:GetArg(1.0)") << argument;
        QTest::newRow("GetArg Count") << QByteArray("app.Arguments:GetArg(app.Arguments.Count)") << argument;
        QTest::newRow("GetTab 0") << QByteArray("app:GetTab(0)") << tabIndex;
        QTest::newRow("GetTab past end") << QByteArray("app:GetTab(app:GetTabCount() + 1)") << tabIndex;
        QTest::newRow("GetTab float") << QByteArray("app:GetTab(1.0)") << tabIndex;
    }

    // Each check raises its message for the script's own line, before any
    // stream or send request.
    void checks()
    {
        QFETCH(QByteArray, statement);
        QFETCH(QString, message);
        MorvaneRun t;
        const RunResult result = t.run(guarded(statement), {QStringLiteral("first"), QStringLiteral("second")});
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), raisedAt(7, message));
        QVERIFY(!t.ops().contains(QStringLiteral("stream")));
        QVERIFY(!t.ops().contains(QStringLiteral("send")));
    }

    // The request goes out, and its refusal is raised for the script's line.
    void sendsToADisconnectedSession()
    {
        MorvaneRun t;
        t.sim.tab().connected = false;
        const RunResult result = t.run(preamble +
            "show(pcall(function() screen:Send('ls\\r') end))\n"
            "show(pcall(function() screen:SendBytes('\\3') end))\n"
            "show(pcall(function() screen:SendKeys('{ENTER}') end))\n");
        EXPECT_CLEAN_EXIT(result);
        const QString message = QStringLiteral("MorvaneError: Session is not connected");
        QCOMPARE(result.outText(), raisedAt(7, message) + raisedAt(8, message) + raisedAt(9, message));
        QCOMPARE(t.ops(), (QStringList{"info", "send", "send.bytes", "send"}));
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QStringList>("wire");
        QTest::addColumn<QString>("output");

        const QString info = QStringLiteral(R"({"op":"info","tab":"tab-1"})");
        const auto row = [](const char *name, const char *code, const QStringList &wire, const char *output = "") {
            QTest::newRow(name) << QByteArray(code) << wire << QString::fromUtf8(output);
        };

        row("application", "show(app.Version, app:GetTabCount(), type(app:GetProfiles()), app:GetActiveTab().id) app:Quit()",
            {R"({"op":"version"})", R"({"op":"tabs"})", R"({"op":"profiles"})", R"({"op":"info","tab":"active"})", R"({"op":"quit"})"},
            "Morvane Terminal 1.0 1 table tab-1\n");
        row("info fields", "show(tab.Caption, screen.Rows, screen.Columns, screen.CurrentRow, screen.CurrentColumn, "
            "session.Connected, session.Status, session.Logging, session.Path == '')", QStringList(9, info),
            "Tab 24.0 80.0 1.0 1.0 true Connected false true\n");
        row("tab actions", "show(tab:Clone().id) tab:Activate() tab:Close()",
            {R"({"op":"clone","tab":"tab-1"})", R"({"op":"activate","tab":"tab-1"})", R"({"op":"close","tab":"tab-1"})"}, "tab-2\n");
        row("sends mark once", "screen:Send('a') screen:Send('b') screen:SendBytes('\\0\\255')",
            {info, R"({"op":"send","tab":"tab-1","text":"a"})", R"({"op":"send","tab":"tab-1","text":"b"})",
             R"({"base64":"AP8=","op":"send.bytes","tab":"tab-1"})"});
        row("connections", "session:Disconnect() show(session:Connect('prod').id, session:ConnectInTab({host = 'h', port = 22}).id)",
            {R"({"op":"disconnect","tab":"tab-1"})", R"({"op":"connect","profileId":"prod"})",
             R"({"op":"connect","profile":{"host":"h","port":22}})"}, "tab-2 tab-3\n");
        row("Log on", "show(session:Log(true))",
            {R"({"key":"logAppend","op":"config.set","tab":"tab-1","value":false})",
             R"({"key":"logRaw","op":"config.set","tab":"tab-1","value":false})", R"({"op":"log.start","tab":"tab-1"})"}, "true\n");
        row("Log append raw", "session:Log(1, true, true)",
            {R"({"key":"logAppend","op":"config.set","tab":"tab-1","value":true})",
             R"({"key":"logRaw","op":"config.set","tab":"tab-1","value":true})", R"({"op":"log.start","tab":"tab-1"})"});
        row("Log off and nil", "show(session:Log(false), session:Log())",
            {R"({"op":"log.stop","tab":"tab-1"})", R"({"op":"log.stop","tab":"tab-1"})"}, "false false\n");
        // The dialogs answer as queued in requests().
        row("MessageBox", "show(app.Dialog:MessageBox(nil, nil), app.Dialog:MessageBox(42)) app.Dialog:MessageBox('m', 't')",
            {R"({"message":"nil","op":"dialog.message","title":"Morvane script"})",
             R"({"message":"42","op":"dialog.message","title":"Morvane script"})", R"({"message":"m","op":"dialog.message","title":"t"})"},
            "Cancel OK\n");
        row("Prompt: a cancelled one gives no default", "show(app.Dialog:Prompt(5, 'T', 'dflt', true)) show(app.Dialog:Prompt('Name?'))",
            {R"({"default":"dflt","message":5,"op":"dialog.prompt","password":true,"title":"T"})",
             R"({"default":"","message":"Name?","op":"dialog.prompt","password":false,"title":"Morvane script"})"}, " true\ns3cret false\n");
    }

    void requests()
    {
        QFETCH(QByteArray, code);
        QFETCH(QStringList, wire);
        QFETCH(QString, output);
        MorvaneRun t;
        t.app.answer(QStringLiteral("version"), QJsonObject{{QStringLiteral("version"), QStringLiteral("Morvane Terminal 1.0")}});
        t.app.answer(QStringLiteral("profiles"), QJsonObject{{QStringLiteral("sessions"), QJsonArray()}});
        t.app.answer(QStringLiteral("log.start"), QJsonObject{{QStringLiteral("logging"), true}});
        t.sim.dialogReplies[QStringLiteral("dialog.prompt")] = {
            QJsonObject{{QStringLiteral("cancelled"), true}},
            QJsonObject{{QStringLiteral("text"), QStringLiteral("s3cret")}, {QStringLiteral("cancelled"), false}}};
        t.sim.dialogReplies[QStringLiteral("dialog.message")] = {QJsonObject{{QStringLiteral("button"), QStringLiteral("Cancel")}}};
        const RunResult result = t.run(preamble + code + '\n');
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(t.wire(), wire);
        QCOMPARE(result.outText(), output);
    }

    void scriptTabIsResolvedOnce_data()
    {
        QTest::addColumn<bool>("variableSet");
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("wire");
        QTest::newRow("unset: the active tab") << false << QString() << "tab-2" << QStringList{R"({"op":"info","tab":"active"})"};
        QTest::newRow("set") << true << "tab-1" << "tab-1" << QStringList{};
        QTest::newRow("set but empty") << true << QString() << QString() << QStringList{};
    }

    void scriptTabIsResolvedOnce()
    {
        QFETCH(bool, variableSet);
        QFETCH(QString, variable);
        QFETCH(QString, id);
        QFETCH(QStringList, wire);
        MorvaneRun t;
        t.sim.addTab(QStringLiteral("tab-2"));
        t.sim.activeTab = QStringLiteral("tab-2");
        QProcessEnvironment environment = t.sim.environment(false);
        if (variableSet)
            environment.insert(QStringLiteral("MORVANE_TAB"), variable);
        const RunResult result = t.run("local app = require('morvane').app local first = app:GetScriptTab()\n"
            "print('[' .. first.id .. ']', rawequal(app.Screen, first.Screen), rawequal(app.Session, first.Session),"
            " rawequal(app:GetScriptTab(), first))\n", {}, environment);
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), QLatin1Char('[') + id + QStringLiteral("]\ttrue\ttrue\ttrue\n"));
        QCOMPARE(t.wire(), wire);
    }

    // Every tab operation makes new objects with their own read positions;
    // Get joins rows and Get2 keeps them; a closed tab has no index.
    void tabsAndScreens()
    {
        MorvaneRun t;
        t.sim.addTab(QStringLiteral("tab-2"));
        t.sim.addTab(QStringLiteral("tab-3"));
        SimTab &first = t.sim.tab();
        first.rows[0] = QStringLiteral("abcde");
        first.rows[1] = QStringLiteral("fghij");
        first.arriveAfter(0, QStringLiteral("p1$ p2$ "));
        const RunResult result = t.run(preamble +
            "local a, b = app:GetActiveTab(), app:GetActiveTab()\n"
            "show(a.id == b.id, rawequal(a, b), rawequal(a.Screen, b.Screen), rawequal(a.Session, b.Session), rawequal(a.Screen, a.Screen),"
            " rawequal(a.Session.Config, a.Session.Config), rawequal(app:GetTab(1), tab))\n"
            "a.Screen:Send('x') b.Screen:Send('y')\n"
            "show(a.Screen:ReadString('$ ', 1), a.Screen:ReadString('$ ', 1), b.Screen:ReadString('$ ', 1), a.Screen.MatchIndex, screen.MatchIndex)\n"
            "show(screen:Get(1, 1, 2, 5), select('#', screen:Get(1, 1, 2, 5)), screen:Get2(1, 2, 2, 3) == 'bc\\ngh')\n"
            "local last = app:GetTab(app:GetTabCount())\n"
            "show(last.id, last.Index, app:GetTab(2).Index)\n"
            "last:Close() show(pcall(function() return last.Index end))\n"
            "show(app:GetTabCount())\n");
        EXPECT_CLEAN_EXIT(result);
        // The closed tab's index is raised at the getter itself, in the module.
        QCOMPARE(result.outText(), QStringLiteral("true false false false true true false\np1 p2 p1 1 0\nabcdefghij 1 true\n"
                                                  "tab-3 3 2\nfalse morvane.lua:N: MorvaneError: Tab was closed\n2\n"));
        QCOMPARE(first.sent, (QList<QByteArray>{"x", "y"}));
    }

    void waits_data()
    {
        QTest::addColumn<QString>("received");     // before the script
        QTest::addColumn<int>("after");            // `arrival` comes at this stream request
        QTest::addColumn<QString>("arrival");
        QTest::addColumn<bool>("ended");           // the session is over from the start
        QTest::addColumn<QByteArray>("script");    // after the preamble
        QTest::addColumn<QString>("output");
        QTest::addColumn<QList<double>>("positions"); // stream positions asked, repeats folded; empty: not checked

        // 13 units before the first wait are never matched; then two-, three- and
        // four-byte UTF-8 characters: 13 + "h\u00e9llo \u20ac \U0001F600 login:" (17 units) = 30, + " next$ " = 37.
        QTest::newRow("positions in UTF-16 units")
            << "stale login: " << 1 << QStringLiteral("h\u00e9llo \u20ac ") + QString::fromUcs4(U"\U0001F600") + " login: next$ tail"
            << false << QByteArray("show(screen:WaitForString('login:', 5), screen.MatchIndex)\n"
                                   "show(screen:ReadString('$ ', 5))\nshow(screen:WaitForString('login:', 0.05))\n")
            << "true 1\n next\nfalse\n" << QList<double>{13, 30, 37};
        // "> " starts first; "def" is earliest; the same start goes to the first
        // listed; ReadString reads on just past "log".
        QTest::newRow("earliest match wins, ties go to the first prompt")
            << QString() << 0 << "abc> def$ login: password:" << false
            << QByteArray("show(screen:WaitForStrings({'$ ', '> '}, 1), screen.MatchIndex)\n"
                          "show(screen:WaitForStrings({'log', 'login:', 'def'}, 1))\n"
                          "show(screen:WaitForStrings({'log', 'login:'}, 1), screen.MatchIndex)\n"
                          "show(screen:ReadString({'word', 'in:'}, 1))\n")
            << "2 2\n3\n1 1\n\n" << QList<double>{0, 5, 8, 13};
        // The first wait timed out at 0; the second found "late" from 0 again.
        QTest::newRow("a time-out keeps the position")
            << QString() << 1 << "late$ " << false
            << QByteArray("screen:Send('go')\nshow(screen:WaitForString('never', 0.01), screen.MatchIndex)\n"
                          "show(screen:WaitForStrings({'never', 'late'}, 0.01), screen.MatchIndex)\n"
                          "show(screen:ReadString('never', 0.01) == '', screen.MatchIndex)\n")
            << "false 0\n2 2\ntrue 0\n" << QList<double>{0, 4};
        // Matching comes before the session and the deadline are looked at; once
        // the position is fixed, a wait whose prompt is there costs one request.
        QTest::newRow("a prompt in the stream beats a tiny time-out")
            << QString() << 0 << "a$ b$ c$ " << true
            << QByteArray("show(screen:WaitForString('$ ', 1e-9), screen:WaitForString('$ ', 1e-9, false, true), "
                          "screen:ReadString('$ ', 1e-9))\nshow(screen:WaitForString('$ ', 1e-9))\n")
            << "true true c\nfalse\n" << QList<double>{0, 3, 6, 9};
        QTest::newRow("case and escape options")
            << QString() << 0 << "Login: Password: \x1b[1mbold\x1b[0m \x1b]0;title\x07text$ \x1b[32mgreen\x1b[0m$ " << false
            << QByteArray("show(screen:WaitForString('LOGIN:', 0.01))\nshow(screen:WaitForString('LOGIN:', 0.01, 1))\n"
                          "screen.IgnoreCase = true\nshow(screen:WaitForString('PASSWORD:', 0.01), screen.IgnoreCase)\n"
                          "local first = screen:ReadString('$ ', 1)\nscreen.IgnoreEscape = true\n"
                          "show(first == ' \\27[1mbold\\27[0m \\27]0;title\\7text', screen:ReadString('$ ', 1), screen.IgnoreEscape)\n")
            << "false\ntrue\ntrue true\ntrue green true\n" << QList<double>{};
    }

    void waits()
    {
        QFETCH(QString, received);
        QFETCH(int, after);
        QFETCH(QString, arrival);
        QFETCH(bool, ended);
        QFETCH(QByteArray, script);
        QFETCH(QString, output);
        QFETCH(QList<double>, positions);
        MorvaneRun t;
        t.sim.tab().receive(received);
        t.sim.tab().arriveAfter(after, arrival);
        t.sim.tab().active = !ended;
        const RunResult result = t.run(preamble + script);
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), output);
        QList<double> asked = t.streamPositions();
        asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
        if (!positions.isEmpty())
            QCOMPARE(asked, positions);
        if (ended)
            QCOMPARE(t.app.requestsFor(QStringLiteral("stream")).size(), positions.size());
    }

    // Each pass of a wait costs one stream, one info and a 25 ms sleep; with
    // `milliseconds` set the time-out counts in milliseconds.
    void pollingAndMillisecondTimeout()
    {
        MorvaneRun t;
        t.sim.tab().arriveAfter(3, QStringLiteral("ready$ "));
        const RunResult result = t.run(preamble +
            "local now = __morvane_native.now\n"
            "local started = now()\n"
            "show(screen:WaitForString('$ '), string.format('%.3f', now() - started))\n"
            "started = now()\n"
            "show(screen:WaitForString('never', 150, nil, true), screen.MatchIndex, string.format('%.3f', now() - started))\n");
        EXPECT_CLEAN_EXIT(result);
        const QStringList first = result.outText().section(QLatin1Char('\n'), 0, 0).split(QLatin1Char(' '));
        const QStringList second = result.outText().section(QLatin1Char('\n'), 1, 1).split(QLatin1Char(' '));
        QCOMPARE(first.value(0), QStringLiteral("true"));
        QCOMPARE(t.ops().mid(0, 8), (QStringList{"info", "stream", "info", "stream", "info", "stream", "info", "stream"}));
        QVERIFY2(first.value(1).toDouble() >= 0.074, qPrintable(result.outText()));  // three sleeps between four passes
        QCOMPARE(second.mid(0, 2), (QStringList{"false", "0"}));
        QVERIFY2(second.value(2).toDouble() >= 0.15 && second.value(2).toDouble() < 2.0, qPrintable(result.outText()));
    }

    void disconnectionRaises_data()
    {
        QTest::addColumn<QByteArray>("statement");
        QTest::addColumn<bool>("truncate");  // else the session ends
        QTest::addColumn<QString>("output");
        const QString ended = raisedAt(7, QStringLiteral("MorvaneError: Session disconnected while waiting for a prompt"));
        QTest::newRow("WaitForString") << QByteArray("screen:WaitForString('$ ')") << false << ended;
        QTest::newRow("WaitForStrings with timeout") << QByteArray("screen:WaitForStrings({'$ ', '# '}, 30)") << false << ended;
        QTest::newRow("ReadString") << QByteArray("screen:ReadString('$ ', 0)") << false << ended;
        QTest::newRow("text dropped before it was read") << QByteArray("screen:WaitForString('$ ', 1)") << true
            << raisedAt(7, QStringLiteral("MorvaneError: Incoming data exceeded the automation capture buffer"));
    }

    void disconnectionRaises()
    {
        QFETCH(QByteArray, statement);
        QFETCH(bool, truncate);
        QFETCH(QString, output);
        MorvaneRun t;
        SimTab &tab = t.sim.tab();
        tab.receive(QStringLiteral("abc"));
        if (truncate)  // before the first poll: the wait had not read it
            tab.streamEvents.append({0, [](SimTab &tab) { tab.receive(QStringLiteral("0123456789 prompt$ ")); tab.held = 10; }});
        else
            tab.infoEvents.append({3, [](SimTab &tab) { tab.active = false; }});
        const RunResult result = t.run(guarded(statement) + "show(screen.MatchIndex)\n");
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), output + QStringLiteral("0\n"));
        // The mark's info, then two passes with the session active, then the
        // third sees it gone and one more fetch finds nothing.
        QCOMPARE(t.app.requestsFor(QStringLiteral("stream")).size(), truncate ? 1 : 4);
    }

    // What the session wrote last arrives together with its end: between the
    // wait's fetch and its `info`, or, for the cursor, just after the `info`
    // that says the session has ended. The wait still sees it.
    void lastOutputAsTheSessionEnds_data()
    {
        QTest::addColumn<QByteArray>("statement");
        QTest::addColumn<QString>("lastOutput");  // empty: a cursor move instead
        QTest::addColumn<QString>("output");
        QTest::newRow("prompt") << QByteArray("show(screen:WaitForString('$ ', 5), screen.MatchIndex)") << "final$ " << "true 1\n";
        QTest::newRow("captured text") << QByteArray("show(screen:ReadString({'# ', '$ '}))") << "final$ " << "final\n";
        QTest::newRow("cursor move") << QByteArray("show(screen:WaitForCursor())") << QString() << "true\n";
    }

    void lastOutputAsTheSessionEnds()
    {
        QFETCH(QByteArray, statement);
        QFETCH(QString, lastOutput);
        QFETCH(QString, output);
        MorvaneRun t;
        SimTab &tab = t.sim.tab();
        tab.receive(QStringLiteral("abc"));
        tab.infoEvents.append({2, [lastOutput](SimTab &tab) { tab.receive(lastOutput); tab.active = false; }});
        if (lastOutput.isEmpty())
            tab.infoEvents.append({3, [](SimTab &tab) { tab.column = 9; }});
        const RunResult result = t.run(preamble + statement + "\n");
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), output);
    }

    void waitForCursor_data()
    {
        QTest::addColumn<QString>("change");  // what happens at the `after`th info
        QTest::addColumn<int>("after");
        QTest::addColumn<QByteArray>("calls");
        QTest::addColumn<QString>("output");
        const QString locked = raisedAt(7, QStringLiteral("MorvaneError: Session is locked"));
        QTest::newRow("moves, then stays") << "move" << 3 << QByteArray("show(screen:WaitForCursor(5)) show(screen:WaitForCursor(0.05))")
                                           << QStringLiteral("true\nfalse\ntrue\n");
        QTest::newRow("locked at the start") << "lock" << 0 << QByteArray("screen:WaitForCursor()") << locked;
        QTest::newRow("locked while waiting") << "lock" << 3 << QByteArray("screen:WaitForCursor()") << locked;
        QTest::newRow("session ends") << "stop" << 2 << QByteArray("screen:WaitForCursor()")
                                      << raisedAt(7, QStringLiteral("MorvaneError: Session disconnected"));
        QTest::newRow("deadline before the session") << "stop" << 0 << QByteArray("show(screen:WaitForCursor(1e-9))")
                                                     << QStringLiteral("false\ntrue\n");
    }

    void waitForCursor()
    {
        QFETCH(QString, change);
        QFETCH(int, after);
        QFETCH(QByteArray, calls);
        QFETCH(QString, output);
        MorvaneRun t;
        t.sim.tab().infoEvents.append({after, [change](SimTab &tab) {
            // A lock comes with a cursor move in the same update: the lock is looked at first.
            tab.column = change == QLatin1String("stop") ? tab.column : 9;
            tab.locked = change == QLatin1String("lock");
            tab.active = change != QLatin1String("stop");
        }});
        const RunResult result = t.run(guarded(calls));
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(result.outText(), output);
        QVERIFY(!t.ops().contains(QStringLiteral("stream")));
    }

    void sendKeys_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("enter") << QByteArray("ls -l{ENTER}") << QByteArray("ls -l\r");
        QTest::newRow("every name") << QByteArray("{TAB}{ESC}{UP}{DOWN}{LEFT}{RIGHT}")
                                    << QByteArray("\t\x1b\x1b[A\x1b[B\x1b[D\x1b[C");
        QTest::newRow("unknown name") << QByteArray("x{HOME}y") << QByteArray("x{HOME}y");
        QTest::newRow("lower case") << QByteArray("{Enter}{enter}") << QByteArray("{Enter}{enter}");
        QTest::newRow("unbalanced") << QByteArray("{ENTER {}}{{ENTER}}") << QByteArray("{ENTER {}}{\r}");
        QTest::newRow("percent signs stay") << QByteArray("100%{TAB}%1") << QByteArray("100%\t%1");
    }

    void sendKeys()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QByteArray, sent);
        MorvaneRun t;
        QByteArray literal;
        for (char c : keys)
            literal += "\\" + QByteArray::number(uchar(c));
        const RunResult result = t.run(preamble + "screen:SendKeys('" + literal + "')\n");
        EXPECT_CLEAN_EXIT(result);
        QCOMPARE(t.sim.tab().sent, QList<QByteArray>{sent});
        QCOMPARE(t.ops(), (QStringList{QStringLiteral("info"), QStringLiteral("send")}));
    }

    // The example against a real shell on a pseudo-terminal, behind a login
    // dialogue that the shell itself plays.
    void loginExampleOnHost()
    {
    #ifndef MORVANE_HOST_PATH
        QSKIP("the headless host is not built");
    #else
        QTemporaryDir directory;
        QFile answers(directory.filePath(QStringLiteral("answers.json")));
        QVERIFY(answers.open(QIODevice::WriteOnly));
        answers.write(R"({"dialog.prompt":[{"text":"secret","cancelled":false}]})");
        answers.close();
        const QString login = QStringLiteral(
            "printf 'host login: '; read user; printf 'Password: '; stty -echo; read password; stty echo; echo; "
            "if [ \"$password\" = secret ]; then PS1=\"$user@host:~$ \" exec sh -i; fi; echo 'Login incorrect'; sleep 30");
        QProcess host;
        host.setWorkingDirectory(directory.path());
        host.start(QStringLiteral(MORVANE_HOST_PATH),
                   {QStringLiteral("--runner"), runnerPath(), QStringLiteral("--answers"), answers.fileName(),
                    QStringLiteral("-c"), login, QStringLiteral(MORVANE_SOURCE_DIR "/examples/login.lua"),
                    QStringLiteral("alice"), QStringLiteral("echo one; echo two"), QStringLiteral("out.txt")});
        QVERIFY2(host.waitForFinished(60000), "the host did not finish");
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
        QFile output(directory.filePath(QStringLiteral("out.txt")));
        QVERIFY2(output.open(QIODevice::ReadOnly), "the example wrote no output file");
        QCOMPARE(output.readAll(), QByteArray("one\ntwo\n"));
    #endif
    }
};

QTEST_GUILESS_MAIN(TestMorvane)
#include "tst_morvane.moc"
