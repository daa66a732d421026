// The compatibility globals run as real scripts against the simulated
// terminal: loading, the waits, triggers, sending, the screen, dialogs,
// output and the end of the connection.
#include "sim_terminal.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QtTest>

namespace {

// One simulated terminal and the runs made against it.
struct Rig {
    FakeApp app;
    SimTerminal sim{app};

    SimTab &tab() { return sim.tab(); }

    RunResult run(const QByteArray &script, bool withTab = true, const QString &streamStart = QString())
    {
        RunOptions options;
        options.environment = sim.environment(withTab);
        if (!withTab)
            options.environment.remove(QStringLiteral("MORVANE_TAB"));
        options.environment.remove(QStringLiteral("MORVANE_STREAM_START"));
        if (!streamStart.isNull())
            options.environment.insert(QStringLiteral("MORVANE_STREAM_START"), streamStart);
        options.timeoutMs = 20000;
        return runScript(&app, withShow(script), options);
    }

    // Standard output of a run that must succeed.
    QByteArray output(const QByteArray &script)
    {
        const RunResult result = run(script);
        if (result.exitCode != 0)
            qWarning("script failed (%d): %s", result.exitCode, result.err.constData());
        return result.out;
    }

    // Every request as "op tab [key]".
    QStringList requestLog() const
    {
        QStringList lines;
        for (const FakeApp::Request &request : app.requests) {
            QString line = request.op() + QLatin1Char(' ') + request.json.value(QStringLiteral("tab")).toString();
            if (request.json.contains(QStringLiteral("key")))
                line += QLatin1Char(' ') + request.json.value(QStringLiteral("key")).toString();
            lines.append(line.trimmed());
        }
        return lines;
    }
};

} // namespace

