// morvane-host in the sessions a user runs, with tmux as the reference
// terminal: the screen the host ends with compared cell for cell with
// tmux's for the same program; the session handed to the person at a
// terminal (--interact) and a prompt asked there while the tab keeps
// receiving, the host itself run in a tmux pane.
#include "host_runs.h"

#include <QTemporaryDir>

#include <csignal>

namespace {

// A tmux server of its own with one pane, killed when the test is done
// with it (its socket file too, which a killed server leaves behind).
class Tmux {
public:
    Tmux(const QString &directory, const QString &command, QSize size)
        : m_socket(QStringLiteral("morvane-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++s_count))
    {
        run({"new-session", "-d", "-s", "pane", "-c", directory, "-x", QString::number(size.width()), "-y",
             QString::number(size.height()), command});
    }
    ~Tmux()
    {
        const QString socketPath = run({"display-message", "-p", "#{socket_path}"}).trimmed();
        run({"kill-server"});
        QFile::remove(socketPath);
    }
    QString run(const QStringList &arguments) const
    {
        QProcess tmux;
        tmux.start(QStringLiteral("tmux"), QStringList{"-L", m_socket, "-f", "/dev/null"} + arguments);
        tmux.waitForFinished(10000);
        return QString::fromUtf8(tmux.readAllStandardOutput());
    }
    QString screen() const { return run({"capture-pane", "-p", "-t", "pane"}); }
    void type(const QString &keys) const { run({"send-keys", "-t", "pane", "-l", keys}); }
    bool awaitScreen(const QString &text) const
    {
        return QTest::qWaitFor([&] { return screen().contains(text); }, 15000);
    }

private:
    static inline int s_count = 0;
    QString m_socket;
};

} // namespace

class HostSession : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sameScreenAsTmux_data();
    void sameScreenAsTmux();
    void inPane_data();
    void inPane();
};

void HostSession::sameScreenAsTmux_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("wait");  // shown before the keys are typed
    QTest::addColumn<QString>("keys");

    // Each command leaves "done" on the screen when it is over. The text file
    // is longer than the screen, so that a full-screen program fills it.
    const QString file = QStringLiteral("seq 1 100 | sed 's/^/line /' > f.txt; printf 'main 1\\nmain 2\\n'; ");
    // Mode 1049 saves the cursor; 1047 does not; 47 is switched by the host itself.
    QTest::newRow("alternate screens 1049, 1047 and 47") << "printf 'main\\033[?1049h\\033[Halt\\033[?1049l 1\\n\\033[?1047h\\033[Halt\\033[?1047l"
                                                            "\\033[?47h\\033[Halt\\033[?47l 2\\n'; printf done" << "" << "";
    QTest::newRow("vim quit") << file + "vim -u NONE -N -i NONE f.txt; printf done" << "line 20" << ":q\r";
}

// The same program at the same size in tmux and in the host: the screens
// match once it is over.
void HostSession::sameScreenAsTmux()
{
    QFETCH(QString, command);
    QFETCH(QString, wait);
    QFETCH(QString, keys);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The same terminal type in both, so that both get the same bytes.
    const QString full = QStringLiteral("export TERM=xterm-256color; %1; sleep 30").arg(command);
    const Tmux tmux(dir.path(), full, QSize(80, 24));
    if (!wait.isEmpty()) {
        QVERIFY2(tmux.awaitScreen(wait), qPrintable(tmux.screen()));
        tmux.type(keys);
    }
    QVERIFY2(tmux.awaitScreen(QStringLiteral("done")), qPrintable(tmux.screen()));

    // Waits for `wait`, sends `keys`, waits for "done" and prints the whole
    // screen as tmux does: no blanks at the ends of rows or after the last.
    writeFile(dir.filePath(QStringLiteral("script.lua")), R"lua(
local s = require('morvane').app.Screen
if arg[1] ~= '' then assert(s:WaitForString(arg[1], 10)) s:Send(arg[2]) end
assert(s:WaitForString('done', 10))
print((s:Get2(1, 1, s.Rows, s.Columns):gsub(' +\n', '\n'):gsub('%s+$', '')))
)lua");
    const HostRun host = runHost(dir.path(), {QStringLiteral("--size"), QStringLiteral("80x24"), QStringLiteral("-c"), full,
                                              QStringLiteral("script.lua"), wait, keys});
    QVERIFY2(host.status == 0 && host.err.isEmpty(), qPrintable(host.err));
    QCOMPARE(host.out, tmux.screen().remove(QRegularExpression(QStringLiteral("\\s+$"))) + QLatin1Char('\n'));
}

