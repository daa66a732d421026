// morvane-host in the sessions a user runs: the screen compared cell for
// cell with tmux running the same program at the same size, the first output
// of a tab seen by a script's first wait, sessions watched (--show) and
// handed over (--interact, through a pseudo-terminal that plays the user),
// dialogs on the terminal, the status of an ended program, CP437.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef MORVANE_HOST_PATH
#error "tst_host_session needs the morvane-host target"
#endif

namespace {

struct HostRun {
    int exitCode = -1;
    QString out;
    QString err;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Runs `script` under the host with `hostArguments`; the script gets its
// arguments after the script path.
HostRun runHost(const QTemporaryDir &dir, const QByteArray &script, const QStringList &hostArguments,
                const QStringList &scriptArguments = {})
{
    const QString path = dir.filePath(QStringLiteral("script.lua"));
    writeFile(path, script);
    QProcess host;
    host.setWorkingDirectory(dir.path());
    host.start(QStringLiteral(MORVANE_HOST_PATH),
               hostArguments + QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH), path} + scriptArguments);
    host.closeWriteChannel();
    HostRun run;
    if (!host.waitForFinished(60000)) {
        host.kill();
        host.waitForFinished();
        run.err = QStringLiteral("(the host did not finish) ");
    }
    run.exitCode = host.exitStatus() == QProcess::NormalExit ? host.exitCode() : -1;
    run.out = QString::fromUtf8(host.readAllStandardOutput());
    run.err += QString::fromUtf8(host.readAllStandardError());
    return run;
}

// Rows without their trailing blanks, and no blank rows at the end: tmux
// leaves out what the host pads with spaces.
QString trimmedScreen(const QString &screen)
{
    QStringList rows = screen.split(QLatin1Char('\n'));
    for (QString &row : rows)
        while (row.endsWith(QLatin1Char(' ')))
            row.chop(1);
    while (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    return rows.join(QLatin1Char('\n'));
}

// A tmux server of its own, killed when the test is done with it.
class Tmux {
public:
    // A server of its own per instance: a killed server's socket may linger a moment.
    Tmux() : m_socket(QStringLiteral("morvane-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++s_count)) {}
    ~Tmux()
    {
        // tmux leaves the socket file behind when its server is killed.
        const QString socketPath = run({QStringLiteral("display-message"), QStringLiteral("-p"), QStringLiteral("#{socket_path}")}).trimmed();
        run({QStringLiteral("kill-server")});
        if (!socketPath.isEmpty())
            QFile::remove(socketPath);
    }

    QString run(const QStringList &arguments) const
    {
        QProcess tmux;
        tmux.start(QStringLiteral("tmux"), QStringList{QStringLiteral("-L"), m_socket, QStringLiteral("-f"), QStringLiteral("/dev/null")} + arguments);
        tmux.waitForFinished(10000);
        return QString::fromUtf8(tmux.readAllStandardOutput());
    }
    QString screen() const { return run({QStringLiteral("capture-pane"), QStringLiteral("-p"), QStringLiteral("-t"), QStringLiteral("screen")}); }
    bool awaitScreen(const QString &text) const
    {
        QElapsedTimer timer;
        timer.start();
        while (!screen().contains(text)) {
            if (timer.elapsed() > 10000)
                return false;
            QThread::msleep(20);
        }
        return true;
    }

private:
    static inline int s_count = 0;
    QString m_socket;
};

// Waits for `wait` on the screen, sends `keys`, waits for "done" and prints
// the whole screen.
const QByteArray screenScript = R"lua(
local n, tab = __morvane_native, os.getenv('MORVANE_TAB')
local wait, keys = arg[1], arg[2]
local function screen() return n.rpc{ op = 'screen.region', tab = tab }.text end
local function await(text)
  local deadline = n.now() + 10
  while not screen():find(text, 1, true) do
    if n.now() > deadline then error('never shown: ' .. text .. '\n' .. screen()) end
    n.sleep(20)
  end
end
if wait ~= '' then
  await(wait)
  n.rpc{ op = 'send', tab = tab, text = keys }
end
await('done')
io.write(screen())
)lua";

// Processes whose command line holds `marker` (the children a test started).
int processesWith(const QByteArray &marker)
{
    int count = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().replace('\0', ' ').contains(marker))
            ++count;
    }
    return count;
}

