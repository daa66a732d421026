// Command line, exit statuses, script loading, arg/varargs/package.path,
// registration of the natives and the lazy loader.
#include "sim_terminal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class Runner : public QObject {
    Q_OBJECT

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }

private Q_SLOTS:
    void commandLine_data();
    void commandLine();
    void outcomes_data();
    void outcomes();
    void scriptFromPipe();
    void argumentsAndPath();
    void scriptsRunInTheCLocale_data();
    void scriptsRunInTheCLocale();
    void modulesAsIfCompiledFromText_data();
    void modulesAsIfCompiledFromText();
    void globals_data();
    void globals();
    void lazyLoaderLoadsTheModule();
};

void Runner::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // regular expressions over the whole stdout and stderr
    QTest::addColumn<QString>("err");
    QTest::newRow("no arguments") << QStringList{} << 2 << "^$" << "^Usage: morvane-lua script\\.lua \\[arguments\\.\\.\\.\\]\\n$";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "^Morvane Lua 0\\.5\\.0 \\(Lua 5\\.4\\.\\d+\\)\\n$" << "^$";
    // Anything but a lone "--version" is a script path: one line of the
    // file layer's message, no usage text.
    const QString notFound("^(?!Usage)[^\\n]+\\n$");
    QTest::newRow("--version and more") << QStringList{"--version", "x"} << 1 << "^$" << notFound;
    QTest::newRow("--Version") << QStringList{"--Version"} << 1 << "^$" << notFound;
    QTest::newRow("missing script") << QStringList{"nope.lua"} << 1 << "^$" << notFound;
    // A device reports size 0: the read itself stops at the limit.
    QTest::newRow("endless device") << QStringList{"/dev/zero"} << 1 << "^$" << "^Lua script exceeds 16 MB\\.\\n$";
}

void Runner::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const RunResult result = runRunner(arguments);
    QCOMPARE(result.exitCode, status);
    QVERIFY2(QRegularExpression(out).match(result.outText()).hasMatch(), result.out.constData());
    QVERIFY2(QRegularExpression(err).match(result.errText()).hasMatch(), result.err.constData());
}

void Runner::outcomes_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("err"); // regular expression over the whole stderr
    QTest::newRow("runs to its end") << QByteArray("print('hi')") << 0 << QString("^$");
    QTest::newRow("returns an error object") << QByteArray("return nil, 'failed'") << 0 << QString("^$");
    QTest::newRow("string error with traceback")
        << QByteArray("\nlocal function f() error('boom') end\nf()") << 1
        << QString("^/\\S+/script\\.lua:2: boom\\nstack traceback:\\n(.|\\n)*script\\.lua:3: in main chunk(.|\\n)*\\n$");
    QTest::newRow("number error") << QByteArray("error(42)") << 1 << QString("^42\\nstack traceback:\\n(.|\\n)*\\n$");
    QTest::newRow("nil error") << QByteArray("error()") << 1 << QString("^Lua error \\(non-text value\\)\\n$");
    QTest::newRow("table error with __tostring")
        << QByteArray("error(setmetatable({}, {__tostring = function() return 'x' end}))") << 1
        << QString("^Lua error \\(non-text value\\)\\n$");
    QTest::newRow("syntax error has no traceback") << QByteArray("x = = 1") << 1
        << QString("^/\\S+/script\\.lua:1: unexpected symbol near '='\\n$");
    QTest::newRow("os.exit keeps its status") << QByteArray("io.write('a') os.exit(7)") << 7 << QString("^$");
    QTest::newRow("precompiled chunk refused") << QByteArray("\x1bLua") << 1
        << QString("^attempt to load a binary chunk \\(mode is 't'\\)\\n$");
    QTest::newRow("#! line keeps line numbers") << QByteArray("#!/usr/bin/env morvane-lua\nerror('x')") << 1
        << QString("script\\.lua:2: x\\n");
    QTest::newRow("#! line with CR LF") << QByteArray("#!/bin/x\r\nerror('x')") << 1 << QString("script\\.lua:2: x\\n");
    QTest::newRow("#! alone") << QByteArray("#!") << 0 << QString("^$");
    QTest::newRow("BOM and #!") << QByteArray("\xEF\xBB\xBF#!x\nerror('y')") << 1 << QString("script\\.lua:2: y\\n");
    QTest::newRow("BOM alone") << QByteArray("\xEF\xBB\xBF" "error('z')") << 1 << QString("script\\.lua:1: z\\n");
    QTest::newRow("# without ! is Lua's problem") << QByteArray("# comment\n") << 1 << QString("script\\.lua:1: ");
    // A comment line padded to the limit exactly compiles and runs; one byte
    // more is refused before Lua sees it.
    const QByteArray padded = "error('ran') --" + QByteArray(16777216 - 15, 'x');
    QTest::newRow("script of 16 MiB") << padded << 1 << QString("^/\\S+/script\\.lua:1: ran\\n");
    QTest::newRow("one byte more") << padded + 'x' << 1 << QString("^Lua script exceeds 16 MB\\.\\n$");
}

