// The dialogs a script opens (message, prompt, confirm, file): answered from
// the replies queued for each dialog operation, in order, else asked on the
// controlling terminal when the host runs on one, else refused, so that an
// unattended run never blocks on a question. A question on the terminal is
// answered when the person's line comes in; the event loop runs meanwhile,
// so tabs keep receiving and other requests are served.
#pragma once

#include "api_reply.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>
#include <termios.h>

class QSocketNotifier;

class Dialogs : public QObject {
public:
    explicit Dialogs(const QHash<QString, QList<QJsonObject>> &answers, QObject *parent = nullptr);
    ~Dialogs() override;

    // Answers a dialog.* request, now or once the person has answered.
    void answer(const QJsonObject &request, const Responder &respond);

private:
    struct Question {
        QJsonObject request;
        Responder respond;
    };
    // Puts the first waiting question on the terminal.
    void ask();
    void readTerminal();
    // Answers the question on the terminal with `line` (none: end of input).
    void finish(const std::optional<QString> &line);
    void say(const QString &text) const;
    void restoreEcho();

    QHash<QString, QList<QJsonObject>> m_answers;  // queued replies per operation
    QList<Question> m_questions;                   // the first is on the terminal
    int m_terminal = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_line;
    std::optional<termios> m_echoing;              // the mode to go back to after a password
};