// Keeps both cores busy while it lives: races between the host and the
// programs it starts show up under load.
class BusyMachine {
public:
    BusyMachine()
    {
        for (QProcess &loop : m_loops)
            loop.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
    }
    ~BusyMachine()
    {
        for (QProcess &loop : m_loops) {
            loop.kill();
            loop.waitForFinished();
        }
    }

private:
    QProcess m_loops[2];
};

// The host on a pseudo-terminal of its own; the test plays the person at it.
class TerminalUser {
public:
    TerminalUser(const QStringList &arguments, QSize size)
    {
        winsize window{};
        window.ws_col = static_cast<unsigned short>(size.width());
        window.ws_row = static_cast<unsigned short>(size.height());
        std::vector<std::string> strings{MORVANE_HOST_PATH};
        for (const QString &argument : arguments)
            strings.push_back(argument.toStdString());
        std::vector<char *> argv;
        for (std::string &string : strings)
            argv.push_back(string.data());
        argv.push_back(nullptr);
        m_pid = forkpty(&m_master, nullptr, nullptr, &window);
        if (m_pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        tcgetattr(m_master, &m_initial);
    }
    ~TerminalUser()
    {
        if (m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        ::close(m_master);
    }

    // Reads until what the terminal showed since the last call holds `text`.
    bool await(const QByteArray &text, int timeoutMs = 15000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_seen.contains(text)) {
            pollfd ready{m_master, POLLIN, 0};
            if (timer.elapsed() > timeoutMs || poll(&ready, 1, 100) < 0)
                return false;
            char buffer[4096];
            const ssize_t count = ready.revents ? ::read(m_master, buffer, sizeof buffer) : 0;
            if (count > 0)
                m_seen.append(buffer, count);
            else if (ready.revents)
                return false;  // the host and everything on its terminal are gone
        }
        m_seen.remove(0, m_seen.indexOf(text) + text.size());
        return true;
    }
    void type(const QByteArray &keys) { QCOMPARE(::write(m_master, keys.constData(), keys.size()), keys.size()); }
    void resize(QSize size)
    {
        winsize window{};
        window.ws_col = static_cast<unsigned short>(size.width());
        window.ws_row = static_cast<unsigned short>(size.height());
        ioctl(m_master, TIOCSWINSZ, &window);
    }
    // The terminal's local modes (echo, canonical input, signals).
    tcflag_t localModes() const
    {
        termios mode{};
        tcgetattr(m_master, &mode);
        return mode.c_lflag;
    }
    tcflag_t initialLocalModes() const { return m_initial.c_lflag; }
    pid_t pid() const { return m_pid; }
    // The host's exit status, -1 when it did not end in time.
    int exitStatus(int timeoutMs = 15000)
    {
        QElapsedTimer timer;
        timer.start();
        int status = 0;
        while (timer.elapsed() < timeoutMs) {
            char buffer[4096];
            while (::read(m_master, buffer, sizeof buffer) > 0) {
            }
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            QThread::msleep(20);
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_master = -1;
    termios m_initial{};
    QByteArray m_seen;
};

} // namespace

class HostSession : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sameScreenAsTmux_data();
    void sameScreenAsTmux();
    void firstOutputSeen();
    void sessions_data();
    void sessions();
    void interact_data();
    void interact();
    void interactRefusedWithoutTerminal();
    void dialogKeepsTabsReceiving();
};

void HostSession::sameScreenAsTmux_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("wait");  // shown before the keys are typed
    QTest::addColumn<QString>("keys");

