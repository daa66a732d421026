#include "tab.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <vterm.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr qsizetype blockBytes = 64 * 1024;
// Bytes between marks of a block: a position is found by counting at most this far.
constexpr qsizetype markSpacing = 512;
constexpr int readChunk = 64 * 1024;
// Most bytes taken in at one go before the event loop gets its turn: a
// request that arrives meanwhile waits for the burst to end.
constexpr qsizetype burstBytes = 64 * 1024;
constexpr qsizetype echoLimit = 64 * 1024;
constexpr qsizetype screenBatchBytes = 1024 * 1024;
constexpr int screenDelayMs = 5;

bool plainByte(unsigned char c)
{
    return (c >= 0x20 && c != 0x7F) || c == '\r' || c == '\n';
}

// UTF-16 units of the character whose UTF-8 sequence starts with `lead`
// (0 for a continuation byte).
int unitsOf(unsigned char lead)
{
    if ((lead & 0xC0) == 0x80)
        return 0;
    return lead >= 0xF0 ? 2 : 1;
}

int sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    return 2;
}

// Bytes that a byte of UTF-8 text takes inside a JSON string.
int jsonCost(unsigned char c)
{
    if (c == '"' || c == '\\')
        return 2;
    if (c >= 0x20)
        return 1;
    switch (c) {
    case '\b': case '\f': case '\n': case '\r': case '\t':
        return 2;
    default:
        return 6;
    }
}

// Every process of the session that `leader` started (its session id is the
// leader's pid, also after the leader itself has gone).
std::vector<pid_t> sessionMembers(pid_t leader)
{
    std::vector<pid_t> members;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The command name may hold spaces and parentheses: fields follow the last ')'.
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        // state, ppid, pgrp, session; a zombie runs no more and is not counted
        if (fields.size() > 3 && fields.at(0) != "Z" && fields.at(3).toLongLong() == leader)
            members.push_back(pid);
    }
    return members;
}

} // namespace

// ---------------------------------------------------------------- TextStream

void TextStream::append(const QByteArray &bytes, qint64 units)
{
    if (bytes.isEmpty())
        return;
    if (m_blocks.isEmpty() || m_blocks.last().bytes.size() + bytes.size() > blockBytes) {
        if (!m_blocks.isEmpty())
            m_blocks.last().bytes.squeeze();
        m_blocks.append(Block{m_end, QByteArray(), {}});
        m_blocks.last().bytes.reserve(std::max(blockBytes, bytes.size()));
    }
    Block &block = m_blocks.last();
    const qsizetype from = block.bytes.size();
    block.bytes.append(bytes);
    addMarks(block, from, m_end, bytes.size() == units);
    m_end += units;
    m_heldBytes += bytes.size();
    while (m_blocks.size() > 1 && m_heldBytes - m_blocks.first().bytes.size() >= m_keep) {
        m_heldBytes -= m_blocks.first().bytes.size();
        m_blocks.removeFirst();
    }
}

void TextStream::addMarks(Block &block, qsizetype from, qint64 position, bool oneUnitPerByte)
{
    qsizetype last = block.marks.isEmpty() ? 0 : block.marks.last().offset;
    const qsizetype size = block.bytes.size();
    if (oneUnitPerByte) {
        for (qsizetype offset = std::max(from, last + markSpacing); offset < size; offset += markSpacing)
            block.marks.append(Mark{offset, position + (offset - from)});
        return;
    }
    const char *bytes = block.bytes.constData();
    for (qsizetype offset = from; offset < size; ++offset) {
        const unsigned char c = static_cast<unsigned char>(bytes[offset]);
        if (offset - last >= markSpacing && (c & 0xC0) != 0x80) {
            block.marks.append(Mark{offset, position});
            last = offset;
        }
        position += unitsOf(c);
    }
}

