// Dialogs on the terminal: the question is written to /dev/tty and one line
// is read back (with echo off for a password); end of input cancels a prompt.
#include "dialogs.h"

#include <QFile>

#include <optional>
#include <termios.h>
#include <unistd.h>

namespace {

// Asks a dialog on the controlling terminal. Only used when the host's own
// standard input is a terminal, so that unattended runs never block on it.
class TerminalDialog {
public:
    TerminalDialog() : m_file(QStringLiteral("/dev/tty")) { m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    bool isOpen() const { return m_file.isOpen(); }

    void say(const QString &text) { m_file.write(text.toUtf8()); }

    std::optional<QString> readLine(bool hidden)
    {
        termios saved{};
        const int fd = m_file.handle();
        const bool hide = hidden && tcgetattr(fd, &saved) == 0;
        if (hide) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(fd, TCSANOW, &quiet);
        }
        QByteArray line;
        char ch = 0;
        bool gotEnd = false;
        while (::read(fd, &ch, 1) == 1) {
            if (ch == '\n') {
                gotEnd = true;
                break;
            }
            line.append(ch);
        }
        if (hide) {
            tcsetattr(fd, TCSANOW, &saved);
            say(QStringLiteral("\n"));
        }
        if (!gotEnd && line.isEmpty())
            return std::nullopt;
        return QString::fromUtf8(line).remove(QLatin1Char('\r'));
    }

private:
    QFile m_file;
};

} // namespace

ApiReply Dialogs::answer(const QJsonObject &request)
{
    const QString op = request.value(QLatin1String("op")).toString();
    QList<QJsonObject> &queued = m_answers[op];
    if (!queued.isEmpty())
        return ApiReply::success(queued.takeFirst());

    TerminalDialog terminal;
    if (!isatty(STDIN_FILENO) || !terminal.isOpen())
        return ApiReply::failure(QStringLiteral("No answer queued for %1 and no terminal to ask on; give answers with --answers FILE.").arg(op));

    const QString title = request.value(QLatin1String("title")).toString();
    const QString message = request.value(QLatin1String("message")).toString();
    terminal.say(QStringLiteral("\n[%1] %2\n").arg(title, message));
    if (op == QLatin1String("dialog.message")) {
        terminal.say(QStringLiteral("Press Enter to go on. "));
        terminal.readLine(false);
        return ApiReply::success(QJsonObject{{QStringLiteral("button"), QStringLiteral("OK")}});
    }
    if (op == QLatin1String("dialog.confirm")) {
        terminal.say(QStringLiteral("Yes or no? [y/N] "));
        const QString answer = terminal.readLine(false).value_or(QString()).trimmed().toLower();
        return ApiReply::success(QJsonObject{{QStringLiteral("yes"), answer == QLatin1String("y") || answer == QLatin1String("yes")}});
    }
    if (op == QLatin1String("dialog.file")) {
        terminal.say(QStringLiteral("Path (empty to cancel): "));
        const QString path = terminal.readLine(false).value_or(QString()).trimmed();
        return ApiReply::success(path.isEmpty() ? QJsonObject{} : QJsonObject{{QStringLiteral("path"), path}});
    }
    const QString fallback = request.value(QLatin1String("default")).toString();
    terminal.say(fallback.isEmpty() || request.value(QLatin1String("password")).toBool()
                     ? QStringLiteral("> ")
                     : QStringLiteral("[%1] > ").arg(fallback));
    const auto line = terminal.readLine(request.value(QLatin1String("password")).toBool());
    if (!line)
        return ApiReply::success(QJsonObject{{QStringLiteral("cancelled"), true}});
    return ApiReply::success(QJsonObject{{QStringLiteral("text"), line->isEmpty() ? fallback : *line},
                                         {QStringLiteral("cancelled"), false}});
}