    // Each command leaves "done" on the screen when it is over. The text file
    // is longer than the screen, so that a full-screen program fills it.
    const QString file = QStringLiteral("seq 1 100 | sed 's/^/line /' > f.txt; ");
    const QString main = QStringLiteral("printf 'main 1\\nmain 2\\n'; ");
    QTest::newRow("alternate screen 1049") << main + "printf '\\033[?1049h\\033[Halt\\033[?1049l'; printf done" << "" << "";
    QTest::newRow("alternate screen 1047") << main + "printf '\\033[?1047h\\033[Halt\\033[?1047l'; printf done" << "" << "";
    QTest::newRow("alternate screen 47") << main + "printf '\\033[?47h\\033[Halt\\033[?47l'; printf done" << "" << "";
    QTest::newRow("1049 saves the cursor") << main + "printf 'ab\\033[?1049h\\033[5;5Hx\\033[?1049lc'; printf ' done'" << "" << "";
    QTest::newRow("alternate screen cleared on entry") << main + "printf '\\033[?1049hold\\033[?1049l\\033[?1049h\\033[2;1Hnew\\033[?1049l'; printf done"
                                                       << "" << "";
    QTest::newRow("vim quit") << file + main + "vim -u NONE -N -i NONE f.txt; printf done" << "line 20" << ":q\r";
    QTest::newRow("less quit") << file + main + "less f.txt; printf done" << "line 20" << "q";
}

// The same program at the same size under tmux and the host: the screens
// match once it is over.
void HostSession::sameScreenAsTmux()
{
    QFETCH(QString, command);
    QFETCH(QString, wait);
    QFETCH(QString, keys);
    if (QStandardPaths::findExecutable(QStringLiteral("tmux")).isEmpty())
        QSKIP("tmux is not installed");
    if (command.contains(QLatin1String("vim")) && QStandardPaths::findExecutable(QStringLiteral("vim")).isEmpty())
        QSKIP("vim is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The same terminal type in both, so that both get the same bytes.
    const QString full = QStringLiteral("cd '%1'; export TERM=xterm-256color LESS= LESSHISTFILE=-; %2; sleep 30").arg(dir.path(), command);

    Tmux tmux;
    tmux.run({QStringLiteral("new-session"), QStringLiteral("-d"), QStringLiteral("-s"), QStringLiteral("screen"),
              QStringLiteral("-x"), QStringLiteral("80"), QStringLiteral("-y"), QStringLiteral("24"), full});
    if (!wait.isEmpty()) {
        QVERIFY2(tmux.awaitScreen(wait), qPrintable(tmux.screen()));
        tmux.run({QStringLiteral("send-keys"), QStringLiteral("-t"), QStringLiteral("screen"), QStringLiteral("-l"), keys});
    }
    QVERIFY2(tmux.awaitScreen(QStringLiteral("done")), qPrintable(tmux.screen()));
    const QString expected = trimmedScreen(tmux.screen());

    const HostRun run = runHost(dir, screenScript, {QStringLiteral("--size"), QStringLiteral("80x24"), QStringLiteral("-c"), full}, {wait, keys});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString actual = trimmedScreen(run.out);
    QVERIFY2(actual == expected, qPrintable(QStringLiteral("host:\n%1\ntmux:\n%2").arg(actual, expected)));
}

// A fast program's first prompt is there for the script's first wait, while
// the machine is busy: the program starts when the script addresses its tab.
void HostSession::firstOutputSeen()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const BusyMachine busy;
    int seen = 0;
    QString failures;
    for (int run = 0; run < 20; ++run) {
        const HostRun result = runHost(dir, "print(require('morvane').app.Screen:WaitForString('login: ', 5))",
                                       {QStringLiteral("-c"), QStringLiteral("printf 'login: '; sleep 5")});
        if (result.out == QLatin1String("true\n"))
            ++seen;
        else
            failures += result.out + result.err;
    }
    QVERIFY2(seen == 20, qPrintable(QStringLiteral("%1 of 20: %2").arg(seen).arg(failures)));
}