TextStream::Slice TextStream::slice(qint64 position, qint64 maxJsonBytes) const
{
    Slice slice;
    position = qBound<qint64>(0, position, m_end);
    if (position < heldFrom()) {
        slice.truncated = true;
        position = heldFrom();
    }
    slice.start = slice.end = m_end;
    if (position >= m_end)
        return slice;

    // The last block that begins at or before the position (there is one:
    // the position is not before the first).
    const auto blockAfter = std::upper_bound(m_blocks.cbegin(), m_blocks.cend(), position,
                                             [](qint64 wanted, const Block &b) { return wanted < b.position; });
    const qsizetype index = std::prev(blockAfter) - m_blocks.cbegin();
    const Block &block = m_blocks.at(index);
    const QByteArray &first = block.bytes;
    // Counting starts from the last mark at or before the position.
    const auto mark = std::upper_bound(block.marks.cbegin(), block.marks.cend(), position,
                                       [](qint64 wanted, const Mark &m) { return wanted < m.position; });
    qint64 at = block.position;
    qsizetype offset = 0;
    if (mark != block.marks.cbegin()) {
        at = std::prev(mark)->position;
        offset = std::prev(mark)->offset;
    }
    while (offset < first.size()) {
        const unsigned char lead = static_cast<unsigned char>(first.at(offset));
        // A position inside a surrogate pair starts the slice at the pair.
        if (at + unitsOf(lead) > position)
            break;
        at += unitsOf(lead);
        offset += sequenceLength(lead);
    }
    slice.start = at;
    slice.pieces.append(Piece{first, offset});
    for (qsizetype i = index + 1; i < m_blocks.size(); ++i)
        slice.pieces.append(Piece{m_blocks.at(i).bytes, 0});

    qint64 bytes = 0;
    for (const Piece &piece : slice.pieces)
        bytes += piece.bytes.size() - piece.from;
    // No byte takes more than six in JSON: most replies need no counting.
    if (bytes * 6 <= maxJsonBytes)
        return slice;
    qint64 cost = 0;
    for (const Piece &piece : slice.pieces)
        for (qsizetype i = piece.from; i < piece.bytes.size(); ++i)
            cost += jsonCost(static_cast<unsigned char>(piece.bytes.at(i)));
    // Too much to send in one reply: the oldest text gives way, and the reply
    // says so, rather than sending a line the client must refuse.
    while (cost > maxJsonBytes && !slice.pieces.isEmpty()) {
        Piece &piece = slice.pieces.first();
        if (piece.from >= piece.bytes.size()) {
            slice.pieces.removeFirst();
            continue;
        }
        const unsigned char lead = static_cast<unsigned char>(piece.bytes.at(piece.from));
        const int length = sequenceLength(lead);
        for (int i = 0; i < length && piece.from + i < piece.bytes.size(); ++i)
            cost -= jsonCost(static_cast<unsigned char>(piece.bytes.at(piece.from + i)));
        piece.from += length;
        slice.start += unitsOf(lead);
        slice.truncated = true;
    }
    return slice;
}

// ------------------------------------------------------------- EscapeParser

EscapeParser::Step EscapeParser::step(unsigned char c)
{
    switch (m_state) {
    case State::Text:
        if (c != 0x1B)
            return Step::Text;
        m_state = State::Escape;
        return Step::Sequence;
    case State::Escape:
        if (c == '[') {
            m_state = State::Csi;
            m_csi.clear();
        } else if (c == ']' || c == 'P' || c == '_' || c == '^' || c == 'X') {
            m_state = State::String;
        } else if (c == '(' || c == ')' || c == '*' || c == '+' || c == '#' || c == '%') {
            m_state = State::Designation;  // the designated set follows as one more byte
        } else {
            m_state = State::Text;
            return Step::EscapeEnd;
        }
        return Step::Sequence;
    case State::Designation:
        m_state = State::Text;
        return Step::Sequence;
    case State::Csi:
        if (c >= 0x40 && c <= 0x7E) {
            m_state = State::Text;
            return Step::CsiEnd;
        }
        if (c == 0x1B)
            m_state = State::Escape;
        else if (m_csi.size() < 64)
            m_csi.append(static_cast<char>(c));
        return Step::Sequence;
    case State::String:
        if (c == 0x07)
            m_state = State::Text;
        else if (c == 0x1B)
            m_state = State::StringEscape;
        return Step::Sequence;
    case State::StringEscape:
        m_state = c == '\\' ? State::Text : State::String;
        return Step::Sequence;
    }
    return Step::Sequence;
}

