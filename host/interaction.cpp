// The interaction reads standard input through a notifier and writes the
// tab's output with the tab's own copy to standard output. On taking over,
// the terminal is cleared and shows the tab's screen as it stands, with the
// cursor where the program left it, so that the person sees what the
// program shows.
#include "interaction.h"

#include "tab.h"

#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The key that hands the session back: Ctrl-].
constexpr char leaveKey = 0x1d;

void writeOut(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (written > 0)
            done += written;
        else if (!(written < 0 && (errno == EINTR || errno == EAGAIN)))
            return;
    }
}

} // namespace

Interaction::Interaction(Tab *tab, QObject *parent)
    : QObject(parent), m_tab(tab)
{
}

Interaction::~Interaction()
{
    restore();
}

bool Interaction::start(QString *error)
{
    termios mode{};
    if (tcgetattr(STDIN_FILENO, &mode) != 0) {
        *error = QStringLiteral("--interact: standard input is not a terminal.");
        return false;
    }
    if (!m_tab->started() && !m_tab->start(error))
        return false;
    m_saved = mode;
    cfmakeraw(&mode);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode);
    followSize();

    // The screen as it stands, then everything the program sends.
    m_tab->drain();
    const QSize size = m_tab->size();
    const QPoint cursor = m_tab->cursor();
    QStringList rows = m_tab->region(1, 1, size.height(), size.width()).split(QLatin1Char('\n'));
    for (QString &row : rows)
        while (row.endsWith(QLatin1Char(' ')))
            row.chop(1);
    while (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    writeOut("\x1b[H\x1b[2J" + rows.join(QLatin1String("\r\n")).toUtf8()
             + QStringLiteral("\x1b[%1;%2H").arg(cursor.y()).arg(cursor.x()).toUtf8());
    m_tab->setMirror(STDOUT_FILENO);

    connect(m_tab, &Tab::exited, this, [this] { Q_EMIT finished(m_tab->exitCode()); });
    m_keys = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_keys, &QSocketNotifier::activated, this, &Interaction::readKeys);
    if (!m_tab->running())
        Q_EMIT finished(m_tab->exitCode());
    return true;
}

void Interaction::followSize()
{
    winsize size{};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 1)
        m_tab->resize(QSize(size.ws_col, size.ws_row));
}

void Interaction::readKeys()
{
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        // The terminal is gone: nobody is left to hand the session to.
        m_keys->setEnabled(false);
        Q_EMIT finished(0);
        return;
    }
    const QByteArray keys(buffer, count);
    const qsizetype leave = keys.indexOf(leaveKey);
    m_tab->send(leave < 0 ? keys : keys.left(leave));
    if (leave >= 0) {
        m_keys->setEnabled(false);
        Q_EMIT finished(0);
    }
}

void Interaction::restore()
{
    if (!m_saved)
        return;
    if (m_tab)
        m_tab->setMirror(-1);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &*m_saved);
    m_saved.reset();
}