void HostSession::sessions_data()
{
    QTest::addColumn<QStringList>("hostArguments");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QByteArray>("err");  // what standard error holds, when not empty

    // Waits until the script tab's program has ended, then prints its status.
    const QByteArray ended = R"lua(
local n, tab = __morvane_native, os.getenv('MORVANE_TAB')
while n.rpc{ op = 'info', tab = tab }.connected do n.sleep(10) end
print(n.rpc{ op = 'info', tab = tab }.status)
)lua";
    QTest::newRow("status: exited") << QStringList{"-c", "exit 3"} << ended << QString("Exited with status 3\n") << QByteArray();
    QTest::newRow("status: killed") << QStringList{"-c", "kill -9 $$"} << ended << QString("Killed by signal 9\n") << QByteArray();

    // What the program sends is copied to standard error as it is; the
    // script's output stays on standard output.
    QTest::newRow("--show") << QStringList{"--show", "-c", "printf '\\033[1mbold\\033[0m\\n'; sleep 5"}
                            << QByteArray("print(require('morvane').app.Screen:WaitForString('bold', 5))")
                            << QString("true\n") << QByteArray("\x1b[1mbold\x1b[0m\r\n");

    // Box drawing sent as CP437 bytes (0xC9 0xCD 0xBB) reaches the stream,
    // the screen and a CP437-mode script of the compatibility globals.
    QTest::newRow("CP437 from the program") << QStringList{"-c", "printf '\\311\\315\\273\\n'; sleep 5"} << QByteArray(R"lua(
local n, tab = __morvane_native, os.getenv('MORVANE_TAB')
n.rpc{ op = 'config.set', tab = tab, key = 'encoding', value = 'CP437' }
expect('\n')
print(before == '\201\205\187\r' and 'bytes' or before)
print(n.rpc{ op = 'stream', tab = tab, position = 0 }.text)
print(n.rpc{ op = 'screen.region', tab = tab, top = 1, bottom = 1, left = 1, right = 3 }.text)
)lua") << QString("bytes\n╔═╗\r\n\n╔═╗\n") << QByteArray();

    // Text sent to a CP437 tab reaches its program in CP437: é is 0x82 (octal 202).
    QTest::newRow("CP437 to the program") << QStringList{"-c", "stty raw -echo; head -c 1 | od -An -to1; sleep 5"} << QByteArray(R"lua(
local app = require('morvane').app
app.Session.Config:SetOption('encoding', 'CP437')
local screen = app.Screen
screen:Send('é')
print(screen:WaitForString('202', 5))
)lua") << QString("true\n") << QByteArray();

    // The hang-up right after the tab's program starts (before it has a
    // session of its own) ends it at once, not after the 2 s grace period;
    // on a busy machine that happens several times in 200 runs.
    QTest::newRow("disconnect right after connect") << QStringList{"-c", "sleep 30"} << QByteArray(R"lua(
local n = __morvane_native
local slowest = 0
for _ = 1, 200 do
  local id = n.rpc{ op = 'connect', profile = { command = 'exec sleep 30' } }.id
  local started = n.now()
  n.rpc{ op = 'disconnect', tab = id }
  while n.rpc{ op = 'info', tab = id }.connected do n.sleep(5) end
  slowest = math.max(slowest, n.now() - started)
  n.rpc{ op = 'close', tab = id }
end
print(slowest < 1.5 and 'prompt' or ('slowest ' .. slowest))
)lua") << QString("prompt\n") << QByteArray();

    // 6 MB of lines (7 MB with the CR the terminal adds) fit the default
    // of what a tab keeps: one wait reads them all.
    QTest::newRow("--keep default holds a 6 MB cat")
        << QStringList{"-c", "head -c 6000000 /dev/zero | tr '\\0' x | fold -w 99; echo END; sleep 5"} << QByteArray(R"lua(
local screen = require('morvane').app.Screen
print(screen:WaitForString('END', 30))
)lua") << QString("true\n") << QByteArray();
}

void HostSession::sessions()
{
    QFETCH(QStringList, hostArguments);
    QFETCH(QByteArray, script);
    QFETCH(QString, out);
    QFETCH(QByteArray, err);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("script.lua"));
    writeFile(path, script);
    const BusyMachine busy;
    QProcess host;
    host.start(QStringLiteral(MORVANE_HOST_PATH),
               hostArguments + QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH), path});
    host.closeWriteChannel();
    QVERIFY(host.waitForFinished(60000));
    const QByteArray stdErr = host.readAllStandardError();
    QCOMPARE(QString::fromUtf8(host.readAllStandardOutput()), out);
    QVERIFY2(host.exitCode() == 0, stdErr.constData());
    if (!err.isEmpty())
        QCOMPARE(stdErr, err);
}

