// What one request of the application API gets back: a result or an error,
// or for `stream` a slice of the received text that the socket server
// escapes as it writes, so that the text is never copied into the reply.
#pragma once

#include "text_stream.h"

#include <QJsonValue>
#include <QString>
#include <functional>
#include <optional>

struct ApiReply {
    bool ok = true;
    QString error;
    QJsonValue result;                       // for every operation but `stream`
    std::optional<TextStream::Slice> text;   // the `stream` reply, written without a copy

    static ApiReply success(const QJsonValue &result = QJsonValue()) { return ApiReply{true, {}, result, {}}; }
    static ApiReply failure(const QString &message) { return ApiReply{false, message, {}, {}}; }
};

using Responder = std::function<void(const ApiReply &)>;