// -------------------------------------------------------------- EscapeFilter

QByteArray EscapeFilter::filter(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (m_parser.step(c) == EscapeParser::Step::Text && (c >= 0x20 || c == '\n' || c == '\r' || c == '\t' || c == '\b'))
            out.append(ch);
    }
    return out;
}

// ------------------------------------------------------------- ScrollTracker

qsizetype ScrollTracker::scan(const QByteArray &bytes)
{
    qsizetype plainFrom = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        const EscapeParser::Step step = m_parser.step(c);
        if (step == EscapeParser::Step::CsiEnd)
            finishCsi(static_cast<char>(c));
        else if (step == EscapeParser::Step::EscapeEnd && c == 'c')  // full reset
            resetMargins();
        if (step != EscapeParser::Step::Text || !plainByte(c))
            plainFrom = i + 1;
    }
    return plainFrom;
}

void ScrollTracker::finishCsi(char final)
{
    const QByteArray &parameters = m_parser.csiParameters();
    if (final == 'r') {
        if (!parameters.isEmpty() && (parameters.at(0) < '0' || parameters.at(0) > ';'))
            return;  // a private or intermediate form, not the margins
        const QList<QByteArray> numbers = parameters.split(';');
        const int top = numbers.value(0).toInt();
        const int bottom = numbers.size() > 1 ? numbers.at(1).toInt() : 0;
        m_wholeRegion = top <= 1 && (bottom == 0 || bottom >= m_rows);
    } else if (final == 'p' && parameters == "!") {
        resetMargins();  // soft reset
    } else if ((final == 'h' || final == 'l') && parameters.startsWith('?')) {
        for (const QByteArray &mode : parameters.mid(1).split(';'))
            if (mode == "69")
                m_sideMargins = final == 'h';
    }
}

// ----------------------------------------------------------------------- Tab

void setTabTitle(Tab *tab, const char *title)
{
    tab->m_title = QString::fromUtf8(title);
}

namespace {

int onTermProp(VTermProp prop, VTermValue *value, void *user)
{
    if (prop == VTERM_PROP_TITLE && value->string)
        setTabTitle(static_cast<Tab *>(user), value->string);
    return 1;
}

VTermScreenCallbacks makeScreenCallbacks()
{
    VTermScreenCallbacks callbacks{};
    callbacks.settermprop = onTermProp;
    return callbacks;
}

const VTermScreenCallbacks screenCallbacks = makeScreenCallbacks();

} // namespace

Tab::Tab(const QString &id, const QString &command, QSize size, qint64 keepBytes, QObject *parent)
    : QObject(parent), m_id(id), m_command(command), m_size(size), m_scroll(size.height()), m_stream(keepBytes)
{
    m_screenTimer = new QTimer(this);
    m_screenTimer->setSingleShot(true);
    m_screenTimer->setInterval(screenDelayMs);
    connect(m_screenTimer, &QTimer::timeout, this, &Tab::updateScreen);
    m_vterm = vterm_new(size.height(), size.width());
    vterm_set_utf8(m_vterm, 1);
    vterm_output_set_callback(m_vterm, &Tab::outputCallback, this);
    m_screen = vterm_obtain_screen(m_vterm);
    vterm_screen_set_callbacks(m_screen, &screenCallbacks, this);
    vterm_screen_reset(m_screen, 1);
}

