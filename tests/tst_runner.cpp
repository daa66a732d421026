// Command line, exit statuses, script loading, arg/varargs/package.path, the
// C locale, the embedded modules' debug information and the lazy loader.
#include "sim_terminal.h"

#include <QTemporaryDir>
#include <QtTest>

class Runner : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outcomes_data();
    void outcomes();
    void argumentsPathAndLocale();
    void modulesAndLazyLoader();
};

void Runner::outcomes_data()
{
    // Either a script the runner is given, or its exact command line.
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // regular expression over the whole stdout and stderr
    const auto script = [](const char *name, const QByteArray &text, int status, const char *output) {
        QTest::newRow(name) << text << QStringList() << status << QString(output);
    };
    const auto command = [](const char *name, const QStringList &arguments, int status, const char *output) {
        QTest::newRow(name) << QByteArray() << arguments << status << QString(output);
    };
    command("no arguments", {}, 2, "^Usage: morvane-lua script\\.lua \\[arguments\\.\\.\\.\\]\\n$");
    command("version", {"--version"}, 0, "^Morvane Lua \\S+ \\(Lua 5\\.4\\.\\d+\\)\\n$");
    // Anything but a lone "--version" is a script path: one line of the file
    // layer's message, no usage text.
    command("--version and more", {"--version", "x"}, 1, "^(?!Usage)[^\\n]+\\n$");
    script("string error with traceback", "\nlocal function f() error('boom') end\nf()", 1,
           "^/\\S+/script\\.lua:2: boom\\nstack traceback:\\n(.|\\n)*script\\.lua:3: in main chunk(.|\\n)*\\n$");
    script("table error with __tostring", "error(setmetatable({}, {__tostring = function() return 'x' end}))", 1,
           "^Lua error \\(non-text value\\)\\n$");
    script("precompiled chunk refused", "\x1bLua", 1, "^attempt to load a binary chunk \\(mode is 't'\\)\\n$");
    // A byte-order mark goes and a "#!" line is emptied, line numbers kept.
    script("BOM and #! line with CR LF", "\xEF\xBB\xBF#!x\r\nerror('y')", 1, "script\\.lua:2: y\\n");
    script("#! alone", "#!", 0, "^$");
    // One byte past the limit is refused before Lua sees it.
    script("script of 16 MiB and a byte", QByteArray(16777217, '-'), 1, "^Lua script exceeds 16 MB\\.\\n$");
}

void Runner::outcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    const RunResult result = script.isNull() ? runRunner(arguments) : runScript(nullptr, script);
    QCOMPARE(result.exitCode, status);
    const QString text = result.outText() + result.errText();
    QVERIFY2(QRegularExpression(output).match(text).hasMatch(), qPrintable(text));
}

void Runner::argumentsPathAndLocale()
{
    // arg and the varargs hold the script arguments, arg[0] the script's
    // absolute path; the script's directory leads package.path. Whatever the
    // user's locale (here decimal commas, German names and a collation that
    // ignores case), scripts run in the C locale, as under the plain interpreter.
    QTemporaryDir directory;
    QProcess localedef;
    localedef.start("localedef", {"-i", "de_DE", "-f", "UTF-8", directory.filePath("de_DE.UTF-8")});
    if (!localedef.waitForFinished(60000) || !QFileInfo::exists(directory.filePath("de_DE.UTF-8")))
        QSKIP("localedef cannot build the locale (install the locales package)");
    writeFile(directory.filePath("s.lua"), withShow(
        "show(arg[0], #arg, arg[1], arg[2], arg[3], arg[-1]) show(...) "
        "local d = arg[0]:match('^(.*)/') show(package.path:sub(1, 2 * #d + 19) == d .. '/?.lua;' .. d .. '/?/init.lua;') "
        "local words = {'b', 'B', 'a', 'A'} table.sort(words) "
        "show(os.setlocale(nil), 1.5, tonumber('2.5'), ('%.1f'):format(0.5), 'a' < 'B', table.concat(words), os.date('!%A %B', 0))"));
    RunOptions options;
    options.workingDirectory = directory.path();
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert("LOCPATH", directory.path());
    options.environment.insert("LC_ALL", "de_DE.UTF-8");
    const RunResult result = runRunner({"s.lua", "a", "\u00e9\U0001F600"}, options);
    QCOMPARE(result.err, QByteArray());
    const QByteArray path = QFileInfo(directory.path()).canonicalFilePath().toUtf8() + "/s.lua";
    const QByteArray accented("\"\\195\\169\\240\\159\\152\\128\"");
    QCOMPARE(result.out, "\"" + path + "\", 2, \"a\", " + accented + ", nil, nil\n\"a\", " + accented
                             + "\ntrue\n\"C\", 1.5, 2.5, \"0.5\", false, \"ABab\", \"Thursday January\"\n");
}

void Runner::modulesAndLazyLoader()
{
    // The embedded chunks keep their names and debug information: a function
    // reads as it does when the source text is compiled at run time. The
    // lazy loader's hook loads nothing for an unlisted or assigned name;
    // reading a listed one (`before`, nil until a match) loads the module
    // and removes the hook.
    FakeApp app;
    SimTerminal terminal(app);
    const RunResult result = terminal.run(withShow(
        "local function compiled(file, name) "
        "  return assert(load(io.open('" MORVANE_SOURCE_DIR "/src/lua/' .. file, 'rb'):read('a'), name, 't')) end "
        "local function where(f) local i = debug.getinfo(f, 'Slu') "
        "  return table.concat({i.source, i.short_src, i.linedefined, i.lastlinedefined, i.nparams}, ' ') end "
        "local embedded, fromText = require('morvane'), compiled('morvane.lua', '@morvane.lua')('morvane') "
        "show(where(embedded.rpc) == where(fromText.rpc), where(embedded.rpc)) "
        "send = 1 show(undefined_name, send, package.loaded.vantorix) "
        "local hook = getmetatable(_G).__index setmetatable(_G, nil) compiled('lazy.lua', '=morvane-vantorix')() "
        "show(where(hook) == where(getmetatable(_G).__index), where(hook)) setmetatable(_G, {__index = hook}) "
        "show(before, getmetatable(_G), package.loaded.vantorix.loaded)"));
    QCOMPARE(result.err, QByteArray());
    QVERIFY2(QRegularExpression("^true, \"@morvane\\.lua morvane\\.lua \\d+ \\d+ 3\"\nnil, 1, nil\n"
                                "true, \"=morvane-vantorix morvane-vantorix \\d+ \\d+ 2\"\nnil, nil, true\n$")
                 .match(result.outText()).hasMatch(), result.out.constData());
}

QTEST_GUILESS_MAIN(Runner)
#include "tst_runner.moc"
