// The morvane module, run by the real runner against a simulated terminal:
// the checks and the lines they name, the requests whose shape is the
// module's own choice, prompt and cursor waits as the session changes under
// them; and the examples against real programs under morvane-host.
#include "sim_terminal.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Lines 1-5 of every script; the table's script is line 6. `show` prints
// its arguments through tostring, with the script's directory and the
// module's line numbers left out.
const QByteArray preamble =
    "local m = require('morvane')\n"
    "local app = m.app\n"
    "local tab = app:GetScriptTab()\n"
    "local screen, session = tab.Screen, tab.Session\n"
    "local function show(...) local t = table.pack(...) for i = 1, t.n do t[i] = tostring(t[i])"
    ":gsub('^%S*/script%.lua:', 'script.lua:'):gsub('morvane%.lua:%d+:', 'morvane.lua:N:') end"
    " print(table.concat(t, ' ')) end\n";

} // namespace

class TestMorvane : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void scripts_data()
    {
        QTest::addColumn<QString>("arrival");     // received at the first fetch, or as the session ends
        QTest::addColumn<QString>("events");      // "N:what": at the N-th `info` the session ends, the cursor moves or it locks
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("expected");    // standard output
        QTest::addColumn<QStringList>("wire");    // the requests without the token; empty: not checked
        QTest::addColumn<QStringList>("environment");  // NAME=value to set, NAME to unset
        const auto row = [](const char *name, const char *arrival, const char *events, const QByteArray &script,
                            const QString &expected, const QStringList &wire = {}, const QStringList &environment = {}) {
            QTest::newRow(name) << QString::fromUtf8(arrival) << QString::fromLatin1(events) << script << expected << wire << environment;
        };
        // A statement that raises `message` for the script's own line.
        const auto check = [&row](const char *name, const QByteArray &statement, const QString &message, const char *events = "") {
            row(name, "", events, "show(pcall(function() " + statement + " end))", QStringLiteral("false script.lua:6: %1\n").arg(message));
        };
        const char *timeout = "Timeout must be finite and nonnegative";

        check("empty prompt", "screen:WaitForString('')", "Prompt strings must not be empty");
        check("no prompt", "screen:WaitForStrings({})", "Provide one or more prompt strings");
        check("string time-out", "screen:ReadString('x', '5')", timeout);
        check("NaN time-out", "screen:WaitForStrings('x', 0/0)", timeout);
        check("negative cursor time-out", "screen:WaitForCursor(-0.5)", timeout);
        check("Send a number", "screen:Send(5)", "Send requires a UTF-8 string");
        check("SendBytes to a closed session", "session:Disconnect() screen:SendBytes('x')",
              "MorvaneError: Session is not connected");
        check("IgnoreCase a number", "screen.IgnoreCase = 1", "IgnoreCase requires a boolean");
        check("tab id is read-only", "tab.id = 'tab-9'", "Unknown or read-only property: id");
        check("GetArg past the end", "app.Arguments:GetArg(app.Arguments.Count)",
              "Script argument index is out of range (zero-based)");
        check("failed request", "m.rpc('info', 'tab-9')", "MorvaneError: No such tab: tab-9");
        check("read_file of a missing file", "m.read_file('missing.txt')", "MorvaneError: No such file or directory");

        // The script's tab comes from MORVANE_TAB, else the active tab is asked for; it is kept.
        const char *scriptTab = "show('[' .. tab.id .. ']', rawequal(app.Screen, screen), rawequal(app:GetScriptTab(), tab))";
        row("script tab asked for", "", "", scriptTab, "[tab-1] true true\n", {}, {"MORVANE_TAB"});
        row("script tab set but empty", "", "", scriptTab, "[] true true\n", {}, {"MORVANE_TAB="});
        row("sends: the position once, keys, bytes", "", "",
            "screen:Send('a') screen:SendKeys('x{ENTER}{HOME}{enter}{{TAB}}%1') screen:SendBytes('\\0\\255')", "",
            {R"({"op":"info","tab":"tab-1"})", R"({"op":"send","tab":"tab-1","text":"a"})",
             R"({"op":"send","tab":"tab-1","text":"x\r{HOME}{enter}{\t}%1"})", R"({"base64":"AP8=","op":"send.bytes","tab":"tab-1"})"});
        row("each tab object reads on from its own position", "p1$ p2$ ", "",
            "local a, b = app:GetActiveTab(), app:GetActiveTab() a.Screen:Send('x') b.Screen:Send('y') "
            "show(a.Screen:ReadString('$ ', 1), a.Screen:ReadString('$ ', 1), b.Screen:ReadString('$ ', 1))", "p1 p2 p1\n");

        // "> " starts first; "def" is earliest; the same start goes to the first
        // listed; ReadString reads on just past "log".
        row("earliest match wins, ties go to the first prompt", "abc> def$ login: password:", "",
            "show(screen:WaitForStrings({'$ ', '> '}, 1), screen.MatchIndex) show(screen:WaitForStrings({'log', 'login:', 'def'}, 1)) "
            "show(screen:WaitForStrings({'log', 'login:'}, 1), screen.MatchIndex) show(screen:ReadString({'word', 'in:'}, 1))",
            "2 2\n3\n1 1\n\n");
        // The send fixes the position before "late$ " comes; every wait reads from there.
        row("a time-out keeps the position, milliseconds on request", "late$ ", "",
            "screen:Send('go') show(screen:WaitForString('never', 0.01), screen.MatchIndex) "
            "show(screen:WaitForStrings({'never', 'late'}, 0.01), screen.MatchIndex) "
            "show(screen:ReadString('never', 0.01) == '', screen.MatchIndex, screen:WaitForString('never', 50, nil, true))",
            "false 0\n2 2\ntrue 0 false\n");
        // Matching comes before the session and the deadline are looked at.
        row("a prompt in the stream beats a tiny time-out and the session's end", "a$ b$ c$ ", "",
            "session:Disconnect() show(screen:WaitForString('$ ', 1e-9), screen:WaitForString('$ ', 1e-9, false, true), "
            "screen:ReadString('$ ', 1e-9)) show(screen:WaitForString('$ ', 1e-9))", "true true c\nfalse\n");
        row("case and escapes ignored on request", "Login: \033]0;title\007text$ \033[32mgreen\033[0m$ ", "",
            "show(screen:WaitForString('LOGIN:', 0.01), screen:WaitForString('LOGIN:', 0.01, 1), "
            "screen:ReadString('$ ', 1) == ' \\27]0;title\\7text') screen.IgnoreEscape = true show(screen:ReadString('$ ', 1))",
            "false true true\ngreen\n");
        // The session's last output comes with its end, after the wait's fetch.
        row("a prompt that comes as the session ends", "final$ ", "2:end",
            "show(screen:WaitForString('$ ', 5), screen.MatchIndex)", "true 1\n");
        check("the session ends during a prompt wait", "screen:ReadString('$ ', 0)",
              "MorvaneError: Session disconnected while waiting for a prompt", "2:end");
        row("cursor moves, then stays", "", "3:move", "show(screen:WaitForCursor(5), screen:WaitForCursor(0.05))", "true false\n");
        // A lock comes with a cursor move in the same update: the lock is looked at first.
        check("locked during a cursor wait", "screen:WaitForCursor()", "MorvaneError: Session is locked", "3:lock");
        check("the session ends during a cursor wait", "screen:WaitForCursor()", "MorvaneError: Session disconnected", "2:end");
        row("a cursor wait's deadline before the session", "", "0:end", "show(screen:WaitForCursor(1e-9))", "false\n");
        row("a cursor move as the session ends", "", "2:end 3:move", "show(screen:WaitForCursor())", "true\n");
    }

    void scripts()
    {
        QFETCH(QString, arrival);
        QFETCH(QString, events);
        QFETCH(QByteArray, script);
        QFETCH(QString, expected);
        QFETCH(QStringList, wire);
        QFETCH(QStringList, environment);
        FakeApp app;
        SimTerminal sim(app);
        // With an end among the events the arrival waits for it.
        sim.tab().arriveAfter(events.contains(QLatin1String("end")) ? 1000 : 0, arrival);
        for (const QString &event : events.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const int after = event.section(QLatin1Char(':'), 0, 0).toInt();
            const QString what = event.section(QLatin1Char(':'), 1);
            if (what == QLatin1String("end"))
                sim.tab().endAfter(after);
            else  // a lock comes with a cursor move in the same update
                sim.tab().infoEvents.append({after, [what](SimTab &t) {
                                                 t.locked = what == QLatin1String("lock");
                                                 t.column = 9;
                                             }});
        }
        const RunResult result = sim.run(preamble + script + '\n', environment);
        QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.errText()));
        QCOMPARE(result.outText(), expected);
        QStringList sent;
        for (const FakeApp::Request &request : app.requests)
            sent.append(QString::fromUtf8(request.raw).remove(",\"token\":\"" + app.token() + '"'));
        if (!wire.isEmpty())
            QCOMPARE(sent, wire);
    }

    // The examples against the other side played by a shell on a
    // pseudo-terminal under the host, dialogs answered from tests/data.
    void examplesOnHost_data()
    {
        QTest::addColumn<QStringList>("run");      // the example, the program in its tab, the example's arguments
        QTest::addColumn<QByteArray>("expected");  // standard output
        QTest::newRow("login") << QStringList{"login",
            "printf 'host login: '; read user; printf 'Password: '; stty -echo; read password; stty echo; echo; "
            "if [ \"$password\" = secret ]; then PS1=\"$user@host:~$ \" exec sh -i; fi; echo 'Login incorrect'; sleep 30",
            "alice", "echo one; echo two", "out.txt"} << QByteArray("Saved the output of \"echo one; echo two\" (8 bytes) to out.txt\n");
        QTest::newRow("bbs") << QStringList{"bbs",
            "printf '\\033[1;33mWelcome\\033[0m\\r\\nLogin: '; read user; printf 'Password: '; read password; stty -icanon; "
            "printf 'News\\r\\nPress any key to continue'; dd bs=1 count=1 >/dev/null 2>&1; "
            "printf '\\033[2J\\033[HMain Menu\\r\\n[M]essages\\r\\n[G]oodbye\\r\\n'; sleep 30"}
            << QByteArray("Main Menu\n[M]essages\n[G]oodbye\n(1 pause answered)\n");
    }

    void examplesOnHost()
    {
        QFETCH(QStringList, run);
        QFETCH(QByteArray, expected);
        QTemporaryDir directory;
        QProcess host;
        host.setWorkingDirectory(directory.path());
        const QString source = QStringLiteral(MORVANE_SOURCE_DIR "/");
        host.start(QStringLiteral(MORVANE_HOST_PATH), QStringList{"--runner", runnerPath(), "--answers",
                                                                  source + "tests/data/" + run[0] + "-answers.json", "-c", run[1],
                                                                  source + "examples/" + run[0] + ".lua"} + run.mid(2));
        QVERIFY2(host.waitForFinished(60000), "the host did not finish");
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
        QCOMPARE(host.readAllStandardOutput(), expected);
    }
};

QTEST_GUILESS_MAIN(TestMorvane)
#include "tst_morvane.moc"