Tab::~Tab()
{
    if (m_transfer) {
        m_transfer->disconnect(this);
        m_transfer->kill();
        m_transfer->waitForFinished(1000);
    }
    if (m_pid > 0) {
        killSession(SIGKILL);
        if (!m_exited)
            waitpid(static_cast<pid_t>(m_pid), nullptr, 0);
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
    vterm_free(m_vterm);
}

bool Tab::start(QString *error)
{
    // Everything the child needs is prepared before the fork: after it only
    // async-signal-safe calls are made.
    QStringList arguments;
    if (m_command.isEmpty()) {
        QString shell = qEnvironmentVariable("SHELL");
        if (shell.isEmpty() || !QFileInfo(shell).isExecutable())
            shell = QStringLiteral("/bin/sh");
        arguments << shell;
    } else {
        arguments << QStringLiteral("/bin/sh") << QStringLiteral("-c") << m_command;
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
    size.ws_row = static_cast<unsigned short>(m_size.height());
    size.ws_col = static_cast<unsigned short>(m_size.width());
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
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { drain(); });
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &Tab::flushPending);

    m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (m_pidFd >= 0) {
        fcntl(m_pidFd, F_SETFD, FD_CLOEXEC);
        m_exitNotifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_exitNotifier, &QSocketNotifier::activated, this, &Tab::childGone);
    } else {
        // Kernels without process descriptors: look for the exit now and then.
        m_exitPoll = new QTimer(this);
        connect(m_exitPoll, &QTimer::timeout, this, &Tab::childGone);
        m_exitPoll->start(50);
    }
    return true;
}

QString Tab::caption() const
{
    if (!captionOverride.isEmpty())
        return captionOverride;
    if (!m_title.isEmpty())
        return m_title;
    if (!profileId.isEmpty())
        return profileId;
    return m_command.isEmpty() ? QFileInfo(qEnvironmentVariable("SHELL", QStringLiteral("/bin/sh"))).fileName() : m_command;
}

QPoint Tab::cursor()
{
    updateScreen();
    VTermPos position;
    vterm_state_get_cursorpos(vterm_obtain_state(m_vterm), &position);
    return QPoint(position.col + 1, position.row + 1);
}

void Tab::drain(bool firstTextOnly)
{
    if (m_master < 0 || !m_readNotifier || !m_readNotifier->isEnabled())
        return;
    // A pseudo-terminal hands over at most a few KiB a read: everything that
    // is there now is gathered first and taken in as one piece, so that
    // decoding, the stream, the log and the held `stream` requests see one
    // burst, not one call per read.
    QByteArray &burst = m_readBuffer;
    burst.resize(0);
    // A request held for new text is answered with the first read that brings
    // some; the rest follows on the next turn of the event loop.
    const qsizetype budget = firstTextOnly || m_waitedOn ? 1 : burstBytes;
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
    if (burst.isEmpty())
        return;
    take(burst.constData(), burst.size());
    if (!m_transfer)
        Q_EMIT received();
}

void Tab::take(const char *data, qint64 size)
{
    if (m_transfer) {
        m_transfer->write(data, size);
        return;
    }
    m_screenPending.append(data, size);
    if (m_screenPending.size() >= screenBatchBytes)
        updateScreen();
    else if (!m_screenTimer->isActive())
        m_screenTimer->start();
    if (m_sinceSend.size() <= m_expectedEcho.size())
        m_sinceSend.append(data, std::min<qint64>(size, m_expectedEcho.size() + 1 - m_sinceSend.size()));
    // Decoded and encoded again, so that what is held and logged is valid
    // UTF-8 even when the child's output is not; encoded once for both.
    const QString text = m_decoder.decode(QByteArrayView(data, size));
    const QByteArray utf8 = text.toUtf8();
    m_stream.append(utf8, text.size());
    if (m_log) {
        if (m_logRaw)
            m_log->write(data, size);
        else
            m_log->write(m_logFilter.filter(utf8));
        m_log->flush();
    }
}

