// The child on its pseudo-terminal. Everything the child needs is prepared
// before the fork, with every signal blocked across it; the child restores
// the default handlers and an empty mask before exec. The session's members
// are found in /proc by their session id, which stays the child's pid after
// the child itself has gone, so that background jobs are ended too.
#include "pty_process.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int readChunk = 64 * 1024;

// Every process of the session that `leader` started (its session id is the
// leader's pid, also after the leader itself has gone) that still runs. Read
// with plain system calls: the host looks at every process when a tab ends.
std::vector<pid_t> sessionMembers(pid_t leader)
{
    std::vector<pid_t> members;
    DIR *proc = opendir("/proc");
    if (!proc)
        return members;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        char path[32];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char line[1024];
        const ssize_t count = ::read(fd, line, sizeof line - 1);
        ::close(fd);
        if (count <= 0)
            continue;
        line[count] = '\0';
        // The command name may hold spaces and parentheses: fields follow the last ')'.
        const char *close = std::strrchr(line, ')');
        char state = 0;
        long parent = 0, group = 0, session = 0;
        // state, ppid, pgrp, session; a zombie runs no more and is not counted
        if (close && std::sscanf(close + 1, " %c %ld %ld %ld", &state, &parent, &group, &session) == 4
            && state != 'Z' && session == leader)
            members.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return members;
}

} // namespace

PtyProcess::PtyProcess(QObject *parent)
    : TabProgram(parent)
{
}

PtyProcess::~PtyProcess()
{
    if (m_pid > 0 && !m_sessionEnded) {
        killSession(SIGKILL);
        if (!m_exited)
            waitpid(static_cast<pid_t>(m_pid), &m_waitStatus, 0);
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

bool PtyProcess::start(const QString &command, QSize terminalSize, QString *error)
{
    // Everything the child needs is prepared before the fork: after it only
    // async-signal-safe calls are made.
    QStringList arguments;
    if (command.isEmpty()) {
        QString shell = qEnvironmentVariable("SHELL");
        if (shell.isEmpty() || !QFileInfo(shell).isExecutable())
            shell = QStringLiteral("/bin/sh");
        arguments << shell;
    } else {
        arguments << QStringLiteral("/bin/sh") << QStringLiteral("-c") << command;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"MORVANE_SOCKET", "MORVANE_TOKEN", "MORVANE_TAB", "MORVANE_STREAM_START", "COLUMNS", "LINES"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));

    std::vector<std::string> argStrings, envStrings;
    for (const QString &argument : arguments)
        argStrings.push_back(argument.toStdString());
    for (const QString &entry : environment.toStringList())
        envStrings.push_back(entry.toStdString());
    std::vector<char *> argv, envp;
    for (std::string &s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    for (std::string &s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    struct winsize size {};
    size.ws_row = static_cast<unsigned short>(terminalSize.height());
    size.ws_col = static_cast<unsigned short>(terminalSize.width());
    int master = -1;
    // Signals stay blocked across the fork until the child has dropped the
    // host's handlers: a hang-up that reaches the child before its exec must
    // not run the host's handler there, which would report it to the host.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid != 0)
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        *error = QStringLiteral("Cannot start a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (pid == 0) {
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    m_pid = pid;
    m_master = master;
    m_clock.start();
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyProcess::readyRead);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyProcess::flushPending);

    m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (m_pidFd >= 0) {
        fcntl(m_pidFd, F_SETFD, FD_CLOEXEC);
        m_exitNotifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_exitNotifier, &QSocketNotifier::activated, this, &PtyProcess::childGone);
    } else {
        // Kernels without process descriptors: look for the exit now and then.
        m_exitPoll = new QTimer(this);
        connect(m_exitPoll, &QTimer::timeout, this, &PtyProcess::childGone);
        m_exitPoll->start(50);
    }
    return true;
}

bool PtyProcess::readable() const
{
    return m_master >= 0 && m_readNotifier && m_readNotifier->isEnabled();
}

void PtyProcess::read(QByteArray &burst, qsizetype budget)
{
    while (burst.size() < budget) {
        const qsizetype had = burst.size();
        burst.resize(had + readChunk);
        const ssize_t count = ::read(m_master, burst.data() + had, readChunk);
        burst.resize(had + std::max<ssize_t>(count, 0));
        if (count > 0)
            continue;
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            break;
        // EIO or end of file: no process holds the terminal any more.
        m_readNotifier->setEnabled(false);
        break;
    }
}

void PtyProcess::childGone()
{
    if (m_exited || m_pid <= 0)
        return;
    int status = 0;
    const pid_t reaped = waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG);
    if (reaped == 0)
        return;
    m_exited = true;
    if (reaped == static_cast<pid_t>(m_pid))
        m_waitStatus = status;
    if (m_exitNotifier)
        m_exitNotifier->setEnabled(false);
    if (m_exitPoll)
        m_exitPoll->stop();
    Q_EMIT exited();
    // A session only loses members: found empty now, it stays empty, and
    // ending the tab later needs no look at the processes, which would
    // otherwise fall on the host's way out.
    m_sessionEnded = sessionMembers(static_cast<pid_t>(m_pid)).empty();
}