class Vantorix : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loading_data()
    {
        QTest::addColumn<bool>("withTab");
        QTest::addColumn<QString>("streamStart");
        QTest::addColumn<QStringList>("infos");   // the info requests at load
        QTest::addColumn<QByteArray>("seen");
        // What the first fetch brings shows where reading began: "old" was
        // received before the script started.
        QTest::newRow("tab from environment") << true << QString() << QStringList{"info tab-1"} << QByteArray("\"new\"");
        QTest::newRow("active tab asked for") << false << QString() << QStringList{"info active", "info tab-1"}
                                              << QByteArray("\"new\"");
        QTest::newRow("stream start in the middle") << true << QStringLiteral("1") << QStringList{} << QByteArray("\"ldnew\"");
        QTest::newRow("stream start not a number") << true << QStringLiteral("soon") << QStringList{"info tab-1"}
                                                   << QByteArray("\"new\"");
    }

    void loading()
    {
        QFETCH(bool, withTab);
        QFETCH(QString, streamStart);
        QFETCH(QStringList, infos);
        QFETCH(QByteArray, seen);

        Rig rig;
        rig.tab().receive(QStringLiteral("old"));
        rig.tab().arriveAfter(0, QStringLiteral("new"));
        // Loading sends its requests before the first line of the script runs.
        const RunResult result = rig.run("local loaded = require('vantorix') show(loaded.loaded) show(buffer())",
                                         withTab, streamStart);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, "true\n" + seen + '\n');
        const QStringList requests = rig.requestLog();
        QCOMPARE(requests.filter(QRegularExpression("^info")), infos);
        QCOMPARE(requests.last(), QStringLiteral("stream tab-1"));
        QCOMPARE(requests.filter(QStringLiteral("stream")).size(), 1);
    }

    void globals()
    {
        Rig rig;
        // Before loading print is Lua's own. Reading one name loads everything:
        // before and matched start as nil, print is log, now is the native
        // clock, and the loader's result is {loaded = true}. quit ends the
        // script at once; disconnect is sent every time.
        const RunResult result = rig.run(
            "print('a', 'b') before = 'x' local b = matched "
            "show(b, before, print == log, waitfor == expect, now == __morvane_native.now, package.loaded.vantorix.loaded) "
            "show(next(package.loaded.vantorix, next(package.loaded.vantorix))) "
            "print(1, nil, 'x', 2.5) print() log(true, nil) print(setmetatable({}, {__tostring = function() return 'T' end})) "
            "disconnect() show(connected()) quit() show('not reached')");
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, QByteArray("a\tb\nnil, nil, true, true, true, true\nnil\n1 nil x 2.5\n\ntrue nil\nT\nfalse\n"));
        QCOMPARE(rig.app.requestsFor(QStringLiteral("disconnect")).size(), 2);
    }

    void expectForms_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("plain, index and text")
            << QStringLiteral("login: ") << QByteArray("show(expect('pass', 'login:'))") << QByteArray("2, \"login:\"");
        QTest::newRow("plain text is not a pattern")
            << QStringLiteral("a.b a+b") << QByteArray("local i, m = expect('a+b') show(i, m, before)") << QByteArray("1, \"a+b\", \"a.b \"");
        QTest::newRow("earliest start wins")
            << QStringLiteral("xx second first") << QByteArray("show(expect('first', 'second'))") << QByteArray("2, \"second\"");
        QTest::newRow("tie goes to the first listed")
            << QStringLiteral("ab") << QByteArray("local i, m = expect('a', 'ab') show(i, m, buffer())") << QByteArray("1, \"a\", \"b\"");
        QTest::newRow("one table of strings")
            << QStringLiteral("yes") << QByteArray("show(expect({'no', 'yes'}, 1))") << QByteArray("2, \"yes\"");
        QTest::newRow("before, matched and what is left")
            << QStringLiteral("say hello world") << QByteArray("expect('hello') show(before, matched, buffer())")
            << QByteArray("\"say \", \"hello\", \" world\"");
        QTest::newRow("second expect starts after the first match")
            << QStringLiteral("a1 a2") << QByteArray("expect('a') local i, m = expect('a') show(i, m, before)") << QByteArray("1, \"a\", \"1 \"");
        QTest::newRow("time-out as last argument")
            << QStringLiteral("abc") << QByteArray("local i, m = expect('zz', 0.05) show(i, m, buffer())") << QByteArray("nil, \"timeout\", \"abc\"");
        QTest::newRow("set_timeout is the default")
            << QStringLiteral("") << QByteArray("set_timeout(0.05) show(expect('zz'))") << QByteArray("nil, \"timeout\"");
        QTest::newRow("failed expect keeps before")
            << QStringLiteral("one") << QByteArray("expect('o') expect('zz', 0.05) show(before, matched)")
            << QByteArray("\"\", \"o\"");
        QTest::newRow("no string: a number, a nil, an empty table")
            << QStringLiteral("") << QByteArray("local function why(...) local ok, e = pcall(expect, ...) return ok, e:match('^vantorix.lua:%d+: (.*)') end "
                                                "show(why(5)) show(why(nil)) show(why({}, false))")
            << QByteArray("false, \"expect needs at least one string\"\n" "false, \"expect needs at least one string\"\n"
                          "false, \"expect needs at least one string\"");
        QTest::newRow("a trailing nil adds no string")
            << QStringLiteral("ab") << QByteArray("show(expect('b', nil))") << QByteArray("1, \"b\"");
        QTest::newRow("Lua pattern with captures")
            << QStringLiteral("id 42-ab.") << QByteArray("show(expect_pattern('(%d+)-(%a+)'))") << QByteArray("1, \"42-ab\", \"42\", \"ab\"");
        // After an earlier expect used part of the text, a pattern sees only the
        // rest: "^" and a frontier match at its start, position captures count
        // from there.
        QTest::newRow("position capture after earlier use")
            << QStringLiteral("abcd") << QByteArray("expect('a') show(expect_pattern('c()'))") << QByteArray("1, \"c\", 3");
        QTest::newRow("anchor and frontier after earlier use")
            << QStringLiteral("abc") << QByteArray("expect('a') show(expect_pattern('^%f[%a]b()', 1))") << QByteArray("1, \"b\", 2");
        QTest::newRow("regex with a group that took no part")
            << QStringLiteral("b") << QByteArray("show(expect_regex('(a)|(b)'))") << QByteArray("1, \"b\", false, \"b\"");
        QTest::newRow("regex caret is the start of what is pending")
            << QStringLiteral("xy") << QByteArray("expect('x') show(expect_regex('^y'))") << QByteArray("1, \"y\"");
        QTest::newRow("regex earliest of several")
            << QStringLiteral("v2 v1") << QByteArray("show(expect_regex('v1', 'v\\\\d'))") << QByteArray("2, \"v2\"");
        QTest::newRow("bad regex raises")
            << QStringLiteral("x") << QByteArray("local ok, e = pcall(expect_regex, '(') show(ok, e:match('bad regex %(') ~= nil)")
            << QByteArray("false, true");
        QTest::newRow("must_expect passes results, raises on time-out")
            << QStringLiteral("ok") << QByteArray("show(must_expect('ok')) show(pcall(must_expect, 'zz', 0.05))")
            << QByteArray("1, \"ok\"\nfalse, \"must_expect: timeout\"");
        QTest::newRow("must_expect error names the caller's line")
            << QStringLiteral("") << QByteArray("local ok, e = pcall(function() must_expect('zz', 0.05) end) show(e)")
            << QByteArray("\"script.lua:1: must_expect: timeout\"");
        QTest::newRow("must_expect calls the current expect")
            << QStringLiteral("") << QByteArray("local _ = now expect = function() return nil, 7 end show(pcall(must_expect, 'x'))")
            << QByteArray("false, \"must_expect: 7\"");
    }

    void expectForms()
    {
        QFETCH(QString, received);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, expected);

        Rig rig;
        rig.tab().arriveAfter(0, received);
        // An error position names the script by its absolute path; keep the
        // file name only.
        QString out = QString::fromUtf8(rig.output(script));
        out.replace(QRegularExpression(QStringLiteral("\"[^\"]*/script\\.lua:")), QStringLiteral("\"script.lua:"));
        QCOMPARE(out, QString::fromUtf8(expected + '\n'));
    }

    void expectWaitsForArrival_data()
    {
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QByteArray>("timeout");
        QTest::newRow("default time-out") << QByteArray() << QByteArray();
        // 0, false and negative numbers mean no deadline at all.
        QTest::newRow("time-out 0") << QByteArray() << QByteArray(", 0");
        QTest::newRow("time-out false") << QByteArray() << QByteArray(", false");
        QTest::newRow("negative time-out") << QByteArray() << QByteArray(", -1");
        QTest::newRow("set_timeout(nil) means none") << QByteArray("set_timeout(nil)") << QByteArray();
    }

    void expectWaitsForArrival()
    {
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, timeout);
        Rig rig;
        rig.tab().arriveAfter(4, QStringLiteral("text arrives later"));
        QCOMPARE(rig.output(setup + " local i, m = expect('later'" + timeout + ") show(i, m, before)"),
                 QByteArray("1, \"later\", \"text arrives \"\n"));
        QVERIFY(rig.tab().streamRequests >= 5);
    }

    void readline()
    {
        Rig rig;
        rig.tab().arriveAfter(0, QStringLiteral("one\r\n\r\ntwo\nthr"));
        rig.tab().arriveAfter(3, QStringLiteral("ee\r\nrest"));
        QCOMPARE(rig.output("show(readline()) show(readline()) show(readline()) show(readline()) "
                            "show(readline(0.05)) show(buffer())"),
                 QByteArray("\"one\"\n\"\"\n\"two\"\n\"three\"\nnil, \"timeout\"\n\"rest\"\n"));
    }

    void quiet_data()
    {
        QTest::addColumn<QByteArray>("call");
        QTest::addColumn<QList<int>>("arrivals");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<double>("minimum");
        QTest::addColumn<double>("maximum");

        QTest::newRow("silence") << QByteArray("quiet(0.2)") << QList<int>{} << QByteArray("true") << 0.2 << 1.0;
        // Text at the 3rd and 6th fetch restarts the quiet period each time, even
        // though stripping leaves nothing of it.
        QTest::newRow("text restarts the period") << QByteArray("quiet(0.2)") << QList<int>{3, 6} << QByteArray("true")
                                                  << 0.3 << 1.5;
        QTest::newRow("longer than the time-out") << QByteArray("quiet(5, 0.2)") << QList<int>{} << QByteArray("nil, \"timeout\"")
                                                  << 0.2 << 1.0;
    }

    void quiet()
    {
        QFETCH(QByteArray, call);
        QFETCH(QList<int>, arrivals);
        QFETCH(QByteArray, expected);
        QFETCH(double, minimum);
        QFETCH(double, maximum);

        Rig rig;
        for (int after : arrivals)
            rig.tab().arriveAfter(after, QStringLiteral("\033[0m"));
        const QByteArray out = rig.output("local t = now() show(" + call + ") io.write(now() - t)");
        const QList<QByteArray> lines = out.split('\n');
        QCOMPARE(lines.value(0), expected);
        const double elapsed = lines.value(1).toDouble();
        QVERIFY2(elapsed >= minimum && elapsed <= maximum, out.constData());
    }

    void sleepKeepsFetching()
    {
        Rig rig;
        rig.tab().arriveAfter(2, QStringLiteral("during"));
        // sleep(nil) and sleep(0/0) fetch once and return; sleep(0.1) keeps
        // fetching until its end. Only nil takes the default: false is no
        // number of seconds for sleep or quiet.
        const QByteArray out = rig.output(
            "local t = now() sleep() sleep(0/0) sleep(-1) local quick = now() - t "
            "t = now() sleep(0.15) local slept = now() - t "
            "show(quick < 0.1, slept >= 0.15 and slept < 1, buffer(), (pcall(sleep, false)), (pcall(quiet, false)))");
        QCOMPARE(out, QByteArray("true, true, \"during\", false, false\n"));
        QVERIFY(rig.tab().streamRequests >= 5);
    }

    void triggers_data()
    {
        QTest::addColumn<QString>("early");    // received before the triggers are set
        QTest::addColumn<QString>("later");    // arrives while the script sleeps
        QTest::addColumn<QByteArray>("setup"); // sets triggers that log into `seen`
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("plain with matched text")
            << QString() << QStringLiteral("a ping b ping") << QByteArray("on('ping', note)")
            << QByteArray("ping|ping");
        QTest::newRow("lua mode with captures")
            << QString() << QStringLiteral("x=1 y=22") << QByteArray("on('(%a)=(%d+)', note, 'lua')")
            << QByteArray("x=1,x,1|y=22,y,22");
        QTest::newRow("regex mode, group that took no part")
            << QString() << QStringLiteral("cat dog") << QByteArray("on('(cat)|(dog)', note, 'regex')")
            << QByteArray("cat,cat,false|dog,false,dog");
        QTest::newRow("unknown mode is plain text")
            << QString() << QStringLiteral("a.b axb") << QByteArray("on('a.b', note, 'glob')") << QByteArray("a.b");
        // The window is cut after each match and scanned again from the first
        // trigger: a later-set trigger whose text lay before the match is gone.
        QTest::newRow("first set wins, window cut")
            << QString() << QStringLiteral("A B") << QByteArray("on('B', note) on('A', note)") << QByteArray("B");
        QTest::newRow("scan restarts at the first trigger")
            << QString() << QStringLiteral("A B") << QByteArray("on('A', note) on('B', note)") << QByteArray("A|B");
        QTest::newRow("matched text is not matched again")
            << QString() << QStringLiteral("aaaa") << QByteArray("on('aa', note)") << QByteArray("aa|aa");
        QTest::newRow("text before the first trigger never fires")
            << QStringLiteral("ping early") << QStringLiteral("ping late") << QByteArray("on('ping', note)")
            << QByteArray("ping");
        QTest::newRow("off removes")
            << QString() << QStringLiteral("ping") << QByteArray("local id = on('ping', note) seen[#seen+1] = tostring(off(id)) "
                                                                  "seen[#seen+1] = tostring(off(id))")
            << QByteArray("true|false");
        QTest::newRow("ids count up")
            << QString() << QString() << QByteArray("seen[1] = on('a', note) .. ',' .. on('b', note)") << QByteArray("1,2");
        // Empty matches never fire; the search goes on for one that uses text.
        QTest::newRow("empty plain text never fires")
            << QString() << QStringLiteral("abc") << QByteArray("on('', note)") << QByteArray("");
        QTest::newRow("Lua pattern that can match nothing")
            << QString() << QStringLiteral("abxxc") << QByteArray("on('x*', note, 'lua')") << QByteArray("xx");
        QTest::newRow("regex that can match nothing")
            << QString() << QStringLiteral("ayyb") << QByteArray("on('y*', note, 'regex')") << QByteArray("yy");
        QTest::newRow("anchored empty Lua pattern")
            << QString() << QStringLiteral("abz") << QByteArray("on('^z*', note, 'lua')") << QByteArray("");
        QTest::newRow("empty trigger does not block the next")
            << QString() << QStringLiteral("a ping") << QByteArray("on('', note) on('ping', note)") << QByteArray("ping");
        // Only the last 4096 bytes of a fetch reach the triggers.
        QTest::newRow("window holds 4096 bytes")
            << QString() << (QStringLiteral("far") + QString(4094, QLatin1Char('.')) + QStringLiteral("near"))
            << QByteArray("on('far', note) on('near', note)") << QByteArray("near");
    }

    void triggers()
    {
        QFETCH(QString, early);
        QFETCH(QString, later);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, expected);

        Rig rig;
        rig.tab().arriveAfter(0, early);
        rig.tab().arriveAfter(2, later);
        const QByteArray out = rig.output(
            "local seen = {} "
            "local function note(...) local parts = table.pack(...) "
            "  for i = 1, parts.n do parts[i] = tostring(parts[i]) end "
            "  seen[#seen + 1] = table.concat(parts, ',', 1, parts.n) end "
            "buffer() " + setup + " sleep(0.2) io.write(table.concat(seen, '|'))");
        QCOMPARE(out, expected);
    }

    void triggerErrorPassesOut()
    {
        Rig rig;
        rig.tab().arriveAfter(1, QStringLiteral("boom"));
        QCOMPARE(rig.output("on('boom', function(text) error('hit ' .. text, 0) end) show(pcall(sleep, 1))"),
                 QByteArray("false, \"hit boom\"\n"));
    }

    void sending_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QList<QByteArray>>("sent");
        QTest::newRow("send concatenates, nothing when empty")
            << QByteArray("send() send('') send('a', 1, 'b')") << QList<QByteArray>{"a1b"};
        QTest::newRow("sendln appends CR") << QByteArray("sendln() sendln('ls', ' -l')") << QList<QByteArray>{"\r", "ls -l\r"};
        // The count of sendln's results goes out last: it returns nothing.
        QTest::newRow("sendln goes through the current send")
            << QByteArray("local real = send send = function(s) real('<' .. s .. '>') return 1 end "
                          "real(select('#', sendln('x')))")
            << QList<QByteArray>{"<x\r>", "0"};
        QTest::newRow("bytes unchanged") << QByteArray("send('\\0\\255\\226\\148\\128')") << QList<QByteArray>{QByteArray("\0\xff\xe2\x94\x80", 5)};
    }

    void sending()
    {
        QFETCH(QByteArray, script);
        QFETCH(QList<QByteArray>, sent);
        Rig rig;
        rig.tab().options.insert(QStringLiteral("encoding"), QStringLiteral("CP437"));
        rig.output(script);
        QCOMPARE(rig.tab().sent, sent);
    }

    void screenAndCursor()
    {
        Rig rig;
        rig.tab().rows[1] = QStringLiteral("  menu \t ");
        rig.tab().row = 3;
        rig.tab().column = 7;
        QCOMPARE(rig.output("show(screen(0), screen(25), screen('2'), screen(0/0), screen(2), screen(24)) "
                            "local c, r = screen_size() show(c, r, math.type(c), math.type(r)) show(cursor())"),
                 QByteArray("nil, nil, nil, nil, \"  menu\", \"\"\n80, 24, \"integer\", \"integer\"\n7, 3\n"));
        const QList<FakeApp::Request> regions = rig.app.requestsFor(QStringLiteral("screen.region"));
        QCOMPARE(regions.size(), 2);
        QJsonObject region = regions.first().json;
        region.remove(QStringLiteral("token"));
        QCOMPARE(region, (QJsonObject{{"op", "screen.region"}, {"tab", "tab-1"}, {"top", 2}, {"bottom", 2}, {"left", 1}, {"right", 80}}));
    }

    void disconnection_data()
    {
        QTest::addColumn<QString>("arrival");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("wait reports, connected ends")
            << QString() << QByteArray("show(connected()) show(expect('never')) show(connected()) show('not reached')")
            << QByteArray("true\nnil, \"disconnected\"\nConnection closed - script stopped.\n");
        // The last fetch after the closed connection is seen can still match.
        QTest::newRow("last fetch completes the match")
            << QStringLiteral("bye") << QByteArray("show(expect('bye')) show(connected()) show('not reached')")
            << QByteArray("1, \"bye\"\nConnection closed - script stopped.\n");
        QTest::newRow("idle returns, then sleep ends the script")
            << QStringLiteral("last words") << QByteArray("idle() show(buffer()) sleep(0) show('not reached')")
            << QByteArray("\"last words\"\nConnection closed - script stopped.\n");
        QTest::newRow("readline and quiet report it")
            << QString() << QByteArray("show(readline()) show(quiet(10)) show('not reached')")
            << QByteArray("nil, \"disconnected\"\nConnection closed - script stopped.\n");
    }

    void disconnection()
    {
        QFETCH(QString, arrival);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, expected);

        Rig rig;
        SimTab &tab = rig.tab();
        // The session ends at the second `info` after loading; `arrival` was
        // sent just before it closed and shows up only after that.
        const int loadInfos = 1;
        tab.infoEvents.append({loadInfos + 1, [arrival](SimTab &t) {
                                   t.active = false;
                                   t.connected = false;
                                   if (!arrival.isEmpty())
                                       t.receive(arrival);
                               }});
        const RunResult result = rig.run(script);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, expected);
        QCOMPARE(result.err, QByteArray());
    }

    void requestOrder_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("ops");   // requests after loading
        QTest::addColumn<bool>("ended");        // ended by the closed connection

        const auto ops = [](const char *list) { return QString::fromLatin1(list).split(QLatin1Char(' ')); };
        // The session is found closed by the first `info` after loading.
        QTest::newRow("wait: fetch, check, connection, last fetch")
            << QByteArray("expect('never')") << ops("stream info stream") << false;
        QTest::newRow("sleep checks the connection only once seen closed")
            << QByteArray("sleep(0) readline() sleep(0)") << ops("stream stream info stream stream info") << true;
        QTest::newRow("idle: connection first, then one fetch") << QByteArray("idle()") << ops("info stream") << false;
        QTest::newRow("clear sends nothing, buffer fetches") << QByteArray("clear() buffer()") << ops("stream") << false;
        QTest::newRow("screen out of range asks info only") << QByteArray("screen(0)") << ops("info") << false;
    }

    void requestOrder()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, ops);
        QFETCH(bool, ended);

        Rig rig;
        rig.tab().infoEvents.append({1, [](SimTab &t) { t.active = false; }});
        const RunResult result = rig.run("require('vantorix') " + script);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, ended ? QByteArray("Connection closed - script stopped.\n") : QByteArray());
        QStringList seen;
        for (const FakeApp::Request &request : rig.app.requests.mid(7))
            seen.append(request.op());
        QCOMPARE(seen, ops);
    }

    void dialogs()
    {
        Rig rig;
        rig.sim.dialogReplies[QStringLiteral("dialog.prompt")] = {
            QJsonObject{{QStringLiteral("text"), QStringLiteral("typed")}, {QStringLiteral("cancelled"), false}},
            QJsonObject{{QStringLiteral("cancelled"), true}}};
        rig.sim.dialogReplies[QStringLiteral("dialog.confirm")] = {QJsonObject{{QStringLiteral("yes"), false}}};
        const QByteArray out = rig.output(
            "vantorix_answers = {input = {'', '', '', false, 'given'}, confirm = {1, false}, message = {'x'}} "
            "show(input('Name?', 'dflt'), input('Name?'), input('Name?', false), input('Name?'), input('Name?')) "
            "show(confirm('Sure?'), confirm('Sure?')) message('taken') "
            // the queues are empty now: the dialogs are shown
            "show(input(42, nil, 'yes'), input('Again?', 'd')) show(confirm('Really?')) message(7)");
        QCOMPARE(out, QByteArray("\"dflt\", \"\", false, nil, \"given\"\ntrue, false\n\"typed\", nil\nfalse\n"));

        // The shown prompt: message as text, the fixed title, the default, no tab.
        const QList<FakeApp::Request> prompts = rig.app.requestsFor(QStringLiteral("dialog.prompt"));
        QCOMPARE(prompts.size(), 2);
        QCOMPARE(prompts.first().json, (QJsonObject{{"op", "dialog.prompt"}, {"token", rig.app.token()}, {"message", "42"},
                                                    {"title", "Script"}, {"default", ""}, {"password", true}}));
        QCOMPARE(prompts.last().json.value(QStringLiteral("default")).toString(), QStringLiteral("d"));
        QCOMPARE(rig.app.requestsFor(QStringLiteral("dialog.message")).size(), 1);
        QCOMPARE(rig.app.requestsFor(QStringLiteral("dialog.confirm")).size(), 1);
    }

    void presetAnswersHeldByReference()
    {
        Rig rig;
        // A table with an __index that must not be consulted, answers added after
        // loading that count, and a replacement table that does not.
        const QByteArray out = rig.output(
            "vantorix_answers = {confirm = {}} "
            "local answers = vantorix_answers "
            "local _ = now "
            "answers.confirm[1] = false "
            "answers.input = {false} "
            "vantorix_answers = {confirm = {false}} "
            "show(confirm('a'), input('b'), confirm('c'))");
        QCOMPARE(out, QByteArray("false, nil, true\n"));
        QCOMPARE(rig.app.requestsFor(QStringLiteral("dialog.confirm")).size(), 1);

        Rig raw;
        QCOMPARE(raw.output("setmetatable(_G, {__index = function(_, k) "
                            "  if k == 'vantorix_answers' then return {confirm = {false}} end end}) "
                            "require('vantorix') show(confirm('q'))"),
                 QByteArray("true\n"));
    }

    void bbsTable_data()
    {
        QTest::addColumn<QJsonValue>("port");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("number") << QJsonValue(23) << QByteArray("23, \"integer\"");
        QTest::newRow("numeric string") << QJsonValue(QStringLiteral("2323")) << QByteArray("2323, \"integer\"");
        QTest::newRow("other string") << QJsonValue(QStringLiteral("telnet")) << QByteArray("\"telnet\", nil");
    }

    void bbsTable()
    {
        QFETCH(QJsonValue, port);
        QFETCH(QByteArray, expected);
        Rig rig;
        QJsonObject &options = rig.tab().options;
        options.insert(QStringLiteral("name"), QStringLiteral("Board"));
        options.insert(QStringLiteral("host"), QStringLiteral("bbs.example"));
        options.insert(QStringLiteral("username"), QStringLiteral("sysop"));
        options.insert(QStringLiteral("protocol"), QStringLiteral("telnet"));
        if (!port.isNull())
            options.insert(QStringLiteral("port"), port);
        QCOMPARE(rig.output("show(bbs.port, math.type(bbs.port)) "
                            "show(bbs.name, bbs.address, bbs.user, bbs.conn_type, bbs.password, bbs.syspass) "
                            "show(script_path == arg[0], type(script_path))"),
                 expected + "\n\"Board\", \"bbs.example\", \"sysop\", \"telnet\", nil, nil\ntrue, \"string\"\n");
    }

    // regex.match gives the whole match without groups, else the groups.
    void regexHelpers()
    {
        Rig rig;
        QCOMPARE(rig.output("show(regex.find('ab12', '([a-z]+)(\\\\d)')) show(regex.match('ab12', '\\\\d+')) "
                            "show(regex.match('k=v', '(\\\\w)=(\\\\w)')) show(regex.match('x1y2', '\\\\d', 3)) "
                            "show(regex.match(12345, '3.')) show(regex.match('abc', 'z'))"),
                 QByteArray("1, 3, \"ab\", \"1\"\n\"12\"\n\"k\", \"v\"\n\"2\"\n\"34\"\nnil\n"));
    }

    void exampleBbs()
    {
        QFile file(QStringLiteral(MORVANE_SOURCE_DIR "/examples/bbs.lua"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray example = file.readAll();

        Rig rig;
        SimTab &tab = rig.tab();
        tab.options.insert(QStringLiteral("username"), QStringLiteral("sysop"));
        tab.arriveAfter(0, QStringLiteral("\033[1;33mWelcome to The Board\033[0m\r\nLogin: "));
        rig.sim.dialogReplies[QStringLiteral("dialog.prompt")] = {
            QJsonObject{{QStringLiteral("text"), QStringLiteral("secret")}, {QStringLiteral("cancelled"), false}}};
        // The board answers what the script types.
        rig.sim.override(QStringLiteral("send.bytes"), [&tab](const QJsonObject &request) -> std::optional<Reply> {
            const QByteArray bytes = QByteArray::fromBase64(request.value(QStringLiteral("base64")).toString().toLatin1());
            if (bytes == "sysop\r")
                tab.receive(QStringLiteral("sysop\r\nPassword: "));
            else if (bytes == "secret\r")
                tab.receive(QStringLiteral("\r\nNews: the board moves on Friday.\r\nPress any key to continue"));
            else if (bytes == " ") {
                tab.receive(QStringLiteral("\033[2J\033[HMain Menu\r\n[M]essages\r\n[G]oodbye\r\n"));
                tab.rows[0] = QStringLiteral("Main Menu");
                tab.rows[1] = QStringLiteral("[M]essages   ");
                tab.rows[2] = QStringLiteral("[G]oodbye");
            }
            return std::nullopt;
        });
        RunOptions options;
        options.environment = rig.sim.environment();
        options.scriptName = QStringLiteral("bbs.lua");
        const RunResult result = runScript(&rig.app, example, options);
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QCOMPARE(result.out, QByteArray("Main Menu\n[M]essages\n[G]oodbye\n(1 pause answered)\n"));
        QCOMPARE(tab.sent, (QList<QByteArray>{"sysop\r", "secret\r", " "}));
        const QList<FakeApp::Request> prompts = rig.app.requestsFor(QStringLiteral("dialog.prompt"));
        QCOMPARE(prompts.size(), 1);
        QCOMPARE(prompts.first().json.value(QStringLiteral("password")), QJsonValue(true));
    }
};

QTEST_GUILESS_MAIN(Vantorix)
#include "tst_vantorix.moc"