void HostSession::inPane_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("steps");  // in turns: text to await on the pane, then keys to type
    QTest::addColumn<QString>("end");        // what the pane shows after the host

    // The shell handed over after the script has the terminal's size and
    // follows a resize (<resize> makes the pane 120x40); Ctrl-] passes
    // without a newline, so the terminal is raw while it is handed over.
    const QString interact = QStringLiteral("--interact -c \"exec env PS1='$ ' ENV= /bin/sh\"");
    const QByteArray login = "assert(require('morvane').app.Screen:WaitForString('$ ', 10))";
    const QStringList handOver{"$", "stty size\r", "30 100", "<resize>stty size\r", "40 120"};
    QTest::newRow("hand-over: program exit status") << interact << login << handOver + QStringList{"exit 3\r"} << "status=3 restored";
    QTest::newRow("hand-over: Ctrl-] leaves") << interact << login << handOver + QStringList{"\x1d"} << "status=0 restored";
    QTest::newRow("hand-over: SIGTERM") << interact << login << handOver + QStringList{"kill -TERM $PPID\r"}
                                        << QStringLiteral("status=%1 restored").arg(128 + SIGTERM);
    QTest::newRow("script fails: no hand-over") << interact << QByteArray("os.exit(4)") << QStringList{} << "status=4 restored";
    // Regression: a prompt asked on the terminal blocked the event loop; the
    // tab keeps receiving meanwhile (its output reaches the pane through
    // --show). A password is not echoed.
    QTest::newRow("prompts while the tab receives") << "--show -c 'sleep 0.5; echo arrived-meanwhile; sleep 30'" << QByteArray(R"lua(
local n, tab = __morvane_native, os.getenv('MORVANE_TAB')
n.rpc{ op = 'info', tab = tab }
local name = n.rpc{ op = 'dialog.prompt', title = 'Login', message = 'Name?' }.text
print('answer=' .. name .. ' ' .. n.rpc{ op = 'dialog.prompt', message = 'Password?', password = true }.text)
)lua") << QStringList{"Name?", "", "arrived-meanwhile", "joe\r", "Password?", "pw\r"} << "answer=joe pw\nstatus=0 restored";
}

// The host in a 100x30 tmux pane; after it the pane says its status and
// whether the terminal's modes are as they were before.
void HostSession::inPane()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, script);
    QFETCH(QStringList, steps);
    QFETCH(QString, end);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    writeFile(dir.filePath(QStringLiteral("script.lua")), script);
    const QString command = QStringLiteral("stty -g > modes; %1 --runner %2 %3 script.lua; "
                                           "echo \"status=$? $(stty -g | cmp -s - modes && echo restored)\"; sleep 30");
    const Tmux tmux(dir.path(), command.arg(QStringLiteral(MORVANE_HOST_PATH), QStringLiteral(MORVANE_LUA_PATH), arguments), QSize(100, 30));
    for (qsizetype step = 0; step + 1 < steps.size(); step += 2) {
        QVERIFY2(tmux.awaitScreen(steps[step]), qPrintable(tmux.screen()));
        if (steps[step + 1].startsWith(QLatin1String("<resize>")))
            tmux.run({"resize-window", "-t", "pane", "-x", "120", "-y", "40"});
        if (!steps[step + 1].isEmpty())
            tmux.type(QString(steps[step + 1]).remove(QStringLiteral("<resize>")));
    }
    QVERIFY2(tmux.awaitScreen(end), qPrintable(tmux.screen()));
    QVERIFY2(!tmux.screen().contains(QLatin1String("> pw")), qPrintable(tmux.screen()));
}

QTEST_GUILESS_MAIN(HostSession)
#include "tst_host_session.moc"