void Runner::outcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(int, status);
    QFETCH(QString, err);
    const RunResult result = runScript(nullptr, script);
    QCOMPARE(result.exitCode, status);
    QVERIFY2(QRegularExpression(err).match(result.errText()).hasMatch(), result.err.constData());
}

void Runner::scriptFromPipe()
{
    // A pipe reports size 0: the script is still read to its end.
    QTemporaryDir directory;
    const QString fifo = directory.filePath("script.fifo");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QProcess writer;
    writer.start("/bin/sh", {"-c", "printf 'io.write(\"from a pipe\")' > \"$0\"", fifo});
    const RunResult result = runRunner({fifo});
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QVERIFY(writer.state() == QProcess::NotRunning || writer.waitForFinished(5000));
    QCOMPARE(result.out, QByteArray("from a pipe"));
}

void Runner::argumentsAndPath()
{
    QTemporaryDir directory;
    QVERIFY(QDir(directory.path()).mkpath("sub/mod"));
    writeFile(directory.filePath("sub/helper.lua"), "return 'beside'");
    writeFile(directory.filePath("sub/mod/init.lua"), "return 'folder'");
    writeFile(directory.filePath("sub/s.lua"),
              "dofile('" MORVANE_SOURCE_DIR "/tests/lua/show.lua')\n"
              "show(arg[0], #arg, arg[1], arg[2], arg[3], arg[-1])\n"
              "show(...)\n"
              "local d = arg[0]:match('^(.*)/') show(package.path:sub(1, 2 * #d + 19) == d .. '/?.lua;' .. d .. '/?/init.lua;')\n"
              "show((require('helper')), (require('mod')))\n"
              "local keys = 0 for _ in pairs(arg) do keys = keys + 1 end show(keys)\n");
    RunOptions options;
    options.workingDirectory = directory.path();
    const RunResult result = runRunner({"sub/s.lua", "a", "\u00e9\U0001F600"}, options);
    QCOMPARE(result.exitCode, 0);
    const QByteArray path = QFileInfo(directory.path()).canonicalFilePath().toUtf8() + "/sub/s.lua";
    const QByteArray accented("\"\\195\\169\\240\\159\\152\\128\"");
    QCOMPARE(result.out, "\"" + path + "\", 2, \"a\", " + accented + ", nil, nil\n\"a\", " + accented
                             + "\ntrue\n\"beside\", \"folder\"\n3\n");
}

void Runner::scriptsRunInTheCLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("decimal comma, German names") << "de_DE.UTF-8";
    QTest::newRow("collation ignoring case") << "en_US.UTF-8";
}

void Runner::scriptsRunInTheCLocale()
{
    // Whatever the user's locale, scripts run in the C locale, as under the
    // plain interpreter: numbers with a point, strings compared and sorted
    // by byte value, dates in English.
    QFETCH(QString, locale);
    QTemporaryDir locales;
    QProcess localedef;
    localedef.start("localedef", {"-i", locale.section('.', 0, 0), "-f", "UTF-8", locales.filePath(locale)});
    if (!localedef.waitForFinished(60000) || !QFileInfo::exists(locales.filePath(locale)))
        QSKIP("localedef cannot build the locale (install the locales package)");
    RunOptions options;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LOCPATH", locales.path());
    environment.insert("LC_ALL", locale);
    options.environment = environment;
    const RunResult result = runScript(nullptr,
        "local words = {'b', 'B', 'a', 'A'} table.sort(words)\n"
        "print(os.setlocale(nil), 1.5, tonumber('2.5'), ('%.1f'):format(0.5), 'a' < 'B', table.concat(words),\n"
        "      os.date('!%A %B', 0))", options);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("C\t1.5\t2.5\t0.5\tfalse\tABab\tThursday January\n"));
}