void PtyProcess::write(const QByteArray &bytes)
{
    if (m_master < 0 || m_exited)
        return;
    m_pendingWrite.append(bytes);
    flushPending();
}

void PtyProcess::flushPending()
{
    while (!m_pendingWrite.isEmpty()) {
        const ssize_t written = ::write(m_master, m_pendingWrite.constData(), static_cast<size_t>(m_pendingWrite.size()));
        if (written > 0) {
            m_pendingWrite.remove(0, written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        m_pendingWrite.clear();  // the terminal is gone
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void PtyProcess::killSession(int signal) const
{
    if (m_pid <= 0)
        return;
    // Until the child has made its own session (it does so first thing after
    // the fork), neither its group nor its session holds it: the child
    // itself is signalled too, so that a hang-up however early ends it. Its
    // signals are blocked until it has dropped the host's handlers, so the
    // signal waits for it and acts as on any program.
    if (!m_exited)
        ::kill(static_cast<pid_t>(m_pid), signal);
    ::killpg(static_cast<pid_t>(m_pid), signal);
    for (pid_t member : sessionMembers(static_cast<pid_t>(m_pid))) {
        ::kill(member, signal);
        if (signal == SIGHUP)
            ::kill(member, SIGCONT);
    }
}

void PtyProcess::hangUp(int graceMs)
{
    if (m_pid <= 0)
        return;
    killSession(SIGHUP);
    if (!m_killTimer) {
        m_killTimer = new QTimer(this);
        m_killTimer->setSingleShot(true);
        connect(m_killTimer, &QTimer::timeout, this, [this] { killSession(SIGKILL); });
    }
    m_killTimer->start(graceMs);
}

void PtyProcess::terminate()
{
    if (m_pid <= 0 || m_sessionEnded)
        return;
    // Most often the session has ended by itself: one look at the processes.
    if (!m_exited && waitpid(static_cast<pid_t>(m_pid), &m_waitStatus, WNOHANG) == m_pid)
        m_exited = true;
    if (m_exited && sessionMembers(static_cast<pid_t>(m_pid)).empty()) {
        m_sessionEnded = true;
        return;
    }
    killSession(SIGHUP);
    QElapsedTimer waited;
    waited.start();
    for (int stepMs = 1; waited.elapsed() < 300; stepMs = std::min(2 * stepMs, 10)) {
        if (!m_exited && waitpid(static_cast<pid_t>(m_pid), &m_waitStatus, WNOHANG) == m_pid)
            m_exited = true;
        if (m_exited && sessionMembers(static_cast<pid_t>(m_pid)).empty()) {
            m_sessionEnded = true;
            return;
        }
        // The leader's exit ends the wait at once through its process
        // descriptor; members that outlive it are looked for again soon.
        pollfd leader{m_exited ? -1 : m_pidFd, POLLIN, 0};
        ::poll(&leader, 1, stepMs);
    }
    killSession(SIGKILL);
    if (!m_exited && waitpid(static_cast<pid_t>(m_pid), &m_waitStatus, 0) == m_pid)
        m_exited = true;
}

void PtyProcess::resize(QSize terminalSize)
{
    if (m_master < 0)
        return;
    struct winsize size {};
    size.ws_row = static_cast<unsigned short>(terminalSize.height());
    size.ws_col = static_cast<unsigned short>(terminalSize.width());
    ioctl(m_master, TIOCSWINSZ, &size);
}