void Tab::updateScreen()
{
    m_screenTimer->stop();
    if (m_screenPending.isEmpty())
        return;
    const QByteArray received = std::exchange(m_screenPending, QByteArray());
    const std::string guarded = m_vtermGuard.filter(std::string_view(received.constData(), size_t(received.size())));
    const QByteArray pending = QByteArray::fromRawData(guarded.data(), qsizetype(guarded.size()));
    const bool wholeScreenBefore = m_scroll.wholeScreen();
    const qsizetype plainFrom = m_scroll.scan(pending);
    // Plain lines followed by a screenful more of plain lines scroll off
    // without leaving a trace: the screen and the cursor end the same
    // whether the emulator sees them or not, and skipping them saves a
    // scroll of the whole screen per line. Only the text after the last
    // escape sequence is looked at, so the margins are known for it.
    qsizetype skipTo = plainFrom;
    if (m_scroll.wholeScreen() && (plainFrom > 0 || wholeScreenBefore)) {
        int lines = 0;
        for (qsizetype i = pending.size() - 1; i > plainFrom; --i) {
            if (pending.at(i) == '\n' && pending.at(i - 1) == '\r' && ++lines > m_size.height()) {
                skipTo = i - 1;  // the cut keeps this CR LF
                break;
            }
        }
    }
    vterm_input_write(m_vterm, pending.constData(), static_cast<size_t>(plainFrom));
    vterm_input_write(m_vterm, pending.constData() + skipTo, static_cast<size_t>(pending.size() - skipTo));
}

bool Tab::onlyEchoSinceSend() const
{
    return !m_expectedEcho.isEmpty() && m_sinceSend.size() <= m_expectedEcho.size()
        && m_expectedEcho.startsWith(m_sinceSend);
}

void Tab::childGone()
{
    if (m_exited || m_pid <= 0)
        return;
    int status = 0;
    const pid_t reaped = waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG);
    if (reaped == 0)
        return;
    m_exited = true;
    if (m_exitNotifier)
        m_exitNotifier->setEnabled(false);
    if (m_exitPoll)
        m_exitPoll->stop();
    drain();
    Q_EMIT exited();
}

bool Tab::send(const QByteArray &bytes)
{
    if (!running())
        return false;
    QByteArray echo = bytes;
    echo.replace("\r", "\r\n");
    if (onlyEchoSinceSend() && m_expectedEcho.size() + echo.size() <= echoLimit) {
        m_expectedEcho.append(echo);
    } else {
        m_expectedEcho = echo.size() <= echoLimit ? echo : QByteArray();
        m_sinceSend.clear();
    }
    writeToChild(bytes);
    return true;
}

void Tab::writeToChild(const QByteArray &bytes)
{
    if (m_master < 0 || m_exited)
        return;
    m_pendingWrite.append(bytes);
    flushPending();
}

void Tab::flushPending()
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

void Tab::outputCallback(const char *data, size_t size, void *user)
{
    // The emulator's answers to the child's queries (cursor reports and the like).
    static_cast<Tab *>(user)->writeToChild(QByteArray(data, static_cast<qsizetype>(size)));
}

QString Tab::region(int top, int left, int bottom, int right)
{
    updateScreen();
    top = std::max(top, 1);
    left = std::max(left, 1);
    bottom = std::min(bottom, m_size.height());
    right = std::min(right, m_size.width());
    if (top > bottom || left > right)
        return QString();
    QStringList rows;
    for (int row = top; row <= bottom; ++row) {
        QString line;
        for (int column = left; column <= right; ++column) {
            VTermScreenCell cell;
            VTermPos position{row - 1, column - 1};
            if (!vterm_screen_get_cell(m_screen, position, &cell))
                continue;
            if (cell.chars[0] == static_cast<uint32_t>(-1))
                continue;  // the right half of a wide character
            if (cell.chars[0] == 0) {
                line.append(QLatin1Char(' '));
                continue;
            }
            for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i]; ++i) {
                const char32_t ch = cell.chars[i];
                line.append(QString::fromUcs4(&ch, 1));
            }
            if (cell.width > 1)
                column += cell.width - 1;
        }
        rows.append(line);
    }
    return rows.join(QLatin1Char('\n'));
}

void Tab::clearScreen()
{
    updateScreen();
    // Through the guard too, which must see every byte libvterm parses.
    const std::string clear = m_vtermGuard.filter("\x1b[H\x1b[2J");
    vterm_input_write(m_vterm, clear.data(), clear.size());
}

void Tab::resetTerminal()
{
    updateScreen();
    vterm_screen_reset(m_screen, 1);
    m_scroll.reset();
}

