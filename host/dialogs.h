// The dialogs a script opens (message, prompt, confirm, file): answered from
// the replies queued for each dialog operation, in order, else asked on the
// controlling terminal when the host runs on one, else refused, so that an
// unattended run never blocks on a question.
#pragma once

#include "api_reply.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

class Dialogs {
public:
    explicit Dialogs(const QHash<QString, QList<QJsonObject>> &answers) : m_answers(answers) {}

    // Answers a dialog.* request.
    ApiReply answer(const QJsonObject &request);

private:
    QHash<QString, QList<QJsonObject>> m_answers;  // queued replies per operation
};