void HostSession::interact_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("keys");     // typed once the session is handed over
    QTest::addColumn<int>("signal");          // sent to the host after the keys, 0 for none
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("handedOver");

    const QByteArray login = "assert(require('morvane').app.Screen:WaitForString('$ ', 10))";
    QTest::newRow("program exit status") << login << QByteArray("exit 3\r") << 0 << 3 << true;
    QTest::newRow("Ctrl-] leaves") << login << QByteArray("\x1d") << 0 << 0 << true;
    QTest::newRow("SIGTERM") << login << QByteArray() << int(SIGTERM) << 128 + SIGTERM << true;
    QTest::newRow("script fails: no hand-over") << QByteArray("os.exit(4)") << QByteArray() << 0 << 4 << false;
}

// The host on a terminal of 100x30 hands the shell over after the script;
// the shell gets the terminal's size and follows a resize; the terminal is
// raw while it is handed over and as it was after every way out.
void HostSession::interact()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, keys);
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(bool, handedOver);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("script.lua"));
    writeFile(path, script);
    const QString marker = QStringLiteral("interact-%1").arg(QCoreApplication::applicationPid());
    TerminalUser user({QStringLiteral("--interact"), QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH),
                       QStringLiteral("-c"), QStringLiteral("exec env PS1='$ ' ENV= MARK=%1 /bin/sh").arg(marker), path},
                      QSize(100, 30));
    QVERIFY(user.pid() > 0);
    if (handedOver) {
        QElapsedTimer timer;
        timer.start();
        while ((user.localModes() & (ICANON | ECHO)) != 0 && timer.elapsed() < 15000)
            QThread::msleep(20);
        QVERIFY2((user.localModes() & (ICANON | ECHO)) == 0, "the terminal was never put in raw mode");
        user.type("stty size\r");
        QVERIFY(user.await("30 100"));
        user.resize(QSize(120, 40));
        QThread::msleep(200);
        user.type("stty size\r");
        QVERIFY(user.await("40 120"));
        user.type(keys);
        if (signal)
            kill(user.pid(), signal);
    }
    QCOMPARE(user.exitStatus(), status);
    QCOMPARE(user.localModes(), user.initialLocalModes());
    QCOMPARE(processesWith(marker.toUtf8()), 0);
}

void HostSession::interactRefusedWithoutTerminal()
{
    QProcess host;
    host.start(QStringLiteral(MORVANE_HOST_PATH), {QStringLiteral("--interact"), QStringLiteral("x.lua")});
    host.closeWriteChannel();
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), 2);
    QVERIFY(host.readAllStandardError().contains("--interact needs a terminal on standard input"));
}

// While a prompt waits for the person, the tab keeps receiving: its output
// reaches the terminal (--show) before the answer is typed.
void HostSession::dialogKeepsTabsReceiving()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("script.lua"));
    writeFile(path, R"lua(
local n, tab = __morvane_native, os.getenv('MORVANE_TAB')
n.rpc{ op = 'info', tab = tab }
local reply = n.rpc{ op = 'dialog.prompt', title = 'Login', message = 'Name?' }
print('answer=' .. reply.text)
)lua");
    TerminalUser user({QStringLiteral("--show"), QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH),
                       QStringLiteral("-c"), QStringLiteral("sleep 0.5; echo arrived-meanwhile; sleep 30"), path},
                      QSize(80, 24));
    QVERIFY(user.await("Name?"));
    QVERIFY(user.await("arrived-meanwhile"));
    user.type("joe\r");
    QVERIFY(user.await("answer=joe"));
    QCOMPARE(user.exitStatus(), 0);
}

QTEST_GUILESS_MAIN(HostSession)
#include "tst_host_session.moc"