bool Tab::startLog(QString *error)
{
    const QString path = options.value(QStringLiteral("logPath")).toString();
    if (path.isEmpty()) {
        *error = QStringLiteral("Set the option logPath before starting the log.");
        return false;
    }
    auto file = std::make_unique<QFile>(path);
    const bool append = options.value(QStringLiteral("logAppend")).toBool();
    if (!file->open(QIODevice::WriteOnly | (append ? QIODevice::Append : QIODevice::Truncate))) {
        *error = QStringLiteral("Cannot open the log file %1: %2").arg(path, file->errorString());
        return false;
    }
    m_logRaw = options.value(QStringLiteral("logRaw")).toBool();
    m_logFilter = EscapeFilter();
    m_log = std::move(file);
    return true;
}

void Tab::stopLog()
{
    m_log.reset();
}

bool Tab::startUpload(const QStringList &files, QString *error)
{
    if (m_transfer) {
        *error = QStringLiteral("A ZMODEM transfer is already running in this tab.");
        return false;
    }
    if (!running()) {
        *error = QStringLiteral("Session is not connected.");
        return false;
    }
    QString sz = QStandardPaths::findExecutable(QStringLiteral("sz"));
    if (sz.isEmpty())
        sz = QStandardPaths::findExecutable(QStringLiteral("lsz"));
    if (sz.isEmpty()) {
        *error = QStringLiteral("ZMODEM upload needs the program sz (package lrzsz), which was not found.");
        return false;
    }
    if (files.isEmpty()) {
        *error = QStringLiteral("Give one or more files to upload.");
        return false;
    }
    for (const QString &file : files) {
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) {
            *error = QStringLiteral("Cannot read the file to upload: %1").arg(file);
            return false;
        }
    }
    drain();
    m_transfer = new QProcess(this);
    m_transfer->setProgram(sz);
    m_transfer->setArguments(QStringList{QStringLiteral("--")} + files);
    m_transfer->setStandardErrorFile(QProcess::nullDevice());
    connect(m_transfer, &QProcess::readyReadStandardOutput, this, [this] {
        writeToChild(m_transfer->readAllStandardOutput());
    });
    connect(m_transfer, &QProcess::finished, this, &Tab::finishUpload);
    connect(m_transfer, &QProcess::errorOccurred, this, [this](QProcess::ProcessError failure) {
        if (failure == QProcess::FailedToStart)
            finishUpload();
    });
    m_transfer->start();
    return true;
}

void Tab::cancelUpload()
{
    if (!m_transfer)
        return;
    m_transfer->disconnect(this);
    m_transfer->kill();
    m_transfer->waitForFinished(1000);
    // Eight cancels then backspaces: the receiver's abort sequence.
    writeToChild(QByteArray(8, '\x18') + QByteArray(8, '\b'));
    finishUpload();
}

void Tab::finishUpload()
{
    if (!m_transfer)
        return;
    QProcess *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->disconnect(this);
    if (transfer->state() == QProcess::NotRunning)
        writeToChild(transfer->readAllStandardOutput());
    transfer->deleteLater();
}

void Tab::killSession(int signal) const
{
    if (m_pid <= 0)
        return;
    ::killpg(static_cast<pid_t>(m_pid), signal);
    for (pid_t member : sessionMembers(static_cast<pid_t>(m_pid))) {
        ::kill(member, signal);
        if (signal == SIGHUP)
            ::kill(member, SIGCONT);
    }
}

void Tab::hangUp(int graceMs)
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

void Tab::terminate()
{
    if (m_pid <= 0)
        return;
    killSession(SIGHUP);
    for (int waited = 0; waited < 300; waited += 10) {
        if (!m_exited && waitpid(static_cast<pid_t>(m_pid), nullptr, WNOHANG) == m_pid)
            m_exited = true;
        if (m_exited && sessionMembers(static_cast<pid_t>(m_pid)).empty())
            return;
        usleep(10 * 1000);
    }
    killSession(SIGKILL);
    if (!m_exited && waitpid(static_cast<pid_t>(m_pid), nullptr, 0) == m_pid)
        m_exited = true;
}