void Runner::modulesAsIfCompiledFromText_data()
{
    // Each probe runs twice: on the embedded chunks, and with the chunk under
    // test compiled from its source text at run time (line 1 installs it);
    // both runs must print the same, and that must be what the pattern says.
    QTest::addColumn<QByteArray>("fromText");
    QTest::addColumn<QByteArray>("probe");
    QTest::addColumn<QString>("pattern");
    const auto source = [](const char *file) {
        return QByteArray("assert(load(io.open('" MORVANE_SOURCE_DIR "/src/lua/") + file + "', 'rb'):read('a'), ";
    };
    QTest::newRow("morvane: error position, traceback, debug information")
        << "package.preload.morvane = " + source("morvane.lua") + "'@morvane.lua', 't'))"
        << QByteArray("local m = require('morvane')\n"
                      "local f = debug.getinfo(m.rpc, 'Slu') print(f.source, f.short_src, f.linedefined, f.lastlinedefined, f.what, f.nparams)\n"
                      "print(debug.getinfo(package.preload.morvane, 'S').source, debug.getlocal(m.rpc, 3))\n"
                      "print(xpcall(m.rpc, debug.traceback, 'info', nil, 5))\n")
        << "^@morvane\\.lua\tmorvane\\.lua\t\\d+\t\\d+\tLua\t3\n@morvane\\.lua\tvalues\n"
           "false\tmorvane\\.lua:\\d+: attempt to index a number value \\(local 'values'\\)\n"
           "stack traceback:\n\tmorvane\\.lua:\\d+: in function 'morvane\\.rpc'\n\t\\[C\\]: in function 'xpcall'\n"
           "\t/\\S+/script\\.lua:5: in main chunk\n$";
    QTest::newRow("vantorix: error position and traceback through the lazy loader")
        << "package.preload.vantorix = " + source("vantorix.lua") + "'@vantorix.lua', 't'))"
        << QByteArray("local f = debug.getinfo(readline, 'S') print(f.source, f.short_src, f.linedefined)\n"
                      "print(xpcall(readline, debug.traceback, {}))\n")
        << "^@vantorix\\.lua vantorix\\.lua \\d+\n"  // the module's print joins with blanks
           "false vantorix\\.lua:\\d+: attempt to compare number with table\n"
           "stack traceback:\n\tvantorix\\.lua:\\d+: in function <vantorix\\.lua:\\d+>\n\t\\(\\.\\.\\.tail calls\\.\\.\\.\\)\n";
    QTest::newRow("lazy loader: its hook")
        << "setmetatable(_G, nil) " + source("lazy.lua") + "'=morvane-vantorix', 't'))()"
        << QByteArray("local f = debug.getinfo(getmetatable(_G).__index, 'Su') print(f.source, f.short_src, f.linedefined, f.nups)\n")
        << "^=morvane-vantorix\tmorvane-vantorix\t\\d+\t\\d\n$";
}

void Runner::modulesAsIfCompiledFromText()
{
    QFETCH(QByteArray, fromText);
    QFETCH(QByteArray, probe);
    QFETCH(QString, pattern);
    QTemporaryDir directory;  // one script path for both runs
    QByteArray outputs[2];
    for (int run = 0; run < 2; ++run) {
        FakeApp app;
        SimTerminal terminal(app);
        RunOptions options;
        options.environment = terminal.environment();
        options.workingDirectory = directory.path();
        const RunResult result = runScript(&app, (run == 0 ? QByteArray() : fromText) + "\n" + probe, options);
        QCOMPARE(result.err, QByteArray());
        outputs[run] = result.out;
    }
    QCOMPARE(outputs[0], outputs[1]);
    QVERIFY2(QRegularExpression(pattern).match(QString::fromUtf8(outputs[0])).hasMatch(), outputs[0].constData());
}

void Runner::globals_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("natives and preloads")
        << QByteArray("local names = {} for k, v in pairs(__morvane_native) do names[#names + 1] = k .. ':' .. type(v) end "
                      "table.sort(names) show(table.concat(names, ' ')) "
                      "show(type(package.preload.morvane), type(package.preload.vantorix), package.loaded.vantorix)")
        << QByteArray("\"base64:function find:function now:function read_file:function regex_find:function "
                      "rpc:function sleep:function strip:function write_file:function\"\n\"function\", \"function\", nil\n");
    // The lazy loader's hook stays until a listed name is read.
    QTest::newRow("unlisted names load nothing")
        << QByteArray("show(undefined_name, package.loaded.vantorix, getmetatable(_G) ~= nil)") << QByteArray("nil, nil, true\n");
    QTest::newRow("assignment before reading") << QByteArray("send = 1 show(send, package.loaded.vantorix)") << QByteArray("1, nil\n");
    QTest::newRow("own metatable replaces the hook")
        << QByteArray("setmetatable(_G, {}) show(expect, package.loaded.vantorix)") << QByteArray("nil, nil\n");
}

void Runner::globals()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, expected);
    const RunResult result = runScript(nullptr, withShow(script));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, expected);
}

void Runner::lazyLoaderLoadsTheModule()
{
    // Reading `before` loads the module through the hook, removes the hook and
    // yields nil (the module sets it only after a match).
    FakeApp app;
    SimTerminal terminal(app);
    RunOptions options;
    options.environment = terminal.environment();
    const RunResult result = runScript(&app, withShow(
        "show(before, getmetatable(_G), type(package.loaded.vantorix), package.loaded.vantorix.loaded)"), options);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("nil, nil, \"table\", true\n"));
}

QTEST_GUILESS_MAIN(Runner)
#include "tst_runner.moc"
