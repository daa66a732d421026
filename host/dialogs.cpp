// Dialogs on the terminal: the question is written to /dev/tty and one line
// is read back through a notifier (with echo off for a password); end of
// input cancels a prompt. Questions asked while one is on the terminal wait
// their turn.
#include "dialogs.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

Dialogs::Dialogs(const QHash<QString, QList<QJsonObject>> &answers, QObject *parent)
    : QObject(parent), m_answers(answers)
{
}

Dialogs::~Dialogs()
{
    restoreEcho();
    if (m_terminal >= 0)
        ::close(m_terminal);
}

void Dialogs::answer(const QJsonObject &request, const Responder &respond)
{
    const QString op = request.value(QLatin1String("op")).toString();
    QList<QJsonObject> &queued = m_answers[op];
    if (!queued.isEmpty()) {
        respond(ApiReply::success(queued.takeFirst()));
        return;
    }
    if (m_terminal < 0 && isatty(STDIN_FILENO))
        m_terminal = ::open("/dev/tty", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (!isatty(STDIN_FILENO) || m_terminal < 0) {
        respond(ApiReply::failure(QStringLiteral("No answer queued for %1 and no terminal to ask on; give answers with --answers FILE.").arg(op)));
        return;
    }
    m_questions.append(Question{request, respond});
    if (m_questions.size() == 1)
        ask();
}

void Dialogs::say(const QString &text) const
{
    const QByteArray bytes = text.toUtf8();
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written = ::write(m_terminal, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (written > 0)
            done += written;
        else if (written < 0 && errno == EAGAIN)
            usleep(1000);
        else if (!(written < 0 && errno == EINTR))
            return;
    }
}

void Dialogs::ask()
{
    const QJsonObject &request = m_questions.first().request;
    const QString op = request.value(QLatin1String("op")).toString();
    say(QStringLiteral("\n[%1] %2\n").arg(request.value(QLatin1String("title")).toString(),
                                         request.value(QLatin1String("message")).toString()));
    if (op == QLatin1String("dialog.message")) {
        say(QStringLiteral("Press Enter to go on. "));
    } else if (op == QLatin1String("dialog.confirm")) {
        say(QStringLiteral("Yes or no? [y/N] "));
    } else if (op == QLatin1String("dialog.file")) {
        say(QStringLiteral("Path (empty to cancel): "));
    } else {
        const QString fallback = request.value(QLatin1String("default")).toString();
        const bool password = request.value(QLatin1String("password")).toBool();
        say(fallback.isEmpty() || password ? QStringLiteral("> ") : QStringLiteral("[%1] > ").arg(fallback));
        termios mode{};
        if (password && tcgetattr(m_terminal, &mode) == 0) {
            m_echoing = mode;
            mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(m_terminal, TCSANOW, &mode);
        }
    }
    m_line.clear();
    if (!m_notifier) {
        m_notifier = new QSocketNotifier(m_terminal, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Dialogs::readTerminal);
    }
    m_notifier->setEnabled(true);
}

void Dialogs::readTerminal()
{
    char buffer[512];
    for (;;) {
        const ssize_t count = ::read(m_terminal, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return;
        if (count <= 0) {
            // End of input (or the terminal is gone): the question is cancelled.
            finish(m_line.isEmpty() ? std::nullopt : std::optional<QString>(QString::fromUtf8(m_line)));
            return;
        }
        m_line.append(buffer, count);
        const qsizetype end = m_line.indexOf('\n');
        if (end >= 0) {
            finish(QString::fromUtf8(m_line.left(end)).remove(QLatin1Char('\r')));
            return;
        }
    }
}

void Dialogs::restoreEcho()
{
    if (!m_echoing)
        return;
    tcsetattr(m_terminal, TCSANOW, &*m_echoing);
    m_echoing.reset();
    say(QStringLiteral("\n"));
}

void Dialogs::finish(const std::optional<QString> &line)
{
    m_notifier->setEnabled(false);
    restoreEcho();
    const Question question = m_questions.takeFirst();
    const QString op = question.request.value(QLatin1String("op")).toString();
    ApiReply reply;
    if (op == QLatin1String("dialog.message")) {
        reply = ApiReply::success(QJsonObject{{QStringLiteral("button"), QStringLiteral("OK")}});
    } else if (op == QLatin1String("dialog.confirm")) {
        const QString answer = line.value_or(QString()).trimmed().toLower();
        reply = ApiReply::success(QJsonObject{{QStringLiteral("yes"), answer == QLatin1String("y") || answer == QLatin1String("yes")}});
    } else if (op == QLatin1String("dialog.file")) {
        const QString path = line.value_or(QString()).trimmed();
        reply = ApiReply::success(path.isEmpty() ? QJsonObject{} : QJsonObject{{QStringLiteral("path"), path}});
    } else if (!line) {
        reply = ApiReply::success(QJsonObject{{QStringLiteral("cancelled"), true}});
    } else {
        const QString fallback = question.request.value(QLatin1String("default")).toString();
        reply = ApiReply::success(QJsonObject{{QStringLiteral("text"), line->isEmpty() ? fallback : *line},
                                              {QStringLiteral("cancelled"), false}});
    }
    question.respond(reply);
    if (!m_questions.isEmpty())
        ask();
}
